// What --list-ports says of each serial port: the name --device takes, and what a player
// recognises the port by (the adapter's or board's name, its USB ids). The gathering is the
// platform's (input_posix.cpp, input_win32.cpp); the reading and wording are here, pure.
#ifndef VONTREL_TOOLS_MONITOR_PORTS_H
#define VONTREL_TOOLS_MONITOR_PORTS_H

#include <string>
#include <string_view>
#include <vector>

namespace vontrel::monitor {

struct PortInfo {
  std::string device;   // as --device takes it: "/dev/ttyUSB0", "COM5", "\\.\COM10"
  std::string also;     // another name for the same port: its /dev/serial/by-id link
  std::string name;     // the system's name for it: "USB-SERIAL CH340 (COM5)", a USB product
  unsigned vendor = 0;  // USB ids, 0 when not a USB device
  unsigned product = 0;
  std::string serial{};  // the USB serial number, empty when the device has none
};

// The port's identity as the settings file and --device take it: "usb:1A86:7523", with the
// serial number where the device has one ("usb:2341:0043:85736323838351F0E1B1"); empty for a
// port that is no USB device.
std::string usb_form(const PortInfo& port);

// The serial number in the instance id Windows gives a USB device
// ("USB\VID_2341&PID_0043\85736323838351F0E1B1"); empty where Windows made the last part up
// for a device without one ("5&1A2B3C4D&0&2", with its ampersands).
std::string serial_from_instance_id(std::string_view id);

// A port named by what it is: "usb:VID:PID", "usb:VID:PID:SERIAL" (hexadecimal ids, in any
// case), or "auto" (the one port that is a board or adapter clusters are built from).
bool names_identity(std::string_view wanted);

// The port `wanted` names among `ports`, or none, with the line that says so: "Using serial
// port: COM7 (usb:1A86:7523)", "No serial port matches usb:1A86:7523", "Several serial ports
// match auto: COM5 (usb:2341:0043 serial 8573...), COM7 (usb:1A86:7523): name one as
// usb:VID:PID:SERIAL", or what is wrong with the form.
struct PortChoice {
  const PortInfo* port = nullptr;
  std::string message;
};
PortChoice choose_port(std::string_view wanted, const std::vector<PortInfo>& ports);

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
