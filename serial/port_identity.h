// A serial port named by what it is rather than where it is plugged: "usb:1A86:7523",
// "usb:2341:0043:85736323838351F0E1B1" with the USB serial number, or "auto" for the one board
// or adapter clusters are built from. The plug-in's comport and can_port and the monitor's
// --device, --can and --forward take these forms; the port is found in the system's device
// records, so no other port is ever opened to look for it.
#ifndef VONTREL_SERIAL_PORT_IDENTITY_H
#define VONTREL_SERIAL_PORT_IDENTITY_H

#include <string>
#include <string_view>
#include <vector>

#include "os/os.h"

namespace vontrel {

using PortInfo = os::port_info;

// The kind of device behind USB ids: "Arduino Uno", "USB-serial adapter (CH340)", or empty.
std::string usb_kind(unsigned vendor, unsigned product);

// The port's identity as the settings file takes it: "usb:1A86:7523", with the serial number
// where the device has one ("usb:2341:0043:85736323838351F0E1B1"); empty for a port that is
// no USB device.
std::string usb_form(const PortInfo& port);

// Whether `wanted` names a port by what it is: "usb:..." (in any case) or "auto".
bool names_identity(std::string_view wanted);

// The port `wanted` names among `ports`, or none, with the line that says so: "Using serial
// port: COM7 (usb:1A86:7523)", "No serial port matches usb:1A86:7523", "Several serial ports
// match auto: COM5 (usb:2341:0043 serial 8573...), COM7 (usb:1A86:7523): name one as
// usb:VID:PID:SERIAL", or what is wrong with the form.
struct PortChoice {
  const PortInfo* port = nullptr;
  std::string message;
};
// `avoid`: another setting's port ("COM8", "usb:1D50:606F"), which `auto` never takes: the CAN
// adapter is an Arduino-class board too, and must not become the cluster when it is unplugged.
PortChoice choose_port(std::string_view wanted, const std::vector<PortInfo>& ports,
                       std::string_view avoid = {});

// The device to open for a port setting: the setting itself for a name ("COM7",
// "/dev/ttyUSB0"), or the one port an identity matches among those present now. False when
// none or several match; `message` then says so, and after a match it holds the "Using serial
// port" line (empty for a plain name).
bool find_port(const std::string& wanted, std::string& device, std::string& message,
               const std::string& avoid = std::string());

}  // namespace vontrel

#endif  // VONTREL_SERIAL_PORT_IDENTITY_H
