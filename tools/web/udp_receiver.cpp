#include "tools/web/udp_receiver.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include <chrono>
#include <cstdio>

#include "tools/web/web_server.h"

namespace vontrel::web {

namespace {

namespace asio = boost::asio;
using asio::ip::udp;

class AsioReceiver final : public UdpReceiver {
 public:
  explicit AsioReceiver(const udp::endpoint& at) : socket_(io_, at) {}

  long receive(std::uint8_t* buffer, int timeout_ms) override {
    long result = 0;
    bool done = false;
    socket_.async_receive(asio::buffer(buffer, LARGEST_DATAGRAM),
                          [&](const boost::system::error_code& ec, std::size_t length) {
                            done = true;
                            if (!ec) {
                              result = length == 0 ? EMPTY_DATAGRAM : static_cast<long>(length);
                            } else if (ec != asio::error::operation_aborted &&
                                       ec != asio::error::connection_refused &&
                                       ec != asio::error::connection_reset) {
                              result = -1;
                            }
                          });
    io_.restart();
    if (timeout_ms < 0) {
      io_.run();
    } else {
      io_.run_for(std::chrono::milliseconds(timeout_ms));
    }
    if (!done) {
      socket_.cancel();
      io_.restart();
      io_.run();
    }
    return result;
  }

  std::string name() const override {
    const udp::endpoint local = socket_.local_endpoint();
    const std::string address = local.address().to_string();
    return "udp:" + (local.address().is_v6() ? "[" + address + "]" : address) + ":" +
           std::to_string(local.port());
  }

  unsigned short port() const { return socket_.local_endpoint().port(); }

 private:
  asio::io_context io_;
  udp::socket socket_;
};

}  // namespace

std::unique_ptr<UdpReceiver> UdpReceiver::open(const char* tool, const std::string& where,
                                               std::string& error) {
  ListenAddress listen;
  if (!parse_listen_address(where, listen, error)) {
    return nullptr;
  }
  std::unique_ptr<AsioReceiver> receiver;
  try {
    receiver = std::make_unique<AsioReceiver>(
        udp::endpoint(asio::ip::make_address(listen.address), listen.port));
  } catch (const boost::system::system_error& e) {
    error = "cannot take datagrams at " + where + ": " + e.code().message();
    return nullptr;
  }
  if (reachable_from_network(listen)) {
    std::fprintf(stderr,
                 "%s: --udp is reachable from the network on port %u: anyone who can reach this "
                 "machine can send it cycles\n",
                 tool, receiver->port());
  }
  return receiver;
}

}  // namespace vontrel::web
