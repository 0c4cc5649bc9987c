// The J1939 messages against the field layouts of the message table (byte positions count from
// 1, little-endian, unused bytes and bits 0xFF), worked out by hand.
#include "j1939/j1939.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "tests/frame_bytes.h"

namespace vontrel::j1939 {
namespace {

std::string hex(const Data& data) {
  return testing::to_hex(std::vector<std::uint8_t>(data.begin(), data.end()));
}

TEST(j1939_test, identifiers_carry_priority_group_and_source) {
  EXPECT_EQ(identifier(3, 61444, 0x00), 0x0CF00400u);  // EEC1 from the engine
  EXPECT_EQ(identifier(3, 65132, 0xEE), 0x0CFE6CEEu);  // TCO1 from the tachograph
  EXPECT_EQ(identifier(6, 65265, 0x00), 0x18FEF100u);  // CCVS1
  EXPECT_EQ(identifier(6, 59904, 0x11), 0x18EAFF11u);  // addressed group: to every unit
  for (const MessageInfo& message : MESSAGES) {
    EXPECT_EQ(&MESSAGES[static_cast<std::size_t>(message.message)], &message) << message.name;
  }
}

TEST(j1939_test, each_message_from_the_snapshot_with_its_limits) {
  struct Case {
    const char* what;
    Message message;
    void (*set)(TelemetryState&);
    const char* bytes;
  };
  const Case cases[] = {
      {"1500 rpm: 12000 at 0.125 rpm/bit", Message::eec1,
       [](TelemetryState& s) { s.engine_rpm = 1500; }, "FF FF FF E0 2E FF FF FF"},
      {"engine stopped", Message::eec1, [](TelemetryState&) {}, "FF FF FF 00 00 FF FF FF"},
      {"9000 rpm: clamped to 0xFAFF", Message::eec1, [](TelemetryState& s) { s.engine_rpm = 9000; },
       "FF FF FF FF FA FF FF FF"},
      {"negative rpm: 0", Message::eec1, [](TelemetryState& s) { s.engine_rpm = -100; },
       "FF FF FF 00 00 FF FF FF"},
      {"rpm NaN: not available", Message::eec1,
       [](TelemetryState& s) { s.engine_rpm = std::nanf(""); }, "FF FF FF FF FF FF FF FF"},
      {"90 km/h: 23040 at 1/256 km/h", Message::tco1, [](TelemetryState& s) { s.speed = 25; },
       "FF FF FF FF FF FF 00 5A"},
      {"reversing at 90 km/h: its magnitude", Message::tco1,
       [](TelemetryState& s) { s.speed = -25; }, "FF FF FF FF FF FF 00 5A"},
      {"360 km/h: clamped", Message::tco1, [](TelemetryState& s) { s.speed = 100; },
       "FF FF FF FF FF FF FF FA"},
      {"parking brake, 90 km/h, cruise at 90", Message::ccvs1,
       [](TelemetryState& s) {
         s.brake_parking = true;
         s.speed = 25;
         s.cruise_control = 25;
       },
       "F7 00 5A FD FF 5A FF FF"},
      {"standing, no cruise control", Message::ccvs1, [](TelemetryState&) {},
       "F3 00 00 FC FF 00 FF FF"},
      {"neutral: 125", Message::etc2, [](TelemetryState&) {}, "FF FF FF 7D FF FF FF FF"},
      {"first reverse gear: 124", Message::etc2, [](TelemetryState& s) { s.engine_gear = -1; },
       "FF FF FF 7C FF FF FF FF"},
      {"twelfth gear: 137", Message::etc2, [](TelemetryState& s) { s.engine_gear = 12; },
       "FF FF FF 89 FF FF FF FF"},
      {"gear 200: clamped to 250", Message::etc2, [](TelemetryState& s) { s.engine_gear = 200; },
       "FF FF FF FA FF FF FF FF"},
      {"gear -200: clamped to 0", Message::etc2, [](TelemetryState& s) { s.engine_gear = -200; },
       "FF FF FF 00 FF FF FF FF"},
      {"50 psi of oil: 344.7 kPa, 86 at 4 kPa/bit", Message::eflp1,
       [](TelemetryState& s) { s.oil_pressure = 50; }, "FF FF FF 56 FF FF FF FF"},
      {"water 90 C, oil 100 C", Message::et1,
       [](TelemetryState& s) {
         s.water_temperature = 90;
         s.oil_temperature = 100;
       },
       "82 FF A0 2E FF FF FF FF"},
      {"water -50 C: clamped to -40; oil NaN", Message::et1,
       [](TelemetryState& s) {
         s.water_temperature = -50;
         s.oil_temperature = std::nanf("");
       },
       "00 FF FF FF FF FF FF FF"},
      {"half a tank: 50 %, 125 at 0.4 %/bit", Message::dd,
       [](TelemetryState& s) {
         s.fuel_capacity = 400;
         s.fuel_amount = 200;
       },
       "FF 7D FF FF FF FF FF FF"},
      {"more fuel than the tank holds: clamped", Message::dd,
       [](TelemetryState& s) {
         s.fuel_capacity = 400;
         s.fuel_amount = 440;
       },
       "FF FA FF FF FF FF FF FF"},
      {"no tank size yet: not available", Message::dd,
       [](TelemetryState& s) { s.fuel_amount = 200; }, "FF FF FF FF FF FF FF FF"},
      {"24.5 V: 490 at 0.05 V/bit", Message::vep1,
       [](TelemetryState& s) { s.battery_voltage = 24.5f; }, "FF FF FF FF EA 01 FF FF"},
      {"12345.6 km: 2469120 at 5 m/bit", Message::vdhr,
       [](TelemetryState& s) { s.odometer = 12345.6f; }, "00 AD 25 00 FF FF FF FF"},
      {"120 psi of air: 827.4 kPa, 103 at 8 kPa/bit", Message::air1,
       [](TelemetryState& s) { s.brake_air_pressure = 120; }, "FF FF 67 FF FF FF FF FF"},
      {"16:40 on 1 January", Message::td, [](TelemetryState& s) { s.game_time = 1000; },
       "00 28 10 01 04 FF FF FF"},
      {"01:01 on 10 February", Message::td, [](TelemetryState& s) { s.game_time = 1440 * 40 + 61; },
       "00 01 01 02 28 FF FF FF"},
      {"no warning", Message::dm1, [](TelemetryState&) {}, "C3 FF 00 00 00 00 FF FF"},
      {"fuel warning: amber", Message::dm1, [](TelemetryState& s) { s.fuel_warning = true; },
       "C7 FF 00 00 00 00 FF FF"},
      {"air emergency: red", Message::dm1,
       [](TelemetryState& s) { s.brake_air_pressure_emergency = true; }, "D3 FF 00 00 00 00 FF FF"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TelemetryState state{};
    c.set(state);
    EXPECT_EQ(hex(encode(c.message, state)), c.bytes);
  }
}

TEST(j1939_test, adapter_line_is_identifier_length_and_data_in_hex) {
  const Data data = {0xF7, 0x00, 0x5A, 0xFD, 0xFF, 0x5A, 0xFF, 0xFF};
  char line[SLCAN_LINE];
  const std::size_t length = slcan_frame(0x18FEF100, data, line);
  EXPECT_EQ(std::string(line, length), "T18FEF1008F7005AFDFF5AFFFF\r");
}

}  // namespace
}  // namespace vontrel::j1939
