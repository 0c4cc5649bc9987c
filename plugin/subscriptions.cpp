#include "plugin/subscriptions.h"

#include <cstring>

#include "link/cluster_link.h"
#include "plugin/plugin_context.h"

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

namespace {

scs_telemetry_channel_callback_t callback_for(scs_value_type_t type) {
  switch (type) {
    case SCS_VALUE_TYPE_bool:
      return on_bool_value;
    case SCS_VALUE_TYPE_s32:
      return on_s32_value;
    case SCS_VALUE_TYPE_u32:
      return on_u32_value;
    default:
      return on_float_value;
  }
}

// A delivery the callback can trust: a record of the registered type and a field to put it
// in. Anything else is dropped rather than written through null or stored as the wrong type;
// a misbehaving host must not crash itself through us.
bool deliverable(const scs_value_t* value, scs_value_type_t registered, const void* context) {
  return value != nullptr && value->type == registered && context != nullptr;
}

void store_four_bytes(const scs_value_t* value, void* context) {
  std::memcpy(context, value->payload.raw, 4);
}

}  // namespace

bool register_subscriptions(TelemetryState& state, const scs_telemetry_init_params_t& params) {
  // A host that leaves a registration function out cannot be subscribed to; count that as a
  // rejection instead of calling through null.
  bool success = false;
  if (params.register_for_event != nullptr) {
    success = params.register_for_event(SCS_TELEMETRY_EVENT_frame_end, on_frame_end, nullptr) ==
              SCS_RESULT_ok;
    if (success) {
      success = params.register_for_event(SCS_TELEMETRY_EVENT_configuration, on_configuration,
                                          nullptr) == SCS_RESULT_ok;
    }
  }

  auto* base = reinterpret_cast<unsigned char*>(&state);
  for (const ChannelSubscription& channel : CHANNEL_SUBSCRIPTIONS) {
    if (params.register_for_channel == nullptr) {
      success = false;
      break;
    }
    const scs_result_t result =
        params.register_for_channel(channel.name, SCS_U32_NIL, channel.type, 0,
                                    callback_for(channel.type), base + channel.field_offset);
    if (result != SCS_RESULT_ok) {
      success = false;
    }
  }
  return success;
}

void apply_configuration(TelemetryState& state,
                         const scs_telemetry_configuration_t* configuration) noexcept {
  if (configuration == nullptr || configuration->attributes == nullptr) {
    return;
  }
  for (const scs_named_value_t* attribute = configuration->attributes; attribute->name != nullptr;
       ++attribute) {
    // The payload is taken as a float whatever its tag says; later entries win.
    if (std::strcmp(attribute->name, "fuel.capacity") == 0) {
      std::memcpy(&state.fuel_capacity, attribute->value.payload.raw, sizeof(float));
    }
  }
}

void SCSAPI on_float_value(const char* /*name*/, scs_u32_t /*index*/, const scs_value_t* value,
                           void* context) noexcept {
  if (deliverable(value, SCS_VALUE_TYPE_float, context)) {
    store_four_bytes(value, context);
  }
}

void SCSAPI on_bool_value(const char* /*name*/, scs_u32_t /*index*/, const scs_value_t* value,
                          void* context) noexcept {
  if (deliverable(value, SCS_VALUE_TYPE_bool, context)) {
    *static_cast<bool*>(context) = value->payload.value_bool != 0;
  }
}

void SCSAPI on_s32_value(const char* /*name*/, scs_u32_t /*index*/, const scs_value_t* value,
                         void* context) noexcept {
  if (deliverable(value, SCS_VALUE_TYPE_s32, context)) {
    store_four_bytes(value, context);
  }
}

void SCSAPI on_u32_value(const char* /*name*/, scs_u32_t /*index*/, const scs_value_t* value,
                         void* context) noexcept {
  if (deliverable(value, SCS_VALUE_TYPE_u32, context)) {
    store_four_bytes(value, context);
  }
}

void SCSAPI on_configuration(scs_event_t /*event*/, const void* event_info,
                             void* /*context*/) noexcept {
  apply_configuration(plugin_context().state,
                      static_cast<const scs_telemetry_configuration_t*>(event_info));
}

}  // namespace vontrel
