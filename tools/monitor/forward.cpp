#include "tools/monitor/forward.h"

#include <algorithm>
#include <cstdio>

#include "tools/monitor/ports.h"

namespace vontrel::monitor {

namespace {

// Ten bit times a byte on a 115200 baud 8N1 line.
constexpr double BYTES_PER_SECOND = 11520.0;
// A cluster behind flow control that stopped reading costs the writer at most this a piece.
constexpr int WRITE_TIMEOUT_MS = 200;

}  // namespace

Forwarder::Forwarder(std::string wanted, bool crtscts, std::chrono::milliseconds startup_delay,
                     std::string avoid)
    : wanted_(std::move(wanted)),
      name_(wanted_),
      crtscts_(crtscts),
      startup_delay_(startup_delay),
      avoid_(std::move(avoid)) {
  reopen();
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
    told_gone_ = true;
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
  std::string device = wanted_;
  std::string why;
  if (names_identity(wanted_)) {
    // Looked up afresh each time: a board plugged back in may get another device name.
    const std::vector<PortInfo> ports = list_ports();
    const PortChoice choice = choose_port(wanted_, ports, avoid_);
    if (choice.port == nullptr) {
      why = choice.message;
    } else {
      device = choice.port->device;
    }
  }
  if (why.empty()) {
    device_ = open_device(device, crtscts_, why);
  }
  if (!device_) {
    // Said once, and again only when the reason changes; "is gone" already said the first.
    if (why != waiting_for_ && !told_gone_) {
      std::fprintf(stderr, "vontrel-monitor: --forward: %s; looking for it once a second\n",
                   why.c_str());
    }
    told_gone_ = false;
    waiting_for_ = why;
    return;
  }
  // The board's bootloader first: the line counts as busy until its firmware runs.
  line_free_ = Clock::now() + startup_delay_;
  const bool waited = !waiting_for_.empty() || told_gone_;
  name_ = device == wanted_ ? device : wanted_ + " (" + device + ")";
  waiting_for_.clear();
  told_gone_ = false;
  if (waited) {
    std::fprintf(stderr,
                 had_device_ ? "vontrel-monitor: --forward: %s is back; forwarding again\n"
                             : "vontrel-monitor: --forward: %s is there; forwarding\n",
                 name_.c_str());
  }
  had_device_ = true;
}

}  // namespace vontrel::monitor
