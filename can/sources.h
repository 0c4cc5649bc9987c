// What feeds a signal of a CAN profile: the text of its VontrelSource attribute. One of
//   - a value of the truck's, in physical units, by name (speed_kmh, engine_rpm, low_beam, ...:
//     NAMED_VALUES lists them all);
//   - "const N": that number, in the signal's physical units;
//   - "counter": 0, 1, 2, ... on each send of the message, wrapping at the signal's size;
//     "counter FROM TO" runs FROM ... TO and round again (makes whose counter skips 0);
//   - "all A B ...", "any A B ...", "not A": 1 or 0 from the truck's states (a hazard lamp is
//     "all blinker_left blinker_right");
//   - running totals a car's cluster counts from: "pulses N" (N a kilometre driven) and
//     "fuel_used_ul" (microlitres used since start-up), raw, wrapping at the signal's size;
//   - a checksum of the message's bytes, into 8 bits on a byte boundary: "xor" or "sum", each
//     optionally followed by "bytes A-B,C" (the data bytes taken, 0 first; by default every
//     byte but the checksum's), "start V", "id" (the identifier's bytes, low to high), "len"
//     (the frame's length) and "not" (complemented at the end); or "crc8 POLY INIT XOROUT",
//     optionally followed by "data" and one byte or sixteen (the sixteen chosen by the
//     message's counter value, as AUTOSAR's E2E profile 2 does).
// Numbers are decimal or hexadecimal with 0x.
#ifndef VONTREL_CAN_SOURCES_H
#define VONTREL_CAN_SOURCES_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "telemetry/telemetry_state.h"

namespace vontrel::can {

struct NamedValue {
  const char* name;
  const char* unit;  // "km/h", "bar", ...; "" for states (0 or 1) and counts
  // The value now; NaN while the host has not given what it needs (the tank's size).
  double (*read)(const TelemetryState& state);
};

inline constexpr std::size_t NAMED_VALUE_COUNT = 53;
extern const std::array<NamedValue, NAMED_VALUE_COUNT> NAMED_VALUES;

enum class SourceKind : std::uint8_t {
  start_value,
  value,
  constant,
  counter,
  all,
  any,
  none,  // "not A": true when A is not
  pulses,
  fuel_used,
  xor8,
  sum8,
  crc8
};

struct Source {
  SourceKind kind = SourceKind::start_value;
  std::size_t value = 0;              // into NAMED_VALUES
  std::vector<std::size_t> operands;  // all, any, not: into NAMED_VALUES
  double constant = 0.0;              // const N; pulses N: per kilometre
  std::uint64_t first = 0;            // counter FROM TO
  std::uint64_t last = 0;             // 0 with first 0: the signal's whole size
  std::uint8_t polynomial = 0;
  std::uint8_t initial = 0;  // crc8's; xor and sum's start V
  std::uint8_t final_xor = 0;
  std::vector<std::uint8_t> data;  // none, one byte, or sixteen
  std::uint8_t bytes = 0;          // xor, sum: the data bytes taken, bit 0 byte 0; 0 default
  bool with_id = false;
  bool with_length = false;
  bool complement = false;

  bool is_checksum() const noexcept {
    return kind == SourceKind::xor8 || kind == SourceKind::sum8 || kind == SourceKind::crc8;
  }
};

// Reads a VontrelSource text; empty text is the signal's start value. False, with `why`
// filled, for anything else: an unknown name says the nearest known one.
bool read_source(std::string_view text, Source& source, std::string& why);

// The sums a car's cluster reads instead of a value: the distance driven and the fuel used
// since start-up. The sender keeps one for the whole drive (an adapter re-plugged carries on
// where it was) and advances it with every look at the latest snapshot.
class RunningTotals {
 public:
  // `fresh`: the host handed over a snapshot since the last call. Distance comes from the
  // odometer as it moves, and from the speed between its moves (a game's odometer moves in
  // steps); time without fresh snapshots (the game paused) drives nowhere. Neither total ever
  // falls: a refill is no fuel used, an odometer set back no distance; nor does either jump
  // (a tank that falls 2 l at once, an odometer 5 km, was set, not driven).
  void advance(const TelemetryState& state, std::uint64_t now_us, bool fresh) noexcept;

  double distance_km() const noexcept { return shown_km_; }
  double fuel_used_ul() const noexcept { return fuel_ul_; }

 private:
  bool primed_ = false;
  std::uint64_t last_us_ = 0;
  float odometer_km_ = 0.0f;
  float fuel_litres_ = 0.0f;
  double odometer_driven_km_ = 0.0;  // by the odometer's moves
  double since_move_km_ = 0.0;       // by the speed since its last move
  double shown_km_ = 0.0;
  double fuel_ul_ = 0.0;
};

}  // namespace vontrel::can

#endif  // VONTREL_CAN_SOURCES_H
