// How much of the bus a set of cyclic messages takes: what a profile asks of the bus at its bit
// rate, told before a frame is sent.
#ifndef VONTREL_CAN_BUS_LOAD_H
#define VONTREL_CAN_BUS_LOAD_H

#include <cstdint>
#include <string>

namespace vontrel::can {

// Above this share of the bus, frames of lower priority start to wait: said as a warning.
inline constexpr double BUS_LOAD_WARNING = 0.70;

// The longest a data frame of `length` bytes takes on the bus, in bits: its fields, the stuff
// bits the worst data and identifier add, and the three-bit gap before the next frame. 11-bit
// identifier: 55 + 10 x length at most (135 for 8 bytes); 29-bit: 80 + 10 x length at most.
std::uint32_t longest_frame_bits(bool extended, std::uint32_t length) noexcept;

// Sums the bus's share of messages sent every `cycle_ms` (0: not sent) at `bitrate`.
class BusLoad {
 public:
  void add(bool extended, std::uint32_t length, std::uint32_t cycle_ms) noexcept;
  double share(std::uint32_t bitrate) const noexcept;

 private:
  double bits_per_second_ = 0.0;
};

// "the messages take 31 % of the bus at 500000 bit/s", with what it means above 70 % and above
// the whole bus.
std::string bus_load_text(double share, std::uint32_t bitrate);

}  // namespace vontrel::can

#endif  // VONTREL_CAN_BUS_LOAD_H
