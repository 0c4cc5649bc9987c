// The one serial port to the instrument cluster. It only moves bytes: it knows nothing of
// frames, and keeps no buffer or configuration of its own.
#ifndef VONTREL_SERIAL_SERIAL_PORT_H
#define VONTREL_SERIAL_SERIAL_PORT_H

#include <cstdint>
#include <string>

#include "os/os.h"

namespace vontrel {

inline constexpr std::uint32_t SERIAL_BAUD_RATE = 115200;

class SerialPort {
 public:
  SerialPort() noexcept = default;
  ~SerialPort() { close(); }

  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;
  SerialPort(SerialPort&&) = delete;
  SerialPort& operator=(SerialPort&&) = delete;

  // Opens and configures the port at 115200 8N1. On failure the port is closed afterwards
  // (even one that was already open) and `error` holds the reason for the host log.
  bool open(const char* name, std::string& error);
  void close() noexcept;
  bool is_open() const noexcept { return handle != os::invalid_device; }

  // Synchronous write followed by a flush. Never reports to the host: a cluster that is not
  // listening must not disturb it. The result (false when the system reported a failed write
  // or flush) is only for the optional reconnect.
  bool write(const std::uint8_t* data, std::uint32_t length) noexcept;

  // The background writer's I/O: bounded waits, so the writer stays stoppable.
  bool use_bounded_io() noexcept;
  os::io_status write_bounded(const std::uint8_t* data, std::uint32_t length,
                              std::uint32_t& written, std::uint32_t timeout_ms) noexcept;
  os::io_status drained() noexcept;

 private:
  os::device_handle handle = os::invalid_device;
};

}  // namespace vontrel

#endif  // VONTREL_SERIAL_SERIAL_PORT_H
