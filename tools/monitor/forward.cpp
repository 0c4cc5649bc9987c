#include "tools/monitor/forward.h"

#include <algorithm>
#include <cstdio>
#include <thread>

namespace vontrel::monitor {

namespace {

// Ten bit times a byte on a 115200 baud 8N1 line.
constexpr double BYTES_PER_SECOND = 11520.0;
// A cluster behind flow control that stopped reading costs at most this per read.
constexpr int WRITE_TIMEOUT_MS = 200;

}  // namespace

void Forwarder::pass(const std::uint8_t* data, std::size_t length) {
  if (length == 0) {
    return;
  }
  std::this_thread::sleep_until(line_free_);
  const bool written = device_->write(data, length, WRITE_TIMEOUT_MS);
  line_free_ = std::max(line_free_, Clock::now()) +
               std::chrono::duration_cast<Clock::duration>(
                   std::chrono::duration<double>(static_cast<double>(length) / BYTES_PER_SECOND));
  if (written == failing_) {
    failing_ = !written;
    std::fprintf(stderr,
                 failing_ ? "vontrel-monitor: --forward: %s takes nothing; what arrives is "
                            "dropped until it does\n"
                          : "vontrel-monitor: --forward: %s takes data again\n",
                 name_.c_str());
  }
}

}  // namespace vontrel::monitor
