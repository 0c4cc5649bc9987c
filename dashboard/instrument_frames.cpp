#include "dashboard/instrument_frames.h"

#include <cmath>
#include <limits>

namespace vontrel {

namespace {

std::uint8_t low_byte(std::int32_t value) {
  return static_cast<std::uint8_t>(static_cast<std::uint32_t>(value) & 0xFFu);
}

std::uint8_t flag(bool set, std::uint8_t bits) {
  return set ? bits : 0;
}

std::uint8_t fuel_level_byte(const TelemetryState& state) {
  // A NaN capacity is not greater than zero, so it never reaches the division.
  if (!(state.fuel_capacity > 0.0f)) {
    return 0x00;
  }
  // Rounded to single precision before truncating: 0.7 of 1.0 litres must read 70, not 69.
  const auto percent = static_cast<float>(static_cast<double>(state.fuel_amount) /
                                          static_cast<double>(state.fuel_capacity) * 100.0);
  return low_byte(truncate_to_int32(percent));
}

std::uint8_t status_electric_bits(const TelemetryState& state) {
  if (state.electric_enabled) {
    return state.engine_enabled ? 0x40 : 0xC0;
  }
  return state.engine_enabled ? 0x00 : 0x10;
}

// The highest wear of the five parts, in whole percent.
std::int32_t wear_level(const TelemetryState& state) {
  std::int32_t level = 0;
  for (const float wear : {state.wear_engine, state.wear_transmission, state.wear_cabin,
                           state.wear_chassis, state.wear_wheels}) {
    const double percent = static_cast<double>(wear) * 100.0;
    if (level < percent) {  // false for NaN
      level = truncate_to_int32(percent);
    }
  }
  return level;
}

}  // namespace

std::int32_t truncate_to_int32(double value) noexcept {
  // Written as a range test rather than a cast: converting NaN or an out-of-range real is
  // undefined behaviour, and the cluster expects the x86 "integer indefinite" value instead.
  constexpr double lower = -2147483648.0;
  constexpr double upper = 2147483648.0;
  if (!(value >= lower && value < upper)) {
    return std::numeric_limits<std::int32_t>::min();
  }
  return static_cast<std::int32_t>(value);
}

CycleValues cycle_values(const TelemetryState& state) noexcept {
  CycleValues cycle{};
  cycle.speed_kmh = state.speed * 3.6f;
  // Reversing shows as forward speed on the dial.
  cycle.speed_value = truncate_to_int32(std::fabs(static_cast<double>(cycle.speed_kmh)) * 9.4);
  return cycle;
}

std::int32_t map_water_temperature(float water_temperature) noexcept {
  const std::int32_t degrees = truncate_to_int32(water_temperature);
  const auto gauge = static_cast<float>((static_cast<double>(degrees) - 30.0) * 0.75 + 75.0);
  return truncate_to_int32(gauge);
}

void encode_status_frame(const TelemetryState& state, std::uint8_t* frame) noexcept {
  frame[3] = static_cast<std::uint8_t>(flag(state.brake_parking, 0x20) +
                                       (state.light_parking ? 0x09 : 0x01));
  frame[4] = 0x00;
  frame[5] = static_cast<std::uint8_t>(flag(state.battery_voltage_warning, 0x08) +
                                       status_electric_bits(state));
  frame[6] = 0x00;
  frame[7] = flag(state.fuel_warning, 0x02);
  frame[8] = fuel_level_byte(state);
  frame[9] = state.electric_enabled ? 0x0D : 0x12;
  // NaN counts as engaged, -0.0 as off.
  frame[10] = flag(state.cruise_control != 0.0f, 0x01);
}

void encode_engine_frame(const TelemetryState& state, std::uint8_t* frame) noexcept {
  frame[3] = 0x00;
  frame[4] = static_cast<std::uint8_t>(
      flag(state.oil_pressure_warning, 0x80) +
      flag(state.brake_air_pressure_warning || state.brake_air_pressure_emergency, 0x40) +
      flag(state.electric_enabled && !state.engine_enabled, 0x10));
  frame[5] = flag(wear_level(state) > 14, 0x10);
  frame[6] = low_byte(map_water_temperature(state.water_temperature));
  frame[7] = 0x03;
  frame[8] = 0xBC;
  frame[9] = low_byte(truncate_to_int32(static_cast<double>(state.engine_rpm) * 0.032));
  frame[10] = 0x00;
}

void encode_blank_frame(std::uint8_t* frame) noexcept {
  for (std::uint32_t i = 3; i < 11; ++i) {
    frame[i] = 0x00;
  }
}

void encode_speed_frame(const CycleValues& cycle, std::uint8_t* frame) noexcept {
  frame[3] = low_byte(cycle.speed_value >> 8);
  frame[4] = low_byte(cycle.speed_value);
  frame[5] = 0x00;
  frame[6] = 0x25;
  frame[7] = 0x00;
  frame[8] = 0x00;
  frame[9] = 0x00;
  frame[10] = 0x00;
}

void encode_light_frame(const TelemetryState& state, const CycleValues& cycle,
                        std::uint8_t* frame) noexcept {
  frame[3] = low_byte(cycle.speed_value >> 8);
  frame[4] = static_cast<std::uint8_t>(flag(state.light_beam_high, 0x10) +
                                       flag(state.light_parking, 0x60));
  frame[5] = static_cast<std::uint8_t>(flag(state.light_rblinker, 0x20) +
                                       flag(state.light_lblinker, 0x40));
  for (std::uint32_t i = 6; i < 11; ++i) {
    frame[i] = 0x00;
  }
}

void encode_debug_frame(const Settings& settings, std::uint8_t* frame) noexcept {
  frame[3] = flag(settings.get_bool("debug_mode", true), 0x01);
  for (std::uint32_t i = 4; i < 11; ++i) {
    frame[i] = 0x00;
  }
}

}  // namespace vontrel
