#include "plugin/subscriptions.h"

#include <cstring>

#include "plugin/plugin_context.h"

namespace vontrel {

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
