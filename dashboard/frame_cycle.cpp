#include "dashboard/frame_cycle.h"

#include "dashboard/clock_frame.h"
#include "dashboard/frame_format.h"
#include "dashboard/instrument_frames.h"
#include "os/os.h"
#include "plugin/plugin_context.h"

namespace vontrel {

namespace {

void encode_payload(const PluginContext& context, const CycleValues& cycle, std::uint8_t id,
                    std::uint8_t* frame) noexcept {
  switch (id) {
    case FRAME_ID_CLOCK:
      encode_clock_frame(context.state, frame);
      break;
    case FRAME_ID_STATUS:
      encode_status_frame(context.state, frame);
      break;
    case FRAME_ID_ENGINE:
      encode_engine_frame(context.state, frame);
      break;
    case FRAME_ID_BLANK:
      encode_blank_frame(frame);
      break;
    case FRAME_ID_SPEED:
      encode_speed_frame(cycle, frame);
      break;
    case FRAME_ID_LIGHT:
      encode_light_frame(context.state, cycle, frame);
      break;
    case FRAME_ID_DEBUG:
      encode_debug_frame(context.settings, frame);
      break;
    default:
      break;
  }
}

}  // namespace

void send_reset_frame(PluginContext& context) noexcept {
  context.frame_buffer.fill(0);
  context.frame_buffer[0] = FRAME_START;
  context.frame_buffer[1] = FRAME_MARKER;
  context.port.write(context.frame_buffer.data(), RESET_FRAME_LENGTH);
}

void frame_end(PluginContext& context) noexcept {
  if (!context.port.is_open()) {
    return;
  }
  run_frame_cycle(context, os::tick_ms());
}

void run_frame_cycle(PluginContext& context, std::uint32_t now) noexcept {
  // Unsigned difference: stays right across the tick counter's wrap after 49.7 days.
  if (now - context.last_send_tick < SEND_INTERVAL_MS) {
    return;
  }
  // Taken before any write, so a slow cluster does not stretch the interval further.
  context.last_send_tick = now;

  const CycleValues cycle = cycle_values(context.state);
  context.frame_buffer.fill(0);
  std::uint8_t* frame = context.frame_buffer.data();
  for (const std::uint8_t id : CYCLE_FRAME_IDS) {
    frame[0] = FRAME_START;
    frame[1] = FRAME_MARKER;
    frame[2] = id;
    encode_payload(context, cycle, id, frame);
    context.port.write(frame, FRAME_LENGTH);
  }
}

void SCSAPI on_frame_end(scs_event_t /*event*/, const void* /*event_info*/,
                         void* /*context*/) noexcept {
  frame_end(plugin_context());
}

}  // namespace vontrel
