// Reading J1939 messages back: the fields of every message we send, by name, where they lie
// and how they scale. For tools that watch a bus (vontrel-monitor --can); docs/vontrel.dbc
// describes the same fields for other people's tools.
#ifndef VONTREL_J1939_FIELDS_H
#define VONTREL_J1939_FIELDS_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vontrel::j1939 {

struct Field {
  const char* message;  // "EEC1"
  const char* name;     // "engine_speed"
  const char* unit;     // "rpm", or "" for a state or a count
  std::uint8_t byte;    // 1 to 8, as J1939's tables count
  std::uint8_t bit;     // 1 to 8 within that byte, for fields shorter than a byte
  std::uint8_t bits;
  double resolution;
  double offset;
};

inline constexpr std::size_t FIELD_COUNT = 22;
extern const std::array<Field, FIELD_COUNT> FIELDS;

// A message we send, by its parameter group number: its name, or null.
const char* message_name(std::uint32_t pgn) noexcept;

// The parameter group and the sender of a 29-bit identifier.
std::uint32_t pgn_of(std::uint32_t identifier) noexcept;
inline std::uint8_t source_of(std::uint32_t identifier) noexcept {
  return static_cast<std::uint8_t>(identifier & 0xFF);
}

// The field's physical value in `data` (eight bytes); false when the field says "not
// available" or is an error code.
bool read_field(const Field& field, const std::uint8_t* data, double& value) noexcept;

// One line from a Lawicel adapter: "T" + 8 hex digits of identifier + length + data in hex,
// and four hex digits of timestamp where the adapter is in its timestamp mode (Z1).
// False for anything else (replies, 11-bit frames, remote frames, noise).
bool parse_slcan_line(std::string_view line, std::uint32_t& identifier, std::uint8_t* data,
                      std::uint8_t& length) noexcept;

}  // namespace vontrel::j1939

#endif  // VONTREL_J1939_FIELDS_H
