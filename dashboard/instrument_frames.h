// The six instrument frames that follow the clock frame in every cycle. Each encoder fills
// payload bytes 3..10 of the frame it is given, zeros included, and nothing else.
#ifndef VONTREL_DASHBOARD_INSTRUMENT_FRAMES_H
#define VONTREL_DASHBOARD_INSTRUMENT_FRAMES_H

#include <cstdint>

#include "settings/settings.h"
#include "telemetry/telemetry_state.h"

namespace vontrel {

// Values computed once per cycle and shared by its frames.
struct CycleValues {
  float speed_kmh;           // speed x 3.6, single precision
  std::int32_t speed_value;  // |speed_kmh| x 9.4, truncated; the speed and light frames share it
};

// Real to integer as the cluster expects it: truncation toward zero; NaN and anything outside
// the 32-bit range give -2147483648, whose low bytes are all zero.
std::int32_t truncate_to_int32(double value) noexcept;

CycleValues cycle_values(const TelemetryState& state) noexcept;

// Water temperature gauge position: 30 degrees is 75, every further 4 degrees adds 3.
std::int32_t map_water_temperature(float water_temperature) noexcept;

void encode_status_frame(const TelemetryState& state, std::uint8_t* frame) noexcept;
void encode_engine_frame(const TelemetryState& state, std::uint8_t* frame) noexcept;
void encode_blank_frame(std::uint8_t* frame) noexcept;
void encode_speed_frame(const CycleValues& cycle, std::uint8_t* frame) noexcept;
void encode_light_frame(const TelemetryState& state, const CycleValues& cycle,
                        std::uint8_t* frame) noexcept;
void encode_debug_frame(const Settings& settings, std::uint8_t* frame) noexcept;

}  // namespace vontrel

#endif  // VONTREL_DASHBOARD_INSTRUMENT_FRAMES_H
