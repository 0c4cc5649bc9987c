// The os layer over POSIX: termios serial devices, the monotonic clock, getcwd.
#if !defined(_WIN32)

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <new>
#include <vector>

#include "os/os.h"
#include "os/termios_values.h"

#if defined(VONTREL_STATIC_RUNTIME)
namespace __gnu_cxx {
void __freeres();
}  // namespace __gnu_cxx
#endif

namespace vontrel::os {

static_assert(sizeof(termios) <= sizeof(line_settings::native), "termios fits the native area");

namespace {

int fd_of(device_handle device) {
  return static_cast<int>(device);
}

std::uint64_t clock_us() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
}

void sleep_us(std::uint64_t microseconds) {
  timespec wait{static_cast<time_t>(microseconds / 1000000u),
                static_cast<long>(microseconds % 1000000u) * 1000L};
  while (::nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

// Milliseconds left until `until` for poll, rounded up so that a wait never ends early.
int poll_timeout(std::uint64_t until) {
  const std::uint64_t now = clock_us();
  return now >= until ? 0 : static_cast<int>((until - now + 999u) / 1000u);
}

}  // namespace

using namespace termios_values;

device_handle open_device(const char* name, open_error* why) noexcept {
  open_error error = open_error::none;
  // Not our controlling terminal (a signal from the line must never reach the host), and no
  // wait for carrier on open. The descriptor stays non-blocking: every wait is bounded by poll.
  const int fd = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    switch (errno) {
      case ENOENT:
      case ENODEV:
      case ENXIO:
        error = open_error::no_such_port;
        break;
      case EBUSY:
        error = open_error::held;
        break;
      case EACCES:
      case EPERM:
        error = open_error::refused;
        break;
      default:
        error = open_error::other;
        break;
    }
    if (why != nullptr) {
      *why = error;
    }
    return invalid_device;
  }
  // A port has one owner, as on Windows. The lock is what serial programs take (pyserial's
  // exclusive open, our monitor), so a port one of them holds is refused, even to root; and
  // TIOCEXCL refuses any later opener but root. A program that opened the line first and took
  // neither cannot be seen.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    if (why != nullptr) {
      *why = open_error::held;
    }
    return invalid_device;
  }
  // Best effort: a device that is not a tty fails later, when its settings are read.
  ::ioctl(fd, TIOCEXCL);
  return fd;
}

bool get_line_settings(device_handle device, line_settings& settings) noexcept {
  termios tio{};
  if (::tcgetattr(fd_of(device), &tio) != 0) {
    return false;
  }
  std::memcpy(settings.native, &tio, sizeof tio);
  settings.baud_rate = baud_of(::cfgetospeed(&tio));
  settings.byte_size = byte_size_of(tio.c_cflag);
  settings.parity = (tio.c_cflag & PARENB) != 0 ? 1 : 0;
  settings.stop_bits = (tio.c_cflag & CSTOPB) != 0 ? 2 : 0;
  return true;
}

bool set_line_settings(device_handle device, const line_settings& settings) noexcept {
  termios tio{};
  std::memcpy(&tio, settings.native, sizeof tio);

  ::cfsetispeed(&tio, speed_constant(settings.baud_rate));
  ::cfsetospeed(&tio, speed_constant(settings.baud_rate));
  tio.c_cflag = (tio.c_cflag & ~CSIZE) | csize_of(settings.byte_size);
  if (settings.parity == 0) {
    tio.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD);
  } else {
    tio.c_cflag |= PARENB;
  }
  if (settings.stop_bits == 0) {
    tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
  } else {
    tio.c_cflag |= CSTOPB;
  }

  // A serial line on Windows is always binary; a tty is not. Without this a 0x0A payload byte
  // would leave as 0x0D 0x0A and tear the frame, and input from the cluster would be echoed
  // back to it. Flow control (CRTSCTS, IXON/IXOFF) stays as the driver reported it.
  tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL);
  tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;

  return ::tcsetattr(fd_of(device), TCSANOW, &tio) == 0;
}

timer_handle open_timer() noexcept {
  return 1;  // nanosleep needs nothing of its own
}

void timer_sleep(timer_handle /*timer*/, std::uint64_t microseconds) noexcept {
  sleep_us(microseconds);
}

void close_timer(timer_handle /*timer*/) noexcept {}

std::uint64_t now_us() noexcept {
  return clock_us();
}

deadline deadline_after(std::uint32_t milliseconds) noexcept {
  return clock_us() + std::uint64_t{milliseconds} * 1000u;
}

bool use_bounded_io(device_handle device) noexcept {
  const int flags = ::fcntl(fd_of(device), F_GETFL);
  return flags >= 0 &&
         ((flags & O_NONBLOCK) != 0 || ::fcntl(fd_of(device), F_SETFL, flags | O_NONBLOCK) == 0);
}

io_status write_device(device_handle device, const std::uint8_t* data, std::uint32_t length,
                       std::uint32_t& written, deadline until) noexcept {
  // Finishes short writes and rides out signals, as a synchronous write on Windows would, but
  // only until the deadline.
  std::uint32_t done = 0;
  io_status status = io_status::done;
  while (done < length) {
    const ssize_t n = ::write(fd_of(device), data + done, length - done);
    if (n >= 0) {
      done += static_cast<std::uint32_t>(n);
      continue;
    }
    if (errno == EINTR) {
      continue;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      status = io_status::failed;
      break;
    }
    pollfd waiting{fd_of(device), POLLOUT, 0};
    const int ready = ::poll(&waiting, 1, poll_timeout(until));
    if (ready == 0) {
      status = io_status::timed_out;
      break;
    }
    if (ready < 0 && errno != EINTR) {
      status = io_status::failed;
      break;
    }
  }
  written += done;
  return status;
}

io_status flush_device(device_handle device, deadline until) noexcept {
  // tcdrain has no time limit, and a USB adapter's wait for an empty transmitter may have
  // none either: watch the output queue instead.
  for (;;) {
    int pending = 0;
    if (::ioctl(fd_of(device), TIOCOUTQ, &pending) != 0) {
      return io_status::failed;
    }
    if (pending == 0) {
      return io_status::done;
    }
    const std::uint64_t now = clock_us();
    if (now >= until) {
      return io_status::timed_out;
    }
    // About the time two bytes take at 115200 baud.
    sleep_us(std::min<std::uint64_t>(until - now, 200));
  }
}

void discard_input(device_handle device) noexcept {
  ::tcflush(fd_of(device), TCIFLUSH);
}

io_status read_device(device_handle device, std::uint8_t* buffer, std::uint32_t size,
                      std::uint32_t& got) noexcept {
  got = 0;
  const ssize_t n = ::read(fd_of(device), buffer, size);
  if (n > 0) {
    got = static_cast<std::uint32_t>(n);
    return io_status::done;
  }
  // 0 is a hang-up (the other end of a pseudo-terminal closed); nothing waiting is EAGAIN.
  return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? io_status::done
                                                                              : io_status::failed;
}

bool set_control_lines(device_handle device, bool dtr, bool rts) noexcept {
  int lines = 0;
  if (::ioctl(fd_of(device), TIOCMGET, &lines) != 0) {
    return false;
  }
  lines = dtr ? lines | TIOCM_DTR : lines & ~TIOCM_DTR;
  lines = rts ? lines | TIOCM_RTS : lines & ~TIOCM_RTS;
  return ::ioctl(fd_of(device), TIOCMSET, &lines) == 0;
}

void discard_output(device_handle device) noexcept {
  ::tcflush(fd_of(device), TCOFLUSH);
}

io_status output_ready(device_handle device) noexcept {
  pollfd waiting{fd_of(device), POLLOUT, 0};
  const int ready = ::poll(&waiting, 1, 0);
  int pending = 0;
  if (ready < 0 || (waiting.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 ||
      ::ioctl(fd_of(device), TIOCOUTQ, &pending) != 0) {
    return io_status::failed;
  }
  return ready == 1 && pending == 0 ? io_status::done : io_status::timed_out;
}

void close_device(device_handle device) noexcept {
  // What the cluster has not taken is dropped: close would otherwise wait for it (up to 30 s
  // on a real UART). Only then: on a pseudo-terminal the flush would also drop what already
  // reached the other end unread. Exclusivity goes first: if someone else still holds the
  // line open (a monitor, say) the flag would outlive us and lock out the next start-up.
  int pending = 0;
  if (::ioctl(fd_of(device), TIOCOUTQ, &pending) != 0 || pending > 0) {
    ::tcflush(fd_of(device), TCOFLUSH);
  }
  ::ioctl(fd_of(device), TIOCNXCL);
  ::close(fd_of(device));
}

namespace {

struct ThreadStart {
  void (*entry)(void*);
  void* argument;
};

void* run_thread(void* start) {
  const ThreadStart what = *static_cast<ThreadStart*>(start);
  delete static_cast<ThreadStart*>(start);
  what.entry(what.argument);
  return nullptr;
}

}  // namespace

thread_handle start_thread(void (*entry)(void*), void* argument) noexcept {
  auto* start = new (std::nothrow) ThreadStart{entry, argument};
  if (start == nullptr) {
    return invalid_thread;
  }
  // Keep the host's signals on the host's threads.
  sigset_t all;
  sigset_t previous;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  pthread_t thread{};
  const int error = ::pthread_create(&thread, nullptr, run_thread, start);
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (error != 0) {
    delete start;
    return invalid_thread;
  }
  return static_cast<thread_handle>(thread);
}

void join_thread(thread_handle thread) noexcept {
  ::pthread_join(static_cast<pthread_t>(thread), nullptr);
}

std::uint32_t tick_ms() noexcept {
  return static_cast<std::uint32_t>(clock_us() / 1000u);
}

void release_runtime() noexcept {
#if defined(VONTREL_STATIC_RUNTIME)
  __gnu_cxx::__freeres();
#endif
}

bool current_directory(std::string& directory) {
  std::vector<char> buffer(256);
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size()) != nullptr) {
      directory.assign(buffer.data());
      return true;
    }
    if (errno != ERANGE) {
      return false;
    }
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace vontrel::os

#endif  // !_WIN32
