// The --web option both tools share.
#ifndef VONTREL_TOOLS_WEB_SERVE_H
#define VONTREL_TOOLS_WEB_SERVE_H

#include <cstdio>
#include <memory>
#include <string>

#include "tools/web/dashboard_state.h"
#include "tools/web/web_server.h"

namespace vontrel::web {

// Exit statuses when the dashboard cannot be served.
constexpr int EXIT_WEB_ADDRESS = 64;  // no [ADDRESS:]PORT, or no address of this machine
constexpr int EXIT_WEB_TAKEN = 69;    // another program has the port
constexpr int EXIT_WEB_FAILED = 71;   // anything else the system refused

// Parses "[ADDRESS:]PORT" and starts serving `idle` until the tool publishes. Says where on
// `out` (a line, or a JSON event with `json`) and, for an address the network reaches, warns
// on standard error. On failure says why on standard error and returns null with `status`.
std::unique_ptr<DashboardServer> serve_dashboard(const char* tool, const std::string& where,
                                                 const DashboardState& idle, bool json,
                                                 std::FILE* out, int& status);

}  // namespace vontrel::web

#endif  // VONTREL_TOOLS_WEB_SERVE_H
