#include "plugin/subscriptions.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "telemetry/telemetry_state.h"
#include "tests/test_host.h"

namespace vontrel {
namespace {

using testing::bool_value;
using testing::float_value;
using testing::s32_value;
using testing::TestHost;
using testing::u32_value;

const std::vector<std::string> registration_order = {
    "truck.speed",
    "truck.engine.rpm",
    "truck.engine.gear",
    "truck.brake.parking",
    "truck.brake.motor",
    "truck.brake.air.pressure",
    "truck.brake.air.pressure.warning",
    "truck.brake.air.pressure.emergency",
    "truck.brake.temperature",
    "truck.fuel.amount",
    "truck.fuel.warning",
    "truck.fuel.consumption.average",
    "truck.oil.pressure",
    "truck.oil.pressure.warning",
    "truck.oil.temperature",
    "truck.water.temperature",
    "truck.water.temperature.warning",
    "truck.battery.voltage",
    "truck.battery.voltage.warning",
    "truck.electric.enabled",
    "truck.engine.enabled",
    "truck.wear.engine",
    "truck.wear.transmission",
    "truck.wear.cabin",
    "truck.wear.chassis",
    "truck.wear.wheels",
    "truck.light.lblinker",
    "truck.light.rblinker",
    "truck.light.parking",
    "truck.light.beam.low",
    "truck.light.beam.high",
    "truck.light.brake",
    "truck.light.reverse",
    "truck.odometer",
    "truck.cruise_control",
    "truck.dashboard.backlight",
    "truck.navigation.distance",
    "truck.fuel.range",
    "game.time",
    "multiplayer.time.offset",
};

class subscriptions_test : public ::testing::Test {
 protected:
  TestHost host;
  TelemetryState state{};

  bool subscribe() { return register_subscriptions(state, host.params()); }

  void deliver(const std::string& name, const scs_value_t& value) {
    const auto* channel = host.channel(name);
    ASSERT_NE(channel, nullptr) << name;
    channel->callback(name.c_str(), SCS_U32_NIL, &value, channel->context);
  }
};

TEST_F(subscriptions_test, registers_both_events_and_forty_channels_in_order) {
  ASSERT_TRUE(subscribe());
  ASSERT_EQ(host.events.size(), 2u);
  EXPECT_EQ(host.events[0].event, SCS_TELEMETRY_EVENT_frame_end);
  EXPECT_EQ(host.events[0].context, nullptr);
  EXPECT_EQ(host.events[1].event, SCS_TELEMETRY_EVENT_configuration);
  EXPECT_EQ(host.events[1].context, nullptr);
  ASSERT_EQ(host.channels.size(), 40u);
  for (std::size_t i = 0; i < 40; ++i) {
    EXPECT_EQ(host.channels[i].name, registration_order[i]) << i;
    EXPECT_EQ(host.channels[i].index, SCS_U32_NIL);
    EXPECT_EQ(host.channels[i].flags, 0u);
  }
}

TEST_F(subscriptions_test, each_channel_has_its_type_callback_and_field) {
  ASSERT_TRUE(subscribe());
  struct Expected {
    const char* name;
    scs_value_type_t type;
    scs_telemetry_channel_callback_t callback;
    const void* field;
  };
  const Expected expected[] = {
      {"truck.speed", SCS_VALUE_TYPE_float, on_float_value, &state.speed},
      {"truck.engine.gear", SCS_VALUE_TYPE_s32, on_s32_value, &state.engine_gear},
      {"truck.brake.parking", SCS_VALUE_TYPE_bool, on_bool_value, &state.brake_parking},
      {"truck.dashboard.backlight", SCS_VALUE_TYPE_float, on_float_value,
       &state.dashboard_backlight},
      {"truck.fuel.range", SCS_VALUE_TYPE_float, on_float_value, &state.fuel_range},
      {"game.time", SCS_VALUE_TYPE_u32, on_u32_value, &state.game_time},
      {"multiplayer.time.offset", SCS_VALUE_TYPE_s32, on_s32_value, &state.multiplayer_time_offset},
  };
  for (const auto& e : expected) {
    const auto* channel = host.channel(e.name);
    ASSERT_NE(channel, nullptr) << e.name;
    EXPECT_EQ(channel->type, e.type) << e.name;
    EXPECT_EQ(channel->callback, e.callback) << e.name;
    EXPECT_EQ(channel->context, e.field) << e.name;
  }
  // Every channel fills a distinct field inside the snapshot.
  std::vector<const void*> contexts;
  for (const auto& channel : host.channels) {
    const auto* field = static_cast<const unsigned char*>(channel.context);
    const auto* base = reinterpret_cast<const unsigned char*>(&state);
    EXPECT_TRUE(field >= base && field < base + sizeof state) << channel.name;
    contexts.push_back(channel.context);
  }
  std::sort(contexts.begin(), contexts.end());
  EXPECT_EQ(std::adjacent_find(contexts.begin(), contexts.end()), contexts.end());
}

TEST_F(subscriptions_test, rejected_frame_end_skips_configuration_but_not_channels) {
  host.rejected_events = {SCS_TELEMETRY_EVENT_frame_end};
  EXPECT_FALSE(subscribe());
  ASSERT_EQ(host.events.size(), 1u);
  EXPECT_EQ(host.channels.size(), 40u);
}

TEST_F(subscriptions_test, rejected_configuration_event_fails_after_all_channels) {
  host.rejected_events = {SCS_TELEMETRY_EVENT_configuration};
  EXPECT_FALSE(subscribe());
  EXPECT_EQ(host.events.size(), 2u);
  EXPECT_EQ(host.channels.size(), 40u);
}

TEST_F(subscriptions_test, rejected_channel_still_registers_the_rest) {
  host.rejected_channels = {"truck.water.temperature.warning"};
  EXPECT_FALSE(subscribe());
  EXPECT_EQ(host.channels.size(), 40u);
  EXPECT_EQ(host.channels.back().name, "multiplayer.time.offset");
}

TEST_F(subscriptions_test, host_without_registration_functions_fails_without_crashing) {
  auto params = host.params();
  params.register_for_event = nullptr;
  params.register_for_channel = nullptr;
  EXPECT_FALSE(register_subscriptions(state, params));
}

TEST_F(subscriptions_test, values_are_stored_unchanged) {
  ASSERT_TRUE(subscribe());
  deliver("truck.speed", float_value(-0.0f));
  EXPECT_TRUE(std::signbit(state.speed));
  deliver("truck.engine.rpm", float_value(std::numeric_limits<float>::infinity()));
  EXPECT_EQ(state.engine_rpm, std::numeric_limits<float>::infinity());
  deliver("truck.engine.gear", s32_value(-2));
  EXPECT_EQ(state.engine_gear, -2);
  deliver("game.time", u32_value(4294967295u));
  EXPECT_EQ(state.game_time, 4294967295u);
  deliver("multiplayer.time.offset", s32_value(-200));
  EXPECT_EQ(state.multiplayer_time_offset, -200);
}

TEST_F(subscriptions_test, bool_payload_is_stored_as_zero_or_one) {
  ASSERT_TRUE(subscribe());
  deliver("truck.light.lblinker", bool_value(2));
  unsigned char stored = 0;
  std::memcpy(&stored, &state.light_lblinker, 1);
  EXPECT_EQ(stored, 1);
  deliver("truck.light.lblinker", bool_value(0));
  std::memcpy(&stored, &state.light_lblinker, 1);
  EXPECT_EQ(stored, 0);
}

TEST_F(subscriptions_test, misbehaving_deliveries_are_dropped) {
  ASSERT_TRUE(subscribe());
  state.speed = 5.0f;
  const auto* speed = host.channel("truck.speed");
  // Wrong type tag: never stored as the wrong type.
  const scs_value_t wrong = s32_value(0x7F7F7F7F);
  speed->callback("truck.speed", SCS_U32_NIL, &wrong, speed->context);
  EXPECT_EQ(state.speed, 5.0f);
  // No value record, no context: nothing written through null.
  speed->callback("truck.speed", SCS_U32_NIL, nullptr, speed->context);
  const scs_value_t good = float_value(7.0f);
  for (auto callback : {on_float_value, on_bool_value, on_s32_value, on_u32_value}) {
    callback("x", SCS_U32_NIL, &good, nullptr);
    callback("x", SCS_U32_NIL, nullptr, nullptr);
  }
  EXPECT_EQ(state.speed, 5.0f);
}

struct Attribute {
  const char* name;
  float value;
};

scs_telemetry_configuration_t configuration(std::vector<scs_named_value_t>& storage,
                                            const std::vector<Attribute>& attributes) {
  storage.clear();
  for (const auto& attribute : attributes) {
    scs_named_value_t entry{};
    entry.name = attribute.name;
    entry.index = SCS_U32_NIL;
    entry.value = float_value(attribute.value);
    storage.push_back(entry);
  }
  storage.push_back(scs_named_value_t{});
  return scs_telemetry_configuration_t{"truck", storage.data()};
}

TEST(configuration_test, fuel_capacity_is_taken_exactly_and_the_last_one_wins) {
  struct Case {
    std::vector<Attribute> attributes;
    float expected;
  };
  const Case cases[] = {
      {{{"fuel.capacity", 400.0f}}, 400.0f},
      {{{"brand", 1.0f}, {"fuel.capacity", 400.0f}, {"fuel.capacity", 600.0f}}, 600.0f},
      {{{"Fuel.Capacity", 400.0f}}, -1.0f},
      {{{"fuel.capacity.warning", 400.0f}}, -1.0f},
      {{{"fuel.capacit", 400.0f}}, -1.0f},
      {{}, -1.0f},
  };
  for (const auto& c : cases) {
    TelemetryState state{};
    state.fuel_capacity = -1.0f;
    std::vector<scs_named_value_t> storage;
    const auto config = configuration(storage, c.attributes);
    apply_configuration(state, &config);
    EXPECT_EQ(state.fuel_capacity, c.expected);
  }
}

TEST(configuration_test, type_tag_is_not_looked_at) {
  TelemetryState state{};
  std::vector<scs_named_value_t> storage;
  auto config = configuration(storage, {{"fuel.capacity", 250.0f}});
  storage[0].value.type = SCS_VALUE_TYPE_u32;
  apply_configuration(state, &config);
  EXPECT_EQ(state.fuel_capacity, 250.0f);
}

TEST(configuration_test, missing_records_change_nothing) {
  TelemetryState state{};
  state.fuel_capacity = 3.0f;
  apply_configuration(state, nullptr);
  const scs_telemetry_configuration_t no_attributes{"truck", nullptr};
  apply_configuration(state, &no_attributes);
  EXPECT_EQ(state.fuel_capacity, 3.0f);
}

TEST(configuration_test, thousands_of_attributes) {
  TelemetryState state{};
  std::vector<Attribute> attributes(5000, Attribute{"other", 1.0f});
  attributes[4000] = {"fuel.capacity", 800.0f};
  std::vector<scs_named_value_t> storage;
  const auto config = configuration(storage, attributes);
  apply_configuration(state, &config);
  EXPECT_EQ(state.fuel_capacity, 800.0f);
}

}  // namespace
}  // namespace vontrel
