#include "tools/flash/serial_line.h"

#include <chrono>
#include <thread>

#include "os/os.h"

namespace vontrel::flash {

namespace {

class SerialLine : public Line {
 public:
  explicit SerialLine(os::device_handle device) : device_(device) {}
  ~SerialLine() override { os::close_device(device_); }
  SerialLine(const SerialLine&) = delete;
  SerialLine& operator=(const SerialLine&) = delete;

  bool write(const std::uint8_t* data, std::size_t size) override {
    std::uint32_t written = 0;
    return os::write_device(device_, data, static_cast<std::uint32_t>(size), written,
                            os::deadline_after(2000)) == os::io_status::done;
  }

  Read read(std::uint8_t& byte, std::uint32_t milliseconds) override {
    if (next_ < got_) {
      byte = buffer_[next_++];
      return Read::got;
    }
    const std::uint64_t until = os::now_us() + std::uint64_t{milliseconds} * 1000u;
    for (;;) {
      std::uint32_t got = 0;
      if (os::read_device(device_, buffer_, sizeof buffer_, got) != os::io_status::done) {
        return Read::gone;
      }
      if (got > 0) {
        got_ = got;
        next_ = 1;
        byte = buffer_[0];
        return Read::got;
      }
      if (os::now_us() >= until) {
        return Read::timed_out;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
  }

  void discard_input() override {
    next_ = got_ = 0;
    os::discard_input(device_);
    // What the driver had not yet handed over.
    std::uint32_t got = 0;
    while (os::read_device(device_, buffer_, sizeof buffer_, got) == os::io_status::done &&
           got > 0) {
    }
  }

  bool switch_lines(bool asserted) override {
    return os::set_control_lines(device_, asserted, asserted);
  }

  void pause(std::uint32_t milliseconds) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }

 private:
  os::device_handle device_;
  std::uint8_t buffer_[256] = {};
  std::uint32_t got_ = 0;
  std::uint32_t next_ = 0;
};

}  // namespace

std::unique_ptr<Line> SerialPort::open(std::uint32_t baud, OpenProblem& problem) {
  os::open_error why = os::open_error::none;
  const os::device_handle device = os::open_device(device_.c_str(), &why);
  if (device == os::invalid_device) {
    switch (why) {
      case os::open_error::no_such_port:
        problem = OpenProblem::no_such_port;
        break;
      case os::open_error::held:
        problem = OpenProblem::held;
        break;
      case os::open_error::refused:
        problem = OpenProblem::refused;
        break;
      default:
        problem = OpenProblem::other;
        break;
    }
    return nullptr;
  }
  os::line_settings line;
  if (!os::get_line_settings(device, line)) {
    os::close_device(device);
    problem = OpenProblem::line_not_set;
    return nullptr;
  }
  line.baud_rate = baud;
  line.byte_size = 8;
  line.parity = 0;
  line.stop_bits = 0;
  if (!os::set_line_settings(device, line) || !os::use_bounded_io(device)) {
    os::close_device(device);
    problem = OpenProblem::line_not_set;
    return nullptr;
  }
  problem = OpenProblem::none;
  return std::make_unique<SerialLine>(device);
}

std::uint64_t SerialPort::now_ms() {
  return os::now_us() / 1000u;
}

}  // namespace vontrel::flash
