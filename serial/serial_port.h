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

  // Opens and configures the port at 115200 8N1 (or `baud_rate`, for a CAN adapter behind a
  // USB-UART bridge) with bounded writes. On failure the port is closed afterwards (even one
  // that was already open) and `error` holds the reason for the host log.
  bool open(const char* name, std::string& error, std::uint32_t baud_rate = SERIAL_BAUD_RATE);
  // Why the last open failed, in a player's words, where the system told: "no such port",
  // "held by another program", "access refused", "not a serial line"; else nullptr.
  const char* why_not_open() const noexcept { return why_not_open_; }
  // Drops what the cluster has not taken yet, so a cluster that stopped reading cannot hold
  // up the close.
  void close() noexcept;
  bool is_open() const noexcept { return handle != os::invalid_device; }

  // One write followed by a flush, both done by `until`. Never reported to the host: a
  // cluster that is not listening must not disturb it. A null or empty buffer makes no call.
  os::io_status write(const std::uint8_t* data, std::uint32_t length, os::deadline until) noexcept;

  // The two halves of write, for a writer that resumes a frame where a time-out left it.
  os::io_status write_some(const std::uint8_t* data, std::uint32_t length, std::uint32_t& written,
                           os::deadline until) noexcept;
  os::io_status flush(os::deadline until) noexcept;

  // Whether the cluster can take more, found without waiting: done once it has taken
  // everything, timed_out while output is held back, failed when the port is gone or closed.
  os::io_status output_ready() const noexcept;

  // Drops what the device sent and nobody read.
  void discard_input() noexcept;

  // What the device sent, without waiting (see os::read_device).
  os::io_status read(std::uint8_t* buffer, std::uint32_t size, std::uint32_t& got) noexcept;
  // Drops what was written and the device has not taken.
  void discard_output() noexcept;

 private:
  os::device_handle handle = os::invalid_device;
  const char* why_not_open_ = nullptr;
};

}  // namespace vontrel

#endif  // VONTREL_SERIAL_SERIAL_PORT_H
