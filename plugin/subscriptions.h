// The host subscriptions: frame-end and configuration events, and the 40 channels that fill
// the snapshot.
#ifndef VONTREL_PLUGIN_SUBSCRIPTIONS_H
#define VONTREL_PLUGIN_SUBSCRIPTIONS_H

#include <cstddef>

#include "plugin/channels.h"
#include "plugin/host_sdk.h"
#include "telemetry/telemetry_state.h"

namespace vontrel {

// Registers both events and every channel, each channel's context being the address of its
// field in `state`. A rejected registration never stops the later ones. True only when the
// host accepted all of them.
bool register_subscriptions(TelemetryState& state, const scs_telemetry_init_params_t& params);

// Takes "fuel.capacity" out of a configuration record; the last one in the array wins.
void apply_configuration(TelemetryState& state,
                         const scs_telemetry_configuration_t* configuration) noexcept;

void SCSAPI on_float_value(const char* name, scs_u32_t index, const scs_value_t* value,
                           void* context) noexcept;
void SCSAPI on_bool_value(const char* name, scs_u32_t index, const scs_value_t* value,
                          void* context) noexcept;
void SCSAPI on_s32_value(const char* name, scs_u32_t index, const scs_value_t* value,
                         void* context) noexcept;
void SCSAPI on_u32_value(const char* name, scs_u32_t index, const scs_value_t* value,
                         void* context) noexcept;
void SCSAPI on_configuration(scs_event_t event, const void* event_info, void* context) noexcept;

}  // namespace vontrel

#endif  // VONTREL_PLUGIN_SUBSCRIPTIONS_H
