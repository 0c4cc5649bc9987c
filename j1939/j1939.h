// The truck's own language on a CAN bus: SAE J1939 messages made from the snapshot, for a
// cluster taken from a real truck or off-the-shelf J1939 gauges. Like the cluster's frame
// encoders these are pure: the snapshot in, eight data bytes out, nothing kept between calls.
// The schedule that sends them, and the adapter that puts them on the bus, live in link/.
//
// Every message is eight bytes. What a message does not fill is 0xFF, J1939's "not available"
// for every field, so a cluster ignores it. A value the host gives as NaN is "not available"
// too; one beyond a field's range is clamped to the range's ends, never sent as the field's
// error or "not available" codes (0xFE.., 0xFF..).
#ifndef VONTREL_J1939_J1939_H
#define VONTREL_J1939_J1939_H

#include <array>
#include <cstddef>
#include <cstdint>

#include "telemetry/telemetry_state.h"

namespace vontrel::j1939 {

enum class Message : std::uint8_t {
  eec1,
  tco1,
  ccvs1,
  etc2,
  eflp1,
  et1,
  dd,
  vep1,
  vdhr,
  air1,
  td,
  dm1
};
inline constexpr std::size_t MESSAGE_COUNT = 12;

struct MessageInfo {
  Message message;
  const char* name;  // as J1939 names it: "EEC1", "EFL/P1"
  const char* key;   // in the settings file's keys: "eec1", "eflp1"
  std::uint32_t pgn;
  std::uint8_t priority;  // J1939's default for the message
  std::uint8_t source;    // the preferred address of the unit that sends it
  std::uint32_t interval_ms;
};

// Every message we send, in the order of Message.
extern const std::array<MessageInfo, MESSAGE_COUNT> MESSAGES;

inline constexpr std::size_t DATA_LENGTH = 8;
using Data = std::array<std::uint8_t, DATA_LENGTH>;

// The 29-bit identifier of a message of `pgn` from `source`, to every unit on the bus.
std::uint32_t identifier(std::uint8_t priority, std::uint32_t pgn, std::uint8_t source) noexcept;

// The message's data bytes from the snapshot. The fuel level needs the tank's size, which the
// host gives with the truck's configuration: until then the level is not available.
Data encode(Message message, const TelemetryState& state) noexcept;

// DM1's first byte: the amber warning lamp while any of the fuel, water, oil-pressure, battery
// or air-pressure warnings is on, the red stop lamp with the air-pressure emergency. DM1 goes
// out at once when this changes.
std::uint8_t dm1_lamps(const TelemetryState& state) noexcept;

// The adapter's line for one frame with a 29-bit identifier: 'T', eight hex digits of
// identifier, the length, the data in hex, CR ("T18FEF100" "8" "FFFF..." "\r"). Returns the
// line's length; `line` holds at least SLCAN_LINE bytes.
inline constexpr std::size_t SLCAN_LINE = 1 + 8 + 1 + 2 * DATA_LENGTH + 1;
std::size_t slcan_frame(std::uint32_t identifier, const Data& data, char* line) noexcept;

}  // namespace vontrel::j1939

#endif  // VONTREL_J1939_J1939_H
