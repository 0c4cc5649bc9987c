#include "tools/monitor/ports.h"

#include <gtest/gtest.h>

#include <string>

namespace vontrel::monitor {
namespace {

// What --list-ports makes of what Windows and sysfs say, for the parts clusters are built from.
TEST(ports_test, names_each_port_as_device_takes_it_and_as_a_player_knows_it) {
  struct Case {
    const char* hardware_id;   // Windows, or null
    const char* sysfs_vendor;  // Linux, or null
    const char* sysfs_product;
    PortInfo port;
    const char* line;
  };
  const Case cases[] = {
      {"USB\\VID_1A86&PID_7523&REV_0254",
       nullptr,
       nullptr,
       {"COM5", "", "USB-SERIAL CH340 (COM5)"},
       "COM5  USB-SERIAL CH340 (COM5)  [USB-serial adapter (CH340), USB 1A86:7523]"},
      {"USB\\VID_2341&PID_0043&REV_0001",
       nullptr,
       nullptr,
       {"\\\\.\\COM12", "", "Arduino Uno (COM12)"},
       "\\\\.\\COM12  Arduino Uno (COM12)  [Arduino Uno, USB 2341:0043]"},
      {"ACPI\\PNP0501",
       nullptr,
       nullptr,
       {"COM1", "", "Communications Port (COM1)"},
       "COM1  Communications Port (COM1)"},
      {nullptr,
       "0403\n",
       "6001\n",
       {"/dev/ttyUSB0", "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0", "FTDI FT232R USB UART"},
       "/dev/ttyUSB0  FTDI FT232R USB UART  [USB-serial adapter (FTDI), USB 0403:6001]  also "
       "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0"},
      {nullptr,
       "2a03\n",
       "0043\n",
       {"/dev/ttyACM0", "", ""},
       "/dev/ttyACM0  [Arduino board, USB 2A03:0043]"},
      {nullptr, "12345\n", "x\n", {"/dev/ttyUSB1", "", ""}, "/dev/ttyUSB1"},
      // A device whose product string would clear and recolour the terminal.
      {nullptr,
       "1a86\n",
       "7523\n",
       {"/dev/ttyUSB2", "", "Evil\x1b[2J\x1b[31mUART\r\x7f"},
       "/dev/ttyUSB2  Evil\\x1B[2J\\x1B[31mUART\\x0D\\x7F  [USB-serial adapter (CH340), USB "
       "1A86:7523]"},
  };
  for (const Case& c : cases) {
    PortInfo port = c.port;
    if (c.hardware_id != nullptr) {
      parse_hardware_id(c.hardware_id, port.vendor, port.product);
    } else if (!parse_usb_id(c.sysfs_vendor, port.vendor) ||
               !parse_usb_id(c.sysfs_product, port.product)) {
      port.vendor = port.product = 0;
    }
    EXPECT_EQ(port_line(port), c.line);
  }
  EXPECT_EQ(com_device_name("COM9"), "COM9");
  EXPECT_EQ(com_device_name("COM10"), "\\\\.\\COM10");
}

}  // namespace
}  // namespace vontrel::monitor
