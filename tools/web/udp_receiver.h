// Datagrams as a tool's wire: the plug-in's udp_target sends each cycle and each reset frame
// as one datagram. vontrel-monitor and vontrel-cluster take them at "[ADDRESS:]PORT", the
// address 127.0.0.1 unless given, as --web takes its own.
#ifndef VONTREL_TOOLS_WEB_UDP_RECEIVER_H
#define VONTREL_TOOLS_WEB_UDP_RECEIVER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vontrel::web {

// Larger than any datagram, so none is cut short.
constexpr std::size_t LARGEST_DATAGRAM = 65536;
// What receive() gives for a datagram of no bytes, which is one all the same.
constexpr long EMPTY_DATAGRAM = -2;

class UdpReceiver {
 public:
  virtual ~UdpReceiver() = default;
  UdpReceiver(const UdpReceiver&) = delete;
  UdpReceiver& operator=(const UdpReceiver&) = delete;

  // Binds to "[ADDRESS:]PORT" (port 0: any free one). Null, with the reason, when the text is
  // no such address or the system refuses it. An address that other machines reach is warned
  // of on standard error, under `tool`'s name.
  static std::unique_ptr<UdpReceiver> open(const char* tool, const std::string& where,
                                           std::string& error);

  // One datagram into `buffer` (LARGEST_DATAGRAM bytes): its length, EMPTY_DATAGRAM for one
  // of no bytes, 0 when none came within `timeout_ms`, -1 when the socket failed.
  virtual long receive(std::uint8_t* buffer, int timeout_ms) = 0;
  // "udp:127.0.0.1:5005", with the port the system chose.
  virtual std::string name() const = 0;

 protected:
  UdpReceiver() = default;
};

}  // namespace vontrel::web

#endif  // VONTREL_TOOLS_WEB_UDP_RECEIVER_H
