// What feeds a signal of a CAN profile: the text of its VontrelSource attribute. One of
//   - a value of the truck's, in physical units, by name (speed_kmh, engine_rpm, low_beam, ...:
//     NAMED_VALUES lists them all);
//   - "const N": that number, in the signal's physical units;
//   - "counter": 0, 1, 2, ... on each send of the message, wrapping at the signal's size;
//   - a checksum of the message's other bytes, into 8 bits on a byte boundary: "xor", "sum", or
//     "crc8 POLY INIT XOROUT", optionally followed by "data" and one byte or sixteen (the
//     sixteen chosen by the message's counter, as AUTOSAR's E2E profile 2 does).
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

enum class SourceKind : std::uint8_t { start_value, value, constant, counter, xor8, sum8, crc8 };

struct Source {
  SourceKind kind = SourceKind::start_value;
  std::size_t value = 0;  // into NAMED_VALUES
  double constant = 0.0;
  std::uint8_t polynomial = 0;
  std::uint8_t initial = 0;
  std::uint8_t final_xor = 0;
  std::vector<std::uint8_t> data;  // none, one byte, or sixteen

  bool is_checksum() const noexcept {
    return kind == SourceKind::xor8 || kind == SourceKind::sum8 || kind == SourceKind::crc8;
  }
};

// Reads a VontrelSource text; empty text is the signal's start value. False, with `why`
// filled, for anything else.
bool read_source(std::string_view text, Source& source, std::string& why);

}  // namespace vontrel::can

#endif  // VONTREL_CAN_SOURCES_H
