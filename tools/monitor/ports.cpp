#include "tools/monitor/ports.h"

#include <cstdio>

namespace vontrel::monitor {

namespace {

// A device's own strings reach the terminal: control characters in them (an escape sequence
// that clears the screen) are shown as \xNN instead of acted on.
std::string printable(const std::string& text) {
  std::string shown;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      shown += escaped;
    } else {
      shown += c;
    }
  }
  return shown;
}

}  // namespace

std::string port_line(const PortInfo& port) {
  std::string line = port.device;
  std::string about = port.name;
  const std::string kind = usb_kind(port.vendor, port.product);
  if (port.vendor != 0 && !kind.empty()) {
    about += (about.empty() ? "" : "  ") + ("[" + kind + "]");
  }
  // Ready to paste into the settings file, or to give --device.
  const std::string identity = usb_form(port);
  if (!identity.empty()) {
    about += (about.empty() ? "" : "  ") + identity;
  }
  if (!about.empty()) {
    line += "  " + about;
  }
  if (!port.also.empty()) {
    line += "  also " + port.also;
  }
  return printable(line);
}

}  // namespace vontrel::monitor
