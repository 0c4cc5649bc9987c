#include "dashboard/frame_cycle.h"

#include <cstdio>
#include <string>

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

// Envelope and payload of one frame, at `frame`.
void assemble_frame(const PluginContext& context, const CycleValues& cycle, std::uint8_t id,
                    std::uint8_t* frame) noexcept {
  frame[0] = FRAME_START;
  frame[1] = FRAME_MARKER;
  frame[2] = id;
  encode_payload(context, cycle, id, frame);
}

bool throttle_passes(PluginContext& context, std::uint32_t now) noexcept {
  // Unsigned difference: stays right across the tick counter's wrap after 49.7 days.
  if (now - context.last_send_tick < SEND_INTERVAL_MS) {
    return false;
  }
  // Taken before any write, so a slow cluster does not stretch the interval further.
  context.last_send_tick = now;
  return true;
}

constexpr std::uint32_t REOPEN_INTERVAL_MS = 1000;

// The host's log from the frame path: built in place, no allocation.
void log_port_change(const PluginContext& context, scs_log_type_t type, const char* what) noexcept {
  char line[512];
  std::snprintf(line, sizeof line, "%s: %s", what, context.com_port.c_str());
  log_line(context, type, line);
}

void report_lost(PluginContext& context) noexcept {
  log_port_change(context, SCS_LOG_TYPE_error, "Serial port lost, reconnecting");
}

void report_back(PluginContext& context) noexcept {
  log_port_change(context, SCS_LOG_TYPE_message, "Serial port reconnected");
}

// The background link: encode here, send there.
void background_frame_end(PluginContext& context) noexcept {
  for (LinkEvent event = context.background.take_event(); event != LinkEvent::none;
       event = context.background.take_event()) {
    if (event == LinkEvent::lost) {
      report_lost(context);
    } else {
      report_back(context);
    }
  }
  if (!throttle_passes(context, os::tick_ms())) {
    return;
  }
  const CycleValues cycle = cycle_values(context.state);
  std::size_t offset = 0;
  for (const std::uint8_t id : CYCLE_FRAME_IDS) {
    assemble_frame(context, cycle, id, context.cycle_buffer.data() + offset);
    offset += FRAME_LENGTH;
  }
  context.background.submit_cycle(context.cycle_buffer.data());
}

// The synchronous link that reopens a lost port. An attempt costs the host one failed open,
// which returns at once for a port that is gone, and happens at most once a second.
void reconnecting_frame_end(PluginContext& context) noexcept {
  const std::uint32_t now = os::tick_ms();
  if (!context.port.is_open()) {
    if (!context.port_lost || now - context.last_reopen_tick < REOPEN_INTERVAL_MS) {
      return;
    }
    context.last_reopen_tick = now;
    std::string error;
    bool opened = false;
    try {
      opened = context.port.open(context.com_port.c_str(), error);
    } catch (...) {
      opened = false;
    }
    if (!opened) {
      return;
    }
    context.port_lost = false;
    send_reset_frame(context);
    report_back(context);
    return;
  }
  if (!run_frame_cycle(context, now)) {
    context.port.close();
    context.port_lost = true;
    context.last_reopen_tick = now;
    report_lost(context);
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
  if (context.background.running()) {
    background_frame_end(context);
    return;
  }
  if (context.link.reconnect) {
    reconnecting_frame_end(context);
    return;
  }
  if (!context.port.is_open()) {
    return;
  }
  run_frame_cycle(context, os::tick_ms());
}

bool run_frame_cycle(PluginContext& context, std::uint32_t now) noexcept {
  if (!throttle_passes(context, now)) {
    return true;
  }
  const CycleValues cycle = cycle_values(context.state);
  context.frame_buffer.fill(0);
  std::uint8_t* frame = context.frame_buffer.data();
  bool all_written = true;
  for (const std::uint8_t id : CYCLE_FRAME_IDS) {
    assemble_frame(context, cycle, id, frame);
    all_written = context.port.write(frame, FRAME_LENGTH) && all_written;
  }
  return all_written;
}

void SCSAPI on_frame_end(scs_event_t /*event*/, const void* /*event_info*/,
                         void* /*context*/) noexcept {
  frame_end(plugin_context());
}

}  // namespace vontrel
