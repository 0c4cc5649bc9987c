#include "can/sources.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace vontrel::can {
namespace {

double value_of(const char* name, const TelemetryState& state) {
  Source source;
  std::string why;
  EXPECT_TRUE(read_source(name, source, why)) << why;
  EXPECT_EQ(source.kind, SourceKind::value);
  return NAMED_VALUES[source.value].read(state);
}

TEST(sources_test, named_values_in_their_physical_units) {
  TelemetryState state{};
  state.speed = -25.0f;  // reversing at 90 km/h: the magnitude
  state.engine_rpm = 1500.0f;
  state.engine_gear = -1;
  state.oil_pressure = 50.0f;  // psi, as the host gives it
  state.brake_air_pressure = 120.0f;
  state.cruise_control = 22.5f;  // m/s
  state.game_time = 1000;        // minutes: 16:40 on the first day
  state.multiplayer_time_offset = 90;
  state.light_beam_low = true;
  state.water_temperature_warning = true;
  state.fuel_amount = 300.0f;
  state.wear_engine = 0.25f;
  state.navigation_distance = 12500.0f;  // metres
  state.odometer = 12345.5f;             // km
  struct Expected {
    const char* name;
    double value;
  };
  const Expected expected[] = {
      {"speed_kmh", 90.0},
      {"speed_mph", 55.923},
      {"engine_rpm", 1500.0},
      {"gear", -1.0},
      {"oil_bar", 3.447},
      {"air_bar", 8.274},
      {"cruise_kmh", 81.0},
      {"cruise_active", 1.0},
      {"clock_hour", 18.0},
      {"clock_minute", 10.0},
      {"low_beam", 1.0},
      {"high_beam", 0.0},
      {"water_warning", 1.0},
      {"any_warning", 1.0},
      {"moving", 1.0},
      {"reversing", 1.0},
      {"fuel_litres", 300.0},
      {"wear_engine_percent", 25.0},
      {"navigation_km", 12.5},
      {"parking_brake", 0.0},
      // J1939's units: 6.894757 kPa to the psi, 5 m a bit of distance.
      {"oil_kpa", 344.738},
      {"air_kpa", 827.371},
      {"odometer_m", 12345500.0},
      {"amber_warning", 1.0},
      {"clock_day", 1.0},
      {"clock_month", 1.0},
      {"clock_year", 2025.0},
  };
  for (const Expected& e : expected) {
    EXPECT_NEAR(value_of(e.name, state), e.value, 0.001) << e.name;
  }
  // The tank's size comes with the truck's configuration: until then no level.
  EXPECT_TRUE(std::isnan(value_of("fuel_percent", state)));
  state.fuel_capacity = 600.0f;
  EXPECT_NEAR(value_of("fuel_percent", state), 50.0, 1e-9);
  state.speed = 0.1f;
  EXPECT_EQ(value_of("moving", state), 0.0);

  // The air-pressure emergency lights J1939's red lamp, not the amber one.
  TelemetryState emergency{};
  emergency.brake_air_pressure_emergency = true;
  EXPECT_EQ(value_of("amber_warning", emergency), 0.0);
  EXPECT_EQ(value_of("any_warning", emergency), 1.0);
}

TEST(sources_test, the_calendar_of_the_clock) {
  struct Case {
    const char* what;
    std::uint32_t minutes;
    std::int32_t offset;
    double hour, day, month, year;
  };
  const Case cases[] = {
      {"the first midnight", 0, 0, 0, 1, 1, 2025},
      {"a multiplayer offset before the first midnight: held there", 0, -60, 0, 1, 1, 2025},
      // Three common years, then the game's fourth year is a leap year, as 2028 is.
      {"29 February of the fourth year", (365 * 3 + 31 + 28) * 1440 + 23 * 60, 0, 23, 29, 2, 2028},
      {"1 March of the fourth year", (365 * 3 + 31 + 29) * 1440, 0, 0, 1, 3, 2028},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TelemetryState state{};
    state.game_time = c.minutes;
    state.multiplayer_time_offset = c.offset;
    EXPECT_EQ(value_of("clock_hour", state), c.hour);
    EXPECT_EQ(value_of("clock_day", state), c.day);
    EXPECT_EQ(value_of("clock_month", state), c.month);
    EXPECT_EQ(value_of("clock_year", state), c.year);
  }
}

TEST(sources_test, every_named_value_has_a_name_of_its_own) {
  for (std::size_t i = 0; i < NAMED_VALUES.size(); ++i) {
    for (std::size_t j = i + 1; j < NAMED_VALUES.size(); ++j) {
      EXPECT_STRNE(NAMED_VALUES[i].name, NAMED_VALUES[j].name);
    }
  }
}

TEST(sources_test, the_forms_of_a_source) {
  struct Case {
    const char* text;
    bool good;
    SourceKind kind;
  };
  const Case cases[] = {
      {"", true, SourceKind::start_value},
      {"const 7", true, SourceKind::constant},
      {"const -12.5", true, SourceKind::constant},
      {"const 0x3F", true, SourceKind::constant},
      {"const", false, SourceKind::start_value},
      {"const seven", false, SourceKind::start_value},
      {"counter", true, SourceKind::counter},
      {"counter 4", false, SourceKind::start_value},
      {"xor", true, SourceKind::xor8},
      {"sum", true, SourceKind::sum8},
      {"crc8 0x1D 0xFF 0x00", true, SourceKind::crc8},
      {"crc8 47 255 255 data 0x3F", true, SourceKind::crc8},
      {"crc8 0x2F 0xFF 0xFF data 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16", true, SourceKind::crc8},
      {"crc8 0x2F 0xFF", false, SourceKind::start_value},
      {"crc8 0x12F 0xFF 0xFF", false, SourceKind::start_value},
      {"crc8 0x2F 0xFF 0xFF data 1 2", false, SourceKind::start_value},
      {"crc8 0x2F 0xFF 0xFF data", false, SourceKind::start_value},
      {"counter 1 15", true, SourceKind::counter},
      {"counter 15 1", false, SourceKind::start_value},
      {"all blinker_left blinker_right", true, SourceKind::all},
      {"any fuel_warning oil_warning water_warning", true, SourceKind::any},
      {"not engine_on", true, SourceKind::none},
      {"all blinker_left", false, SourceKind::start_value},
      {"not engine_on electric_on", false, SourceKind::start_value},
      {"any blinker_left blinker_rite", false, SourceKind::start_value},
      {"pulses 2000", true, SourceKind::pulses},
      {"pulses 0", false, SourceKind::start_value},
      {"pulses", false, SourceKind::start_value},
      {"fuel_used_ul", true, SourceKind::fuel_used},
      {"sum id len", true, SourceKind::sum8},
      {"xor bytes 1-7 start 0xAA not", true, SourceKind::xor8},
      {"sum bytes 0,2,4-6", true, SourceKind::sum8},
      {"sum bytes 3-1", false, SourceKind::start_value},
      {"sum bytes 0-8", false, SourceKind::start_value},
      {"sum bytes 1,", false, SourceKind::start_value},
      {"sum start 256", false, SourceKind::start_value},
      {"xor backwards", false, SourceKind::start_value},
      {"speed_kmh", true, SourceKind::value},
      {"Speed_kmh", false, SourceKind::start_value},
      {"speed_kmh extra", false, SourceKind::start_value},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Source source;
    std::string why;
    EXPECT_EQ(read_source(c.text, source, why), c.good) << why;
    if (c.good) {
      EXPECT_EQ(source.kind, c.kind);
    } else {
      EXPECT_FALSE(why.empty());
    }
  }
  Source crc;
  std::string why;
  ASSERT_TRUE(read_source("crc8 0x2F 0xFF 0xFF data 0x3F", crc, why));
  EXPECT_EQ(crc.polynomial, 0x2F);
  EXPECT_EQ(crc.initial, 0xFF);
  EXPECT_EQ(crc.final_xor, 0xFF);
  ASSERT_EQ(crc.data.size(), 1u);
  EXPECT_EQ(crc.data[0], 0x3F);
  Source constant;
  ASSERT_TRUE(read_source("const -12.5", constant, why));
  EXPECT_DOUBLE_EQ(constant.constant, -12.5);
  Source options;
  ASSERT_TRUE(read_source("xor bytes 1-3,6 start 0xAA id len not", options, why));
  EXPECT_EQ(options.bytes, 0x4E);
  EXPECT_EQ(options.initial, 0xAA);
  EXPECT_TRUE(options.with_id && options.with_length && options.complement);
}

TEST(sources_test, an_unknown_name_points_at_the_nearest_known_one) {
  struct Case {
    const char* text;
    const char* why;
  };
  const Case cases[] = {
      {"engine_rmp", "unknown source engine_rmp; did you mean engine_rpm?"},
      {"speed_kph", "unknown source speed_kph; did you mean speed_kmh?"},
      {"countr", "unknown source countr; did you mean counter?"},
      {"any blinker_left blinker_rite", "unknown source blinker_rite; did you mean blinker_right?"},
      {"warp", "unknown source warp"},
  };
  for (const Case& c : cases) {
    Source source;
    std::string why;
    EXPECT_FALSE(read_source(c.text, source, why));
    EXPECT_EQ(why, c.why);
  }
}

// Scripted drives through the running totals, each step (milliseconds since the last, the
// odometer in km, the speed in m/s, the tank in litres, a fresh snapshot?) and what the totals
// then say.
TEST(sources_test, running_totals_count_distance_and_fuel_and_never_fall) {
  struct Step {
    std::uint64_t after_ms;
    float odometer, speed, fuel;
    bool fresh;
    double km, microlitres;
  };
  struct Case {
    const char* what;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {"from the speed while the odometer stands: 25 m/s for 100 ms is 2.5 m",
       {{0, 100, 25, 400, true, 0, 0}, {100, 100, 25, 400, true, 0.0025, 0}}},
      {"the odometer's step replaces what the speed guessed, never going back",
       {{0, 100, 25, 400, true, 0, 0},
        {100, 100, 25, 400, true, 0.0025, 0},
        {100, 100.0009765625f, 25, 400, true, 0.0025, 0},  // the odometer says 0.98 m so far
        {100, 100.0078125f, 25, 400, true, 0.0078125, 0}}},
      {"a pause drives nowhere: no snapshots, no distance, and a long gap counts 250 ms",
       {{0, 100, 20, 400, true, 0, 0},
        {100, 100, 20, 400, false, 0, 0},
        {5000, 100, 20, 400, true, 0.005, 0}}},
      {"an odometer set back or jumping far is no drive",
       {{0, 100, 0, 400, true, 0, 0},
        {100, 90, 0, 400, true, 0, 0},
        {100, 900, 0, 400, true, 0, 0},
        {100, 900.5f, 0, 400, true, 0.5, 0}}},
      {"fuel used counts the tank's fall; a refill is none",
       {{0, 0, 0, 100, true, 0, 0},
        {100, 0, 0, 99.5f, true, 0, 500000},
        {100, 0, 0, 200, true, 0, 500000},
        {100, 0, 0, 199.75f, true, 0, 750000}}},
      {"a tank that falls 50 l at once was set (a save loaded), not burned",
       {{0, 0, 0, 400, true, 0, 0},
        {100, 0, 0, 350, true, 0, 0},
        {100, 0, 0, 349.5f, true, 0, 500000}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RunningTotals totals;
    std::uint64_t now_us = 1000000;
    for (const Step& step : c.steps) {
      now_us += step.after_ms * 1000;
      TelemetryState state{};
      state.odometer = step.odometer;
      state.speed = step.speed;
      state.fuel_amount = step.fuel;
      totals.advance(state, now_us, step.fresh);
      EXPECT_NEAR(totals.distance_km(), step.km, 1e-9);
      EXPECT_NEAR(totals.fuel_used_ul(), step.microlitres, 1e-3);
    }
  }
}

}  // namespace
}  // namespace vontrel::can
