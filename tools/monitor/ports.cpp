#include "tools/monitor/ports.h"

#include <cctype>
#include <cstdio>

namespace vontrel::monitor {

namespace {

struct KnownDevice {
  unsigned vendor;
  unsigned product;  // 0: any product of the vendor
  const char* kind;
};

// The boards and adapters clusters are built from. Arduino's own boards by product; the
// USB-serial chips of clones and adapters by vendor.
constexpr KnownDevice KNOWN[] = {
    {0x2341, 0x0043, "Arduino Uno"},
    {0x2341, 0x0001, "Arduino Uno"},
    {0x2341, 0x0243, "Arduino Uno"},
    {0x2341, 0x0010, "Arduino Mega 2560"},
    {0x2341, 0x0042, "Arduino Mega 2560"},
    {0x2341, 0x8036, "Arduino Leonardo"},
    {0x2341, 0x0058, "Arduino Nano Every"},
    {0x2341, 0, "Arduino board"},
    {0x2A03, 0, "Arduino board"},
    {0x1A86, 0, "USB-serial adapter (CH340)"},
    {0x0403, 0, "USB-serial adapter (FTDI)"},
    {0x10C4, 0, "USB-serial adapter (CP210x)"},
    {0x067B, 0, "USB-serial adapter (PL2303)"},
};

bool hex_digits(std::string_view text, unsigned& value) {
  if (text.size() != 4) {
    return false;
  }
  value = 0;
  for (const char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c)) == 0) {
      return false;
    }
    const int digit = std::isdigit(static_cast<unsigned char>(c)) != 0
                          ? c - '0'
                          : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
    value = value * 16 + static_cast<unsigned>(digit);
  }
  return true;
}

}  // namespace

std::string usb_kind(unsigned vendor, unsigned product) {
  for (const KnownDevice& known : KNOWN) {
    if (known.vendor == vendor && (known.product == 0 || known.product == product)) {
      return known.kind;
    }
  }
  return "";
}

bool parse_hardware_id(std::string_view id, unsigned& vendor, unsigned& product) {
  const std::size_t v = id.find("VID_");
  const std::size_t p = id.find("PID_");
  return id.substr(0, 4) == "USB\\" && v != std::string_view::npos && p != std::string_view::npos &&
         hex_digits(id.substr(v + 4, 4), vendor) && hex_digits(id.substr(p + 4, 4), product);
}

bool parse_usb_id(std::string_view text, unsigned& id) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())) != 0) {
    text.remove_suffix(1);
  }
  return hex_digits(text, id);
}

std::string com_device_name(const std::string& com) {
  const bool two_digits = com.size() > 4 && com.compare(0, 3, "COM") == 0;
  return two_digits ? "\\\\.\\" + com : com;
}

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
  if (port.vendor != 0) {
    char ids[32];
    std::snprintf(ids, sizeof ids, "USB %04X:%04X", port.vendor, port.product);
    const std::string kind = usb_kind(port.vendor, port.product);
    const std::string details = kind.empty() ? ids : kind + ", " + ids;
    about += (about.empty() ? "" : "  ") + ("[" + details + "]");
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
