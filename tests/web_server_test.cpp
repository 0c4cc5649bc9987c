// What --web accepts, and what it refuses before any socket is opened.
#include "tools/web/web_server.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace vontrel::web
