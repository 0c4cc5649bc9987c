#include "link/reconnect.h"

#include "dashboard/frame_format.h"
#include "serial/port_identity.h"

namespace vontrel {

bool reopen_port(SerialPort& port, const std::string& name, os::deadline until, bool hold,
                 const std::string& avoid) noexcept {
  try {
    // A board named by its USB identity may come back on another port.
    std::string device;
    std::string error;
    if (!find_port(name, device, error, avoid) || !port.open(device.c_str(), error)) {
      return false;
    }
  } catch (...) {
    return false;  // out of memory for the error text: try again later
  }
  if (!hold && port.write(RESET_FRAME, RESET_FRAME_LENGTH, until) != os::io_status::done) {
    port.close();
    return false;
  }
  return true;
}

}  // namespace vontrel
