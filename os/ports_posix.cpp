// The serial ports sysfs knows: USB-serial adapters (ttyUSB) and boards with their own USB
// (ttyACM), each with the ids of the USB device it belongs to. Only sysfs and /dev's by-id
// links are read; no device is opened.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "os/os.h"
#include "os/usb_ids.h"

namespace vontrel::os {

namespace {

namespace fs = std::filesystem;

std::string first_line(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

// The USB device a tty belongs to: the nearest folder above its device with USB ids. A
// usb-serial port sits two levels below it (interface, port), a CDC board's tty one.
void describe(const fs::path& tty_entry, const fs::path& sys, port_info& port) {
  std::error_code error;
  fs::path at = fs::canonical(tty_entry / "device", error);
  for (int depth = 0;
       !error && depth < 8 && at.has_parent_path() && at != at.root_path() && at != sys;
       ++depth, at = at.parent_path()) {
    if (!fs::exists(at / "idVendor", error)) {
      continue;
    }
    unsigned vendor = 0;
    unsigned product = 0;
    if (parse_usb_id(first_line(at / "idVendor"), vendor) &&
        parse_usb_id(first_line(at / "idProduct"), product)) {
      port.vendor = vendor;
      port.product = product;
      port.serial = first_line(at / "serial");  // none on most CH340 clones
    }
    const std::string maker = first_line(at / "manufacturer");
    const std::string name = first_line(at / "product");
    port.name = maker;
    if (!maker.empty() && !name.empty()) {
      port.name += ' ';
    }
    port.name += name;
    return;
  }
}

bool is_usb_tty(const std::string& name) {
  return name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0;
}

}  // namespace

bool list_serial_ports(std::vector<port_info>& ports, const std::string& root) noexcept {
  ports.clear();
  try {
    const fs::path top = root.empty() ? fs::path("/") : fs::path(root);
    const fs::path sys = top / "sys";
    std::error_code error;
    // The persistent names udev gives each port, by its maker, product and serial number.
    std::vector<std::pair<fs::path, std::string>> links;
    for (fs::directory_iterator link(top / "dev/serial/by-id", error), end; !error && link != end;
         link.increment(error)) {
      std::error_code resolved;
      const fs::path device = fs::weakly_canonical(link->path(), resolved);
      if (!resolved) {
        links.emplace_back(device, "/dev/serial/by-id/" + link->path().filename().string());
      }
    }
    error.clear();
    for (fs::directory_iterator entry(sys / "class/tty", error), end; !error && entry != end;
         entry.increment(error)) {
      const std::string tty = entry->path().filename().string();
      if (!is_usb_tty(tty)) {
        continue;
      }
      port_info port;
      port.device = "/dev/" + tty;
      const fs::path device_in_tree = top / "dev" / tty;
      for (const auto& [device, link] : links) {
        if (device == device_in_tree) {
          port.also = link;
        }
      }
      describe(entry->path(), sys, port);
      ports.push_back(std::move(port));
    }
    if (error) {
      ports.clear();
      return false;
    }
    // ttyUSB2 before ttyUSB10, whatever order the directory gave.
    std::sort(ports.begin(), ports.end(), [](const port_info& a, const port_info& b) {
      return a.device.size() != b.device.size() ? a.device.size() < b.device.size()
                                                : a.device < b.device;
    });
    return true;
  } catch (...) {
    ports.clear();
    return false;
  }
}

}  // namespace vontrel::os
