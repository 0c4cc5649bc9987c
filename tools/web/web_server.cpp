#include "tools/web/web_server.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/host_name.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>

#ifndef _WIN32
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#endif

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace vontrel::web {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

bool parse_listen_address(const std::string& text, ListenAddress& out, std::string& error) {
  std::string address;
  std::string port = text;
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      error = "write an IPv6 address as [ADDRESS]:PORT, for example [::1]:8080";
      return false;
    }
    address = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else if (const std::size_t colon = text.rfind(':'); colon != std::string::npos) {
    address = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (address.find(':') != std::string::npos) {
      error = "write an IPv6 address in brackets: [" + address + "]:" + port;
      return false;
    }
  }
  const bool digits =
      !port.empty() && port.size() <= 5 && std::all_of(port.begin(), port.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c));
      });
  const unsigned long number = digits ? std::stoul(port) : 0;
  if (!digits || number > 65535) {
    error = "\"" + text + "\" is no [ADDRESS:]PORT: the port is a number from 0 to 65535";
    return false;
  }
  ListenAddress parsed;
  parsed.port = static_cast<unsigned short>(number);
  if (address == "localhost") {
    address = "127.0.0.1";
  }
  if (!address.empty()) {
    boost::system::error_code ec;
    asio::ip::make_address(address, ec);
    if (ec) {
      error = "\"" + address + "\" is no IP address (try 127.0.0.1, or 0.0.0.0 for every network)";
      return false;
    }
    parsed.address = address;
  }
  out = parsed;
  return true;
}

bool loopback_host(std::string_view host, unsigned short port, std::string_view bound) {
  std::size_t name_end = host.size();
  if (!host.empty() && host.front() == '[') {
    name_end = host.find(']');
    if (name_end == std::string_view::npos) {
      return false;
    }
    ++name_end;
  } else if (const std::size_t colon = host.find(':'); colon != std::string_view::npos) {
    name_end = colon;
  }
  std::string name(host.substr(0, name_end));
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const std::string_view rest = host.substr(name_end);
  const bool port_matches = rest.empty() ? port == 80 : rest == ":" + std::to_string(port);
  return port_matches && (name == "127.0.0.1" || name == "localhost" || name == "[::1]" ||
                          (!bound.empty() && name == bound));
}

std::vector<std::string> phone_addresses(const std::vector<InterfaceAddress>& found) {
  // Bridges that Docker, Podman, libvirt, LXC and WSL set up for their guests.
  static const char* const guest_bridges[] = {"docker", "br-",     "veth",     "virbr",
                                              "lxcbr",  "lxdbr",   "cni",      "podman",
                                              "vmnet",  "vboxnet", "vEthernet"};
  std::vector<std::pair<int, std::string>> ranked;
  for (const InterfaceAddress& entry : found) {
    boost::system::error_code bad;
    const asio::ip::address parsed = asio::ip::make_address(entry.address, bad);
    if (bad || !parsed.is_v4() || parsed.is_loopback() || !entry.up) {
      continue;
    }
    const bool guest =
        std::any_of(std::begin(guest_bridges), std::end(guest_bridges),
                    [&](const char* prefix) { return entry.interface.rfind(prefix, 0) == 0; });
    const asio::ip::address_v4::bytes_type b = parsed.to_v4().to_bytes();
    if (guest || (b[0] == 169 && b[1] == 254) || b[0] == 0) {
      continue;
    }
    const int rank = b[0] == 192 && b[1] == 168                ? 0
                     : b[0] == 10                              ? 1
                     : b[0] == 172 && b[1] >= 16 && b[1] <= 31 ? 2
                                                               : 3;
    ranked.emplace_back(rank, entry.address);
  }
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::string> addresses;
  for (const auto& [rank, address] : ranked) {
    if (std::find(addresses.begin(), addresses.end(), address) == addresses.end()) {
      addresses.push_back(address);
    }
  }
  return addresses;
}

std::vector<std::string> network_addresses() {
  std::vector<InterfaceAddress> found;
#ifdef _WIN32
  // Windows answers for its own name from its adapters, without asking the network. It says
  // nothing of the adapters' names or state: those it lists have an address, so are up.
  asio::io_context io;
  tcp::resolver resolver(io);
  boost::system::error_code ec;
  const auto results = resolver.resolve(tcp::v4(), asio::ip::host_name(ec), "", ec);
  if (!ec) {
    for (const auto& entry : results) {
      found.push_back({"", entry.endpoint().address().to_string(), true});
    }
  }
#else
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) == 0) {
    for (const ifaddrs* at = list; at != nullptr; at = at->ifa_next) {
      if (at->ifa_addr != nullptr && at->ifa_addr->sa_family == AF_INET) {
        char text[INET_ADDRSTRLEN] = {};
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(at->ifa_addr);
        if (::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text) != nullptr) {
          const bool up = (at->ifa_flags & IFF_UP) != 0 && (at->ifa_flags & IFF_RUNNING) != 0;
          found.push_back({at->ifa_name != nullptr ? at->ifa_name : "", text, up});
        }
      }
    }
    ::freeifaddrs(list);
  }
#endif
  return phone_addresses(found);
}

bool reachable_from_network(const ListenAddress& listen) {
  boost::system::error_code ec;
  const asio::ip::address address = asio::ip::make_address(listen.address, ec);
  return ec || !address.is_loopback();
}

namespace {

class Session;

// What the tool last published, handed across under a lock.
struct Published {
  std::mutex mutex;
  std::shared_ptr<const std::string> state;
  std::uint64_t version = 1;
};

}  // namespace

struct DashboardServer::Impl {
  asio::io_context io{1};
  tcp::acceptor acceptor{io};
  asio::steady_timer tick{io};
  asio::steady_timer backoff{io};
  std::thread thread;
  std::promise<void> finished;
  std::string page;
  std::string url;
  unsigned short port = 0;
  bool loopback = true;  // bound where only this machine reaches: requests must say so too
  std::string bound;     // the loopback address bound, as a Host names it ("127.0.0.2")
  Published published;

  // The server's thread only.
  bool stopping = false;
  std::vector<std::weak_ptr<Session>> sessions;  // every client counted against the limit
  std::vector<std::weak_ptr<Session>> refused;   // 503s still waiting for their client to close

  std::pair<std::shared_ptr<const std::string>, std::uint64_t> latest() {
    const std::lock_guard<std::mutex> lock(published.mutex);
    return {published.state, published.version};
  }

  void accept();
  // With every place taken, closes the client that has waited longest without a request.
  void make_room();
  void on_tick();
  void shut_down();
  static void prune(std::vector<std::weak_ptr<Session>>& list) {
    list.erase(std::remove_if(list.begin(), list.end(),
                              [](const std::weak_ptr<Session>& s) { return s.expired(); }),
               list.end());
  }
};

namespace {

constexpr char SECURITY_HEADERS[] =
    "Cache-Control: no-store\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Content-Security-Policy: default-src 'self'; script-src 'unsafe-inline'; "
    "style-src 'unsafe-inline'; img-src data:\r\n";

// One client: requests answered in turn, or, after GET /events, an event stream.
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, DashboardServer::Impl& server)
      : stream_(std::move(socket)), server_(server) {}

  void start() { read_request(); }

  // Refuses a client over the limit, then closes. A lingering refusal waits for the client to
  // close first, so the 503 is not lost to a reset; past a bound they are closed at once.
  void refuse(bool linger) {
    linger_ = linger;
    respond(http::status::service_unavailable, "too many dashboard clients; try again later\n",
            "text/plain", "Retry-After: 5\r\n");
  }

  // Sends the latest state if the stream is idle and behind. At most once per tick.
  void offer(const std::shared_ptr<const std::string>& state, std::uint64_t version) {
    if (streaming_ && std::chrono::steady_clock::now() - stream_started_ > STREAM_LIFETIME) {
      end_stream();
      return;
    }
    if (!streaming_ || writing_) {
      return;
    }
    const auto now = std::chrono::steady_clock::now();
    std::shared_ptr<std::string> event;
    if (version != sent_version_ && state) {
      sent_version_ = version;
      event = std::make_shared<std::string>("data: " + *state + "\n\n");
    } else if (now - last_sent_ >= HEARTBEAT_INTERVAL) {
      // Nothing new (no game yet, or it is paused): the page still hears that the tool runs.
      event = std::make_shared<std::string>("event: alive\ndata: {}\n\n");
    } else {
      return;
    }
    writing_ = true;
    last_sent_ = now;
    // A client that cannot take one small event in this time is dropped: its socket buffer is
    // full, and nothing of ours waits for it.
    stream_.expires_after(SLOW_CLIENT_TIMEOUT);
    asio::async_write(stream_, asio::buffer(*event),
                      [self = shared_from_this(), event](beast::error_code ec, std::size_t) {
                        self->writing_ = false;
                        if (ec) {
                          self->close();
                        }
                      });
  }

  // The stream's body ends with the connection; the browser reconnects by itself. The request
  // was read whole, so closing loses nothing: what was sent still reaches the client.
  void end_stream() {
    streaming_ = false;
    close();
  }

  void close() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.close();
  }

  // Waiting for a request of which nothing has come yet: a keep-alive connection between two
  // requests, or a connection a browser opened ahead of need. Since when, for the oldest.
  bool idle() const { return waiting_ && buffer_.size() == 0; }
  std::chrono::steady_clock::time_point waiting_since() const { return waiting_since_; }

 private:
  void read_request() {
    waiting_ = true;
    waiting_since_ = std::chrono::steady_clock::now();
    parser_.emplace();
    parser_->header_limit(8 * 1024);
    stream_.expires_after(REQUEST_TIMEOUT);
    http::async_read(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code ec, std::size_t) { self->on_request(ec); });
  }

  void on_request(beast::error_code ec) {
    waiting_ = false;
    if (ec == http::error::end_of_stream || ec == http::error::partial_message) {
      close();
      return;
    }
    if (ec == http::error::header_limit) {
      respond(http::status::request_header_fields_too_large, "request headers too large\n");
      return;
    }
    if (ec == http::error::unexpected_body || ec == http::error::body_limit) {
      respond(http::status::payload_too_large, "the dashboard takes no request body\n");
      return;
    }
    if (ec && ec.category() == http::make_error_code(http::error::bad_target).category()) {
      respond(http::status::bad_request, "bad request\n");
      return;
    }
    if (ec) {  // time-out, reset, closed: nothing to answer
      close();
      return;
    }
    const auto& request = parser_->get();
    head_ = request.method() == http::verb::head;
    keep_alive_ = request.keep_alive();
    std::string_view target(request.target().data(), request.target().size());
    std::optional<std::string_view> host;
    if (const auto found = request.find(http::field::host); found != request.end()) {
      host = std::string_view(found->value().data(), found->value().size());
    }
    // An absolute-form target ("GET http://127.0.0.1:8080/state") carries the host itself,
    // and a server takes it in place of the Host header.
    if (target.size() > 7 && beast::iequals(beast::string_view(target.data(), 7), "http://")) {
      const std::size_t path_at = target.find('/', 7);
      host = target.substr(7, path_at == std::string_view::npos ? target.npos : path_at - 7);
      target = path_at == std::string_view::npos ? "/" : target.substr(path_at);
    }
    if (!host && request.version() >= 11) {
      respond(http::status::bad_request, "an HTTP/1.1 request names its Host\n");
      return;
    }
    if (server_.loopback && host && !loopback_host(*host, server_.port, server_.bound)) {
      respond(http::status::forbidden,
              "this dashboard answers only to 127.0.0.1, localhost and [::1]\n");
      return;
    }
    if (request.method() != http::verb::get && !head_) {
      respond(http::status::method_not_allowed, "the dashboard only reads: GET or HEAD\n",
              "text/plain", "Allow: GET, HEAD\r\n");
      return;
    }
    const std::string_view path = target.substr(0, target.find('?'));
    if (path == "/" || path == "/index.html") {
      respond(http::status::ok, server_.page, "text/html; charset=utf-8");
    } else if (path == "/state") {
      const auto state = server_.latest().first;
      respond(http::status::ok, (state ? *state : std::string("{}")) + "\n", "application/json");
    } else if (path == "/events" && !head_) {
      start_stream();
    } else if (path == "/events") {
      respond(http::status::ok, "", "text/event-stream");
    } else {
      respond(http::status::not_found, "not found: the dashboard has /, /state and /events\n");
    }
  }

  // A HEAD request gets the headers alone, whatever the answer.
  void respond(http::status status, const std::string& body, const std::string& type = "text/plain",
               const std::string& extra = "") {
    const bool keep = keep_alive_ && static_cast<int>(status) < 400;
    std::string text = "HTTP/1.1 " + std::to_string(static_cast<int>(status)) + " " +
                       std::string(http::obsolete_reason(status)) + "\r\nContent-Type: " + type +
                       "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" +
                       SECURITY_HEADERS + extra + (keep ? "" : "Connection: close\r\n") + "\r\n";
    if (!head_) {
      text += body;
    }
    auto response = std::make_shared<std::string>(std::move(text));
    if (!keep) {
      write_and_close(response);
      return;
    }
    stream_.expires_after(SLOW_CLIENT_TIMEOUT * 5);
    asio::async_write(stream_, asio::buffer(*response),
                      [self = shared_from_this(), response](beast::error_code ec, std::size_t) {
                        if (ec) {
                          self->close();
                        } else {
                          self->read_request();
                        }
                      });
  }

  void write_and_close(const std::shared_ptr<std::string>& text) {
    stream_.expires_after(SLOW_CLIENT_TIMEOUT);
    asio::async_write(stream_, asio::buffer(*text),
                      [self = shared_from_this(), text](beast::error_code, std::size_t) {
                        if (!self->linger_) {
                          self->close();
                          return;
                        }
                        beast::error_code ignored;
                        self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
                        self->stream_.expires_after(SLOW_CLIENT_TIMEOUT);
                        self->discard_until_closed();
                      });
  }

  // Reads and ignores what the client sends until it closes, or the time set runs out, then
  // closes. After a last response this keeps the close from resetting the connection under a
  // reply not yet read; on an event stream it notices a client that went away while the state
  // stands still.
  void discard_until_closed() {
    stream_.async_read_some(asio::buffer(discard_),
                            [self = shared_from_this()](beast::error_code ec, std::size_t) {
                              if (ec) {
                                self->close();
                              } else {
                                self->discard_until_closed();
                              }
                            });
  }

  void start_stream() {
    // A small send buffer: a client that stops reading is found out within seconds, and
    // holds little of our memory meanwhile. Twenty events a second fit it many times over.
    beast::error_code ignored;
    stream_.socket().set_option(asio::socket_base::send_buffer_size(16 * 1024), ignored);
    auto header = std::make_shared<std::string>(
        std::string("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n") + SECURITY_HEADERS +
        "Connection: keep-alive\r\n\r\nretry: 1000\n\n");
    stream_.expires_after(SLOW_CLIENT_TIMEOUT);
    asio::async_write(stream_, asio::buffer(*header),
                      [self = shared_from_this(), header](beast::error_code ec, std::size_t) {
                        if (ec) {
                          self->close();
                          return;
                        }
                        self->streaming_ = true;
                        self->stream_started_ = std::chrono::steady_clock::now();
                        self->stream_.expires_never();
                        self->discard_until_closed();
                        const auto [state, version] = self->server_.latest();
                        self->offer(state, version);
                      });
  }

  beast::tcp_stream stream_;
  DashboardServer::Impl& server_;
  beast::flat_buffer buffer_{std::size_t{16} * 1024};
  std::optional<http::request_parser<http::empty_body>> parser_;
  char discard_[512] = {};
  std::chrono::steady_clock::time_point last_sent_{};
  bool keep_alive_ = false;
  bool head_ = false;
  bool linger_ = true;
  bool streaming_ = false;
  bool waiting_ = false;
  std::chrono::steady_clock::time_point waiting_since_;
  std::chrono::steady_clock::time_point stream_started_;
  bool writing_ = false;
  std::uint64_t sent_version_ = 0;
};

}  // namespace

void DashboardServer::Impl::accept() {
  acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
    if (stopping) {
      return;
    }
    // Out of descriptors or memory, the connection waits in the backlog and the next accept
    // fails at once: retrying straight away would spin a core until something is freed.
    if (ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space ||
        ec == asio::error::no_memory || ec == boost::system::errc::too_many_files_open_in_system) {
      backoff.expires_after(ACCEPT_BACKOFF);
      backoff.async_wait([this](beast::error_code waited) {
        if (!waited && !stopping) {
          accept();
        }
      });
      return;
    }
    if (!ec) {
      prune(sessions);
      prune(refused);
      auto session = std::make_shared<Session>(std::move(socket), *this);
      if (sessions.size() >= static_cast<std::size_t>(MAX_CLIENTS)) {
        make_room();
      }
      if (sessions.size() >= static_cast<std::size_t>(MAX_CLIENTS)) {
        const bool linger = refused.size() < static_cast<std::size_t>(MAX_CLIENTS);
        if (linger) {
          refused.push_back(session);
        }
        session->refuse(linger);
      } else {
        sessions.push_back(session);
        session->start();
      }
    }
    accept();
  });
}

void DashboardServer::Impl::make_room() {
  auto oldest = sessions.end();
  for (auto it = sessions.begin(); it != sessions.end(); ++it) {
    const auto session = it->lock();
    if (session && session->idle() &&
        (oldest == sessions.end() || session->waiting_since() < oldest->lock()->waiting_since())) {
      oldest = it;
    }
  }
  if (oldest != sessions.end()) {
    oldest->lock()->close();
    sessions.erase(oldest);
  }
}

void DashboardServer::Impl::on_tick() {
  if (stopping) {
    return;
  }
  const auto [state, version] = latest();
  prune(sessions);
  for (const auto& weak : sessions) {
    if (const auto session = weak.lock()) {
      session->offer(state, version);
    }
  }
  tick.expires_after(PUSH_INTERVAL);
  tick.async_wait([this](beast::error_code ec) {
    if (!ec) {
      on_tick();
    }
  });
}

void DashboardServer::Impl::shut_down() {
  stopping = true;
  beast::error_code ignored;
  acceptor.close(ignored);
  tick.cancel();
  backoff.cancel();
  for (const auto& weak : sessions) {
    if (const auto session = weak.lock()) {
      session->close();
    }
  }
}

std::unique_ptr<DashboardServer> DashboardServer::start(const ListenAddress& listen,
                                                        std::string initial_state, Failure& failure,
                                                        std::string& error) {
  auto impl = std::make_unique<Impl>();
  impl->page = dashboard_page();
  impl->published.state = std::make_shared<const std::string>(std::move(initial_state));

  beast::error_code ec;
  const asio::ip::address address = asio::ip::make_address(listen.address, ec);
  if (ec) {
    failure = Failure::address;
    error = "\"" + listen.address + "\" is no IP address";
    return nullptr;
  }
  const tcp::endpoint endpoint(address, listen.port);
  const std::string where = (address.is_v6() ? "[" + listen.address + "]" : listen.address) + ":" +
                            std::to_string(listen.port);
  impl->acceptor.open(endpoint.protocol(), ec);
#ifndef _WIN32
  // A restarted tool may take its port back at once. (On Windows this option would let two
  // programs share one port, and a taken port would go unnoticed.)
  if (!ec) {
    impl->acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
  }
#endif
  if (!ec) {
    impl->acceptor.bind(endpoint, ec);
  }
  if (ec == asio::error::address_in_use || ec == asio::error::access_denied) {
    failure = Failure::taken;
    error = "cannot serve the dashboard on " + where + ": " +
            (ec == asio::error::address_in_use ? "the port is taken by another program"
                                               : "this user may not use that port") +
            " (choose another with --web PORT)";
    return nullptr;
  }
  if (ec == boost::system::errc::address_not_available) {
    failure = Failure::address;
    error =
        "cannot serve the dashboard on " + where + ": no network of this machine has that address";
    return nullptr;
  }
  if (!ec) {
    impl->acceptor.listen(asio::socket_base::max_listen_connections, ec);
  }
  if (ec) {
    failure = Failure::other;
    error = "cannot serve the dashboard on " + where + ": " + ec.message();
    return nullptr;
  }
  impl->port = impl->acceptor.local_endpoint(ec).port();
  impl->loopback = address.is_loopback();
  impl->bound = address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
  // "Every network" is no address a browser can open: name this machine's own instead.
  const std::string shown = address.is_unspecified()
                                ? (address.is_v6() ? "[::1]" : "127.0.0.1")
                                : (address.is_v6() ? "[" + listen.address + "]" : listen.address);
  impl->url = "http://" + shown + ":" + std::to_string(impl->port) + "/";
  failure = Failure::none;

  impl->accept();
  impl->on_tick();
  Impl* raw = impl.get();
  impl->thread = std::thread([raw] {
    try {
      raw->io.run();
    } catch (...) {
      // A failing dashboard must not take the tool down with it.
    }
    raw->finished.set_value();
  });
  return std::unique_ptr<DashboardServer>(new DashboardServer(std::move(impl)));
}

DashboardServer::DashboardServer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

DashboardServer::~DashboardServer() {
  Impl& impl = *impl_;
  asio::post(impl.io, [&impl] { impl.shut_down(); });
  // Every connection ends within moments of being closed; should one not, stop regardless.
  if (impl.finished.get_future().wait_for(std::chrono::seconds(2)) != std::future_status::ready) {
    impl.io.stop();
  }
  impl.thread.join();
}

void DashboardServer::publish(std::string state) {
  auto shared = std::make_shared<const std::string>(std::move(state));
  const std::lock_guard<std::mutex> lock(impl_->published.mutex);
  if (impl_->published.state && *impl_->published.state == *shared) {
    return;
  }
  impl_->published.state = std::move(shared);
  ++impl_->published.version;
}

std::string DashboardServer::url() const {
  return impl_->url;
}

unsigned short DashboardServer::port() const {
  return impl_->port;
}

}  // namespace vontrel::web
