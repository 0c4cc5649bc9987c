#include "tools/cluster/udp_feed.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace vontrel::cluster {

std::unique_ptr<UdpFeed> UdpFeed::start(const std::string& where, const std::string& port,
                                        std::string& error) {
  auto receiver = web::UdpReceiver::open("vontrel-cluster", where, error);
  if (!receiver) {
    return nullptr;
  }
  // Non-blocking: a write waits in slices that look at the stop, so a board that has stopped
  // reading (the tool is ending) never holds the feed.
  const int fd = ::open(port.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  termios tio{};
  if (fd < 0 || ::tcgetattr(fd, &tio) != 0) {
    error = "cannot open the board's port " + port + ": " + std::strerror(errno);
    if (fd >= 0) {
      ::close(fd);
    }
    return nullptr;
  }
  // Raw, as the plug-in sets its side: a 0x0A byte must not become 0x0D 0x0A.
  ::cfmakeraw(&tio);
  ::cfsetospeed(&tio, B115200);
  ::tcsetattr(fd, TCSANOW, &tio);
  return std::unique_ptr<UdpFeed>(new UdpFeed(std::move(receiver), fd));
}

UdpFeed::UdpFeed(std::unique_ptr<web::UdpReceiver> receiver, int fd)
    : receiver_(std::move(receiver)), fd_(fd), thread_([this] { run(); }) {}

UdpFeed::~UdpFeed() {
  stop_ = true;
  thread_.join();
  ::close(fd_);
}

void UdpFeed::run() {
  std::vector<std::uint8_t> datagram(web::LARGEST_DATAGRAM);
  while (!stop_) {
    const long n = receiver_->receive(datagram.data(), 100);
    for (long done = 0; done < n && !stop_;) {
      const ssize_t written =
          ::write(fd_, datagram.data() + done, static_cast<std::size_t>(n - done));
      if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        pollfd waiting{fd_, POLLOUT, 0};
        ::poll(&waiting, 1, 100);
        continue;
      }
      if (written < 0 && errno != EINTR) {
        break;
      }
      done += written > 0 ? written : 0;
    }
  }
}

}  // namespace vontrel::cluster
