#include "serial/port_identity.h"

#include <cctype>
#include <cstdio>

#include "os/usb_ids.h"

namespace vontrel {

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

// "usb:2341:0043 serial 8573...": how a line names a port it found by identity.
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

std::string usb_kind(unsigned vendor, unsigned product) {
  for (const KnownDevice& known : KNOWN) {
    if (known.vendor == vendor && (known.product == 0 || known.product == product)) {
      return known.kind;
    }
  }
  return "";
}

std::string usb_form(const PortInfo& port) {
  if (port.vendor == 0) {
    return "";
  }
  char ids[32];
  std::snprintf(ids, sizeof ids, "usb:%04X:%04X", port.vendor, port.product);
  return port.serial.empty() ? ids : ids + (":" + port.serial);
}

bool names_identity(std::string_view wanted) {
  return same_text(wanted, "auto") || same_text(wanted.substr(0, 4), "usb:");
}

namespace {

// Whether `port` is the one another setting names, by its device or its identity.
bool is_avoided(const PortInfo& port, std::string_view avoid) {
  if (avoid.empty() || same_text(avoid, "auto")) {
    return false;
  }
  if (!names_identity(avoid)) {
    return same_text(port.device, avoid) ||
           same_text(port.device, os::com_device_name(std::string(avoid)));
  }
  const std::string_view ids = avoid.substr(4);
  unsigned vendor = 0;
  unsigned product = 0;
  if (ids.size() < 9 || !os::parse_hex_id(ids.substr(0, 4), vendor) ||
      !os::parse_hex_id(ids.substr(5, 4), product)) {
    return false;
  }
  return port.vendor == vendor && port.product == product &&
         (ids.size() <= 10 || same_text(port.serial, ids.substr(10)));
}

}  // namespace

PortChoice choose_port(std::string_view wanted, const std::vector<PortInfo>& ports,
                       std::string_view avoid) {
  PortChoice choice;
  unsigned vendor = 0;
  unsigned product = 0;
  std::string_view serial;
  const bool any_board = same_text(wanted, "auto");
  if (!any_board) {
    // After "usb:": "VVVV:PPPP", or "VVVV:PPPP:SERIAL".
    const std::string_view ids = names_identity(wanted) ? wanted.substr(4) : std::string_view();
    if (ids.size() < 9 || ids[4] != ':' || !os::parse_hex_id(ids.substr(0, 4), vendor) ||
        !os::parse_hex_id(ids.substr(5, 4), product) ||
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
    const bool fits = any_board
                          ? port.vendor != 0 && !usb_kind(port.vendor, port.product).empty() &&
                                !is_avoided(port, avoid)
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

bool find_port(const std::string& wanted, std::string& device, std::string& message,
               const std::string& avoid) {
  message.clear();
  if (!names_identity(wanted)) {
    device = wanted;
    return true;
  }
  std::vector<PortInfo> ports;
  os::list_serial_ports(ports);  // none listed: "No serial port matches"
  const PortChoice choice = choose_port(wanted, ports, avoid);
  message = choice.message;
  if (choice.port == nullptr) {
    return false;
  }
  device = choice.port->device;
  return true;
}

}  // namespace vontrel
