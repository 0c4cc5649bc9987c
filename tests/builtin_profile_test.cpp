// The built-in J1939 profile against J1939's tables, worked out by hand: identifiers (priority,
// parameter group, source address), intervals and each message's bytes (byte positions count
// from 1, little-endian, unused bytes and bits 0xFF, "not available").
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>

#include "can/builtin_profile.h"
#include "can/dbc.h"
#include "can/encoder.h"
#include "tests/frame_bytes.h"

namespace vontrel::can {
namespace {

std::string hex(const Data& data) {
  return testing::to_hex(std::vector<std::uint8_t>(data.begin(), data.end()));
}

struct Prepared {
  Message message;
  std::vector<Source> sources;
};

std::map<std::string, Prepared> prepared(std::string_view text) {
  const Profile profile = read_dbc(text);
  EXPECT_TRUE(profile.problems.empty()) << describe(profile.problems.front());
  EXPECT_TRUE(profile.skipped.empty());
  std::map<std::string, Prepared> messages;
  for (const Message& message : profile.messages) {
    Prepared& prepared = messages[message.name];
    prepared.message = message;
    std::string why;
    EXPECT_TRUE(prepare_sources(message, prepared.sources, why)) << why;
  }
  return messages;
}

// A message's frame as hex, its own length of it.
std::string frame(const Prepared& message, const TelemetryState& state, const Send& send) {
  return hex(encode(message.message, message.sources, state, send))
      .substr(0, 3 * message.message.length - 1);
}

std::map<std::string, Prepared> builtin() {
  return prepared(builtin_profile_text());
}

TEST(builtin_profile_test, every_message_from_its_unit_at_its_interval) {
  struct Case {
    const char* name;
    std::uint32_t id;
    std::uint32_t cycle_ms;
  };
  const Case cases[] = {
      {"EEC1", 0x0CF00400, 20},     // priority 3, PGN 61444, the engine
      {"TCO1", 0x0CFE6CEE, 50},     // priority 3, PGN 65132, the tachograph
      {"CCVS1", 0x18FEF100, 100},   // PGN 65265
      {"ETC2", 0x18F00503, 100},    // PGN 61445, the transmission
      {"EFL_P1", 0x18FEEF00, 500},  // PGN 65263
      {"ET1", 0x18FEEE00, 1000},    // PGN 65262
      {"DD1", 0x18FEFC00, 1000},    // PGN 65276
      {"VEP1", 0x18FEF700, 1000},   // PGN 65271
      {"VDHR", 0x18FEC1EE, 1000},   // PGN 65217, the tachograph
      {"AIR1", 0x18FEAE0B, 1000},   // PGN 65198, the brakes
      {"TD", 0x18FEE600, 1000},     // PGN 65254
      {"DM1", 0x18FECA00, 1000},    // PGN 65226
  };
  const std::map<std::string, Prepared> messages = builtin();
  ASSERT_EQ(messages.size(), std::size(cases));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(messages.count(c.name), 1u);
    const Message& message = messages.at(c.name).message;
    EXPECT_EQ(message.id, c.id);
    EXPECT_TRUE(message.extended);
    EXPECT_EQ(message.length, 8u);
    EXPECT_EQ(message.cycle_ms, c.cycle_ms);
  }
  // A lamp goes out at once, but a flickering one at most once a second beyond the schedule.
  EXPECT_EQ(messages.at("DM1").message.send_type, SendType::cyclic_and_on_change);
  EXPECT_EQ(messages.at("DM1").message.delay_ms, 1000u);
}

TEST(builtin_profile_test, each_message_from_the_snapshot_with_its_limits) {
  struct Case {
    const char* what;
    const char* message;
    void (*set)(TelemetryState&);
    const char* bytes;
  };
  const Case cases[] = {
      {"1500 rpm: 12000 at 0.125 rpm/bit", "EEC1", [](TelemetryState& s) { s.engine_rpm = 1500; },
       "FF FF FF E0 2E FF FF FF"},
      {"engine stopped", "EEC1", [](TelemetryState&) {}, "FF FF FF 00 00 FF FF FF"},
      {"9000 rpm: clamped to 0xFAFF", "EEC1", [](TelemetryState& s) { s.engine_rpm = 9000; },
       "FF FF FF FF FA FF FF FF"},
      {"negative rpm: 0", "EEC1", [](TelemetryState& s) { s.engine_rpm = -100; },
       "FF FF FF 00 00 FF FF FF"},
      {"rpm NaN: not available", "EEC1", [](TelemetryState& s) { s.engine_rpm = std::nanf(""); },
       "FF FF FF FF FF FF FF FF"},
      {"90 km/h: 23040 at 1/256 km/h, moving forward", "TCO1",
       [](TelemetryState& s) { s.speed = 25; }, "7F FF FF 3F FF FF 00 5A"},
      {"standing: no motion", "TCO1", [](TelemetryState&) {}, "3F FF FF 3F FF FF 00 00"},
      {"reversing at 90 km/h: its magnitude, direction reverse", "TCO1",
       [](TelemetryState& s) {
         s.speed = -25;
         s.engine_gear = -1;
       },
       "7F FF FF 7F FF FF 00 5A"},
      {"360 km/h: clamped", "TCO1", [](TelemetryState& s) { s.speed = 100; },
       "7F FF FF 3F FF FF FF FA"},
      {"parking brake, 90 km/h, cruise at 90", "CCVS1",
       [](TelemetryState& s) {
         s.brake_parking = true;
         s.speed = 25;
         s.cruise_control = 25;
       },
       "F7 00 5A FD FF 5A FF FF"},
      {"standing, no cruise control", "CCVS1", [](TelemetryState&) {}, "F3 00 00 FC FF 00 FF FF"},
      {"neutral: 125", "ETC2", [](TelemetryState&) {}, "7D FF FF 7D FF FF FF FF"},
      {"first reverse gear: 124", "ETC2", [](TelemetryState& s) { s.engine_gear = -1; },
       "7C FF FF 7C FF FF FF FF"},
      {"twelfth gear: 137", "ETC2", [](TelemetryState& s) { s.engine_gear = 12; },
       "89 FF FF 89 FF FF FF FF"},
      {"gear 200: clamped to 250", "ETC2", [](TelemetryState& s) { s.engine_gear = 200; },
       "FA FF FF FA FF FF FF FF"},
      {"gear -200: clamped to 0", "ETC2", [](TelemetryState& s) { s.engine_gear = -200; },
       "00 FF FF 00 FF FF FF FF"},
      {"50 psi of oil: 344.7 kPa, 86 at 4 kPa/bit", "EFL_P1",
       [](TelemetryState& s) { s.oil_pressure = 50; }, "FF FF FF 56 FF FF FF FF"},
      {"water 90 C, oil 100 C", "ET1",
       [](TelemetryState& s) {
         s.water_temperature = 90;
         s.oil_temperature = 100;
       },
       "82 FF A0 2E FF FF FF FF"},
      {"water -50 C: clamped to -40; oil NaN", "ET1",
       [](TelemetryState& s) {
         s.water_temperature = -50;
         s.oil_temperature = std::nanf("");
       },
       "00 FF FF FF FF FF FF FF"},
      {"half a tank: 50 %, 125 at 0.4 %/bit", "DD1",
       [](TelemetryState& s) {
         s.fuel_capacity = 400;
         s.fuel_amount = 200;
       },
       "FF 7D FF FF FF FF FF FF"},
      {"more fuel than the tank holds: clamped", "DD1",
       [](TelemetryState& s) {
         s.fuel_capacity = 400;
         s.fuel_amount = 440;
       },
       "FF FA FF FF FF FF FF FF"},
      {"no tank size yet: not available", "DD1", [](TelemetryState& s) { s.fuel_amount = 200; },
       "FF FF FF FF FF FF FF FF"},
      {"24.5 V: 490 at 0.05 V/bit", "VEP1", [](TelemetryState& s) { s.battery_voltage = 24.5f; },
       "FF FF FF FF EA 01 FF FF"},
      {"12345.6 km: 2469120 at 5 m/bit", "VDHR", [](TelemetryState& s) { s.odometer = 12345.6f; },
       "00 AD 25 00 FF FF FF FF"},
      {"120 psi of air: 827.4 kPa, 103 at 8 kPa/bit, both circuits", "AIR1",
       [](TelemetryState& s) { s.brake_air_pressure = 120; }, "FF FF 67 67 FF FF FF FF"},
      {"16:40 on 1 January of the first year: 2025, 40 from 1985; local time", "TD",
       [](TelemetryState& s) { s.game_time = 1000; }, "00 28 10 01 04 28 FF FA"},
      {"01:01 on 10 February", "TD", [](TelemetryState& s) { s.game_time = 1440 * 40 + 61; },
       "00 01 01 02 28 28 FF FA"},
      {"no warning", "DM1", [](TelemetryState&) {}, "C3 FF 00 00 00 00 FF FF"},
      {"fuel warning: amber", "DM1", [](TelemetryState& s) { s.fuel_warning = true; },
       "C7 FF 00 00 00 00 FF FF"},
      {"air emergency: red", "DM1",
       [](TelemetryState& s) { s.brake_air_pressure_emergency = true; }, "D3 FF 00 00 00 00 FF FF"},
  };
  const std::map<std::string, Prepared> messages = builtin();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TelemetryState state{};
    c.set(state);
    const Prepared& prepared = messages.at(c.message);
    EXPECT_EQ(hex(encode(prepared.message, prepared.sources, state, {})), c.bytes);
  }
}

// The MAN TGA/TGX profile against the frames one player sent a real cluster on their bench
// (github.com/mihai-demian/truck, candump-2024-05-06_221308_1.log), which lit what they say.
TEST(builtin_profile_test, man_profile_sends_the_bench_reports_lamp_frame) {
  const char* const man_profile =
#include "man_tga_tgx_dbc.h"
      ;
  const std::map<std::string, Prepared> messages = prepared(man_profile);
  TelemetryState state{};
  state.light_beam_low = true;  // the log's 18FFA321#F0CFF4FFFFFFFFFF: low beam on
  const Prepared& lamps = messages.at("ZBR_Lamps3");
  EXPECT_EQ(lamps.message.id, 0x18FFA321u);
  EXPECT_EQ(hex(encode(lamps.message, lamps.sources, state, {})), "F0 CF F4 FF FF FF FF FF");
  // The time and date from the tachograph, as the bench sent them (18FEE6EE).
  EXPECT_EQ(messages.at("TD").message.id, 0x18FEE6EEu);
}

// The VW MQB profile against frames recorded from cars and published by the commaai/opendbc
// project (opendbc/can/tests/test_checksums.py: Klemmen_Status_01 with the ignition on, and
// ESP_21): each frame again from its speed and counter, checksum and all.
TEST(builtin_profile_test, vw_profile_reproduces_frames_recorded_from_cars) {
  const char* const vw_profile =
#include "vw_mqb_dbc.h"
      ;
  const std::map<std::string, Prepared> messages = prepared(vw_profile);
  struct Case {
    const char* message;
    double speed_kmh;
    std::uint32_t counter;
    const char* bytes;
  };
  const Case cases[] = {
      {"Klemmen_Status_01", 0, 0, "74 00 03 00"},
      {"Klemmen_Status_01", 0, 15, "35 0F 03 00"},
      {"ESP_21", 13.49, 0, "66 D0 1F 80 45 05 00 00"},
      {"ESP_21", 13.62, 1, "87 D1 1F 80 52 05 00 00"},
      {"ESP_21", 16.16, 2, "CD D2 1F 80 50 06 00 00"},
      {"ESP_21", 5.65, 3, "FD D3 1F 80 35 02 00 00"},
      {"ESP_21", 0, 7, "9F D7 1F 80 00 00 00 00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.message) + " " + std::to_string(c.counter));
    TelemetryState state{};
    state.electric_enabled = true;
    state.speed = static_cast<float>(c.speed_kmh / 3.6);
    EXPECT_EQ(frame(messages.at(c.message), state, {c.counter, 0, nullptr}), c.bytes);
  }
}

// The VW PQ profile's frames worked out by hand from its public layouts (opendbc's
// vw_golf_mk4.dbc) and the XOR checksum opendbc gives those cars: a multiplexed page carries
// its number in the top two bits of byte 0.
TEST(builtin_profile_test, vw_pq_profile_pages_and_checksums_as_the_layouts_give_them) {
  const char* const pq_profile =
#include "vw_pq_dbc.h"
      ;
  const std::map<std::string, Prepared> messages = prepared(pq_profile);
  TelemetryState state{};
  state.water_temperature = 90.0f;  // (90 + 48) / 0.75 = 184, 0xB8
  state.speed = 25.0f;              // 90 km/h: 9000 at 0.01 from bit 17
  state.battery_voltage_warning = true;
  struct Case {
    const char* message;
    std::uint32_t counter, page;
    const char* bytes;
  };
  const Case cases[] = {
      // Byte 3 is the cruise control's flags in the PQ35/46 layout: no speed there, which
      // would read as cruise regulating.
      {"Motor_2", 0, 1, "40 B8 00 00 00 00 00 00"},
      {"Motor_2", 1, 3, "C0 B8 00 00 00 00 00 00"},
      // The battery lamp in byte 1; the XOR of bytes 0 to 6 in byte 7.
      {"Motor_5", 0, 2, "80 01 00 00 00 00 00 81"},
      // The counter in byte 2's high nibble, the XOR of bytes 0 to 2 in byte 3.
      {"Airbag_1", 5, 0, "00 00 50 50"},
      // 9000 (0x2328) from bit 17: bytes 2 and 3 are 0x50 0x46; the counter in byte 7.
      {"Bremse_1", 9, 0, "00 00 50 46 00 00 00 09"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(frame(messages.at(c.message), state, {c.counter, c.page, nullptr}), c.bytes);
  }
}

}  // namespace
}  // namespace vontrel::can
