// Any bytes as a firmware file: the Intel hex reader never crashes, keeps nothing beyond the
// chip, and what it reads, written out again, reads back the same.
#include <cstdint>
#include <string>

#include "tools/flash/intel_hex.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  constexpr std::size_t chip = 0x8000;
  vontrel::flash::Image image;
  std::string why;
  if (!vontrel::flash::parse_hex(text, image, why, chip)) {
    if (why.empty()) {
      __builtin_trap();  // a refusal always says why
    }
    return 0;
  }
  if (image.bytes.empty() || image.bytes.size() > chip) {
    __builtin_trap();
  }
  vontrel::flash::Image again;
  if (!vontrel::flash::parse_hex(vontrel::flash::to_hex(image.bytes), again, why, chip)) {
    __builtin_trap();
  }
  // Trailing erased bytes are left out of what is written; a fresh chip holds them anyway.
  std::size_t end = image.bytes.size();
  while (end > 0 && image.bytes[end - 1] == 0xFF) {
    --end;
  }
  if (again.bytes.size() < end || again.bytes.size() > image.bytes.size()) {
    __builtin_trap();
  }
  for (std::size_t i = 0; i < again.bytes.size(); ++i) {
    if (again.bytes[i] != image.bytes[i]) {
      __builtin_trap();
    }
  }
  return 0;
}
