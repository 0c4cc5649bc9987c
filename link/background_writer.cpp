#include "link/background_writer.h"

#include <chrono>

#include "link/reconnect.h"

namespace vontrel {

namespace {

// The writer's waits come in slices this long, so that it notices a stop in time.
constexpr std::uint32_t WRITE_SLICE_MS = 100;

}  // namespace

BackgroundWriter::~BackgroundWriter() {
  // Unloaded without a shut-down: stop at once. No lock here: at process exit on Windows the
  // writer has already been ended by the system, perhaps while it held one.
  if (running()) {
    stop_ = true;
    wake_.notify_all();
    os::join_thread(thread_);
    thread_ = os::invalid_thread;
  }
}

bool BackgroundWriter::start(SerialPort& port, const std::string& port_name, bool reconnect,
                             std::uint32_t startup_delay_ms, const std::string& avoid) noexcept {
  if (running()) {
    return false;
  }
  try {
    port_name_ = port_name;
    avoid_ = avoid;
  } catch (...) {
    return false;
  }
  port_ = &port;
  reconnect_ = reconnect;
  startup_delay_ms_ = startup_delay_ms;
  holding_ = false;
  last_reopen_tick_ = os::tick_ms();
  stop_ = false;
  {
    // A run starts with nothing queued and nothing to report, whatever the last one left.
    std::lock_guard<std::mutex> lock(mutex_);
    reset_pending_ = false;
    cycle_pending_ = false;
    busy_ = false;
    port_open_ = port.is_open();
    losses_ = returns_ = reported_losses_ = reported_returns_ = 0;
  }
  thread_ = os::start_thread(thread_main, this);
  return running();
}

void BackgroundWriter::submit_reset() noexcept {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reset_pending_ = true;
    cycle_pending_ = false;
  }
  wake_.notify_one();
}

void BackgroundWriter::submit_cycle(const std::uint8_t* cycle) noexcept {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::copy(cycle, cycle + CYCLE_LENGTH, pending_.begin());
    cycle_pending_ = true;
  }
  wake_.notify_one();
}

bool BackgroundWriter::idle() const {
  return !busy_ && !reset_pending_ && !cycle_pending_;
}

void BackgroundWriter::stop(std::uint32_t drain_ms) noexcept {
  if (!running()) {
    return;
  }
  {
    std::unique_lock<std::mutex> lock(mutex_);
    // A lost port has nothing to drain into.
    idle_.wait_for(lock, std::chrono::milliseconds(drain_ms),
                   [this] { return idle() || !port_open_; });
  }
  stop_ = true;
  wake_.notify_all();
  os::join_thread(thread_);
  thread_ = os::invalid_thread;
}

LinkEvent BackgroundWriter::take_event() noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  // Losses and returns alternate: report them in that order.
  if (reported_losses_ == reported_returns_ && losses_ > reported_losses_) {
    ++reported_losses_;
    return LinkEvent::lost;
  }
  if (reported_returns_ < reported_losses_ && returns_ > reported_returns_) {
    ++reported_returns_;
    return LinkEvent::back;
  }
  return LinkEvent::none;
}

void BackgroundWriter::note_port(bool open, bool lost) noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  port_open_ = open;
  if (lost) {
    ++losses_;
  } else if (open) {
    ++returns_;
  }
}

void BackgroundWriter::thread_main(void* self) noexcept {
  static_cast<BackgroundWriter*>(self)->run();
}

bool BackgroundWriter::write_frame(const std::uint8_t* data, std::uint32_t length) noexcept {
  // A frame is finished once begun: giving up halfway would tear it on the wire. Only a stop
  // abandons it, and then nothing follows on this link anyway.
  std::uint32_t written = 0;
  while (written < length) {
    if (stop_) {
      return true;
    }
    if (port_->write_some(data + written, length - written, written,
                          os::deadline_after(WRITE_SLICE_MS)) == os::io_status::failed) {
      return false;
    }
  }
  for (;;) {
    if (stop_) {
      return true;
    }
    const os::io_status flushed = port_->flush(os::deadline_after(WRITE_SLICE_MS));
    if (flushed != os::io_status::timed_out) {
      return flushed == os::io_status::done;
    }
  }
}

bool BackgroundWriter::write_cycle(const std::uint8_t* cycle) noexcept {
  bool all_written = true;
  for (std::size_t offset = 0; offset < CYCLE_LENGTH && !stop_; offset += FRAME_LENGTH) {
    all_written = write_frame(cycle + offset, FRAME_LENGTH) && all_written;
    if (!all_written && reconnect_) {
      return false;
    }
  }
  return all_written;
}

void BackgroundWriter::run() noexcept {
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

    if (holding_ && port_->is_open() && os::tick_ms() - last_reopen_tick_ >= startup_delay_ms_) {
      // The re-plugged board is past its bootloader: clear it, then cycles go out again.
      holding_ = false;
      work = Work::reset;
    }
    if (work != Work::none && port_->is_open() && !holding_) {
      const bool written = work == Work::reset ? write_frame(RESET_FRAME, RESET_FRAME_LENGTH)
                                               : write_cycle(sending_.data());
      if (!written && reconnect_) {
        port_->close();
        last_reopen_tick_ = os::tick_ms();
        note_port(false, true);
      }
    }
    if (reconnect_ && !port_->is_open() && !stop_) {
      const std::uint32_t now = os::tick_ms();
      if (now - last_reopen_tick_ >= REOPEN_INTERVAL_MS) {
        last_reopen_tick_ = now;
        holding_ = startup_delay_ms_ > 0;
        if (reopen_port(*port_, port_name_, os::deadline_after(WRITE_SLICE_MS), holding_, avoid_)) {
          note_port(true, false);
        }
      }
    }

    {
      std::lock_guard<std::mutex> lock(mutex_);
      busy_ = false;
    }
    idle_.notify_all();
  }
}

}  // namespace vontrel
