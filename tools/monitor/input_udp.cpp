// The monitor's datagram input, the same on every platform.
#include "tools/monitor/input.h"
#include "tools/web/udp_receiver.h"

namespace vontrel::monitor {

namespace {

class UdpInput final : public Input {
 public:
  explicit UdpInput(std::unique_ptr<web::UdpReceiver> receiver) : receiver_(std::move(receiver)) {}

  long read(std::uint8_t* buffer, std::size_t size, int timeout_ms) override {
    if (size < web::LARGEST_DATAGRAM) {
      return -1;
    }
    const long n = receiver_->receive(buffer, timeout_ms);
    return n == web::EMPTY_DATAGRAM ? EMPTY_READ : n;
  }
  std::string name() const override { return receiver_->name(); }
  bool datagrams() const override { return true; }

 private:
  std::unique_ptr<web::UdpReceiver> receiver_;
};

}  // namespace

std::unique_ptr<Input> open_udp(const std::string& where, std::string& error) {
  auto receiver = web::UdpReceiver::open("vontrel-monitor", where, error);
  if (!receiver) {
    return nullptr;
  }
  return std::make_unique<UdpInput>(std::move(receiver));
}

}  // namespace vontrel::monitor
