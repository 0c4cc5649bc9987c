#include "link/udp_output.h"

#include <algorithm>
#include <chrono>

namespace vontrel {

namespace {

bool read_port(std::string_view digits, std::uint16_t& port) {
  if (digits.empty() || digits.size() > 5) {
    return false;
  }
  std::uint32_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') {
      return false;
    }
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (value == 0 || value > 65535) {
    return false;
  }
  port = static_cast<std::uint16_t>(value);
  return true;
}

}  // namespace

bool parse_udp_target(std::string_view text, os::udp_peer& peer) {
  std::string_view host;
  std::string_view digits;
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find("]:");
    if (close == std::string_view::npos) {
      return false;
    }
    host = text.substr(1, close - 1);
    digits = text.substr(close + 2);
    if (host.find(':') == std::string_view::npos) {
      return false;  // brackets are for IPv6 addresses
    }
  } else {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) {
      return false;
    }
    host = text.substr(0, colon);
    digits = text.substr(colon + 1);
    if (host.find(':') != std::string_view::npos) {
      return false;  // an IPv6 address without brackets: where would its port begin?
    }
  }
  std::uint16_t port = 0;
  const std::string address(host);
  return read_port(digits, port) && !address.empty() &&
         os::make_udp_peer(address.c_str(), port, peer);
}

bool UdpOutput::open(const std::string& target, std::string& error) {
  close();
  if (!parse_udp_target(target, peer_)) {
    error = "UDP output off, udp_target is not a numeric HOST:PORT or [IPv6]:PORT: " + target;
    return false;
  }
  socket_ = os::open_udp(peer_);
  if (socket_ == os::invalid_socket) {
    error = "UDP output off, no socket for: " + target;
    return false;
  }
  target_ = target;
  failing_ = false;
  reported_changes_ = 0;
  have_sent_tick_ = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reset_pending_ = cycle_pending_ = sleeping_ = stop_ = false;
    changes_ = 0;
  }
  thread_ = os::start_thread(thread_main, this);
  return true;
}

void UdpOutput::close() noexcept {
  if (thread_ != os::invalid_thread) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_one();
    os::join_thread(thread_);
    thread_ = os::invalid_thread;
  }
  os::close_udp(socket_);
  socket_ = os::invalid_socket;
}

void UdpOutput::submit_reset() noexcept {
  if (socket_ == os::invalid_socket) {
    return;
  }
  if (thread_ == os::invalid_thread) {
    changes_ += send(RESET_FRAME, RESET_FRAME_LENGTH) ? 1 : 0;
    return;
  }
  bool sleeping = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reset_pending_ = true;
    cycle_pending_ = false;
    sleeping = sleeping_;
  }
  wake_if_sleeping(sleeping);
}

void UdpOutput::submit_cycle(const std::uint8_t* cycle, std::uint32_t now) noexcept {
  if (socket_ == os::invalid_socket) {
    return;
  }
  if (thread_ == os::invalid_thread) {
    changes_ += send(cycle, CYCLE_LENGTH) ? 1 : 0;
    return;
  }
  bool sleeping = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::copy(cycle, cycle + CYCLE_LENGTH, pending_.begin());
    pending_tick_ = now;
    cycle_pending_ = true;
    sleeping = sleeping_;
  }
  wake_if_sleeping(sleeping);
}

void UdpOutput::wake_if_sleeping(bool sleeping) noexcept {
  if (sleeping) {
    wake_.notify_one();  // only after a pause: the one system call the host pays
  }
}

UdpEvent UdpOutput::take_event() noexcept {
  std::uint32_t changes = 0;
  if (thread_ == os::invalid_thread) {
    changes = changes_;
  } else {
    std::lock_guard<std::mutex> lock(mutex_);
    changes = changes_;
  }
  if (reported_changes_ == changes) {
    return UdpEvent::none;
  }
  ++reported_changes_;
  return reported_changes_ % 2 == 1 ? UdpEvent::failing : UdpEvent::back;
}

void UdpOutput::thread_main(void* self) noexcept {
  static_cast<UdpOutput*>(self)->run();
}

void UdpOutput::run() noexcept {
  std::unique_lock<std::mutex> lock(mutex_);
  std::uint32_t idle_polls = 0;
  for (;;) {
    if (reset_pending_ || cycle_pending_) {
      idle_polls = 0;
      const bool reset = reset_pending_;
      std::uint32_t tick = 0;
      if (reset) {
        reset_pending_ = false;
      } else {
        sending_ = pending_;
        tick = pending_tick_;
        cycle_pending_ = false;
      }
      lock.unlock();
      const bool changed =
          reset ? send(RESET_FRAME, RESET_FRAME_LENGTH) : send(sending_.data(), CYCLE_LENGTH);
      const std::uint32_t rest_ms = reset ? 0 : rest_after(tick);
      lock.lock();
      changes_ += changed ? 1 : 0;
      if (!reset) {
        wake_.wait_for(lock, std::chrono::milliseconds(rest_ms),
                       [this] { return stop_ || reset_pending_; });
      }
    } else if (stop_) {
      return;
    } else if (idle_polls < UDP_IDLE_POLLS) {
      ++idle_polls;
      wake_.wait_for(lock, std::chrono::milliseconds(UDP_POLL_MS));
    } else {
      sleeping_ = true;
      have_sent_tick_ = false;  // after a pause, the last gap foresees nothing
      wake_.wait(lock, [this] { return stop_ || reset_pending_ || cycle_pending_; });
      sleeping_ = false;
    }
  }
}

std::uint32_t UdpOutput::rest_after(std::uint32_t tick) noexcept {
  // Unsigned differences: right across the tick counter's wrap.
  const std::uint32_t gap = tick - sent_tick_;
  const std::uint32_t foreseen =
      have_sent_tick_ && gap >= SEND_INTERVAL_MS && gap <= UDP_LONGEST_GAP_MS ? gap
                                                                              : SEND_INTERVAL_MS;
  sent_tick_ = tick;
  have_sent_tick_ = true;
  const std::uint32_t since = os::tick_ms() - tick;
  const std::uint32_t due = foreseen + UDP_WAKE_MARGIN_MS;
  return since < due ? due - since : 0;
}

bool UdpOutput::send(const std::uint8_t* data, std::uint32_t length) noexcept {
  // A full buffer only drops this datagram: the next cycle carries every value again.
  const os::io_status status = os::send_datagram(socket_, peer_, data, length);
  const bool changed =
      (status == os::io_status::failed && !failing_) || (status == os::io_status::done && failing_);
  failing_ = failing_ != changed;
  return changed;
}

}  // namespace vontrel
