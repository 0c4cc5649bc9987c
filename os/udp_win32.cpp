// The datagram socket over Winsock (the address is read in os/udp_peer.cpp). Winsock is started
// with the socket and stopped with it: its own count keeps the host's use of it, if any, untouched.
#if defined(_WIN32)

#include <winsock2.h>
#include <ws2tcpip.h>

#include "os/os.h"

// Not in every toolchain's headers: the vendor control that stops a UDP socket's sends from
// failing because an earlier datagram met a closed port.
#if !defined(SIO_UDP_CONNRESET)
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

namespace vontrel::os {

socket_handle open_udp(const udp_peer& peer) noexcept {
  WSADATA data{};
  if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    return invalid_socket;
  }
  const int family = peer.length == sizeof(sockaddr_in6) ? AF_INET6 : AF_INET;
  const SOCKET s = ::WSASocketW(family, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0,
                                WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  u_long non_blocking = 1;
  const BOOL on = TRUE;
  if (s == INVALID_SOCKET || ::ioctlsocket(s, FIONBIO, &non_blocking) != 0 ||
      (family == AF_INET && ::setsockopt(s, SOL_SOCKET, SO_BROADCAST,
                                         reinterpret_cast<const char*>(&on), sizeof on) != 0)) {
    if (s != INVALID_SOCKET) {
      ::closesocket(s);
    }
    ::WSACleanup();
    return invalid_socket;
  }
  // Without this, Windows fails the send after each ICMP port unreachable (a phone whose
  // monitor has not started yet), and every other datagram looks like a broken network.
  // Best effort: a system without the control simply keeps its old behaviour.
  BOOL report_resets = FALSE;
  DWORD returned = 0;
  ::WSAIoctl(s, SIO_UDP_CONNRESET, &report_resets, sizeof report_resets, nullptr, 0, &returned,
             nullptr, nullptr);
  return static_cast<socket_handle>(s);
}

io_status send_datagram(socket_handle socket, const udp_peer& peer, const std::uint8_t* data,
                        std::uint32_t length) noexcept {
  const int sent = ::sendto(
      static_cast<SOCKET>(socket), reinterpret_cast<const char*>(data), static_cast<int>(length), 0,
      reinterpret_cast<const sockaddr*>(peer.native), static_cast<int>(peer.length));
  if (sent == static_cast<int>(length)) {
    return io_status::done;
  }
  if (sent == SOCKET_ERROR && ::WSAGetLastError() == WSAEWOULDBLOCK) {
    return io_status::timed_out;
  }
  if (sent == SOCKET_ERROR && ::WSAGetLastError() == WSAECONNRESET) {
    // News of an earlier datagram, not of the network: count this one dropped, as on a full
    // buffer, which says nothing of whether sending works.
    return io_status::timed_out;
  }
  return io_status::failed;
}

void close_udp(socket_handle socket) noexcept {
  if (socket != invalid_socket) {
    ::closesocket(static_cast<SOCKET>(socket));
    ::WSACleanup();
  }
}

}  // namespace vontrel::os

#endif  // _WIN32
