// Where the monitor's bytes come from: a serial device, a pseudo-terminal it creates for the
// plug-in (POSIX), datagrams, a file or standard input; and the serial device --forward
// passes them on to. One source per platform implements it
// (input_posix.cpp, input_win32.cpp).
#ifndef VONTREL_TOOLS_MONITOR_INPUT_H
#define VONTREL_TOOLS_MONITOR_INPUT_H

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/monitor/ports.h"

namespace vontrel::monitor {

enum class WriteResult { done, timed_out, gone };

inline constexpr long EMPTY_READ = -2;

class Input {
 public:
  Input() = default;
  virtual ~Input() = default;
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;

  // Up to `size` bytes, waiting at most `timeout_ms` (-1: as long as it takes): the count, 0
  // when nothing came in time, -1 at the end (a file ended, a device went away), and for
  // datagrams EMPTY_READ when one of no bytes came.
  virtual long read(std::uint8_t* buffer, std::size_t size, int timeout_ms) = 0;
  virtual std::string name() const = 0;
  virtual bool is_file() const { return false; }
  // Each read is one datagram, whole.
  virtual bool datagrams() const { return false; }
  // A serial device only: done once all `length` bytes are written within `timeout_ms`,
  // timed_out when the device took less (a cluster that stopped reading), gone when the
  // device itself went away (unplugged).
  virtual WriteResult write(const std::uint8_t* /*data*/, std::size_t /*length*/,
                            int /*timeout_ms*/) {
    return WriteResult::gone;
  }
  // The line settings the plug-in left on a virtual port; null for anything else.
  virtual nlohmann::json line_settings() const { return nullptr; }
};

// A serial device at 115200 8N1, raw ("/dev/ttyUSB0"; "COM4" or "\\.\COM10" on Windows).
std::unique_ptr<Input> open_device(const std::string& name, bool crtscts, std::string& error);
// A pseudo-terminal for the plug-in, also linked at `link` when it is not empty.
std::unique_ptr<Input> open_virtual(const std::string& link, bool crtscts, std::string& error);
// Datagrams taken at "[ADDRESS:]PORT", 127.0.0.1 unless given; reads need a buffer of
// web::LARGEST_DATAGRAM bytes.
std::unique_ptr<Input> open_udp(const std::string& where, std::string& error);
// A file, or standard input for "-".
std::unique_ptr<Input> open_file(const std::string& path, std::string& error);

// The serial ports a cluster may be on, with what the system knows of each: COM ports with
// their device names and USB ids on Windows; ttyUSB and ttyACM devices, their by-id links and
// USB ids on Linux.
std::vector<PortInfo> list_ports();
// Where a cluster's port shows up once it is plugged in, for when none is.
extern const char* const WHERE_PORTS_APPEAR;

}  // namespace vontrel::monitor

#endif  // VONTREL_TOOLS_MONITOR_INPUT_H
