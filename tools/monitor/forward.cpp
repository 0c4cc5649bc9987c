#include "tools/monitor/forward.h"

#include <algorithm>
#include <cstdio>

namespace vontrel::monitor {

namespace {

// Ten bit times a byte on a 115200 baud 8N1 line.
constexpr double BYTES_PER_SECOND = 11520.0;
// A cluster behind flow control that stopped reading costs the writer at most this a piece.
constexpr int WRITE_TIMEOUT_MS = 200;

}  // namespace

Forwarder::Forwarder(std::unique_ptr<Input> device, std::string name, bool crtscts)
    : device_(std::move(device)), name_(std::move(name)), crtscts_(crtscts) {
  thread_ = std::thread([this] { run(); });
}

Forwarder::~Forwarder() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void Forwarder::pass(const std::uint8_t* data, std::size_t length) {
  if (length == 0) {
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.size() >= FORWARD_QUEUE) {
      queue_.pop_front();  // the newest values matter to a cluster, not the oldest
    }
    queue_.emplace_back(data, data + length);
  }
  wake_.notify_one();
}

void Forwarder::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    // While the device is gone, wake once a second to look for it.
    const Clock::time_point until =
        device_ ? Clock::time_point::max() : std::max(next_reopen_, Clock::now());
    wake_.wait_until(lock, until, [this] { return stop_ || (device_ && !queue_.empty()); });
    if (stop_) {
      return;
    }
    if (!device_) {
      queue_.clear();  // nobody to hear them; the device gets the newest once it is back
      lock.unlock();
      reopen();
      lock.lock();
      continue;
    }
    // The line's pace: what went before has its time on the wire first. A stop cuts it short.
    if (wake_.wait_until(lock, line_free_, [this] { return stop_; })) {
      return;
    }
    if (queue_.empty()) {
      continue;
    }
    std::vector<std::uint8_t> piece = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    write_out(piece);
    lock.lock();
  }
}

void Forwarder::write_out(const std::vector<std::uint8_t>& piece) {
  const WriteResult result = device_->write(piece.data(), piece.size(), WRITE_TIMEOUT_MS);
  line_free_ = std::max(line_free_, Clock::now()) +
               std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                   static_cast<double>(piece.size()) / BYTES_PER_SECOND));
  if (result == WriteResult::gone) {
    device_.reset();
    failing_ = false;
    next_reopen_ = Clock::now() + FORWARD_REOPEN_INTERVAL;
    std::fprintf(stderr,
                 "vontrel-monitor: --forward: %s is gone; looking for it again once a second\n",
                 name_.c_str());
    return;
  }
  const bool written = result == WriteResult::done;
  if (written == failing_) {
    failing_ = !written;
    std::fprintf(stderr,
                 failing_ ? "vontrel-monitor: --forward: %s takes nothing; the oldest of what "
                            "arrives is dropped until it does\n"
                          : "vontrel-monitor: --forward: %s takes data again\n",
                 name_.c_str());
  }
}

void Forwarder::reopen() {
  next_reopen_ = Clock::now() + FORWARD_REOPEN_INTERVAL;
  std::string error;
  device_ = open_device(name_, crtscts_, error);
  if (device_) {
    line_free_ = Clock::now();
    std::fprintf(stderr, "vontrel-monitor: --forward: %s is back; forwarding again\n",
                 name_.c_str());
  }
}

}  // namespace vontrel::monitor
