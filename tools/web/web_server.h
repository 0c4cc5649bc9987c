// The dashboard in a browser: a small read-only HTTP server on its own thread, shared by
// vontrel-monitor and vontrel-cluster. The tool publishes what its cluster shows as one JSON
// object; the server hands it out at GET /state and pushes it to every open GET /events
// stream, at most 20 times a second. Nothing a client does reaches back into the tool: the
// only meeting point is the latest published state, swapped under a lock.
#ifndef VONTREL_TOOLS_WEB_WEB_SERVER_H
#define VONTREL_TOOLS_WEB_WEB_SERVER_H

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vontrel::web {

// Where to listen: "[ADDRESS:]PORT". The address is 127.0.0.1 unless given.
struct ListenAddress {
  std::string address = "127.0.0.1";
  unsigned short port = 0;  // 0: any free port
};

// "8080", "0.0.0.0:8080", "192.168.1.20:8080", "[::1]:8080", "localhost:8080". False, with
// the reason, for anything else.
bool parse_listen_address(const std::string& text, ListenAddress& out, std::string& error);

// One IPv4 address of one of this machine's network interfaces.
struct InterfaceAddress {
  std::string interface;  // "eth0", "wlan0", "docker0"; empty where the system gives none
  std::string address;    // "192.168.1.20"
  bool up = true;         // up and running
};

// Of these, the addresses a phone on the player's network may reach, the likeliest first: a
// home network's 192.168.x.x, then 10.x.x.x, then 172.16-31.x.x, then any other. Left out:
// interfaces that are down, loopback, link-local 169.254.x.x (no router gave an address), and
// bridges of containers and virtual machines, which no phone reaches.
std::vector<std::string> phone_addresses(const std::vector<InterfaceAddress>& found);

// This machine's addresses by phone_addresses(), for telling a player what to open.
std::vector<std::string> network_addresses();

// True unless the address only reaches this machine.
bool reachable_from_network(const ListenAddress& listen);

// Clients served at once. One more takes the place of the client that has waited longest
// without a request (a keep-alive connection between polls, a browser's spare connection);
// with none such, it is answered 503 and closed.
constexpr int MAX_CLIENTS = 16;
// The shortest gap between two pushes to an event stream.
constexpr std::chrono::milliseconds PUSH_INTERVAL{50};
// A client that has not taken a push, or sent its whole request, within this is dropped.
constexpr std::chrono::seconds SLOW_CLIENT_TIMEOUT{2};
constexpr std::chrono::seconds REQUEST_TIMEOUT{10};
// An event stream ends after this and the browser opens a new one within a second. A tab that
// stops reading (suspended, or on a phone whose screen went off) fills the socket's buffers
// only after minutes, so this, not the slow-client time-out, is what frees its place.
constexpr std::chrono::seconds STREAM_LIFETIME{10};
// An event stream with nothing new to say still sends this often, so the page can tell a tool
// that waits for the game from one that has stopped.
constexpr std::chrono::seconds HEARTBEAT_INTERVAL{1};
// With no descriptor left, accepting again at once would only fail again: wait this long.
constexpr std::chrono::milliseconds ACCEPT_BACKOFF{100};

// Whether a request's Host (or absolute-form authority) names this server as a browser on
// this machine would: 127.0.0.1, localhost, [::1] or `bound` (the loopback address the server
// is bound to, as its address printed: "127.0.0.2", "[::1]"), with our port (or none for port
// 80). A dashboard bound to loopback answers nothing else, so a web page that rebinds its own
// host name to 127.0.0.1 cannot read it.
bool loopback_host(std::string_view host, unsigned short port, std::string_view bound = {});

class DashboardServer {
 public:
  enum class Failure { none, address, taken, other };

  // Listens and starts serving `initial_state` until the first publish(). Null on failure,
  // with `failure` and `error` saying why.
  static std::unique_ptr<DashboardServer> start(const ListenAddress& listen,
                                                std::string initial_state, Failure& failure,
                                                std::string& error);

  DashboardServer(const DashboardServer&) = delete;
  DashboardServer& operator=(const DashboardServer&) = delete;
  ~DashboardServer();  // closes every connection and joins the thread

  // Any thread, never waits on a client.
  void publish(std::string state);

  // "http://127.0.0.1:8080/", with the port actually bound.
  std::string url() const;
  unsigned short port() const;

  struct Impl;  // the server's thread and what it owns

 private:
  explicit DashboardServer(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// The page itself, its gauges drawn to the reference cluster's scales.
std::string dashboard_page();

}  // namespace vontrel::web

#endif  // VONTREL_TOOLS_WEB_WEB_SERVER_H
