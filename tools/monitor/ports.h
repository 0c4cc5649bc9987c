// What --list-ports says of each serial port: the name --device takes, and what a player
// recognises the port by (the adapter's or board's name, its USB ids). The gathering is the
// os layer's (os/ports_posix.cpp, os/ports_win32.cpp); the wording is here, pure.
#ifndef VONTREL_TOOLS_MONITOR_PORTS_H
#define VONTREL_TOOLS_MONITOR_PORTS_H

#include <string>

#include "os/usb_ids.h"
#include "serial/port_identity.h"

namespace vontrel::monitor {

// The identity of a port and its choosing are the plug-in's too (serial/port_identity.h); the
// reading of the system's records is the os layer's (os/usb_ids.h).
using vontrel::choose_port;
using vontrel::names_identity;
using vontrel::PortChoice;
using vontrel::PortInfo;
using vontrel::usb_form;
using vontrel::usb_kind;
using vontrel::os::com_device_name;
using vontrel::os::parse_hardware_id;
using vontrel::os::parse_usb_id;
using vontrel::os::serial_from_instance_id;

// One line of --list-ports, the device name first, control characters escaped.
std::string port_line(const PortInfo& port);

}  // namespace vontrel::monitor

#endif  // VONTREL_TOOLS_MONITOR_PORTS_H
