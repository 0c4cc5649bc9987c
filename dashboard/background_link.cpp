#include "dashboard/background_link.h"

#include <chrono>

namespace vontrel {

namespace {

constexpr std::uint32_t WRITE_WAIT_MS = 100;
constexpr std::uint32_t REOPEN_INTERVAL_MS = 1000;
constexpr std::array<std::uint8_t, RESET_FRAME_LENGTH> RESET_FRAME = {FRAME_START, FRAME_MARKER};

}  // namespace

BackgroundLink::~BackgroundLink() {
  // Unloaded without a shut-down: stop at once. No lock here: at process exit on Windows the
  // writer has already been ended by the system, perhaps while it held one.
  if (running()) {
    stop_ = true;
    wake_.notify_all();
    os::join_thread(thread_);
    thread_ = os::invalid_thread;
  }
}

bool BackgroundLink::start(SerialPort& port, const std::string& port_name,
                           bool reconnect) noexcept {
  if (running()) {
    return false;
  }
  try {
    port_name_ = port_name;
  } catch (...) {
    return false;
  }
  port_ = &port;
  reconnect_ = reconnect;
  stop_ = false;
  reset_pending_ = false;
  cycle_pending_ = false;
  busy_ = false;
  last_reopen_tick_ = os::tick_ms();
  port.use_bounded_io();
  thread_ = os::start_thread(thread_main, this);
  return running();
}

void BackgroundLink::submit_reset() noexcept {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reset_pending_ = true;
    cycle_pending_ = false;
  }
  wake_.notify_one();
}

void BackgroundLink::submit_cycle(const std::uint8_t* cycle) noexcept {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::copy(cycle, cycle + CYCLE_LENGTH, pending_.begin());
    cycle_pending_ = true;
  }
  wake_.notify_one();
}

bool BackgroundLink::idle() const {
  return !busy_ && !reset_pending_ && !cycle_pending_;
}

void BackgroundLink::stop(std::uint32_t drain_ms) noexcept {
  if (!running()) {
    return;
  }
  {
    std::unique_lock<std::mutex> lock(mutex_);
    // A lost port has nothing to drain into.
    idle_.wait_for(lock, std::chrono::milliseconds(drain_ms),
                   [this] { return idle() || !port_->is_open(); });
  }
  stop_ = true;
  wake_.notify_all();
  os::join_thread(thread_);
  thread_ = os::invalid_thread;
}

LinkEvent BackgroundLink::take_event() noexcept {
  // Losses and returns alternate: report them in that order.
  if (reported_losses_ == reported_returns_ && losses_.load() > reported_losses_) {
    ++reported_losses_;
    return LinkEvent::lost;
  }
  if (reported_returns_ < reported_losses_ && returns_.load() > reported_returns_) {
    ++reported_returns_;
    return LinkEvent::back;
  }
  return LinkEvent::none;
}

void BackgroundLink::thread_main(void* self) noexcept {
  static_cast<BackgroundLink*>(self)->run();
}

bool BackgroundLink::write_chunk(const std::uint8_t* data, std::uint32_t length) noexcept {
  // A frame is finished once begun: giving up halfway would tear it on the wire. Only a stop
  // abandons it, and then nothing follows on this link anyway.
  std::uint32_t written = 0;
  while (written < length) {
    if (stop_) {
      return true;
    }
    if (port_->write_bounded(data + written, length - written, written, WRITE_WAIT_MS) ==
        os::io_status::failed) {
      return false;
    }
  }
  for (;;) {
    if (stop_) {
      return true;
    }
    const os::io_status flushed = port_->drained();
    if (flushed == os::io_status::done) {
      return true;
    }
    if (flushed == os::io_status::failed) {
      return false;
    }
    os::sleep_ms(1);
  }
}

bool BackgroundLink::write_cycle(const std::uint8_t* cycle) noexcept {
  bool all_written = true;
  for (std::size_t offset = 0; offset < CYCLE_LENGTH && !stop_; offset += FRAME_LENGTH) {
    all_written = write_chunk(cycle + offset, FRAME_LENGTH) && all_written;
    if (!all_written && reconnect_) {
      return false;
    }
  }
  return all_written;
}

void BackgroundLink::try_reopen() noexcept {
  const std::uint32_t now = os::tick_ms();
  if (now - last_reopen_tick_ < REOPEN_INTERVAL_MS) {
    return;
  }
  last_reopen_tick_ = now;
  std::string error;
  try {
    if (!port_->open(port_name_.c_str(), error)) {
      return;
    }
  } catch (...) {
    return;
  }
  port_->use_bounded_io();
  // The cluster may have been power-cycled with the cable: start it from a clean dashboard.
  if (write_chunk(RESET_FRAME.data(), RESET_FRAME_LENGTH)) {
    ++returns_;
  } else {
    port_->close();
  }
}

void BackgroundLink::run() noexcept {
  while (!stop_) {
    enum class Work { none, reset, cycle } work = Work::none;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait_for(lock, std::chrono::milliseconds(50),
                     [this] { return stop_ || reset_pending_ || cycle_pending_; });
      if (stop_) {
        break;
      }
      if (reset_pending_) {
        work = Work::reset;
        reset_pending_ = false;
      } else if (cycle_pending_) {
        work = Work::cycle;
        sending_ = pending_;
        cycle_pending_ = false;
      }
      busy_ = work != Work::none;
    }

    if (work != Work::none && port_->is_open()) {
      const bool written = work == Work::reset ? write_chunk(RESET_FRAME.data(), RESET_FRAME_LENGTH)
                                               : write_cycle(sending_.data());
      if (!written && reconnect_) {
        port_->close();
        last_reopen_tick_ = os::tick_ms();
        ++losses_;
      }
    }
    if (reconnect_ && !port_->is_open()) {
      try_reopen();
    }

    {
      std::lock_guard<std::mutex> lock(mutex_);
      busy_ = false;
    }
    idle_.notify_all();
  }
}

}  // namespace vontrel
