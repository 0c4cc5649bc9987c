// How the system's device records write a USB serial device's identity, read without touching
// the device: the ids sysfs and Windows give, the serial number in a Windows instance id, the
// name Windows opens a COM port by. Pure, for the os layer's port listing and its tests.
#ifndef VONTREL_OS_USB_IDS_H
#define VONTREL_OS_USB_IDS_H

#include <string>
#include <string_view>

namespace vontrel::os {

// Exactly four hexadecimal digits, in either case ("1A86", "7523").
bool parse_hex_id(std::string_view text, unsigned& id) noexcept;

// A four-digit hexadecimal id as sysfs writes it ("1a86\n"); false for anything else.
bool parse_usb_id(std::string_view text, unsigned& id) noexcept;

// The hardware id Windows gives a USB device, "USB\VID_1A86&PID_7523&REV_0254": its ids.
bool parse_hardware_id(std::string_view id, unsigned& vendor, unsigned& product) noexcept;

// The serial number in the instance id Windows gives a USB device
// ("USB\VID_2341&PID_0043\85736323838351F0E1B1"); empty where Windows made the last part up
// for a device without one ("5&1A2B3C4D&0&2", with its ampersands).
std::string serial_from_instance_id(std::string_view id);

// "COM5" stays "COM5"; from COM10 on Windows wants the device form, "\\.\COM10".
std::string com_device_name(const std::string& com);

}  // namespace vontrel::os

#endif  // VONTREL_OS_USB_IDS_H
