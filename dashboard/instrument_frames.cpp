#include "dashboard/instrument_frames.h"

#include <cmath>
#include <limits>

#include "protocol/wire.h"

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
    return state.engine_enabled ? STATUS_POWER_RUNNING : STATUS_POWER_ELECTRICS;
  }
  return state.engine_enabled ? STATUS_POWER_ENGINE_ONLY : STATUS_POWER_OFF;
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
  cycle.speed_value =
      truncate_to_int32(std::fabs(static_cast<double>(cycle.speed_kmh)) * SPEED_SCALE);
  return cycle;
}

std::int32_t map_water_temperature(float water_temperature) noexcept {
  const std::int32_t degrees = truncate_to_int32(water_temperature);
  const auto gauge = static_cast<float>(
      (static_cast<double>(degrees) - WATER_ORIGIN_C) * WATER_SCALE + WATER_ORIGIN_GAUGE);
  return truncate_to_int32(gauge);
}

void encode_status_frame(const TelemetryState& state, std::uint8_t* frame) noexcept {
  frame[3] =
      static_cast<std::uint8_t>(flag(state.brake_parking, STATUS_PARKING_BRAKE) +
                                (state.light_parking ? STATUS_LIGHTS_PARKING : STATUS_LIGHTS_NONE));
  frame[4] = 0x00;
  frame[5] = static_cast<std::uint8_t>(flag(state.battery_voltage_warning, STATUS_BATTERY_WARNING) +
                                       status_electric_bits(state));
  frame[6] = 0x00;
  frame[7] = flag(state.fuel_warning, STATUS_FUEL_WARNING);
  frame[8] = fuel_level_byte(state);
  frame[9] = state.electric_enabled ? STATUS_ELECTRICS_ON : STATUS_ELECTRICS_OFF;
  // NaN counts as engaged, -0.0 as off.
  frame[10] = flag(state.cruise_control != 0.0f, STATUS_CRUISE_CONTROL);
}

void encode_engine_frame(const TelemetryState& state, std::uint8_t* frame) noexcept {
  frame[3] = 0x00;
  frame[4] = static_cast<std::uint8_t>(
      flag(state.oil_pressure_warning, ENGINE_OIL_PRESSURE) +
      flag(state.brake_air_pressure_warning || state.brake_air_pressure_emergency,
           ENGINE_AIR_PRESSURE) +
      flag(state.electric_enabled && !state.engine_enabled, ENGINE_STOPPED));
  frame[5] = flag(wear_level(state) > 14, ENGINE_WEAR);
  frame[6] = low_byte(map_water_temperature(state.water_temperature));
  frame[7] = ENGINE_FIXED_7;
  frame[8] = ENGINE_FIXED_8;
  frame[9] = low_byte(truncate_to_int32(static_cast<double>(state.engine_rpm) * RPM_SCALE));
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
  frame[6] = SPEED_FIXED_6;
  frame[7] = 0x00;
  frame[8] = 0x00;
  frame[9] = 0x00;
  frame[10] = 0x00;
}

void encode_light_frame(const TelemetryState& state, const CycleValues& cycle,
                        std::uint8_t* frame) noexcept {
  frame[3] = low_byte(cycle.speed_value >> 8);
  frame[4] = static_cast<std::uint8_t>(flag(state.light_beam_high, LIGHT_HIGH_BEAM) +
                                       flag(state.light_parking, LIGHT_PARKING));
  frame[5] = static_cast<std::uint8_t>(flag(state.light_rblinker, LIGHT_RIGHT_BLINKER) +
                                       flag(state.light_lblinker, LIGHT_LEFT_BLINKER));
  for (std::uint32_t i = 6; i < 11; ++i) {
    frame[i] = 0x00;
  }
}

void encode_debug_frame(const Settings& settings, std::uint8_t* frame) noexcept {
  frame[3] = flag(settings.get_bool("debug_mode", true), DEBUG_ON);
  for (std::uint32_t i = 4; i < 11; ++i) {
    frame[i] = 0x00;
  }
}

}  // namespace vontrel
