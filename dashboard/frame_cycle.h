// The throttled frame cycle that the host's frame-end events drive. Pure: a snapshot and a
// tick in, bytes out; the link puts them on the wire.
#ifndef VONTREL_DASHBOARD_FRAME_CYCLE_H
#define VONTREL_DASHBOARD_FRAME_CYCLE_H

#include <cstdint>

#include "settings/settings.h"
#include "telemetry/telemetry_state.h"

namespace vontrel {

// At most one cycle every 50 ms: true when `now` is that far past the last cycle, which then
// starts at `now`.
bool throttle_passes(std::uint32_t& last_send_tick, std::uint32_t now) noexcept;

// The seven frames of one cycle, CYCLE_LENGTH bytes from `cycle`, in the order they leave.
void encode_cycle(const TelemetryState& state, const Settings& settings,
                  std::uint8_t* cycle) noexcept;

// Sets the debug flag in an encoded cycle's debug frame: a board of its own beside the cluster
// may show debug output while the cluster does not.
void set_cycle_debug_mode(std::uint8_t* cycle, bool debug) noexcept;

}  // namespace vontrel

#endif  // VONTREL_DASHBOARD_FRAME_CYCLE_H
