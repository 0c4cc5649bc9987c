#include "serial/serial_port.h"

namespace vontrel {

bool SerialPort::open(const char* name, std::string& error, std::uint32_t baud_rate) {
  bool success = false;
  error.clear();
  why_not_open_ = nullptr;
  os::open_error why = os::open_error::none;

  if (is_open()) {
    error = "COM port already open";
  } else if (handle = os::open_device(name, &why); handle == os::invalid_device) {
    error = "Can not open COM port";
    why_not_open_ = why == os::open_error::no_such_port ? "no such port"
                    : why == os::open_error::held       ? "held by another program"
                    : why == os::open_error::refused    ? "access refused"
                                                        : nullptr;
  } else if (os::line_settings line; !os::get_line_settings(handle, line)) {
    error = "Can not get COM port config";
    why_not_open_ = "not a serial line";
  } else {
    line.baud_rate = baud_rate;
    line.stop_bits = 0;
    line.parity = 0;
    line.byte_size = 8;
    // The write time-outs come after the line settings, which may reset them on Windows.
    if (!os::set_line_settings(handle, line) || !os::use_bounded_io(handle)) {
      error = "Can not set COM port config";
    } else {
      success = true;
    }
  }

  // A port left half-configured would send frames at whatever rate the driver last had, so
  // every failure, the "already open" one included, leaves the port closed.
  if (!success) {
    close();
  }
  return success;
}

void SerialPort::close() noexcept {
  if (handle != os::invalid_device) {
    os::close_device(handle);
    handle = os::invalid_device;
  }
}

os::io_status SerialPort::write(const std::uint8_t* data, std::uint32_t length,
                                os::deadline until) noexcept {
  if (data == nullptr || length == 0) {
    return os::io_status::done;
  }
  std::uint32_t written = 0;
  const os::io_status wrote = write_some(data, length, written, until);
  const os::io_status flushed = flush(until);
  if (wrote == os::io_status::failed || flushed == os::io_status::failed) {
    return os::io_status::failed;
  }
  return wrote == os::io_status::done ? flushed : wrote;
}

os::io_status SerialPort::write_some(const std::uint8_t* data, std::uint32_t length,
                                     std::uint32_t& written, os::deadline until) noexcept {
  if (!is_open()) {
    return os::io_status::failed;
  }
  return os::write_device(handle, data, length, written, until);
}

os::io_status SerialPort::flush(os::deadline until) noexcept {
  return is_open() ? os::flush_device(handle, until) : os::io_status::failed;
}

os::io_status SerialPort::read(std::uint8_t* buffer, std::uint32_t size,
                               std::uint32_t& got) noexcept {
  got = 0;
  return is_open() ? os::read_device(handle, buffer, size, got) : os::io_status::failed;
}

void SerialPort::discard_output() noexcept {
  if (is_open()) {
    os::discard_output(handle);
  }
}

void SerialPort::discard_input() noexcept {
  if (is_open()) {
    os::discard_input(handle);
  }
}

os::io_status SerialPort::output_ready() const noexcept {
  return is_open() ? os::output_ready(handle) : os::io_status::failed;
}

}  // namespace vontrel
