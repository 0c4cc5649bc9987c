// The 40 channels of the host that fill the snapshot: name, the host's value type, and the
// field each lands in. The plug-in registers them in this order; vontrel-host offers exactly
// these and reads scenarios against them.
#ifndef VONTREL_PLUGIN_CHANNELS_H
#define VONTREL_PLUGIN_CHANNELS_H

#include <cstddef>

#include "plugin/host_sdk.h"
#include "telemetry/telemetry_state.h"

namespace vontrel {

struct ChannelSubscription {
  const char* name;
  scs_value_type_t type;
  std::size_t field_offset;  // where in TelemetryState the value goes
};

inline constexpr std::size_t CHANNEL_COUNT = 40;

// The channels in the order they are registered with the host.
extern const ChannelSubscription CHANNEL_SUBSCRIPTIONS[CHANNEL_COUNT];

}  // namespace vontrel

#endif  // VONTREL_PLUGIN_CHANNELS_H
