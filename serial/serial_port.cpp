#include "serial/serial_port.h"

namespace vontrel {

bool SerialPort::open(const char* name, std::string& error) {
  bool success = false;
  error.clear();

  if (is_open()) {
    error = "COM port already open";
  } else if (handle = os::open_device(name); handle == os::invalid_device) {
    error = "Can not open COM port";
  } else if (os::line_settings line; !os::get_line_settings(handle, line)) {
    error = "Can not get COM port config";
  } else {
    line.baud_rate = SERIAL_BAUD_RATE;
    line.stop_bits = 0;
    line.parity = 0;
    line.byte_size = 8;
    if (!os::set_line_settings(handle, line)) {
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

bool SerialPort::write(const std::uint8_t* data, std::uint32_t length) noexcept {
  if (data == nullptr || length == 0 || !is_open()) {
    return true;
  }
  const bool written = os::write_device(handle, data, length);
  const bool flushed = os::flush_device(handle);
  return written && flushed;
}

bool SerialPort::use_bounded_io() noexcept {
  return is_open() && os::use_bounded_io(handle);
}

os::io_status SerialPort::write_bounded(const std::uint8_t* data, std::uint32_t length,
                                        std::uint32_t& written, std::uint32_t timeout_ms) noexcept {
  if (!is_open()) {
    return os::io_status::failed;
  }
  return os::write_device_bounded(handle, data, length, written, timeout_ms);
}

os::io_status SerialPort::drained() noexcept {
  return is_open() ? os::output_drained(handle) : os::io_status::failed;
}

}  // namespace vontrel
