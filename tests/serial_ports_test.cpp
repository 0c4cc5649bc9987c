// The ports Linux's records list, read from a tree laid out as sysfs and udev lay theirs: a
// USB-serial adapter's tty two folders below its USB device (interface, port), a CDC board's
// one below, and the by-id links udev makes.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "os/os.h"
#include "tests/temp_dir.h"

namespace vontrel {
namespace {

namespace fs = std::filesystem;

class serial_ports_test : public ::testing::Test {
 protected:
  // A USB device on the hub's socket `socket` ("1-2"), with the files sysfs gives it.
  void plug(const std::string& socket, const char* vendor, const char* product, const char* serial,
            const char* maker, const char* name) {
    const std::string at = "sys/devices/pci0000:00/usb1/" + socket + "/";
    tree.write(at + "idVendor", std::string(vendor) + "\n");
    tree.write(at + "idProduct", std::string(product) + "\n");
    if (serial != nullptr) {
      tree.write(at + "serial", std::string(serial) + "\n");
    }
    tree.write(at + "manufacturer", std::string(maker) + "\n");
    tree.write(at + "product", std::string(name) + "\n");
  }
  // Its tty: a usb-serial port (ttyUSB) below the interface, or a CDC board's (ttyACM) on it.
  void add_tty(const std::string& socket, const std::string& tty) {
    const bool cdc = tty.rfind("ttyACM", 0) == 0;
    const std::string interface = "sys/devices/pci0000:00/usb1/" + socket + "/" + socket + ":1.0";
    const std::string owner = cdc ? interface : interface + "/" + tty;
    const fs::path class_dir = tree.path() / owner / "tty" / tty;
    fs::create_directories(class_dir);
    fs::create_directory_symlink(cdc ? "../../../" + socket + ":1.0" : "../../../" + tty,
                                 class_dir / "device");
    fs::create_directories(tree.path() / "sys/class/tty");
    fs::create_directory_symlink(fs::relative(class_dir, tree.path() / "sys/class/tty"),
                                 tree.path() / "sys/class/tty" / tty);
    tree.write("dev/" + tty, "");
  }
  void remove_tty(const std::string& tty) {
    fs::remove(tree.path() / "sys/class/tty" / tty);
    fs::remove(tree.path() / "dev" / tty);
  }
  std::vector<os::port_info> look() {
    std::vector<os::port_info> ports;
    EXPECT_TRUE(os::list_serial_ports(ports, tree.path().string()));
    return ports;
  }

  testing::TempDir tree;
};

std::string shown(const std::vector<os::port_info>& ports) {
  std::string text;
  for (const os::port_info& port : ports) {
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04X:%04X", port.vendor, port.product);
    text += port.device + " " + ids + " [" + port.serial + "] " + port.name +
            (port.also.empty() ? "" : " also " + port.also) + "\n";
  }
  return text;
}

// An Uno with a serial number, two identical CH340 clones without one, an FTDI adapter, and
// the machine's own UART, which is no USB device and not a port a cluster is on.
TEST_F(serial_ports_test, each_usb_serial_port_with_the_identity_of_its_device) {
  plug("1-1", "2341", "0043", "85736323838351F0E1B1", "Arduino (www.arduino.cc)", "Arduino Uno");
  add_tty("1-1", "ttyACM0");
  plug("1-2", "1a86", "7523", nullptr, "", "USB Serial");
  add_tty("1-2", "ttyUSB0");
  plug("1-3", "1a86", "7523", nullptr, "", "USB Serial");
  add_tty("1-3", "ttyUSB10");
  plug("1-4", "0403", "6001", "A50285BI", "FTDI", "FT232R USB UART");
  add_tty("1-4", "ttyUSB2");
  plug("1-6", "1a8", "75230", nullptr, "", "odd");  // ids that do not read: listed by name
  add_tty("1-6", "ttyUSB3");
  fs::create_directories(tree.path() / "sys/devices/platform/serial8250/tty/ttyS0");
  fs::create_directory_symlink("../../devices/platform/serial8250/tty/ttyS0",
                               tree.path() / "sys/class/tty/ttyS0");
  fs::create_directories(tree.path() / "dev/serial/by-id");
  fs::create_symlink("../../ttyUSB2",
                     tree.path() / "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");

  EXPECT_EQ(shown(look()),
            "/dev/ttyACM0 2341:0043 [85736323838351F0E1B1] Arduino (www.arduino.cc) Arduino Uno\n"
            "/dev/ttyUSB0 1A86:7523 [] USB Serial\n"
            "/dev/ttyUSB2 0403:6001 [A50285BI] FTDI FT232R USB UART also "
            "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0\n"
            "/dev/ttyUSB3 0000:0000 [] odd\n"
            "/dev/ttyUSB10 1A86:7523 [] USB Serial\n");
}

// Pulled out and plugged into another socket, a board comes back under another name; each look
// tells where it is now.
TEST_F(serial_ports_test, a_board_that_moves_is_listed_where_it_is_now) {
  plug("1-2", "1a86", "7523", nullptr, "", "USB Serial");
  add_tty("1-2", "ttyUSB0");
  EXPECT_EQ(shown(look()), "/dev/ttyUSB0 1A86:7523 [] USB Serial\n");
  remove_tty("ttyUSB0");
  EXPECT_EQ(shown(look()), "");
  plug("1-5", "1a86", "7523", nullptr, "", "USB Serial");
  add_tty("1-5", "ttyUSB1");
  EXPECT_EQ(shown(look()), "/dev/ttyUSB1 1A86:7523 [] USB Serial\n");
  // A system with no records says so rather than listing nothing as if nothing were plugged in.
  std::vector<os::port_info> ports(1);
  EXPECT_FALSE(os::list_serial_ports(ports, (tree.path() / "nowhere").string()));
  EXPECT_TRUE(ports.empty());
}

}  // namespace
}  // namespace vontrel
