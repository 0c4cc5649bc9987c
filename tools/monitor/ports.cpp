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

std::string usb_form(const PortInfo& port) {
  if (port.vendor == 0) {
    return "";
  }
  char ids[32];
  std::snprintf(ids, sizeof ids, "usb:%04X:%04X", port.vendor, port.product);
  return port.serial.empty() ? ids : ids + (":" + port.serial);
}

std::string serial_from_instance_id(std::string_view id) {
  const std::size_t last = id.rfind('\\');
  if (id.substr(0, 4) != "USB\\" || last == std::string_view::npos || last < 4) {
    return "";
  }
  const std::string_view serial = id.substr(last + 1);
  return serial.find('&') == std::string_view::npos ? std::string(serial) : "";
}

namespace {

// "usb:2341:0043 serial 8573...": how the log names a port it found by identity.
std::string identity_shown(const PortInfo& port) {
  char ids[32];
  std::snprintf(ids, sizeof ids, "usb:%04X:%04X", port.vendor, port.product);
  return port.serial.empty() ? ids : ids + (" serial " + port.serial);
}

bool same_text(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool names_identity(std::string_view wanted) {
  return wanted == "auto" || same_text(wanted.substr(0, 4), "usb:");
}

PortChoice choose_port(std::string_view wanted, const std::vector<PortInfo>& ports) {
  PortChoice choice;
  unsigned vendor = 0;
  unsigned product = 0;
  std::string_view serial;
  const bool any_board = wanted == "auto";
  if (!any_board) {
    // After "usb:": "VVVV:PPPP", or "VVVV:PPPP:SERIAL".
    const std::string_view ids = names_identity(wanted) ? wanted.substr(4) : std::string_view();
    if (ids.size() < 9 || ids[4] != ':' || !hex_digits(ids.substr(0, 4), vendor) ||
        !hex_digits(ids.substr(5, 4), product) ||
        (ids.size() > 9 && (ids[9] != ':' || ids.size() == 10))) {
      choice.message = std::string(wanted) +
                       ": expected usb:VID:PID or usb:VID:PID:SERIAL, the ids in hexadecimal "
                       "(usb:1A86:7523), or auto";
      return choice;
    }
    serial = ids.size() > 10 ? ids.substr(10) : std::string_view();
  }
  std::vector<const PortInfo*> matching;
  for (const PortInfo& port : ports) {
    const bool fits = any_board ? port.vendor != 0 && !usb_kind(port.vendor, port.product).empty()
                                : port.vendor == vendor && port.product == product &&
                                      (serial.empty() || same_text(port.serial, serial));
    if (fits) {
      matching.push_back(&port);
    }
  }
  if (matching.empty()) {
    choice.message = "No serial port matches " + std::string(wanted);
  } else if (matching.size() == 1) {
    choice.port = matching.front();
    choice.message =
        "Using serial port: " + choice.port->device + " (" + identity_shown(*choice.port) + ")";
  } else {
    choice.message = "Several serial ports match " + std::string(wanted) + ": ";
    for (std::size_t i = 0; i < matching.size(); ++i) {
      choice.message +=
          (i == 0 ? "" : ", ") + matching[i]->device + " (" + identity_shown(*matching[i]) + ")";
    }
    choice.message += ": name one as usb:VID:PID:SERIAL";
  }
  return choice;
}

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
