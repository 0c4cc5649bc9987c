// --forward: what arrives leaves through a serial device unchanged, no faster than its line
// carries it, so a cluster hanging off this machine (a Raspberry Pi by the cockpit) sees what
// it would see from the plug-in itself.
#ifndef VONTREL_TOOLS_MONITOR_FORWARD_H
#define VONTREL_TOOLS_MONITOR_FORWARD_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "tools/monitor/input.h"
#include "tools/monitor/options.h"

namespace vontrel::monitor {

class Forwarder {
 public:
  Forwarder(std::unique_ptr<Input> device, std::string name)
      : device_(std::move(device)), name_(std::move(name)) {}

  // Passes the bytes on, after what went before has had its time on the line. A device that
  // takes nothing for a while drops them; that, and its return, are told once on standard
  // error.
  void pass(const std::uint8_t* data, std::size_t length);

 private:
  std::unique_ptr<Input> device_;
  std::string name_;
  Clock::time_point line_free_{};
  bool failing_ = false;
};

}  // namespace vontrel::monitor

#endif  // VONTREL_TOOLS_MONITOR_FORWARD_H
