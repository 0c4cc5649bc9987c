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

// A setting's value as the host's log shows it: cut, so a huge value is not a huge line.
std::string shown(std::string_view value) {
  return value.size() > UDP_SHOWN_TARGET ? std::string(value.substr(0, UDP_SHOWN_TARGET)) + "..."
                                         : std::string(value);
}

}  // namespace

bool parse_udp_target(std::string_view text, os::udp_peer& peer, std::string& why) {
  why = "udp_target is not a numeric HOST:PORT or [IPv6]:PORT";
  std::string_view host;
  std::string_view scope;
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
    if (const std::size_t percent = host.find('%'); percent != std::string_view::npos) {
      scope = host.substr(percent + 1);
      host = host.substr(0, percent);
      if (scope.empty()) {
        return false;
      }
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
  if (!read_port(digits, port) || address.empty() ||
      !os::make_udp_peer(address.c_str(), port, peer)) {
    return false;
  }
  const os::peer_kind kind = os::kind_of(peer);
  if (kind == os::peer_kind::ipv4_mapped) {
    why = "write an IPv4 address as HOST:PORT, without brackets";
    return false;
  }
  if (!scope.empty()) {
    if (kind != os::peer_kind::ipv6_link_local) {
      why = "only a link-local address (fe80::...) takes an interface after %";
      return false;
    }
    if (!os::set_udp_scope(peer, std::string(scope).c_str())) {
      why = "this machine has no network interface " + shown(scope);
      return false;
    }
  } else if (kind == os::peer_kind::ipv6_link_local) {
    why =
        "a link-local address needs its interface after %, as in [fe80::1%eth0]:5005 or "
        "[fe80::1%12]:5005";
    return false;
  }
  return true;
}

bool UdpOutput::open(const std::string& target, std::string& error) {
  close();
  std::string why;
  if (!parse_udp_target(target, peer_, why)) {
    error = "UDP output off, " + why + ": " + shown(target);
    return false;
  }
  socket_ = os::open_udp(peer_);
  if (socket_ == os::invalid_socket) {
    error = "UDP output off, no socket for: " + target;
    return false;
  }
  target_ = target;
  have_handed_ = false;
  told_failing_ = false;
  have_told_ = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reset_pending_ = sleeping_ = stop_ = sends_failing_ = false;
    handed_count_ = 0;
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
    sends_failing_ = send(RESET_FRAME, RESET_FRAME_LENGTH, sends_failing_);
    return;
  }
  bool sleeping = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reset_pending_ = true;
    handed_count_ = 0;
    sleeping = sleeping_;
  }
  if (sleeping) {
    wake_.notify_one();
  }
}

void UdpOutput::submit_cycle(const std::uint8_t* cycle, std::uint32_t now) noexcept {
  if (socket_ == os::invalid_socket) {
    return;
  }
  if (thread_ == os::invalid_thread) {
    sends_failing_ = send(cycle, CYCLE_LENGTH, sends_failing_);
    return;
  }
  // Unsigned difference: right across the tick counter's wrap.
  const std::uint32_t gap = have_handed_ ? now - handed_tick_ : 0;
  handed_tick_ = now;
  have_handed_ = true;
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Both places taken only when the sender was woken a cycle ago and has still not run:
    // then the newest replaces the newest.
    HandedCycle& slot = handed_[handed_count_ < handed_.size() ? handed_count_++ : 1];
    std::copy(cycle, cycle + CYCLE_LENGTH, slot.bytes.begin());
    slot.tick = now;
    slot.gap = gap;
    // The one system call the host pays: after a pause, or when the sender rests past a cycle.
    wake = sleeping_ || handed_count_ == handed_.size();
  }
  if (wake) {
    wake_.notify_one();
  }
}

UdpEvent UdpOutput::take_event(std::uint32_t now) noexcept {
  bool failing = false;
  if (thread_ == os::invalid_thread) {
    failing = sends_failing_;
  } else {
    std::lock_guard<std::mutex> lock(mutex_);
    failing = sends_failing_;
  }
  if (failing == told_failing_ || (have_told_ && now - told_tick_ < UDP_REPORT_INTERVAL_MS)) {
    return UdpEvent::none;
  }
  told_failing_ = failing;
  told_tick_ = now;
  have_told_ = true;
  return failing ? UdpEvent::failing : UdpEvent::back;
}

void UdpOutput::thread_main(void* self) noexcept {
  static_cast<UdpOutput*>(self)->run();
}

void UdpOutput::run() noexcept {
  std::unique_lock<std::mutex> lock(mutex_);
  std::uint32_t idle_polls = 0;
  for (;;) {
    if (reset_pending_ || handed_count_ > 0) {
      idle_polls = 0;
      const bool reset = reset_pending_;
      if (reset) {
        reset_pending_ = false;
      } else {
        sending_ = handed_[0];
        handed_[0] = handed_[1];
        --handed_count_;
      }
      const bool failing = sends_failing_;
      lock.unlock();
      const bool now_failing = reset ? send(RESET_FRAME, RESET_FRAME_LENGTH, failing)
                                     : send(sending_.bytes.data(), CYCLE_LENGTH, failing);
      const std::uint32_t rest_ms = reset ? 0 : rest_after(sending_.tick, sending_.gap);
      lock.lock();
      sends_failing_ = now_failing;
      if (!reset && handed_count_ == 0) {
        wake_.wait_for(lock, std::chrono::milliseconds(rest_ms), [this] {
          return stop_ || reset_pending_ || handed_count_ == handed_.size();
        });
      }
    } else if (stop_) {
      return;
    } else if (idle_polls < UDP_IDLE_POLLS) {
      ++idle_polls;
      wake_.wait_for(lock, std::chrono::milliseconds(UDP_POLL_MS));
    } else {
      sleeping_ = true;
      wake_.wait(lock, [this] { return stop_ || reset_pending_ || handed_count_ > 0; });
      sleeping_ = false;
    }
  }
}

std::uint32_t UdpOutput::rest_after(std::uint32_t tick, std::uint32_t gap) noexcept {
  const std::uint32_t foreseen =
      gap >= SEND_INTERVAL_MS && gap <= UDP_LONGEST_GAP_MS ? gap : SEND_INTERVAL_MS;
  const std::uint32_t since = os::tick_ms() - tick;
  const std::uint32_t due = foreseen + UDP_WAKE_MARGIN_MS;
  return since < due ? due - since : 0;
}

bool UdpOutput::send(const std::uint8_t* data, std::uint32_t length, bool failing) noexcept {
  // A full buffer only drops this datagram: the next cycle carries every value again.
  const os::io_status status = os::send_datagram(socket_, peer_, data, length);
  return status == os::io_status::failed || (status == os::io_status::timed_out && failing);
}

}  // namespace vontrel
