#include "j1939/j1939.h"

#include <cmath>

#include "dashboard/clock_frame.h"

namespace vontrel::j1939 {

const std::array<MessageInfo, MESSAGE_COUNT> MESSAGES = {{
    {Message::eec1, "EEC1", "eec1", 61444, 3, 0x00, 20},
    {Message::tco1, "TCO1", "tco1", 65132, 3, 0xEE, 50},
    {Message::ccvs1, "CCVS1", "ccvs1", 65265, 6, 0x00, 100},
    {Message::etc2, "ETC2", "etc2", 61445, 6, 0x03, 100},
    {Message::eflp1, "EFL/P1", "eflp1", 65263, 6, 0x00, 500},
    {Message::et1, "ET1", "et1", 65262, 6, 0x00, 1000},
    {Message::dd, "DD", "dd", 65276, 6, 0x00, 1000},
    {Message::vep1, "VEP1", "vep1", 65271, 6, 0x00, 1000},
    {Message::vdhr, "VDHR", "vdhr", 65217, 6, 0xEE, 1000},
    {Message::air1, "AIR1", "air1", 65198, 6, 0x0B, 1000},
    {Message::td, "TD", "td", 65254, 6, 0x00, 1000},
    {Message::dm1, "DM1", "dm1", 65226, 6, 0x00, 1000},
}};

namespace {

// The largest valid raw value of a field of 1, 2 or 4 bytes: above it J1939 keeps its codes
// for errors and "not available".
constexpr std::uint32_t VALID_1 = 0xFA;
constexpr std::uint32_t VALID_2 = 0xFAFF;
constexpr std::uint32_t VALID_4 = 0xFAFFFFFF;

constexpr double KPA_PER_PSI = 6.894757293168361;
constexpr double KMH_PER_MS = 3.6;
constexpr std::uint32_t MINUTES_PER_DAY = 1440;

// A physical value in a field's raw units (raw = (value - offset) / resolution), rounded and
// clamped to the field's valid range; NaN is "not available".
struct Raw {
  bool available;
  std::uint32_t value;
};
Raw scale(double value, double resolution, double offset, std::uint32_t largest) noexcept {
  if (std::isnan(value)) {
    return {false, 0};
  }
  const double raw = std::round((value - offset) / resolution);
  if (!(raw > 0.0)) {
    return {true, 0};
  }
  return {true, raw >= static_cast<double>(largest) ? largest : static_cast<std::uint32_t>(raw)};
}

// Little-endian, as J1939 orders the bytes of a field. `at` counts from 1, as J1939's tables do.
void put(Data& data, std::size_t at, std::size_t bytes, Raw raw) noexcept {
  for (std::size_t i = 0; i < bytes; ++i) {
    data[at - 1 + i] =
        raw.available ? static_cast<std::uint8_t>(raw.value >> (8 * i)) : std::uint8_t{0xFF};
  }
}

// A two-bit state (00 off, 01 on) at J1939 bit position `bit` (1 to 7) of byte `at`.
void put_state(Data& data, std::size_t at, unsigned bit, bool on) noexcept {
  const unsigned shift = bit - 1;
  data[at - 1] =
      static_cast<std::uint8_t>((data[at - 1] & ~(3u << shift)) | ((on ? 1u : 0u) << shift));
}

double speed_kmh(float metres_per_second) noexcept {
  return std::fabs(static_cast<double>(metres_per_second)) * KMH_PER_MS;
}

void encode_clock(const TelemetryState& state, Data& data) noexcept {
  // The clock frame's reading of the host's clock: minutes, offset by multiplayer's, modulo
  // 2^32 and read as signed.
  const auto total = static_cast<std::int32_t>(
      state.game_time + static_cast<std::uint32_t>(state.multiplayer_time_offset));
  const std::int32_t minutes_total = total > 0 ? total : 0;
  const std::int32_t days = minutes_total / static_cast<std::int32_t>(MINUTES_PER_DAY);
  const std::int32_t minute_of_day = minutes_total % static_cast<std::int32_t>(MINUTES_PER_DAY);
  const CalendarDate date = date_after_days(days);
  data[0] = 0;  // seconds: the host's clock counts whole minutes
  data[1] = static_cast<std::uint8_t>(minute_of_day % 60);
  data[2] = static_cast<std::uint8_t>(minute_of_day / 60);
  data[3] = static_cast<std::uint8_t>(date.month);
  data[4] = static_cast<std::uint8_t>(date.day * 4);  // 0.25 day a bit
  // The game counts years from 1; J1939's from 1985. Year 1 is no year a cluster knows, so
  // the year is "not available" rather than a made-up one.
  data[5] = 0xFF;
}

}  // namespace

std::uint32_t identifier(std::uint8_t priority, std::uint32_t pgn, std::uint8_t source) noexcept {
  std::uint32_t group = pgn & 0x3FFFF;
  if (((group >> 8) & 0xFF) < 240) {
    group = (group & 0x3FF00) | 0xFF;  // addressed to one unit: to all of them
  }
  return (static_cast<std::uint32_t>(priority & 7) << 26) | (group << 8) | source;
}

std::uint8_t dm1_lamps(const TelemetryState& state) noexcept {
  const bool amber = state.fuel_warning || state.water_temperature_warning ||
                     state.oil_pressure_warning || state.battery_voltage_warning ||
                     state.brake_air_pressure_warning;
  // Protect lamp (bits 1-2) and malfunction lamp (bits 7-8) are not ours: "not available".
  Data lamps{};
  lamps[0] = 0xFF;
  put_state(lamps, 1, 3, amber);
  put_state(lamps, 1, 5, state.brake_air_pressure_emergency);
  return lamps[0];
}

Data encode(Message message, const TelemetryState& state) noexcept {
  Data data;
  data.fill(0xFF);
  switch (message) {
    case Message::eec1:
      put(data, 4, 2, scale(state.engine_rpm, 0.125, 0.0, VALID_2));
      break;
    case Message::tco1:
      put(data, 7, 2, scale(speed_kmh(state.speed), 1.0 / 256, 0.0, VALID_2));
      break;
    case Message::ccvs1:
      put_state(data, 1, 3, state.brake_parking);
      put(data, 2, 2, scale(speed_kmh(state.speed), 1.0 / 256, 0.0, VALID_2));
      put_state(data, 4, 1, state.cruise_control != 0.0f);
      put(data, 6, 1, scale(speed_kmh(state.cruise_control), 1.0, 0.0, VALID_1));
      break;
    case Message::etc2:
      put(data, 4, 1, scale(state.engine_gear, 1.0, -125.0, VALID_1));
      break;
    case Message::eflp1:
      put(data, 4, 1, scale(state.oil_pressure * KPA_PER_PSI, 4.0, 0.0, VALID_1));
      break;
    case Message::et1:
      put(data, 1, 1, scale(state.water_temperature, 1.0, -40.0, VALID_1));
      put(data, 3, 2, scale(state.oil_temperature, 0.03125, -273.0, VALID_2));
      break;
    case Message::dd:
      if (state.fuel_capacity > 0.0f) {
        const double percent = 100.0 * static_cast<double>(state.fuel_amount) /
                               static_cast<double>(state.fuel_capacity);
        put(data, 2, 1, scale(percent, 0.4, 0.0, VALID_1));
      }
      break;
    case Message::vep1:
      put(data, 5, 2, scale(state.battery_voltage, 0.05, 0.0, VALID_2));
      break;
    case Message::vdhr:
      put(data, 1, 4, scale(state.odometer * 1000.0, 5.0, 0.0, VALID_4));
      break;
    case Message::air1:
      put(data, 3, 1, scale(state.brake_air_pressure * KPA_PER_PSI, 8.0, 0.0, VALID_1));
      break;
    case Message::td:
      encode_clock(state, data);
      break;
    case Message::dm1:
      data[0] = dm1_lamps(state);
      data[2] = data[3] = data[4] = data[5] = 0;  // no active trouble code
      break;
  }
  return data;
}

std::size_t slcan_frame(std::uint32_t identifier, const Data& data, char* line) noexcept {
  static const char HEX[] = "0123456789ABCDEF";
  std::size_t at = 0;
  line[at++] = 'T';
  for (int shift = 28; shift >= 0; shift -= 4) {
    line[at++] = HEX[(identifier >> shift) & 0xF];
  }
  line[at++] = static_cast<char>('0' + DATA_LENGTH);
  for (const std::uint8_t byte : data) {
    line[at++] = HEX[byte >> 4];
    line[at++] = HEX[byte & 0xF];
  }
  line[at++] = '\r';
  return at;
}

}  // namespace vontrel::j1939
