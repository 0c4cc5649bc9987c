#include "j1939/fields.h"

namespace vontrel::j1939 {

const std::array<Field, FIELD_COUNT> FIELDS = {{
    {"EEC1", "engine_speed", "rpm", 4, 1, 16, 0.125, 0},
    {"TCO1", "tachograph_speed", "km/h", 7, 1, 16, 1.0 / 256, 0},
    {"CCVS1", "parking_brake", "", 1, 3, 2, 1, 0},
    {"CCVS1", "wheel_speed", "km/h", 2, 1, 16, 1.0 / 256, 0},
    {"CCVS1", "cruise_control", "", 4, 1, 2, 1, 0},
    {"CCVS1", "cruise_set_speed", "km/h", 6, 1, 8, 1, 0},
    {"ETC2", "gear", "", 4, 1, 8, 1, -125},
    {"EFL/P1", "oil_pressure", "kPa", 4, 1, 8, 4, 0},
    {"ET1", "coolant_temperature", "C", 1, 1, 8, 1, -40},
    {"ET1", "oil_temperature", "C", 3, 1, 16, 0.03125, -273},
    {"DD", "fuel_level", "%", 2, 1, 8, 0.4, 0},
    {"VEP1", "battery_potential", "V", 5, 1, 16, 0.05, 0},
    {"VDHR", "total_distance", "km", 1, 1, 32, 0.005, 0},
    {"AIR1", "brake_air_pressure", "kPa", 3, 1, 8, 8, 0},
    {"TD", "hours", "", 3, 1, 8, 1, 0},
    {"TD", "minutes", "", 2, 1, 8, 1, 0},
    {"TD", "day", "", 5, 1, 8, 0.25, 0},
    {"TD", "month", "", 4, 1, 8, 1, 0},
    {"TD", "year", "", 6, 1, 8, 1, 1985},
    {"DM1", "amber_warning_lamp", "", 1, 3, 2, 1, 0},
    {"DM1", "red_stop_lamp", "", 1, 5, 2, 1, 0},
    {"DM1", "malfunction_lamp", "", 1, 7, 2, 1, 0},
}};

namespace {

struct Group {
  std::uint32_t pgn;
  const char* name;
};
constexpr Group GROUPS[] = {{61444, "EEC1"},   {65132, "TCO1"}, {65265, "CCVS1"}, {61445, "ETC2"},
                            {65263, "EFL/P1"}, {65262, "ET1"},  {65276, "DD"},    {65271, "VEP1"},
                            {65217, "VDHR"},   {65198, "AIR1"}, {65254, "TD"},    {65226, "DM1"}};

int hex_digit(char c) noexcept {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  return -1;
}

}  // namespace

const char* message_name(std::uint32_t pgn) noexcept {
  for (const Group& group : GROUPS) {
    if (group.pgn == pgn) {
      return group.name;
    }
  }
  return nullptr;
}

std::uint32_t pgn_of(std::uint32_t identifier) noexcept {
  std::uint32_t pgn = (identifier >> 8) & 0x3FFFF;
  if (((pgn >> 8) & 0xFF) < 240) {
    pgn &= 0x3FF00;  // addressed: the low byte is the receiver, not part of the group
  }
  return pgn;
}

bool read_field(const Field& field, const std::uint8_t* data, double& value) noexcept {
  std::uint64_t raw = 0;
  if (field.bits < 8) {
    raw = (data[field.byte - 1] >> (field.bit - 1)) & ((1u << field.bits) - 1);
    if (raw == (1u << field.bits) - 1) {
      return false;  // 11: not available
    }
  } else {
    const std::size_t bytes = field.bits / 8;
    for (std::size_t i = 0; i < bytes; ++i) {
      raw |= std::uint64_t{data[field.byte - 1 + i]} << (8 * i);
    }
    // Above 0xFA.. J1939 keeps its codes for errors and "not available".
    const std::uint64_t largest = (std::uint64_t{0xFB} << (8 * (bytes - 1))) - 1;
    if (raw > largest) {
      return false;
    }
  }
  value = static_cast<double>(raw) * field.resolution + field.offset;
  return true;
}

bool parse_slcan_line(std::string_view line, std::uint32_t& identifier, std::uint8_t* data,
                      std::uint8_t& length) noexcept {
  if (line.size() < 10 || line[0] != 'T') {
    return false;
  }
  identifier = 0;
  for (std::size_t i = 1; i <= 8; ++i) {
    const int digit = hex_digit(line[i]);
    if (digit < 0) {
      return false;
    }
    identifier = (identifier << 4) | static_cast<std::uint32_t>(digit);
  }
  const int count = line[9] - '0';
  if (identifier > 0x1FFFFFFF || count < 0 || count > 8) {
    return false;
  }
  // An adapter in its timestamp mode (Z1) puts four hex digits of milliseconds after the data.
  const std::size_t frame_length = 10 + 2 * static_cast<std::size_t>(count);
  if (line.size() == frame_length + 4) {
    for (std::size_t i = frame_length; i < line.size(); ++i) {
      if (hex_digit(line[i]) < 0) {
        return false;
      }
    }
  } else if (line.size() != frame_length) {
    return false;
  }
  for (int i = 0; i < count; ++i) {
    const int high = hex_digit(line[10 + 2 * i]);
    const int low = hex_digit(line[11 + 2 * i]);
    if (high < 0 || low < 0) {
      return false;
    }
    data[i] = static_cast<std::uint8_t>(high * 16 + low);
  }
  length = static_cast<std::uint8_t>(count);
  return true;
}

}  // namespace vontrel::j1939
