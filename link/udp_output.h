// The cycle as UDP datagrams, beside or instead of the serial port: for a phone showing the
// dashboard, a cluster on another machine, or a Wi-Fi cluster. Each cycle leaves as one
// datagram of its 77 bytes, exactly as on the wire; the reset frame as one of its own 16.
//
// Sending never waits and never fails the host: a full socket drops that datagram, a refused
// one is logged once, and its recovery once. The plug-in never listens on a socket.
#ifndef VONTREL_LINK_UDP_OUTPUT_H
#define VONTREL_LINK_UDP_OUTPUT_H

#include <cstdint>
#include <string>
#include <string_view>

#include "os/os.h"

namespace vontrel {

// The value of the setting that turns UDP off, as an absent setting does.
inline constexpr char UDP_OFF[] = "none";

// "a.b.c.d:port" or "[v6]:port", the address numeric and the port 1 to 65535. False for
// anything else, and for a name, which would have to be looked up inside the host.
bool parse_udp_target(std::string_view text, os::udp_peer& peer);

enum class UdpEvent { none, failing, back };

class UdpOutput {
 public:
  UdpOutput() = default;
  ~UdpOutput() { close(); }
  UdpOutput(const UdpOutput&) = delete;
  UdpOutput& operator=(const UdpOutput&) = delete;

  // Closes what an earlier start-up opened, then opens a socket for `target`. False with the
  // reason for the host log; UDP is then off.
  bool open(const std::string& target, std::string& error);
  void close() noexcept;
  bool active() const noexcept { return socket_ != os::invalid_socket; }
  const std::string& target() const noexcept { return target_; }

  // One datagram. Tells when sending starts failing, and when it works again, once each.
  UdpEvent send(const std::uint8_t* data, std::uint32_t length) noexcept;

 private:
  os::socket_handle socket_ = os::invalid_socket;
  os::udp_peer peer_{};
  std::string target_;
  bool failing_ = false;
};

}  // namespace vontrel

#endif  // VONTREL_LINK_UDP_OUTPUT_H
