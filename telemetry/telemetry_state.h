// The snapshot of every subscribed host channel, as the host delivered it.
#ifndef VONTREL_TELEMETRY_TELEMETRY_STATE_H
#define VONTREL_TELEMETRY_TELEMETRY_STATE_H

#include <cstdint>

namespace vontrel {

// Field order is the record's; the registration order differs (see subscriptions.cpp).
// Bools are one byte and hold only 0 or 1.
struct TelemetryState {
  float speed;  // metres per second
  float engine_rpm;
  std::int32_t engine_gear;
  bool brake_parking;
  bool brake_motor;
  float brake_air_pressure;
  bool brake_air_pressure_warning;
  bool brake_air_pressure_emergency;
  float brake_temperature;
  float fuel_amount;
  bool fuel_warning;
  float fuel_consumption_average;
  float fuel_capacity;  // from the configuration event, 0 until one delivers it
  float fuel_range;
  float oil_pressure;
  bool oil_pressure_warning;
  float oil_temperature;
  float water_temperature;
  bool water_temperature_warning;
  float battery_voltage;
  bool battery_voltage_warning;
  bool electric_enabled;
  bool engine_enabled;
  float wear_engine;  // fractions, 1.0 is fully worn
  float wear_transmission;
  float wear_cabin;
  float wear_chassis;
  float wear_wheels;
  bool light_lblinker;
  bool light_rblinker;
  bool light_parking;
  bool light_beam_low;
  bool light_beam_high;
  bool light_brake;
  bool light_reverse;
  float dashboard_backlight;
  float odometer;
  float cruise_control;  // non-zero while engaged
  float navigation_distance;
  std::uint32_t game_time;               // minutes
  std::int32_t multiplayer_time_offset;  // minutes added to game_time
};

}  // namespace vontrel

#endif  // VONTREL_TELEMETRY_TELEMETRY_STATE_H
