// What --web accepts, and what it refuses before any socket is opened.
#include "tools/web/web_server.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vontrel::web {
namespace {

TEST(WebServer, ListenAddresses) {
  struct Case {
    const char* text;
    bool good;
    const char* address;
    unsigned short port;
    bool network;
  };
  const Case cases[] = {
      {"8080", true, "127.0.0.1", 8080, false},
      {"0", true, "127.0.0.1", 0, false},
      {"0.0.0.0:80", true, "0.0.0.0", 80, true},
      {"192.168.1.20:65535", true, "192.168.1.20", 65535, true},
      {"localhost:8080", true, "127.0.0.1", 8080, false},
      {"[::1]:8080", true, "::1", 8080, false},
      {"[::]:8080", true, "::", 8080, true},
      {"", false, "", 0, false},
      {"65536", false, "", 0, false},
      {"80a", false, "", 0, false},
      {"-1", false, "", 0, false},
      {"127.0.0.1:", false, "", 0, false},
      {"::1:8080", false, "", 0, false},  // IPv6 without brackets
      {"[::1]8080", false, "", 0, false},
      {"example.org:80", false, "", 0, false},  // names are not looked up
      {"999.1.1.1:80", false, "", 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ListenAddress listen;
    std::string error;
    ASSERT_EQ(parse_listen_address(c.text, listen, error), c.good) << error;
    if (c.good) {
      EXPECT_EQ(listen.address, c.address);
      EXPECT_EQ(listen.port, c.port);
      EXPECT_EQ(reachable_from_network(listen), c.network);
    } else {
      EXPECT_FALSE(error.empty());
    }
  }
}

// What a browser on this machine sends as Host, and what a rebinding page elsewhere sends.
TEST(WebServer, LoopbackHosts) {
  EXPECT_TRUE(loopback_host("127.0.0.1:8080", 8080));
  EXPECT_TRUE(loopback_host("LOCALHOST:8080", 8080));
  EXPECT_TRUE(loopback_host("[::1]:8080", 8080));
  EXPECT_TRUE(loopback_host("127.0.0.1", 80));
  EXPECT_FALSE(loopback_host("127.0.0.1:8081", 8080));
  EXPECT_FALSE(loopback_host("attacker.example:8080", 8080));
  EXPECT_FALSE(loopback_host("127.0.0.2:8080", 8080));
  // Bound to another loopback address, the tool prints that address: it must open the page.
  EXPECT_TRUE(loopback_host("127.0.0.2:8080", 8080, "127.0.0.2"));
  EXPECT_FALSE(loopback_host("127.0.0.3:8080", 8080, "127.0.0.2"));
}

TEST(WebServer, PhoneAddressesLeaveOutWhatNoPhoneReachesAndPutTheLanFirst) {
  const std::vector<InterfaceAddress> found = {
      {"lo", "127.0.0.1", true},
      {"docker0", "172.17.0.1", true},
      {"br-1a2b3c", "172.18.0.1", true},
      {"virbr0", "192.168.122.1", true},
      {"veth12ab", "10.1.0.1", true},
      {"eth1", "169.254.10.20", true},   // no router gave this one an address
      {"wlan0", "192.168.1.30", false},  // down
      {"tun0", "100.64.3.4", true},
      {"eth0", "10.0.0.5", true},
      {"wlan1", "192.168.1.20", true},
      {"eth2", "172.20.1.9", true},
      {"eth3", "10.0.0.5", true},  // the same address twice
  };
  EXPECT_EQ(phone_addresses(found),
            (std::vector<std::string>{"192.168.1.20", "10.0.0.5", "172.20.1.9", "100.64.3.4"}));
}

}  // namespace
}  // namespace vontrel::web
