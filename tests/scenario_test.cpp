#include "tools/host/scenario.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vontrel::host {
namespace {

TEST(scenario_test, reads_values_as_the_channel_types_in_time_order) {
  std::string error;
  const auto scenario = parse_scenario(
      "\xEF\xBB\xBF"  // saved as UTF-8 with BOM
      "# a comment\n"
      "2.0 truck.speed 25.5   # m/s\n"
      "\n"
      "0 truck.light.lblinker true\n"
      "0.5 game.time 4294967295\n"
      "0.5 multiplayer.time.offset -200\n"
      "1 fuel.capacity 400\n"
      "1 truck.engine.rpm nan\r\n",
      "drive.txt", error);
  ASSERT_TRUE(scenario) << error;
  ASSERT_EQ(scenario->entries.size(), 6u);
  EXPECT_EQ(scenario->entries[0].name, "truck.light.lblinker");
  EXPECT_EQ(scenario->entries[0].value.type, SCS_VALUE_TYPE_bool);
  EXPECT_EQ(scenario->entries[0].value.payload.value_bool, 1);
  EXPECT_EQ(scenario->entries[1].value.payload.value_u32, 4294967295u);
  EXPECT_EQ(scenario->entries[2].value.payload.value_s32, -200);
  EXPECT_EQ(scenario->entries[3].kind, EntryKind::attribute);
  EXPECT_TRUE(std::isnan(scenario->entries[4].value.payload.value_float));
  EXPECT_EQ(scenario->entries[5].value.payload.value_float, 25.5f);
  EXPECT_EQ(scenario->length, 2.0);
}

TEST(scenario_test, errors_name_the_line_and_column) {
  struct Case {
    const char* text;
    const char* error;
  };
  const Case cases[] = {
      {"0 truck.speed\n", "d.txt:1:14: expected <time> <name> <value>"},
      {"\n0 truck.sped 1\n",
       "d.txt:2:3: unknown channel or attribute 'truck.sped' (did you mean 'truck.speed'?)"},
      {"0 fuel.capacty 1\n",
       "d.txt:1:3: unknown channel or attribute 'fuel.capacty' (did you mean 'fuel.capacity'?)"},
      {"0 truck.light.lblinker 2\n",
       "d.txt:1:24: expected a bool (0, 1, true or false) for "
       "truck.light.lblinker"},
      {"0 game.time -1\n", "d.txt:1:13: expected a u32 integer (0 to 4294967295) for game.time"},
      {"0 truck.engine.gear 1.5\n",
       "d.txt:1:21: expected an s32 integer (-2147483648 to 2147483647) for truck.engine.gear"},
      {"0 truck.speed fast\n",
       "d.txt:1:15: expected a float (a decimal number, nan, inf or -inf) for truck.speed"},
      {"-1 truck.speed 1\n", "d.txt:1:1: expected a time in seconds, 0 or more"},
      {"0 truck.speed 1 2\n",
       "d.txt:1:17: unexpected text after the value (comments start with #)"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(parse_scenario(c.text, "d.txt", error)) << c.text;
    EXPECT_EQ(error, c.error);
  }
}

TEST(scenario_test, a_dials_marks_each_held_five_seconds_with_its_note) {
  std::string error;
  const std::optional<Scenario> marks = hold_pattern("marks:speed:0,36,90", error);
  ASSERT_TRUE(marks) << error;
  // The wire's speed in m/s: 36 km/h is 10.
  std::vector<std::pair<double, float>> speeds;
  for (const ScenarioEntry& entry : marks->entries) {
    if (entry.name == "truck.speed") {
      speeds.emplace_back(entry.time, entry.value.payload.value_float);
    }
  }
  EXPECT_EQ(speeds, (std::vector<std::pair<double, float>>{{0, 0.0f}, {5, 10.0f}, {10, 25.0f}}));
  EXPECT_EQ(marks->length, 15.0);
  EXPECT_EQ(marks->notes,
            (std::vector<std::pair<double, std::string>>{{0, "speed 0 km/h: mark 1 of 3"},
                                                         {5, "speed 36 km/h: mark 2 of 3"},
                                                         {10, "speed 90 km/h: mark 3 of 3"}}));
  // In mph for a dial marked in mph: 60 mph is 26.8224 m/s.
  const std::optional<Scenario> mph = hold_pattern("marks:mph:60", error);
  ASSERT_TRUE(mph) << error;
  EXPECT_EQ(mph->entries.back().name, "truck.speed");
  EXPECT_EQ(mph->entries.back().value.payload.value_float, 26.8224f);
  EXPECT_EQ(mph->notes,
            (std::vector<std::pair<double, std::string>>{{0, "speed 60 mph: mark 1 of 1"}}));
  for (const char* bad :
       {"marks:volts:1", "marks:fuel:10,x", "marks:speed:", "marks:rpm", "marks:water:-5"}) {
    error.clear();
    EXPECT_FALSE(hold_pattern(bad, error)) << bad;
    EXPECT_EQ(error.rfind(std::string("--scenario ") + bad + ": ", 0), 0u) << error;
  }
}

// What a channel is at `time` in `scenario`: its last value at or before then, or nothing.
std::optional<double> at(const Scenario& scenario, const std::string& name, double time) {
  std::optional<double> value;
  for (const ScenarioEntry& entry : scenario.entries) {
    if (entry.name == name && entry.time <= time) {
      value = entry.value.type == SCS_VALUE_TYPE_bool
                  ? static_cast<double>(entry.value.payload.value_bool)
                  : static_cast<double>(entry.value.payload.value_float);
    }
  }
  return value;
}

TEST(scenario_test, held_scenarios_and_the_sweep_run_with_ignition_and_engine_on) {
  // (the scenario, a moment in it, whether the engine runs then): lamp 4 is engine-stopped.
  const struct {
    const char* pattern;
    double time;
    bool engine;
  } cases[] = {{"speed:90", 0, true},  {"rpm:1500", 0, true},         {"fuel:50", 0, true},
               {"water:90", 0, true},  {"lamp:0", 0, true},           {"lamp:4", 0, false},
               {"lamp:12", 0, true},   {"marks:speed:0,20", 7, true}, {"sweep", 1, true},
               {"sweep", 10.7, false}, {"sweep", 11.2, true},         {"sweep", 15, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.pattern) + " at " + std::to_string(c.time));
    std::string error;
    const std::optional<Scenario> scenario =
        std::string(c.pattern) == "sweep" ? sweep_pattern() : hold_pattern(c.pattern, error);
    ASSERT_TRUE(scenario) << error;
    EXPECT_EQ(at(*scenario, "truck.electric.enabled", c.time), 1.0);
    EXPECT_EQ(at(*scenario, "truck.engine.enabled", c.time), c.engine ? 1.0 : 0.0);
  }
}

TEST(scenario_test, built_in_drives_use_only_offered_names) {
  for (const Scenario& drive : {built_in_drive(), sweep_pattern()}) {
    for (const auto& entry : drive.entries) {
      if (entry.kind == EntryKind::channel) {
        ASSERT_TRUE(channel_type(entry.name)) << entry.name;
        EXPECT_EQ(entry.value.type, *channel_type(entry.name)) << entry.name;
      } else {
        ASSERT_TRUE(attribute_type(entry.name)) << entry.name;
      }
    }
  }
  const Scenario drive = built_in_drive();
  EXPECT_NEAR(drive.length, 30.0, 0.5);
  bool midnight = false;
  for (const auto& entry : drive.entries) {
    midnight = midnight || (entry.name == "game.time" && entry.value.payload.value_u32 >= 1440);
  }
  EXPECT_TRUE(midnight) << "the game clock rolls over midnight";
}

}  // namespace
}  // namespace vontrel::host
