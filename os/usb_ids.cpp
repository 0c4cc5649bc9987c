#include "os/usb_ids.h"

#include <cctype>

namespace vontrel::os {

bool parse_hex_id(std::string_view text, unsigned& id) noexcept {
  if (text.size() != 4) {
    return false;
  }
  unsigned value = 0;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isxdigit(byte) == 0) {
      return false;
    }
    const int digit = std::isdigit(byte) != 0 ? c - '0' : std::tolower(byte) - 'a' + 10;
    value = value * 16 + static_cast<unsigned>(digit);
  }
  id = value;
  return true;
}

bool parse_usb_id(std::string_view text, unsigned& id) noexcept {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())) != 0) {
    text.remove_suffix(1);
  }
  return parse_hex_id(text, id);
}

bool parse_hardware_id(std::string_view id, unsigned& vendor, unsigned& product) noexcept {
  const std::size_t v = id.find("VID_");
  const std::size_t p = id.find("PID_");
  // "USB\VID_1A86&PID_7523&REV_0254", or from FTDI's own driver
  // "FTDIBUS\COMPORT&VID_0403&PID_6001".
  const bool usb = id.substr(0, 4) == "USB\\" || id.substr(0, 8) == "FTDIBUS\\";
  return usb && v != std::string_view::npos && p != std::string_view::npos &&
         parse_hex_id(id.substr(v + 4, 4), vendor) && parse_hex_id(id.substr(p + 4, 4), product);
}

std::string serial_from_instance_id(std::string_view id) {
  // FTDI's own driver: "FTDIBUS\VID_0403+PID_6001+A50285BIA\0000", the chip's serial number
  // with the letter of its interface (A) after it.
  if (id.substr(0, 8) == "FTDIBUS\\") {
    const std::string_view device = id.substr(8, id.find('\\', 8) - 8);
    const std::size_t plus = device.find('+', device.find('+') + 1);
    if (plus == std::string_view::npos || device.size() - plus < 3) {
      return "";
    }
    return std::string(device.substr(plus + 1, device.size() - plus - 2));
  }
  const std::size_t last = id.rfind('\\');
  if (id.substr(0, 4) != "USB\\" || last == std::string_view::npos || last < 4) {
    return "";
  }
  const std::string_view serial = id.substr(last + 1);
  return serial.find('&') == std::string_view::npos ? std::string(serial) : "";
}

std::string com_device_name(const std::string& com) {
  const bool two_digits = com.size() > 4 && com.compare(0, 3, "COM") == 0;
  return two_digits ? "\\\\.\\" + com : com;
}

}  // namespace vontrel::os
