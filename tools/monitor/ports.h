// What --list-ports says of each serial port: the name --device takes, and what a player
// recognises the port by (the adapter's or board's name, its USB ids). The gathering is the
// platform's (input_posix.cpp, input_win32.cpp); the reading and wording are here, pure.
#ifndef VONTREL_TOOLS_MONITOR_PORTS_H
#define VONTREL_TOOLS_MONITOR_PORTS_H

#include <string>
#include <string_view>

namespace vontrel::monitor {

struct PortInfo {
  std::string device;   // as --device takes it: "/dev/ttyUSB0", "COM5", "\\.\COM10"
  std::string also;     // another name for the same port: its /dev/serial/by-id link
  std::string name;     // the system's name for it: "USB-SERIAL CH340 (COM5)", a USB product
  unsigned vendor = 0;  // USB ids, 0 when not a USB device
  unsigned product = 0;
};

// The kind of device behind USB ids: "Arduino Uno", "USB-serial adapter (CH340)", or empty.
std::string usb_kind(unsigned vendor, unsigned product);

// The hardware id Windows gives a USB device, "USB\VID_1A86&PID_7523&REV_0254": its ids.
bool parse_hardware_id(std::string_view id, unsigned& vendor, unsigned& product);

// A four-digit hexadecimal id as sysfs writes it ("1a86\n"); false for anything else.
bool parse_usb_id(std::string_view text, unsigned& id);

// "COM5" stays "COM5"; from COM10 on Windows wants the device form, "\\.\COM10".
std::string com_device_name(const std::string& com);

// One line of --list-ports, the device name first, control characters escaped.
std::string port_line(const PortInfo& port);

}  // namespace vontrel::monitor

#endif  // VONTREL_TOOLS_MONITOR_PORTS_H
