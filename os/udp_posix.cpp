// The datagram socket over POSIX.
#if !defined(_WIN32)

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "os/os.h"

namespace vontrel::os {

socket_handle open_udp(const udp_peer& peer) noexcept {
  const int family = peer.length == sizeof(sockaddr_in6) ? AF_INET6 : AF_INET;
  const int fd = ::socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return invalid_socket;
  }
  const int on = 1;
  if (family == AF_INET && ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
    ::close(fd);
    return invalid_socket;
  }
  return fd;
}

io_status send_datagram(socket_handle socket, const udp_peer& peer, const std::uint8_t* data,
                        std::uint32_t length) noexcept {
  // MSG_NOSIGNAL: no send of ours may raise a signal in the host's process.
  const ssize_t sent = ::sendto(static_cast<int>(socket), data, length, MSG_NOSIGNAL | MSG_DONTWAIT,
                                reinterpret_cast<const sockaddr*>(peer.native), peer.length);
  if (sent == static_cast<ssize_t>(length)) {
    return io_status::done;
  }
  if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS)) {
    return io_status::timed_out;
  }
  return io_status::failed;
}

void close_udp(socket_handle socket) noexcept {
  if (socket != invalid_socket) {
    ::close(static_cast<int>(socket));
  }
}

}  // namespace vontrel::os

#endif  // !_WIN32
