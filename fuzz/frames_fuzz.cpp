// Any snapshot, NaN and infinities included, through a whole frame cycle: the envelope, the
// lengths and the order must hold, and the cluster's decoder must accept every frame.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dashboard/frame_format.h"
#include "link/cluster_link.h"
#include "plugin/plugin_context.h"
#include "tests/fake_os.h"
#include "tools/monitor/frame_decoder.h"

namespace {

void require(bool condition) {
  if (!condition) {
    __builtin_trap();
  }
}

// Bools in the snapshot only ever hold 0 or 1 (the callbacks store them so).
void normalise_bools(vontrel::TelemetryState& s) {
  for (bool* field : {&s.brake_parking, &s.brake_motor, &s.brake_air_pressure_warning,
                      &s.brake_air_pressure_emergency, &s.fuel_warning, &s.oil_pressure_warning,
                      &s.water_temperature_warning, &s.battery_voltage_warning, &s.electric_enabled,
                      &s.engine_enabled, &s.light_lblinker, &s.light_rblinker, &s.light_parking,
                      &s.light_beam_low, &s.light_beam_high, &s.light_brake, &s.light_reverse}) {
    unsigned char byte = 0;
    std::memcpy(&byte, field, 1);
    byte &= 1;
    std::memcpy(field, &byte, 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vontrel;
  auto context = std::make_unique<PluginContext>();
  std::memcpy(&context->state, data, std::min(size, sizeof(TelemetryState)));
  normalise_bools(context->state);
  if (size > sizeof(TelemetryState)) {
    context->settings.parse_line(data[sizeof(TelemetryState)] & 1 ? "debug_mode bool 0" : "");
  }

  fake_os::reset();
  std::string error;
  require(start_link(context->link, context->port, host_link_log(context->host_log), "COM3", {}, 0,
                     error));
  fake_os::state().writes.clear();  // the start-up's reset frame
  link_frame_end(context->link, context->port, host_link_log(context->host_log), context->state,
                 context->settings, SEND_INTERVAL_MS);

  const auto& writes = fake_os::state().writes;
  require(writes.size() == FRAMES_PER_CYCLE);
  std::vector<std::uint8_t> wire;
  for (std::size_t i = 0; i < writes.size(); ++i) {
    require(writes[i].size() == FRAME_LENGTH);
    require(writes[i][0] == FRAME_START && writes[i][1] == FRAME_MARKER);
    require(writes[i][2] == CYCLE_FRAME_IDS[i]);
    wire.insert(wire.end(), writes[i].begin(), writes[i].end());
  }

  monitor::FrameDecoder decoder;
  std::vector<monitor::DecodedEvent> events;
  decoder.feed(wire.data(), wire.size(), events);
  decoder.finish(events);
  require(events.size() == FRAMES_PER_CYCLE);
  for (const auto& event : events) {
    require(event.kind == monitor::EventKind::frame);
  }
  require(decoder.cycles() == 1);
  return 0;
}
