// What the plug-in costs the host per call, on the host's own thread.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "can/builtin_profile.h"
#include "can/dbc.h"
#include "can/encoder.h"
#include "link/cluster_link.h"
#include "plugin/plugin_context.h"
#include "plugin/subscriptions.h"

namespace vontrel::os {
extern std::atomic<std::uint32_t> bench_tick;
}

namespace vontrel {
namespace {

// The plug-in after its start-up on one port, as the host's frame-ends find it.
std::unique_ptr<PluginContext> open_context() {
  auto context = std::make_unique<PluginContext>();
  std::string error;
  if (!start_link(context->link, context->port, host_link_log(context->host_log), "bench", {},
                  os::bench_tick.load(), error)) {
    std::abort();
  }
  return context;
}

// A frame-end event between two cycles: the common case, 2 of every 3 events at 60 fps and
// 6 of 7 at 144 fps.
void frame_end_skipped_by_the_throttle(benchmark::State& state) {
  auto context = open_context();
  context->link.last_send_tick = os::bench_tick.load();
  for (auto _ : state) {
    link_frame_end(context->link, context->port, host_link_log(context->host_log), context->state,
                   context->settings, os::bench_tick.load(std::memory_order_relaxed));
  }
}
BENCHMARK(frame_end_skipped_by_the_throttle);

// A whole cycle: encode seven frames, seven writes into a port that takes them at once.
void full_cycle(benchmark::State& state, std::uint32_t game_time) {
  auto context = open_context();
  context->state.speed = 25.0f;
  context->state.engine_rpm = 1500.0f;
  context->state.water_temperature = 90.0f;
  context->state.fuel_amount = 200.0f;
  context->state.fuel_capacity = 400.0f;
  context->state.game_time = game_time;
  std::uint32_t tick = 0;
  for (auto _ : state) {
    tick += SEND_INTERVAL_MS;
    link_frame_end(context->link, context->port, host_link_log(context->host_log), context->state,
                   context->settings, tick);
  }
}
// Two years and a bit into the game, and the largest clock (2^31 - 1 minutes, year 4083).
BENCHMARK_CAPTURE(full_cycle, typical_clock, 2u * 525960u + 754u);
BENCHMARK_CAPTURE(full_cycle, largest_clock, 2147483647u);

// The same cycle also sent as a datagram through the system's real socket, to a loopback port
// nobody reads. This os layer starts no threads, so the host's thread sends: the cost of the
// send itself, which the plug-in's sender thread otherwise takes off the host.
void full_cycle_with_udp(benchmark::State& state) {
  auto context = open_context();
  std::string error;
  if (!context->link.udp.open("127.0.0.1:47116", error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  std::uint32_t tick = 0;
  for (auto _ : state) {
    tick += SEND_INTERVAL_MS;
    link_frame_end(context->link, context->port, host_link_log(context->host_log), context->state,
                   context->settings, tick);
  }
}
BENCHMARK(full_cycle_with_udp);

// What a frame-end adds on the host's thread when can_port is on: the snapshot handed to the
// sender and a look for news of the adapter, each under the sender's lock. The sender holds
// that lock only to copy the snapshot out, so this is the whole of the host's cost (at most
// 5 us at p99 is the bound: a few ns here).
void frame_end_can_share(benchmark::State& state) {
  CanOutput can;
  TelemetryState snapshot{};
  snapshot.engine_rpm = 1500.0f;
  for (auto _ : state) {
    can.submit(snapshot);
    benchmark::DoNotOptimize(can.take_event());
  }
}
BENCHMARK(frame_end_can_share);

// A profile of `count` car-cluster messages: 11-bit, every 10 ms, each with a counter, a speed,
// an engine speed and a lamp, and an E2E CRC over its bytes with a data byte per counter value;
// one in four multiplexed, two pages in turn, one of them a running total of wheel pulses.
std::string car_profile(int count) {
  std::string text = "VERSION \"\"\n\nBS_:\n\nBU_: Engine\n\n";
  std::string attributes =
      "BA_DEF_ BO_ \"GenMsgCycleTime\" INT 0 65535;\nBA_DEF_ SG_ \"VontrelSource\" STRING ;\n"
      // Forty 8-byte frames every 10 ms take 54 % of a 1 Mbit/s bus, twice a 250 kbit/s one.
      "BA_DEF_ \"Baudrate\" INT 10000 1000000;\nBA_ \"Baudrate\" 1000000;\n";
  for (int i = 0; i < count; ++i) {
    const std::string id = std::to_string(0x100 + i);
    text.append("BO_ ").append(id).append(" M").append(std::to_string(i)).append(": 8 Engine\n");
    text.append(" SG_ Crc : 0|8@1+ (1,0) [0|255] \"\" Engine\n");
    text.append(" SG_ Counter : 8|4@1+ (1,0) [0|15] \"\" Engine\n");
    text.append(" SG_ Speed : 16|16@1+ (0.01,0) [0|655.35] \"km/h\" Engine\n");
    text.append(" SG_ Rpm : 39|16@0+ (0.25,0) [0|16383.75] \"rpm\" Engine\n");
    text.append(" SG_ Lamp : 48|1@1+ (1,0) [0|1] \"\" Engine\n");
    if (i % 4 == 0) {
      text.append(" SG_ Page M : 49|1@1+ (1,0) [0|1] \"\" Engine\n");
      text.append(" SG_ Pulses m0 : 56|8@1+ (1,0) [0|255] \"\" Engine\n");
      text.append(" SG_ Water m1 : 56|8@1+ (0.75,-48) [-48|143.25] \"degC\" Engine\n");
      attributes.append("BA_ \"VontrelSource\" SG_ ")
          .append(id)
          .append(" Pulses \"pulses 2500\";\n");
      attributes.append("BA_ \"VontrelSource\" SG_ ").append(id).append(" Water \"water_c\";\n");
    }
    text.append("\n");
    attributes.append("BA_ \"GenMsgCycleTime\" BO_ ").append(id).append(" 10;\n");
    attributes.append("BA_ \"VontrelSource\" SG_ ")
        .append(id)
        .append(" Crc \"crc8 0x2F 0xFF 0xFF data 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16\";\n");
    attributes.append("BA_ \"VontrelSource\" SG_ ").append(id).append(" Counter \"counter\";\n");
    attributes.append("BA_ \"VontrelSource\" SG_ ").append(id).append(" Speed \"speed_kmh\";\n");
    attributes.append("BA_ \"VontrelSource\" SG_ ").append(id).append(" Rpm \"engine_rpm\";\n");
    attributes.append("BA_ \"VontrelSource\" SG_ ").append(id).append(" Lamp \"low_beam\";\n");
  }
  return text + attributes;
}

// What the CAN sender's thread does for every message that is due: encode it from the snapshot
// and write its adapter line. One iteration is one pass over the whole profile, as when every
// message is due at once; the sender's share of a core is this time times the passes a second.
void can_sender_pass(benchmark::State& state, bool builtin) {
  const std::string text = builtin ? std::string(can::builtin_profile_text()) : car_profile(40);
  const can::Profile profile = can::read_dbc(text);
  std::vector<std::vector<can::Source>> sources(profile.messages.size());
  std::string why;
  for (std::size_t i = 0; i < profile.messages.size(); ++i) {
    if (!profile.problems.empty() || !can::prepare_sources(profile.messages[i], sources[i], why)) {
      state.SkipWithError("the profile does not read");
      return;
    }
  }
  TelemetryState snapshot{};
  snapshot.speed = 25.0f;
  snapshot.engine_rpm = 1500.0f;
  snapshot.game_time = 1000;
  std::vector<char> lines(profile.messages.size() * can::SLCAN_LINE);
  std::uint32_t counter = 0;
  can::RunningTotals totals;
  for (auto _ : state) {
    std::size_t length = 0;
    for (std::size_t i = 0; i < profile.messages.size(); ++i) {
      const can::Message& message = profile.messages[i];
      const std::uint32_t page =
          message.pages.empty() ? 0 : message.pages[counter % message.pages.size()];
      const can::Data data = can::encode(message, sources[i], snapshot, {counter, page, &totals});
      length += can::slcan_line(message.id, message.extended, data, message.length,
                                lines.data() + length);
    }
    ++counter;
    benchmark::DoNotOptimize(lines.data());
    benchmark::DoNotOptimize(length);
  }
  state.counters["messages"] = static_cast<double>(profile.messages.size());
}
BENCHMARK_CAPTURE(can_sender_pass, builtin_j1939, true);
BENCHMARK_CAPTURE(can_sender_pass, forty_car_messages, false);

void value_callback(benchmark::State& state, scs_telemetry_channel_callback_t callback,
                    scs_value_type_t type) {
  TelemetryState snapshot{};
  scs_value_t value{};
  value.type = type;
  value.payload.value_u32 = 1;
  void* field = &snapshot.game_time;
  if (type == SCS_VALUE_TYPE_bool) {
    field = &snapshot.light_lblinker;
  }
  for (auto _ : state) {
    callback("truck.channel", SCS_U32_NIL, &value, field);
    benchmark::DoNotOptimize(snapshot);
  }
}
BENCHMARK_CAPTURE(value_callback, float, on_float_value, SCS_VALUE_TYPE_float);
BENCHMARK_CAPTURE(value_callback, bool, on_bool_value, SCS_VALUE_TYPE_bool);
BENCHMARK_CAPTURE(value_callback, s32, on_s32_value, SCS_VALUE_TYPE_s32);
BENCHMARK_CAPTURE(value_callback, u32, on_u32_value, SCS_VALUE_TYPE_u32);

// A truck configuration event of a few dozen attributes, the capacity among them.
void configuration_event(benchmark::State& state) {
  static const char* const names[] = {"brand_id",
                                      "brand",
                                      "id",
                                      "name",
                                      "fuel.capacity",
                                      "fuel.warning.factor",
                                      "adblue.capacity",
                                      "air.pressure.warning",
                                      "air.pressure.emergency",
                                      "oil.pressure.warning",
                                      "water.temperature.warning",
                                      "battery.voltage.warning",
                                      "rpm.limit",
                                      "gears.forward",
                                      "gears.reverse",
                                      "retarder.steps",
                                      "cabin.position",
                                      "head.position",
                                      "hook.position",
                                      "wheels.count",
                                      "wheel.position",
                                      "wheel.steerable",
                                      "wheel.simulated",
                                      "wheel.radius",
                                      "wheel.powered",
                                      "wheel.liftable",
                                      "license.plate",
                                      "license.plate.country",
                                      "license.plate.country.id"};
  std::vector<scs_named_value_t> attributes;
  for (const char* name : names) {
    scs_named_value_t attribute{};
    attribute.name = name;
    attribute.value.type = SCS_VALUE_TYPE_float;
    attribute.value.payload.value_float = 400.0f;
    attributes.push_back(attribute);
  }
  attributes.push_back(scs_named_value_t{});
  const scs_telemetry_configuration_t configuration{"truck", attributes.data()};
  TelemetryState snapshot{};
  for (auto _ : state) {
    apply_configuration(snapshot, &configuration);
    benchmark::DoNotOptimize(snapshot);
  }
}
BENCHMARK(configuration_event);

// Start-up's one read of a typical settings file.
void settings_load(benchmark::State& state) {
  const auto path = std::filesystem::temp_directory_path() / "vontrel-bench-settings.txt";
  std::ofstream(path) << "# Vontrel settings\ncomport str COM4\ndebug_mode bool 1\n"
                         "background_writes bool 0\nreconnect bool 1\n";
  for (auto _ : state) {
    Settings settings;
    benchmark::DoNotOptimize(settings.load(path.string()));
  }
  std::filesystem::remove(path);
}
BENCHMARK(settings_load);

}  // namespace
}  // namespace vontrel

BENCHMARK_MAIN();
