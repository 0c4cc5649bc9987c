// The flasher's port over the os layer: a serial device opened exclusively at a rate, 8N1, raw.
#ifndef VONTREL_TOOLS_FLASH_SERIAL_LINE_H
#define VONTREL_TOOLS_FLASH_SERIAL_LINE_H

#include <memory>
#include <string>

#include "tools/flash/flasher.h"

namespace vontrel::flash {

class SerialPort : public Port {
 public:
  explicit SerialPort(std::string device) : device_(std::move(device)) {}
  std::unique_ptr<Line> open(std::uint32_t baud, OpenProblem& problem) override;
  std::uint64_t now_ms() override;
  const std::string& name() const override { return device_; }

 private:
  std::string device_;
};

}  // namespace vontrel::flash

#endif  // VONTREL_TOOLS_FLASH_SERIAL_LINE_H
