#include "link/reconnect.h"

#include "dashboard/frame_format.h"

namespace vontrel {

bool reopen_port(SerialPort& port, const std::string& name, os::deadline until,
                 bool hold) noexcept {
  try {
    std::string error;
    if (!port.open(name.c_str(), error)) {
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
