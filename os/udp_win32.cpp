// The datagram socket over Winsock (the address is read in os/udp_peer.cpp). Winsock is started
// with the socket and stopped with it: its own count keeps the host's use of it, if any, untouched.
#if defined(_WIN32)

#include <winsock2.h>
#include <ws2tcpip.h>

#include "os/os.h"

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
