// Reading a numeric address into the system's own form: the same calls on POSIX and Winsock.
#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#endif

#include <cstring>

#include "os/os.h"

namespace vontrel::os {

static_assert(sizeof(sockaddr_in6) <= sizeof(udp_peer::native), "an IPv6 address fits");

namespace {

template <typename SocketAddress>
void store(const SocketAddress& address, udp_peer& peer) {
  std::memcpy(peer.native, &address, sizeof address);
  peer.length = sizeof address;
}

}  // namespace

bool make_udp_peer(const char* address, std::uint16_t port, udp_peer& peer) noexcept {
  peer = udp_peer{};
  sockaddr_in v4{};
  sockaddr_in6 v6{};
  if (::inet_pton(AF_INET, address, &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    store(v4, peer);
  } else if (::inet_pton(AF_INET6, address, &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    store(v6, peer);
  } else {
    return false;
  }
  return true;
}

}  // namespace vontrel::os
