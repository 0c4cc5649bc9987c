// --udp: the simulated board's line fed from the plug-in's datagrams. Each datagram goes into
// the board's serial port whole; the simulated UART takes it from there at 115200 baud, as
// from a cable.
#ifndef VONTREL_TOOLS_CLUSTER_UDP_FEED_H
#define VONTREL_TOOLS_CLUSTER_UDP_FEED_H

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "tools/web/udp_receiver.h"

namespace vontrel::cluster {

class UdpFeed {
 public:
  // Takes datagrams at `where` and writes them into the pseudo-terminal `port`. Null, with
  // the reason, when either cannot be had.
  static std::unique_ptr<UdpFeed> start(const std::string& where, const std::string& port,
                                        std::string& error);
  ~UdpFeed();
  UdpFeed(const UdpFeed&) = delete;
  UdpFeed& operator=(const UdpFeed&) = delete;

  std::string name() const { return receiver_->name(); }

 private:
  UdpFeed(std::unique_ptr<web::UdpReceiver> receiver, int fd);
  void run();

  std::unique_ptr<web::UdpReceiver> receiver_;
  int fd_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace vontrel::cluster

#endif  // VONTREL_TOOLS_CLUSTER_UDP_FEED_H
