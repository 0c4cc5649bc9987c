#include "tools/web/serve.h"

#include <boost/asio/ip/address.hpp>

#include "tools/common/json_text.h"

namespace vontrel::web {

std::unique_ptr<DashboardServer> serve_dashboard(const char* tool, const std::string& where,
                                                 const DashboardState& idle, bool json,
                                                 std::FILE* out, int& status) {
  ListenAddress listen;
  std::string error;
  if (!parse_listen_address(where, listen, error)) {
    std::fprintf(stderr, "%s: --web: %s\n", tool, error.c_str());
    status = EXIT_WEB_ADDRESS;
    return nullptr;
  }
  DashboardServer::Failure failure = DashboardServer::Failure::none;
  auto server = DashboardServer::start(listen, tools::json_text(to_json(idle)), failure, error);
  if (!server) {
    std::fprintf(stderr, "%s: %s\n", tool, error.c_str());
    status = failure == DashboardServer::Failure::taken     ? EXIT_WEB_TAKEN
             : failure == DashboardServer::Failure::address ? EXIT_WEB_ADDRESS
                                                            : EXIT_WEB_FAILED;
    return nullptr;
  }
  if (reachable_from_network(listen)) {
    std::fprintf(stderr,
                 "%s: the dashboard is reachable from the network on port %u: anyone who can "
                 "reach this machine can watch it\n",
                 tool, server->port());
    boost::system::error_code ec;
    if (boost::asio::ip::make_address(listen.address, ec).is_unspecified() && !ec) {
      for (const std::string& address : network_addresses()) {
        std::fprintf(stderr, "%s: on another device, open http://%s:%u/\n", tool, address.c_str(),
                     server->port());
      }
    }
  }
  if (json) {
    std::fprintf(out, "%s\n", tools::json_text({{"event", "web"}, {"url", server->url()}}).c_str());
  } else {
    std::fprintf(out, "dashboard at %s\n", server->url().c_str());
  }
  std::fflush(out);
  status = 0;
  return server;
}

}  // namespace vontrel::web
