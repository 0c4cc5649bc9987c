#include "can/bus_load.h"

#include <cmath>

namespace vontrel::can {

std::uint32_t longest_frame_bits(bool extended, std::uint32_t length) noexcept {
  // The bits that stuffing reaches (start of frame to the CRC), of which at most one in four
  // adds a stuff bit, then the CRC delimiter, acknowledgement, end of frame and the gap.
  const std::uint32_t stuffed = (extended ? 54u : 34u) + 8u * length;
  return stuffed + 13u + (stuffed - 1u) / 4u;
}

void BusLoad::add(bool extended, std::uint32_t length, std::uint32_t cycle_ms) noexcept {
  if (cycle_ms > 0) {
    bits_per_second_ += longest_frame_bits(extended, length) * 1000.0 / cycle_ms;
  }
}

double BusLoad::share(std::uint32_t bitrate) const noexcept {
  return bitrate == 0 ? 0.0 : bits_per_second_ / bitrate;
}

std::string bus_load_text(double share, std::uint32_t bitrate) {
  std::string text = "the messages take " + std::to_string(std::lround(share * 100.0)) +
                     " % of the bus at " + std::to_string(bitrate) + " bit/s";
  if (share > 1.0) {
    text +=
        ": more than the bus carries, so frames would be late or lost (fewer messages, "
        "longer cycles or a faster bus)";
  } else if (share > BUS_LOAD_WARNING) {
    text += ": over 70 %, other nodes' frames of lower priority will wait";
  }
  return text;
}

}  // namespace vontrel::can
