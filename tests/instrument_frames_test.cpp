#include "dashboard/instrument_frames.h"

#include <gtest/gtest.h>

#include <ostream>

#include <array>
#include <functional>
#include <limits>
#include <string>

#include "dashboard/frame_format.h"
#include "tests/frame_bytes.h"

namespace vontrel {
namespace {

using testing::Bytes;
using testing::hex;
using testing::to_hex;

// One instrument frame as the cycle assembles it: envelope, then the encoder.
Bytes frame_of(std::uint8_t id, const TelemetryState& state, const Settings& settings) {
  std::array<std::uint8_t, FRAME_LENGTH> frame{};
  frame.fill(0xEE);  // every payload byte must be written, zeros included
  frame[0] = FRAME_START;
  frame[1] = FRAME_MARKER;
  frame[2] = id;
  const CycleValues cycle = cycle_values(state);
  switch (id) {
    case FRAME_ID_STATUS:
      encode_status_frame(state, frame.data());
      break;
    case FRAME_ID_ENGINE:
      encode_engine_frame(state, frame.data());
      break;
    case FRAME_ID_BLANK:
      encode_blank_frame(frame.data());
      break;
    case FRAME_ID_SPEED:
      encode_speed_frame(cycle, frame.data());
      break;
    case FRAME_ID_LIGHT:
      encode_light_frame(state, cycle, frame.data());
      break;
    case FRAME_ID_DEBUG:
      encode_debug_frame(settings, frame.data());
      break;
    default:
      ADD_FAILURE() << "no instrument frame " << int{id};
  }
  return Bytes(frame.begin(), frame.end());
}

struct FrameCase {
  const char* name;
  std::function<void(TelemetryState&)> set;
  std::uint8_t id;
  const char* expected;
};

void PrintTo(const FrameCase& c, std::ostream* out) {
  *out << c.name;
}

class instrument_frame_case_test : public ::testing::TestWithParam<FrameCase> {};

TEST_P(instrument_frame_case_test, encodes_the_table_bytes) {
  TelemetryState state{};
  GetParam().set(state);
  const Settings no_settings;
  EXPECT_EQ(to_hex(frame_of(GetParam().id, state, no_settings)), to_hex(hex(GetParam().expected)));
}

const float nan = std::numeric_limits<float>::quiet_NaN();
const float inf = std::numeric_limits<float>::infinity();

void nothing(TelemetryState&) {}

INSTANTIATE_TEST_SUITE_P(
    cases, instrument_frame_case_test,
    ::testing::Values(
        // An all-zero snapshot, before the host has delivered anything.
        FrameCase{"zero_status", nothing, 0x20, "FF 04 20 01 00 10 00 00 00 12 00"},
        FrameCase{"zero_engine", nothing, 0x30, "FF 04 30 00 00 00 34 03 BC 00 00"},
        FrameCase{"zero_blank", nothing, 0x31, "FF 04 31 00 00 00 00 00 00 00 00"},
        FrameCase{"zero_speed", nothing, 0x40, "FF 04 40 00 00 00 25 00 00 00 00"},
        FrameCase{"zero_light", nothing, 0x50, "FF 04 50 00 00 00 00 00 00 00 00"},
        FrameCase{"zero_debug", nothing, 0x99, "FF 04 99 01 00 00 00 00 00 00 00"},
        // Speed: 90 km/h is 846, high byte first; the light frame repeats the high byte.
        FrameCase{"speed_25", [](auto& s) { s.speed = 25.0f; }, 0x40,
                  "FF 04 40 03 4E 00 25 00 00 00 00"},
        FrameCase{"light_speed_25", [](auto& s) { s.speed = 25.0f; }, 0x50,
                  "FF 04 50 03 00 00 00 00 00 00 00"},
        FrameCase{"reversing", [](auto& s) { s.speed = -10.0f; }, 0x40,
                  "FF 04 40 01 52 00 25 00 00 00 00"},
        FrameCase{"speed_200", [](auto& s) { s.speed = 200.0f; }, 0x40,
                  "FF 04 40 1A 70 00 25 00 00 00 00"},
        // 2000 m/s is 7200 km/h, 67680: beyond 16 bits only the low two bytes go out.
        FrameCase{"speed_beyond_16_bits", [](auto& s) { s.speed = 2000.0f; }, 0x40,
                  "FF 04 40 08 60 00 25 00 00 00 00"},
        FrameCase{"speed_nan", [](auto& s) { s.speed = nan; }, 0x40,
                  "FF 04 40 00 00 00 25 00 00 00 00"},
        FrameCase{"speed_infinite", [](auto& s) { s.speed = -inf; }, 0x50,
                  "FF 04 50 00 00 00 00 00 00 00 00"},
        // Engine speed byte wraps at 256.
        FrameCase{"rpm_1500", [](auto& s) { s.engine_rpm = 1500.0f; }, 0x30,
                  "FF 04 30 00 00 00 34 03 BC 30 00"},
        FrameCase{"rpm_7999", [](auto& s) { s.engine_rpm = 7999.0f; }, 0x30,
                  "FF 04 30 00 00 00 34 03 BC FF 00"},
        FrameCase{"rpm_8000", [](auto& s) { s.engine_rpm = 8000.0f; }, 0x30,
                  "FF 04 30 00 00 00 34 03 BC 00 00"},
        FrameCase{"rpm_huge", [](auto& s) { s.engine_rpm = 1e30f; }, 0x30,
                  "FF 04 30 00 00 00 34 03 BC 00 00"},
        // Water gauge: whole degrees first.
        FrameCase{"water_90", [](auto& s) { s.water_temperature = 90.0f; }, 0x30,
                  "FF 04 30 00 00 00 78 03 BC 00 00"},
        FrameCase{"water_89_9", [](auto& s) { s.water_temperature = 89.9f; }, 0x30,
                  "FF 04 30 00 00 00 77 03 BC 00 00"},
        FrameCase{"water_minus_72", [](auto& s) { s.water_temperature = -72.0f; }, 0x30,
                  "FF 04 30 00 00 00 FF 03 BC 00 00"},
        FrameCase{"water_272", [](auto& s) { s.water_temperature = 272.0f; }, 0x30,
                  "FF 04 30 00 00 00 00 03 BC 00 00"},
        FrameCase{"water_nan", [](auto& s) { s.water_temperature = nan; }, 0x30,
                  "FF 04 30 00 00 00 00 03 BC 00 00"},
        // Fuel level: percent of the configured capacity, no clamp.
        FrameCase{"fuel_no_capacity",
                  [](auto& s) {
                    s.fuel_amount = 400.0f;
                    s.fuel_capacity = 0.0f;
                  },
                  0x20, "FF 04 20 01 00 10 00 00 00 12 00"},
        FrameCase{"fuel_half",
                  [](auto& s) {
                    s.fuel_amount = 200.0f;
                    s.fuel_capacity = 400.0f;
                  },
                  0x20, "FF 04 20 01 00 10 00 00 32 12 00"},
        FrameCase{"fuel_over_capacity_wraps",
                  [](auto& s) {
                    s.fuel_amount = 1200.0f;
                    s.fuel_capacity = 400.0f;
                  },
                  0x20, "FF 04 20 01 00 10 00 00 2C 12 00"},
        FrameCase{"fuel_single_precision",
                  [](auto& s) {
                    s.fuel_amount = 0.7f;
                    s.fuel_capacity = 1.0f;
                  },
                  0x20, "FF 04 20 01 00 10 00 00 46 12 00"},
        FrameCase{"fuel_nan_capacity",
                  [](auto& s) {
                    s.fuel_amount = 1.0f;
                    s.fuel_capacity = nan;
                  },
                  0x20, "FF 04 20 01 00 10 00 00 00 12 00"},
        FrameCase{"fuel_tiny_capacity",
                  [](auto& s) {
                    s.fuel_amount = 1.0f;
                    s.fuel_capacity = 1e-30f;
                  },
                  0x20, "FF 04 20 01 00 10 00 00 00 12 00"},
        // Wear: any one part at 15 % sets the bit.
        FrameCase{"wear_below",
                  [](auto& s) {
                    s.wear_engine = s.wear_transmission = s.wear_cabin = s.wear_chassis =
                        s.wear_wheels = 0.149f;
                  },
                  0x30, "FF 04 30 00 00 00 34 03 BC 00 00"},
        FrameCase{"wear_wheels", [](auto& s) { s.wear_wheels = 0.15f; }, 0x30,
                  "FF 04 30 00 00 10 34 03 BC 00 00"},
        FrameCase{"wear_nan_then_worn",
                  [](auto& s) {
                    s.wear_engine = nan;
                    s.wear_cabin = 0.5f;
                  },
                  0x30, "FF 04 30 00 00 10 34 03 BC 00 00"},
        // Lamps.
        FrameCase{"parking_brake_and_lights",
                  [](auto& s) {
                    s.brake_parking = true;
                    s.light_parking = true;
                  },
                  0x20, "FF 04 20 29 00 10 00 00 00 12 00"},
        FrameCase{"parking_brake_only", [](auto& s) { s.brake_parking = true; }, 0x20,
                  "FF 04 20 21 00 10 00 00 00 12 00"},
        FrameCase{"parking_light_only", [](auto& s) { s.light_parking = true; }, 0x20,
                  "FF 04 20 09 00 10 00 00 00 12 00"},
        FrameCase{"light_parking", [](auto& s) { s.light_parking = true; }, 0x50,
                  "FF 04 50 00 60 00 00 00 00 00 00"},
        FrameCase{"light_parking_high_beam",
                  [](auto& s) {
                    s.light_parking = true;
                    s.light_beam_high = true;
                  },
                  0x50, "FF 04 50 00 70 00 00 00 00 00 00"},
        FrameCase{"both_blinkers",
                  [](auto& s) {
                    s.light_lblinker = true;
                    s.light_rblinker = true;
                  },
                  0x50, "FF 04 50 00 00 60 00 00 00 00 00"},
        FrameCase{"left_blinker", [](auto& s) { s.light_lblinker = true; }, 0x50,
                  "FF 04 50 00 00 40 00 00 00 00 00"},
        FrameCase{"right_blinker", [](auto& s) { s.light_rblinker = true; }, 0x50,
                  "FF 04 50 00 00 20 00 00 00 00 00"},
        FrameCase{"low_beam_changes_nothing", [](auto& s) { s.light_beam_low = true; }, 0x50,
                  "FF 04 50 00 00 00 00 00 00 00 00"},
        // Electric and engine state.
        FrameCase{"electric_on_engine_off_battery_warning",
                  [](auto& s) {
                    s.electric_enabled = true;
                    s.battery_voltage_warning = true;
                  },
                  0x20, "FF 04 20 01 00 C8 00 00 00 0D 00"},
        FrameCase{"electric_on_engine_off_engine_frame", [](auto& s) { s.electric_enabled = true; },
                  0x30, "FF 04 30 00 10 00 34 03 BC 00 00"},
        FrameCase{"electric_and_engine_on",
                  [](auto& s) {
                    s.electric_enabled = true;
                    s.engine_enabled = true;
                  },
                  0x20, "FF 04 20 01 00 40 00 00 00 0D 00"},
        FrameCase{"engine_without_electric", [](auto& s) { s.engine_enabled = true; }, 0x20,
                  "FF 04 20 01 00 00 00 00 00 12 00"},
        FrameCase{"engine_without_electric_engine_frame", [](auto& s) { s.engine_enabled = true; },
                  0x30, "FF 04 30 00 00 00 34 03 BC 00 00"},
        // Warnings.
        FrameCase{"warnings",
                  [](auto& s) {
                    s.oil_pressure_warning = true;
                    s.brake_air_pressure_emergency = true;
                  },
                  0x30, "FF 04 30 00 C0 00 34 03 BC 00 00"},
        FrameCase{"air_warning_and_emergency",
                  [](auto& s) {
                    s.brake_air_pressure_warning = true;
                    s.brake_air_pressure_emergency = true;
                  },
                  0x30, "FF 04 30 00 40 00 34 03 BC 00 00"},
        FrameCase{"fuel_warning", [](auto& s) { s.fuel_warning = true; }, 0x20,
                  "FF 04 20 01 00 10 00 02 00 12 00"},
        // Cruise control: anything but zero is engaged, NaN included.
        FrameCase{"cruise_negative", [](auto& s) { s.cruise_control = -20.0f; }, 0x20,
                  "FF 04 20 01 00 10 00 00 00 12 01"},
        FrameCase{"cruise_nan", [](auto& s) { s.cruise_control = nan; }, 0x20,
                  "FF 04 20 01 00 10 00 00 00 12 01"},
        FrameCase{"cruise_minus_zero", [](auto& s) { s.cruise_control = -0.0f; }, 0x20,
                  "FF 04 20 01 00 10 00 00 00 12 00"}),
    [](const auto& test_info) { return std::string(test_info.param.name); });

TEST(instrument_frames_test, debug_frame_follows_the_setting) {
  TelemetryState state{};
  Settings settings;
  settings.parse_line("debug_mode bool 0");
  EXPECT_EQ(to_hex(frame_of(0x99, state, settings)), "FF 04 99 00 00 00 00 00 00 00 00");
  settings.parse_line("debug_mode bool 1");
  EXPECT_EQ(to_hex(frame_of(0x99, state, settings)), "FF 04 99 01 00 00 00 00 00 00 00");
}

TEST(instrument_frames_test, truncation_toward_zero_and_the_indefinite_value) {
  constexpr std::int32_t indefinite = std::numeric_limits<std::int32_t>::min();
  const std::pair<double, std::int32_t> cases[] = {
      {3.9, 3},
      {-3.9, -3},
      {2147483647.0, 2147483647},
      {2147483648.0, indefinite},
      {-2147483648.0, indefinite},
      {-2147483649.0, indefinite},
      {1e300, indefinite},
      {std::numeric_limits<double>::quiet_NaN(), indefinite},
      {std::numeric_limits<double>::infinity(), indefinite},
      {-std::numeric_limits<double>::infinity(), indefinite},
  };
  for (const auto& [value, expected] : cases) {
    EXPECT_EQ(truncate_to_int32(value), expected) << value;
  }
}

TEST(instrument_frames_test, speed_is_kept_in_single_precision) {
  TelemetryState state{};
  state.speed = 25.0f;
  const CycleValues cycle = cycle_values(state);
  EXPECT_EQ(cycle.speed_kmh, 90.0f);
  EXPECT_EQ(cycle.speed_value, 846);
}

TEST(instrument_frames_test, water_gauge_maps_whole_degrees) {
  EXPECT_EQ(map_water_temperature(30.0f), 75);
  EXPECT_EQ(map_water_temperature(34.0f), 78);
  EXPECT_EQ(map_water_temperature(89.9f), 119);
}

}  // namespace
}  // namespace vontrel
