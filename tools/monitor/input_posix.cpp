// The monitor's input over POSIX: termios devices, a pseudo-terminal of its own, files.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "os/termios_values.h"
#include "tools/common/listed_ports.h"
#include "tools/common/pty_link.h"
#include "tools/monitor/input.h"

namespace vontrel::monitor {

namespace {

// Raw 115200 8N1, as the plug-in's side of the line is set.
bool make_raw(int fd, bool crtscts) {
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) {
    return false;
  }
  ::cfmakeraw(&tio);
  ::cfsetispeed(&tio, B115200);
  ::cfsetospeed(&tio, B115200);
  tio.c_cflag |= CLOCAL | CREAD;
  if (crtscts) {
    tio.c_cflag |= CRTSCTS;
  }
  return ::tcsetattr(fd, TCSANOW, &tio) == 0;
}

// The line settings the other side last chose, for a virtual port (the master side reads the
// slave's settings).
nlohmann::json line_settings(int fd) {
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) {
    return nullptr;
  }
  const char* parity = (tio.c_cflag & PARENB) == 0 ? "none"
                       : (tio.c_cflag & PARODD)    ? "odd"
                                                   : "even";
  return {{"event", "line"},
          {"baud", os::termios_values::baud_of(::cfgetospeed(&tio))},
          {"data_bits", os::termios_values::byte_size_of(tio.c_cflag)},
          {"parity", parity},
          {"stop_bits", (tio.c_cflag & CSTOPB) != 0 ? 2 : 1},
          {"crtscts", (tio.c_cflag & CRTSCTS) != 0},
          {"raw_output", (tio.c_oflag & OPOST) == 0}};
}

// A descriptor we read with poll: a device, a file or standard input.
class DescriptorInput : public Input {
 public:
  DescriptorInput(int fd, std::string name, bool file)
      : fd_(fd), name_(std::move(name)), file_(file) {}
  ~DescriptorInput() override {
    if (fd_ > STDIN_FILENO) {
      ::close(fd_);
    }
  }

  long read(std::uint8_t* buffer, std::size_t size, int timeout_ms) override {
    pollfd waiting{fd_, POLLIN, 0};
    const int ready = ::poll(&waiting, 1, timeout_ms);
    if (ready < 0) {
      return errno == EINTR ? 0 : -1;
    }
    if (ready == 0) {
      return 0;
    }
    const ssize_t n = ::read(fd_, buffer, size);
    if (n < 0) {
      return errno == EINTR || errno == EAGAIN ? 0 : gone();
    }
    if (n == 0) {
      return file_ ? -1 : idle();
    }
    return static_cast<long>(n);
  }
  std::string name() const override { return name_; }
  bool is_file() const override { return file_; }

  WriteResult write(const std::uint8_t* data, std::size_t length, int timeout_ms) override {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::size_t done = 0;
    while (done < length) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          until - std::chrono::steady_clock::now());
      pollfd waiting{fd_, POLLOUT, 0};
      const int ready = left.count() > 0 ? ::poll(&waiting, 1, static_cast<int>(left.count())) : 0;
      if (ready < 0 && errno == EINTR) {
        continue;
      }
      if (ready > 0 && (waiting.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        return WriteResult::gone;  // unplugged, or the far end of a pseudo-terminal closed
      }
      if (ready <= 0) {
        return WriteResult::timed_out;
      }
      const ssize_t n = ::write(fd_, data + done, length - done);
      if (n < 0 && errno != EINTR && errno != EAGAIN) {
        return WriteResult::gone;
      }
      done += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    return WriteResult::done;
  }

 protected:
  virtual long gone() { return -1; }
  static long idle() {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return 0;
  }
  int fd() const { return fd_; }

 private:
  int fd_;
  std::string name_;
  bool file_;
};

// The master side of a pseudo-terminal; we keep the slave open too, so the master never
// reports a hang-up while the plug-in has the port closed: we wait for the next bytes.
class VirtualInput : public DescriptorInput {
 public:
  VirtualInput(int master, int slave, std::string name, std::string link)
      : DescriptorInput(master, std::move(name), false), slave_(slave), link_(std::move(link)) {}
  ~VirtualInput() override {
    ::close(slave_);
    if (!link_.empty()) {
      tools::remove_pty_link(link_, name());
    }
  }
  nlohmann::json line_settings() const override { return monitor::line_settings(fd()); }

 protected:
  long gone() override { return idle(); }  // EIO while nobody has the port open

 private:
  int slave_;
  std::string link_;
};

}  // namespace

std::unique_ptr<Input> open_device(const std::string& name, bool crtscts, std::string& error) {
  const int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  // One owner, as the plug-in holds its port: a line another program has locked is refused.
  if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    error = "cannot open " + name + ": another program has it";
    ::close(fd);
    return nullptr;
  }
  if (fd < 0 || !make_raw(fd, crtscts)) {
    error = "cannot open " + name + " at 115200 8N1: " + std::strerror(errno);
    if (fd >= 0) {
      ::close(fd);
    }
    return nullptr;
  }
  return std::make_unique<DescriptorInput>(fd, name, false);
}

std::unique_ptr<Input> open_virtual(const std::string& link, bool crtscts, std::string& error) {
  int master = -1;
  int slave = -1;
  if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
    error = std::string("cannot create a virtual port: ") + std::strerror(errno);
    return nullptr;
  }
  ::fcntl(master, F_SETFD, FD_CLOEXEC);
  ::fcntl(slave, F_SETFD, FD_CLOEXEC);
  // The line keeps the system's defaults for a new terminal (38400 baud, output
  // post-processing on), so what the plug-in sets when it opens the port shows.
  if (crtscts) {
    termios tio{};
    ::tcgetattr(slave, &tio);
    tio.c_cflag |= CRTSCTS;
    ::tcsetattr(slave, TCSANOW, &tio);
  }
  char name[256] = {};
  if (::ttyname_r(slave, name, sizeof name) != 0) {
    error = "cannot name the virtual port";
    ::close(master);
    ::close(slave);
    return nullptr;
  }
  if (!link.empty() && !tools::make_pty_link(link, name, error)) {
    ::close(master);
    ::close(slave);
    return nullptr;
  }
  return std::make_unique<VirtualInput>(master, slave, name, link);
}

std::unique_ptr<Input> open_file(const std::string& path, std::string& error) {
  if (path == "-") {
    return std::make_unique<DescriptorInput>(STDIN_FILENO, "standard input", true);
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  struct stat status {};
  if (::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) {
    ::close(fd);
    error = "cannot read " + path + ": it is a directory";
    return nullptr;
  }
  return std::make_unique<DescriptorInput>(fd, path, true);
}

const char* const WHERE_PORTS_APPEAR =
    "a USB-serial adapter or an Arduino-class board appears as /dev/ttyUSB0 or /dev/ttyACM0 "
    "once plugged in (and under /dev/serial/by-id/)";

std::vector<PortInfo> list_ports() {
  return tools::listed_ports();
}

}  // namespace vontrel::monitor
