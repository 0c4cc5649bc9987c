#include "link/udp_output.h"

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
  return true;
}

void UdpOutput::close() noexcept {
  os::close_udp(socket_);
  socket_ = os::invalid_socket;
  failing_ = false;
}

UdpEvent UdpOutput::send(const std::uint8_t* data, std::uint32_t length) noexcept {
  if (socket_ == os::invalid_socket) {
    return UdpEvent::none;
  }
  // A full buffer only drops this datagram: the next cycle carries every value again.
  const os::io_status status = os::send_datagram(socket_, peer_, data, length);
  if (status == os::io_status::failed && !failing_) {
    failing_ = true;
    return UdpEvent::failing;
  }
  if (status == os::io_status::done && failing_) {
    failing_ = false;
    return UdpEvent::back;
  }
  return UdpEvent::none;
}

}  // namespace vontrel
