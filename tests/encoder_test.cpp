#include "can/encoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

namespace vontrel::can {
namespace {

Signal signal(const char* name, std::uint32_t start, std::uint32_t length, const char* source,
              ByteOrder order = ByteOrder::intel) {
  Signal s;
  s.name = name;
  s.start_bit = start;
  s.length = length;
  s.byte_order = order;
  s.source = source;
  return s;
}

Data encode_message(const Message& message, const TelemetryState& state, std::uint32_t counter) {
  std::vector<Source> sources;
  std::string why;
  EXPECT_TRUE(prepare_sources(message, sources, why)) << why;
  return encode(message, sources, state, {counter, 0, nullptr});
}

std::string hex(const Data& data, std::size_t length) {
  std::string text;
  for (std::size_t i = 0; i < length; ++i) {
    char byte[4];
    std::snprintf(byte, sizeof byte, "%02X ", data[i]);
    text += byte;
  }
  return text;
}

TEST(encoder_test, adapter_lines_for_both_identifier_lengths) {
  struct Case {
    std::uint32_t id;
    bool extended;
    Data bytes;
    std::size_t length;
    const char* line;
  };
  // Lawicel's frame commands: tiiil<data> and Tiiiiiiiil<data>, each ended by CR.
  const Case cases[] = {
      {0x18FEF100,
       true,
       {0xF7, 0x00, 0x5A, 0xFD, 0xFF, 0x5A, 0xFF, 0xFF},
       8,
       "T18FEF1008F7005AFDFF5AFFFF\r"},
      {0x3C0, false, {0x5A, 0x03, 0x07, 0x00}, 4, "t3C045A030700\r"},
      {0x7FF, false, {}, 0, "t7FF0\r"},
      {0x1, true, {0xAB}, 1, "T000000011AB\r"},
  };
  for (const Case& c : cases) {
    char line[SLCAN_LINE];
    const std::size_t length = slcan_line(c.id, c.extended, c.bytes, c.length, line);
    EXPECT_EQ(std::string(line, length), c.line);
  }
}

TEST(encoder_test, crc8_forms_give_their_catalogue_check_values) {
  // The CRC catalogue's check value: each form over the ASCII bytes "123456789".
  const std::uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(crc8(digits, 9, 0x2F, 0xFF, 0xFF, nullptr, 0), 0xDF);  // CRC-8/AUTOSAR
  EXPECT_EQ(crc8(digits, 9, 0x1D, 0xFF, 0xFF, nullptr, 0), 0x4B);  // CRC-8/SAE-J1850
  EXPECT_EQ(crc8(digits, 9, 0x07, 0x00, 0x00, nullptr, 0), 0xF4);  // CRC-8/SMBUS
  EXPECT_EQ(xor8(digits, 9), 0x31);
  EXPECT_EQ(sum8(digits, 9), 0xDD);  // 477 modulo 256
}

// Frames recorded from Volkswagen MQB cars, published as reference data by the commaai/opendbc
// project (opendbc/can/tests/test_checksums.py), with the data byte per counter value its
// checksum code gives for each identifier. AUTOSAR E2E profile 2: CRC-8 0x2F over bytes 1 to
// 7, then the data byte; the counter in byte 1's low nibble.
struct Captured {
  const char* message;
  const char* source;
  std::uint32_t length;
  std::vector<Data> frames;
};

TEST(encoder_test, e2e_profile_2_reproduces_frames_captured_from_cars) {
  const Captured captured[] = {
      {"Klemmen_Status_01 (0x3C0), the ignition status",
       "crc8 0x2F 0xFF 0xFF data 0xC3",
       4,
       {{0x74, 0x00, 0x03, 0x00},
        {0xC1, 0x01, 0x03, 0x00},
        {0x31, 0x02, 0x03, 0x00},
        {0x84, 0x03, 0x03, 0x00},
        {0xFE, 0x04, 0x03, 0x00},
        {0x0A, 0x0A, 0x03, 0x00},
        {0x35, 0x0F, 0x03, 0x00}}},
      {"Getriebe_11 (0x0AD), a data byte per counter value",
       "crc8 0x2F 0xFF 0xFF data 0x3F 0x69 0x39 0xDC 0x94 0xF9 0x14 0x64 0xD8 0x6A 0x34 0xCE "
       "0xA2 0x55 0xB5 0x2C",
       8,
       {{0xF8, 0xE0, 0xBF, 0xFF, 0x5F, 0x20, 0x20, 0x20},
        {0xB0, 0xE1, 0xBF, 0xFF, 0xC6, 0x98, 0x21, 0x80},
        {0x00, 0xE3, 0xBF, 0xFF, 0xAA, 0x20, 0x20, 0x10},
        {0xFC, 0xEB, 0xBF, 0xFF, 0x5F, 0x20, 0x21, 0x20},
        {0x36, 0xEF, 0xBF, 0xFF, 0xAA, 0x20, 0x20, 0x10}}},
      {"LWI_01 (0x086), the steering angle",
       "crc8 0x2F 0xFF 0xFF data 0x86",
       8,
       {{0x6B, 0x00, 0xBD, 0x00, 0x00, 0x00, 0x00, 0x00},
        {0x03, 0x03, 0xBE, 0xA2, 0x12, 0x00, 0x00, 0x00},
        {0x60, 0x0F, 0x62, 0xC0, 0x00, 0x00, 0x00, 0x00}}},
  };
  for (const Captured& c : captured) {
    SCOPED_TRACE(c.message);
    for (const Data& frame : c.frames) {
      // The frame's other bytes as constants, the counter and the checksum as the profile
      // would give them.
      Message message;
      message.name = "captured";
      message.length = c.length;
      message.signals.push_back(signal("Checksum", 0, 8, c.source));
      message.signals.push_back(signal("Counter", 8, 4, "counter"));
      const std::string high = "const " + std::to_string(frame[1] >> 4);
      message.signals.push_back(signal("High", 12, 4, high.c_str()));
      std::vector<std::string> bytes;
      for (std::uint32_t i = 2; i < c.length; ++i) {
        bytes.push_back("const " + std::to_string(frame[i]));
      }
      for (std::uint32_t i = 2; i < c.length; ++i) {
        message.signals.push_back(signal("Byte", 8 * i, 8, bytes[i - 2].c_str()));
      }
      const Data sent = encode_message(message, TelemetryState{}, frame[1] & 0x0FU);
      EXPECT_EQ(hex(sent, c.length), hex(frame, c.length));
    }
  }
}

TEST(encoder_test, values_become_raw_by_factor_offset_range_and_bits) {
  TelemetryState state{};
  state.water_temperature = 90.0f;
  state.engine_rpm = 1500.0f;
  state.speed = 25.0f;
  Message message;
  message.length = 8;
  message.fill = 0xFF;
  // 0.75 degC a bit from -48, Motorola: 90 degC is raw 184 in byte 4.
  Signal coolant = signal("Coolant", 39, 8, "water_c", ByteOrder::motorola);
  coolant.factor = 0.75;
  coolant.offset = -48;
  coolant.minimum = -48;
  coolant.maximum = 143.25;
  // Signed, Motorola, 12 bits from bit 47: -12.5 at 0.5 is raw -25, 0xFE7: byte 5 takes the
  // top eight bits, byte 6's upper nibble the last four.
  Signal torque = signal("Torque", 47, 12, "const -12.5", ByteOrder::motorola);
  torque.is_signed = true;
  torque.factor = 0.5;
  // 0.25 rpm a bit, Intel from bit 16: 1500 rpm is 6000, 0x1770.
  Signal rpm = signal("Rpm", 16, 16, "engine_rpm");
  rpm.factor = 0.25;
  // A range of [0|80] holds 90 km/h at 80; with [0|0], 1000 is held by its 8 bits at 255.
  Signal speed = signal("Speed", 0, 8, "speed_kmh");
  speed.minimum = 0;
  speed.maximum = 80;
  Signal unbounded = signal("Unbounded", 8, 8, "const 1000");
  message.signals = {coolant, torque, rpm, speed, unbounded};
  const Data data = encode_message(message, state, 0);
  EXPECT_EQ(hex(data, 8), "50 FF 70 17 B8 FE 7F FF ");
}

TEST(encoder_test, no_value_sends_the_start_value_and_the_counter_wraps) {
  TelemetryState state{};  // no tank size yet: no fuel level
  Message message;
  message.length = 3;
  Signal fuel = signal("Fuel", 0, 8, "fuel_percent");
  fuel.factor = 0.4;
  fuel.start_value = 0xFE;  // "error", as a profile may choose
  Signal counter = signal("Counter", 8, 2, "counter");
  Signal sum = signal("Sum", 16, 8, "sum");
  message.signals = {fuel, counter, sum};
  for (const std::uint32_t sends : {0U, 1U, 5U}) {
    SCOPED_TRACE(sends);
    const Data data = encode_message(message, state, sends);
    EXPECT_EQ(data[0], 0xFE);
    EXPECT_EQ(data[1], sends % 4);
    EXPECT_EQ(data[2], static_cast<std::uint8_t>(0xFE + sends % 4));
  }
  state.fuel_capacity = 400.0f;
  state.fuel_amount = 100.0f;  // 25 % at 0.4 a bit: 62.5, rounded to 63 (0x3F)
  EXPECT_EQ(encode_message(message, state, 0)[0], 0x3F);
}

}  // namespace
}  // namespace vontrel::can
