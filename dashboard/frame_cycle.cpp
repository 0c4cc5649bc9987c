#include "dashboard/frame_cycle.h"

#include "dashboard/clock_frame.h"
#include "dashboard/frame_format.h"
#include "dashboard/instrument_frames.h"

namespace vontrel {

namespace {

void encode_payload(const TelemetryState& state, const Settings& settings, const CycleValues& cycle,
                    std::uint8_t id, std::uint8_t* frame) noexcept {
  switch (id) {
    case FRAME_ID_CLOCK:
      encode_clock_frame(state, frame);
      break;
    case FRAME_ID_STATUS:
      encode_status_frame(state, frame);
      break;
    case FRAME_ID_ENGINE:
      encode_engine_frame(state, frame);
      break;
    case FRAME_ID_BLANK:
      encode_blank_frame(frame);
      break;
    case FRAME_ID_SPEED:
      encode_speed_frame(cycle, frame);
      break;
    case FRAME_ID_LIGHT:
      encode_light_frame(state, cycle, frame);
      break;
    case FRAME_ID_DEBUG:
      encode_debug_frame(settings, frame);
      break;
    default:
      break;
  }
}

}  // namespace

bool throttle_passes(std::uint32_t& last_send_tick, std::uint32_t now) noexcept {
  // Unsigned difference: stays right across the tick counter's wrap after 49.7 days.
  if (now - last_send_tick < SEND_INTERVAL_MS) {
    return false;
  }
  // Taken before any write, so a slow cluster does not stretch the interval further.
  last_send_tick = now;
  return true;
}

void encode_cycle(const TelemetryState& state, const Settings& settings,
                  std::uint8_t* cycle) noexcept {
  const CycleValues values = cycle_values(state);
  std::uint8_t* frame = cycle;
  for (const std::uint8_t id : CYCLE_FRAME_IDS) {
    frame[0] = FRAME_START;
    frame[1] = FRAME_MARKER;
    frame[2] = id;
    encode_payload(state, settings, values, id, frame);
    frame += FRAME_LENGTH;
  }
}

void set_cycle_debug_mode(std::uint8_t* cycle, bool debug) noexcept {
  for (std::uint32_t i = 0; i < FRAMES_PER_CYCLE; ++i) {
    if (CYCLE_FRAME_IDS[i] == FRAME_ID_DEBUG) {
      cycle[i * FRAME_LENGTH + 3] = debug ? DEBUG_ON : 0x00;
    }
  }
}

}  // namespace vontrel
