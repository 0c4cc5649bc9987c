// Reading a numeric address into the system's own form: the same calls on POSIX and Winsock.
#if defined(_WIN32)
// winsock2.h before windows.h, which would otherwise bring the old Winsock in.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>
#else
#include <arpa/inet.h>
#include <net/if.h>
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

bool read_v6(const udp_peer& peer, sockaddr_in6& v6) {
  if (peer.length != sizeof v6) {
    return false;
  }
  std::memcpy(&v6, peer.native, sizeof v6);
  return true;
}

// A scope written as a number: "12".
bool scope_number(const char* scope, std::uint32_t& index) {
  std::uint64_t value = 0;
  if (*scope == '\0') {
    return false;
  }
  for (const char* c = scope; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9' || value > 0xFFFFFFFFu / 10) {
      return false;
    }
    value = value * 10 + static_cast<std::uint64_t>(*c - '0');
  }
  if (value == 0 || value > 0xFFFFFFFFu) {
    return false;
  }
  index = static_cast<std::uint32_t>(value);
  return true;
}

#if defined(_WIN32)
// The interface's index from its name, through the IP helper, loaded only for this: the
// plug-in imports nothing beyond the system's core and Winsock. The adapter's name
// ("ethernet_32769") first, then the name the network settings show ("Ethernet 2").
std::uint32_t interface_index(const char* name) {
  HMODULE helper = ::LoadLibraryA("iphlpapi.dll");
  if (helper == nullptr) {
    return 0;
  }
  using by_name_fn = ULONG(WINAPI*)(PCSTR);
  using alias_fn = DWORD(WINAPI*)(const WCHAR*, ULONG64*);
  using luid_fn = DWORD(WINAPI*)(const ULONG64*, ULONG*);
  const auto by_name = reinterpret_cast<by_name_fn>(
      reinterpret_cast<void*>(::GetProcAddress(helper, "if_nametoindex")));
  const auto alias_to_luid = reinterpret_cast<alias_fn>(
      reinterpret_cast<void*>(::GetProcAddress(helper, "ConvertInterfaceAliasToLuid")));
  const auto luid_to_index = reinterpret_cast<luid_fn>(
      reinterpret_cast<void*>(::GetProcAddress(helper, "ConvertInterfaceLuidToIndex")));
  ULONG index = by_name != nullptr ? by_name(name) : 0;
  if (index == 0 && alias_to_luid != nullptr && luid_to_index != nullptr) {
    WCHAR alias[257] = {};
    ULONG64 luid = 0;
    if (::MultiByteToWideChar(CP_ACP, 0, name, -1, alias, 256) > 0 &&
        alias_to_luid(alias, &luid) == 0 && luid_to_index(&luid, &index) != 0) {
      index = 0;
    }
  }
  ::FreeLibrary(helper);
  return index;
}
#else
std::uint32_t interface_index(const char* name) {
  return ::if_nametoindex(name);
}
#endif

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

peer_kind kind_of(const udp_peer& peer) noexcept {
  sockaddr_in6 v6{};
  if (!read_v6(peer, v6)) {
    return peer_kind::ipv4;
  }
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&v6.sin6_addr);
  static const unsigned char mapped_prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (std::memcmp(bytes, mapped_prefix, sizeof mapped_prefix) == 0) {
    return peer_kind::ipv4_mapped;
  }
  // fe80::/10, and the multicast scopes that stay on one link (ff02::, ff12::, ...).
  if ((bytes[0] == 0xFE && (bytes[1] & 0xC0) == 0x80) ||
      (bytes[0] == 0xFF && (bytes[1] & 0x0F) == 2)) {
    return peer_kind::ipv6_link_local;
  }
  return peer_kind::ipv6;
}

bool set_udp_scope(udp_peer& peer, const char* scope) noexcept {
  sockaddr_in6 v6{};
  if (!read_v6(peer, v6)) {
    return false;
  }
  std::uint32_t index = 0;
  if (!scope_number(scope, index)) {
    index = interface_index(scope);
  }
  if (index == 0) {
    return false;
  }
  v6.sin6_scope_id = index;
  store(v6, peer);
  return true;
}

}  // namespace vontrel::os
