// The serial ports Device Manager shows under "Ports (COM & LPT)": each port's COM name, its
// friendly name ("USB-SERIAL CH340 (COM5)"), the USB ids in its hardware id and the serial
// number in its instance id. Only SetupAPI's records and the registry are read; no port is
// opened.
#include <windows.h>
// After windows.h, which it builds on.
#include <setupapi.h>

#include <cstring>
#include <string>
#include <vector>

#include "os/os.h"
#include "os/usb_ids.h"

namespace vontrel::os {

bool list_serial_ports(std::vector<port_info>& ports, const std::string& /*root*/) noexcept {
  ports.clear();
  // The "Ports" device class, {4d36e978-e325-11ce-bfc1-08002be10318}.
  static const GUID ports_class = {
      0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
  HDEVINFO set = ::SetupDiGetClassDevsA(&ports_class, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) {
    return false;
  }
  bool listed = true;
  try {
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; ::SetupDiEnumDeviceInfo(set, index, &device) != FALSE; ++index) {
      char port_name[64] = {};
      HKEY key = ::SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
      if (key != INVALID_HANDLE_VALUE) {
        DWORD size = sizeof port_name - 1;
        DWORD type = 0;
        if (::RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(port_name),
                               &size) != ERROR_SUCCESS ||
            type != REG_SZ) {
          port_name[0] = '\0';
        }
        ::RegCloseKey(key);
      }
      if (std::strncmp(port_name, "COM", 3) != 0) {
        continue;  // a printer port
      }
      port_info port;
      port.device = com_device_name(port_name);
      char text[512] = {};
      if (::SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_FRIENDLYNAME, nullptr,
                                              reinterpret_cast<BYTE*>(text), sizeof text - 1,
                                              nullptr) != FALSE) {
        port.name = text;
      }
      std::memset(text, 0, sizeof text);
      if (::SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, nullptr,
                                              reinterpret_cast<BYTE*>(text), sizeof text - 2,
                                              nullptr) != FALSE) {
        parse_hardware_id(text, port.vendor, port.product);  // the first of the list is enough
      }
      std::memset(text, 0, sizeof text);
      if (port.vendor != 0 &&
          ::SetupDiGetDeviceInstanceIdA(set, &device, text, sizeof text - 1, nullptr) != FALSE) {
        port.serial = serial_from_instance_id(text);
      }
      ports.push_back(port);
    }
  } catch (...) {
    ports.clear();
    listed = false;
  }
  ::SetupDiDestroyDeviceInfoList(set);
  return listed;
}

}  // namespace vontrel::os
