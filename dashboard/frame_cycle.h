// The throttled frame cycle the host's frame-end event drives, and the reset frame.
#ifndef VONTREL_DASHBOARD_FRAME_CYCLE_H
#define VONTREL_DASHBOARD_FRAME_CYCLE_H

#include <cstdint>

#include "plugin/host_sdk.h"

namespace vontrel {

struct PluginContext;

// Clears the cluster: FF 04 and fourteen zero bytes, one write.
void send_reset_frame(PluginContext& context) noexcept;

// One frame-end event: nothing while the port is closed (not even a clock read), otherwise
// the cycle at the current tick.
void frame_end(PluginContext& context) noexcept;

// The cycle at tick `now`: at most one every 50 ms, seven frames of 11 bytes, each its own
// write, whatever the writes did. False when the system reported a failed write.
bool run_frame_cycle(PluginContext& context, std::uint32_t now) noexcept;

// The host's frame-end handler.
void SCSAPI on_frame_end(scs_event_t event, const void* event_info, void* context) noexcept;

}  // namespace vontrel

#endif  // VONTREL_DASHBOARD_FRAME_CYCLE_H
