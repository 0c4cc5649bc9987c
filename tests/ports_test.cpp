#include "tools/monitor/ports.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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
       "COM5  USB-SERIAL CH340 (COM5)  [USB-serial adapter (CH340)]  usb:1A86:7523"},
      {"USB\\VID_2341&PID_0043&REV_0001",
       nullptr,
       nullptr,
       {"\\\\.\\COM12", "", "Arduino Uno (COM12)"},
       "\\\\.\\COM12  Arduino Uno (COM12)  [Arduino Uno]  usb:2341:0043"},
      // FTDI's own driver names its ports with a bus of its own.
      {"FTDIBUS\\COMPORT&VID_0403&PID_6001",
       nullptr,
       nullptr,
       {"COM4", "", "USB Serial Port (COM4)"},
       "COM4  USB Serial Port (COM4)  [USB-serial adapter (FTDI)]  usb:0403:6001"},
      {"ACPI\\PNP0501",
       nullptr,
       nullptr,
       {"COM1", "", "Communications Port (COM1)"},
       "COM1  Communications Port (COM1)"},
      {nullptr,
       "0403\n",
       "6001\n",
       {"/dev/ttyUSB0", "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0", "FTDI FT232R USB UART"},
       "/dev/ttyUSB0  FTDI FT232R USB UART  [USB-serial adapter (FTDI)]  usb:0403:6001  also "
       "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0"},
      {nullptr,
       "2a03\n",
       "0043\n",
       {"/dev/ttyACM0", "", ""},
       "/dev/ttyACM0  [Arduino board]  usb:2A03:0043"},
      {nullptr, "12345\n", "x\n", {"/dev/ttyUSB1", "", ""}, "/dev/ttyUSB1"},
      // A device whose product string would clear and recolour the terminal.
      {nullptr,
       "1a86\n",
       "7523\n",
       {"/dev/ttyUSB2", "", "Evil\x1b[2J\x1b[31mUART\r\x7f"},
       "/dev/ttyUSB2  Evil\\x1B[2J\\x1B[31mUART\\x0D\\x7F  [USB-serial adapter (CH340)]  "
       "usb:1A86:7523"},
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

// Windows keeps a USB device's serial number as the last part of its instance id, and makes
// one up, with ampersands, for a device that has none (most CH340 clones).
TEST(ports_test, a_serial_number_from_the_windows_instance_id) {
  EXPECT_EQ(serial_from_instance_id("USB\\VID_2341&PID_0043\\85736323838351F0E1B1"),
            "85736323838351F0E1B1");
  EXPECT_EQ(serial_from_instance_id("USB\\VID_1A86&PID_7523\\5&1A2B3C4D&0&2"), "");
  EXPECT_EQ(serial_from_instance_id("ACPI\\PNP0501\\1"), "");
  EXPECT_EQ(serial_from_instance_id("USB\\"), "");
  // FTDI's driver: the chip's serial number, then the letter of its interface.
  EXPECT_EQ(serial_from_instance_id("FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000"), "A50285BI");
  EXPECT_EQ(serial_from_instance_id("FTDIBUS\\VID_0403+PID_6001\\0000"), "");
  PortInfo board{"COM5", "", "", 0x2341, 0x0043, "85736323838351F0E1B1"};
  EXPECT_EQ(usb_form(board), "usb:2341:0043:85736323838351F0E1B1");
  EXPECT_EQ(usb_form(PortInfo{"COM1", "", "", 0, 0, ""}), "");
}

// Two boards on a hub and an adapter: which port each way of naming one takes, and the line
// that says so.
TEST(ports_test, a_port_chosen_by_what_it_is) {
  const std::vector<PortInfo> ports = {
      {"COM5", "", "Arduino Uno (COM5)", 0x2341, 0x0043, "85736323838351F0E1B1"},
      {"COM7", "", "USB-SERIAL CH340 (COM7)", 0x1A86, 0x7523, ""},
      {"COM8", "", "USB-SERIAL CH340 (COM8)", 0x1A86, 0x7523, ""},
      {"COM9", "", "a head tracker", 0x1234, 0x5678, ""},
      {"COM1", "", "Communications Port (COM1)", 0, 0, ""},
  };
  const std::vector<PortInfo> one_clone = {ports[1], ports[3], ports[4]};
  struct Case {
    const char* wanted;
    const std::vector<PortInfo>* among;
    const char* chosen;  // null: none
    const char* message;
  };
  const Case cases[] = {
      {"usb:2341:0043", &ports, "COM5",
       "Using serial port: COM5 (usb:2341:0043 serial 85736323838351F0E1B1)"},
      {"usb:2341:0043:85736323838351f0e1b1", &ports, "COM5",
       "Using serial port: COM5 (usb:2341:0043 serial 85736323838351F0E1B1)"},
      {"USB:1a86:7523", &one_clone, "COM7", "Using serial port: COM7 (usb:1A86:7523)"},
      {"usb:1A86:7523", &ports, nullptr,
       "Several serial ports match usb:1A86:7523: COM7 (usb:1A86:7523), COM8 (usb:1A86:7523): "
       "name one as usb:VID:PID:SERIAL"},
      {"usb:2341:0043:0000", &ports, nullptr, "No serial port matches usb:2341:0043:0000"},
      {"usb:0403:6001", &ports, nullptr, "No serial port matches usb:0403:6001"},
      // auto: only the boards and adapters clusters are built from, never the head tracker.
      {"auto", &one_clone, "COM7", "Using serial port: COM7 (usb:1A86:7523)"},
      // In any case, as usb: is: AUTO is never a file of that name.
      {"AUTO", &one_clone, "COM7", "Using serial port: COM7 (usb:1A86:7523)"},
      {"auto", &ports, nullptr,
       "Several serial ports match auto: COM5 (usb:2341:0043 serial 85736323838351F0E1B1), COM7 "
       "(usb:1A86:7523), COM8 (usb:1A86:7523): name one as usb:VID:PID:SERIAL"},
      {"usb:1A86", &ports, nullptr,
       "usb:1A86: expected usb:VID:PID or usb:VID:PID:SERIAL, the ids in hexadecimal "
       "(usb:1A86:7523), or auto"},
      {"usb:1A86:7523:", &ports, nullptr,
       "usb:1A86:7523:: expected usb:VID:PID or usb:VID:PID:SERIAL, the ids in hexadecimal "
       "(usb:1A86:7523), or auto"},
      {"usb:1G86:7523", &ports, nullptr,
       "usb:1G86:7523: expected usb:VID:PID or usb:VID:PID:SERIAL, the ids in hexadecimal "
       "(usb:1A86:7523), or auto"},
  };
  for (const Case& c : cases) {
    const PortChoice choice = choose_port(c.wanted, *c.among);
    EXPECT_EQ(choice.port == nullptr ? std::string("none") : choice.port->device,
              c.chosen == nullptr ? "none" : c.chosen)
        << c.wanted;
    EXPECT_EQ(choice.message, c.message) << c.wanted;
  }
}

// auto never takes the CAN adapter's port (an Arduino with a Lawicel sketch is a board auto
// would take), named by its device or its identity: with the cluster unplugged, auto finds
// nothing rather than the adapter.
TEST(ports_test, auto_never_takes_the_can_adapters_port) {
  const std::vector<PortInfo> ports = {
      {"COM5", "", "Arduino Uno (COM5)", 0x2341, 0x0043, "85736323838351F0E1B1"},
      {"\\\\.\\COM12", "", "USB-SERIAL CH340 (COM12)", 0x1A86, 0x7523, ""},
  };
  const std::vector<PortInfo> adapter_alone = {ports[0]};
  struct Case {
    const char* avoid;  // can_port
    const std::vector<PortInfo>* among;
    const char* chosen;  // null: none
    const char* message;
  };
  const Case cases[] = {
      {"COM5", &adapter_alone, nullptr, "No serial port matches auto"},
      {"com5", &ports, "\\\\.\\COM12", "Using serial port: \\\\.\\COM12 (usb:1A86:7523)"},
      {"COM12", &ports, "COM5",
       "Using serial port: COM5 (usb:2341:0043 serial 85736323838351F0E1B1)"},
      {"usb:2341:0043", &adapter_alone, nullptr, "No serial port matches auto"},
      {"usb:2341:0043:85736323838351F0E1B1", &ports, "\\\\.\\COM12",
       "Using serial port: \\\\.\\COM12 (usb:1A86:7523)"},
      // Another board of the same kind is not the adapter.
      {"usb:2341:0043:0000", &adapter_alone, "COM5",
       "Using serial port: COM5 (usb:2341:0043 serial 85736323838351F0E1B1)"},
  };
  for (const Case& c : cases) {
    const PortChoice choice = choose_port("auto", *c.among, c.avoid);
    EXPECT_EQ(choice.port == nullptr ? std::string("none") : choice.port->device,
              c.chosen == nullptr ? "none" : c.chosen)
        << c.avoid;
    EXPECT_EQ(choice.message, c.message) << c.avoid;
  }
}

TEST(ports_test, a_port_setting_names_an_identity_or_a_device) {
  EXPECT_TRUE(names_identity("auto"));
  EXPECT_TRUE(names_identity("Auto"));
  EXPECT_TRUE(names_identity("USB:1A86:7523"));
  EXPECT_FALSE(names_identity("COM7"));
  EXPECT_FALSE(names_identity("/dev/ttyUSB0"));
}

}  // namespace
}  // namespace vontrel::monitor
