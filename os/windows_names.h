// How a serial port's name reaches Windows. Only COM1 to COM9 are reserved names that the
// system finds anywhere; COM10 and up exist only in the device form, \\.\COM10, which players
// rarely know to write. Header-only: the plug-in and the monitor both open ports by name.
#ifndef VONTREL_OS_WINDOWS_NAMES_H
#define VONTREL_OS_WINDOWS_NAMES_H

#include <cstddef>
#include <cstring>
#include <string>

namespace vontrel {

// "COM" in any case and one to three digits: the names Windows gives serial ports.
inline bool is_com_name(const char* name) noexcept {
  const std::size_t size = std::strlen(name);
  if (size < 4 || size > 6 || (name[0] | 0x20) != 'c' || (name[1] | 0x20) != 'o' ||
      (name[2] | 0x20) != 'm') {
    return false;
  }
  for (std::size_t i = 3; i < size; ++i) {
    if (name[i] < '0' || name[i] > '9') {
      return false;
    }
  }
  return true;
}

// COMn in the device form, which opens every port; any other name unchanged.
inline std::string windows_device_name(const std::string& name) {
  return is_com_name(name.c_str()) ? "\\\\.\\" + name : name;
}

}  // namespace vontrel

#endif  // VONTREL_OS_WINDOWS_NAMES_H
