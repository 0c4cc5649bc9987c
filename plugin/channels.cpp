#include "plugin/channels.h"

#include <cstddef>

namespace vontrel {

#define VONTREL_CHANNEL(channel, tag, field)      \
  ChannelSubscription {                           \
    channel, tag, offsetof(TelemetryState, field) \
  }

// Registration order is the host-facing contract and differs from the record's field order in
// two places: odometer and cruise control come before the dashboard backlight, and the fuel
// range comes after all other truck channels.
const ChannelSubscription CHANNEL_SUBSCRIPTIONS[CHANNEL_COUNT] = {
    VONTREL_CHANNEL("truck.speed", SCS_VALUE_TYPE_float, speed),
    VONTREL_CHANNEL("truck.engine.rpm", SCS_VALUE_TYPE_float, engine_rpm),
    VONTREL_CHANNEL("truck.engine.gear", SCS_VALUE_TYPE_s32, engine_gear),
    VONTREL_CHANNEL("truck.brake.parking", SCS_VALUE_TYPE_bool, brake_parking),
    VONTREL_CHANNEL("truck.brake.motor", SCS_VALUE_TYPE_bool, brake_motor),
    VONTREL_CHANNEL("truck.brake.air.pressure", SCS_VALUE_TYPE_float, brake_air_pressure),
    VONTREL_CHANNEL("truck.brake.air.pressure.warning", SCS_VALUE_TYPE_bool,
                    brake_air_pressure_warning),
    VONTREL_CHANNEL("truck.brake.air.pressure.emergency", SCS_VALUE_TYPE_bool,
                    brake_air_pressure_emergency),
    VONTREL_CHANNEL("truck.brake.temperature", SCS_VALUE_TYPE_float, brake_temperature),
    VONTREL_CHANNEL("truck.fuel.amount", SCS_VALUE_TYPE_float, fuel_amount),
    VONTREL_CHANNEL("truck.fuel.warning", SCS_VALUE_TYPE_bool, fuel_warning),
    VONTREL_CHANNEL("truck.fuel.consumption.average", SCS_VALUE_TYPE_float,
                    fuel_consumption_average),
    VONTREL_CHANNEL("truck.oil.pressure", SCS_VALUE_TYPE_float, oil_pressure),
    VONTREL_CHANNEL("truck.oil.pressure.warning", SCS_VALUE_TYPE_bool, oil_pressure_warning),
    VONTREL_CHANNEL("truck.oil.temperature", SCS_VALUE_TYPE_float, oil_temperature),
    VONTREL_CHANNEL("truck.water.temperature", SCS_VALUE_TYPE_float, water_temperature),
    VONTREL_CHANNEL("truck.water.temperature.warning", SCS_VALUE_TYPE_bool,
                    water_temperature_warning),
    VONTREL_CHANNEL("truck.battery.voltage", SCS_VALUE_TYPE_float, battery_voltage),
    VONTREL_CHANNEL("truck.battery.voltage.warning", SCS_VALUE_TYPE_bool, battery_voltage_warning),
    VONTREL_CHANNEL("truck.electric.enabled", SCS_VALUE_TYPE_bool, electric_enabled),
    VONTREL_CHANNEL("truck.engine.enabled", SCS_VALUE_TYPE_bool, engine_enabled),
    VONTREL_CHANNEL("truck.wear.engine", SCS_VALUE_TYPE_float, wear_engine),
    VONTREL_CHANNEL("truck.wear.transmission", SCS_VALUE_TYPE_float, wear_transmission),
    VONTREL_CHANNEL("truck.wear.cabin", SCS_VALUE_TYPE_float, wear_cabin),
    VONTREL_CHANNEL("truck.wear.chassis", SCS_VALUE_TYPE_float, wear_chassis),
    VONTREL_CHANNEL("truck.wear.wheels", SCS_VALUE_TYPE_float, wear_wheels),
    VONTREL_CHANNEL("truck.light.lblinker", SCS_VALUE_TYPE_bool, light_lblinker),
    VONTREL_CHANNEL("truck.light.rblinker", SCS_VALUE_TYPE_bool, light_rblinker),
    VONTREL_CHANNEL("truck.light.parking", SCS_VALUE_TYPE_bool, light_parking),
    VONTREL_CHANNEL("truck.light.beam.low", SCS_VALUE_TYPE_bool, light_beam_low),
    VONTREL_CHANNEL("truck.light.beam.high", SCS_VALUE_TYPE_bool, light_beam_high),
    VONTREL_CHANNEL("truck.light.brake", SCS_VALUE_TYPE_bool, light_brake),
    VONTREL_CHANNEL("truck.light.reverse", SCS_VALUE_TYPE_bool, light_reverse),
    VONTREL_CHANNEL("truck.odometer", SCS_VALUE_TYPE_float, odometer),
    VONTREL_CHANNEL("truck.cruise_control", SCS_VALUE_TYPE_float, cruise_control),
    VONTREL_CHANNEL("truck.dashboard.backlight", SCS_VALUE_TYPE_float, dashboard_backlight),
    VONTREL_CHANNEL("truck.navigation.distance", SCS_VALUE_TYPE_float, navigation_distance),
    VONTREL_CHANNEL("truck.fuel.range", SCS_VALUE_TYPE_float, fuel_range),
    VONTREL_CHANNEL("game.time", SCS_VALUE_TYPE_u32, game_time),
    VONTREL_CHANNEL("multiplayer.time.offset", SCS_VALUE_TYPE_s32, multiplayer_time_offset),
};

#undef VONTREL_CHANNEL

}  // namespace vontrel
