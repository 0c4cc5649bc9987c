#include "can/encoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

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

// The checksum forms cars use, as the commaai/opendbc project defines them for each make
// (opendbc/can/common.cc: toyota_checksum, subaru_checksum, xor_checksum), worked out by hand
// for each frame below.
TEST(encoder_test, the_checksum_forms_cars_use) {
  struct Case {
    const char* what;
    const char* source;
    std::uint32_t id;
    bool extended;
    Data frame;  // the checksum's byte as the form gives it
    std::uint32_t length;
    std::uint32_t checksum_byte;
  };
  const Case cases[] = {
      // The length, the identifier's bytes and every byte but the last (where it lives):
      // 8 + 0xC4 + 0x01 + 1 + 2 + ... + 7 = 233.
      {"Toyota", "sum id len", 0x1C4, false, {1, 2, 3, 4, 5, 6, 7, 0xE9}, 8, 7},
      // The identifier's bytes and every byte after the first: 0x19 + 0x01 + 0x10 + ... + 0x70
      // = 474, 0xDA kept.
      {"Subaru", "sum id", 0x119, false, {0xDA, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70}, 8, 0},
      // VW PQ: the XOR of every byte but the first.
      {"VW PQ", "xor", 0x288, false, {0xF0, 0x11, 0x22, 0x44, 0x88, 0x0F, 0, 0}, 8, 0},
      // Some bytes only, from a start value, complemented: ~(1 ^ 2 ^ 4 ^ 0xAA) = ~0xAD.
      {"chosen bytes", "xor bytes 1-3 start 0xAA not", 0x100, false, {0x52, 1, 2, 4, 0xFF}, 5, 0},
      {"a sum with the length", "sum bytes 0,2 len", 0x100, false, {0x10, 0x34, 0x20, 0x99}, 4, 1},
      // A 29-bit identifier is four bytes, low to high: 00 F1 FE 18 and data 01: 520, 0x08.
      {"an extended identifier", "sum id", 0x18FEF100, true, {0x08, 0x01}, 2, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Message message;
    message.id = c.id;
    message.extended = c.extended;
    message.length = c.length;
    message.signals.push_back(signal("Checksum", 8 * c.checksum_byte, 8, c.source));
    std::vector<std::string> constants;
    for (std::uint32_t i = 0; i < c.length; ++i) {
      constants.push_back("const " + std::to_string(c.frame[i]));
    }
    for (std::uint32_t i = 0; i < c.length; ++i) {
      if (i != c.checksum_byte) {
        message.signals.push_back(signal("Byte", 8 * i, 8, constants[i].c_str()));
      }
    }
    EXPECT_EQ(hex(encode_message(message, TelemetryState{}, 0), c.length), hex(c.frame, c.length));
  }
}

TEST(encoder_test, counters_run_their_range_and_a_crc_takes_the_data_byte_of_the_frames_count) {
  Message message;
  message.length = 2;
  message.signals = {signal("Counter", 0, 4, "counter 1 15")};
  std::string counts;
  for (std::uint32_t sends = 0; sends < 17; ++sends) {
    counts += std::to_string(encode_message(message, TelemetryState{}, sends)[0]) + " ";
  }
  EXPECT_EQ(counts, "1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 1 2 ");

  // A 3-bit counter beside a CRC with sixteen data bytes: the eighth send carries counter 0
  // again, so it takes data byte 0, and is the very frame the first send was.
  message.signals = {
      signal("Checksum", 8, 8, "crc8 0x2F 0xFF 0xFF data 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16"),
      signal("Counter", 0, 3, "counter")};
  EXPECT_EQ(hex(encode_message(message, TelemetryState{}, 8), 2),
            hex(encode_message(message, TelemetryState{}, 0), 2));
}

TEST(encoder_test, states_combined_and_running_totals_wrapping_at_their_bits) {
  Message message;
  message.length = 4;
  message.signals = {signal("Hazard", 0, 1, "all blinker_left blinker_right"),
                     signal("AnyBlinker", 1, 1, "any blinker_left blinker_right"),
                     signal("Off", 2, 1, "not engine_on"), signal("Pulses", 8, 4, "pulses 1000"),
                     signal("Fuel", 16, 16, "fuel_used_ul")};
  message.signals[3].start_value = 14;
  // (left, right, engine on) and the three lamps' bits.
  const struct {
    bool left, right, engine;
    std::uint8_t lamps;
  } lamps[] = {{true, true, true, 0b011}, {true, false, false, 0b110}, {false, false, true, 0}};
  RunningTotals totals;
  TelemetryState state{};
  state.fuel_amount = 100.0f;
  totals.advance(state, 0, true);
  state.speed = 25.0f;        // 5 m in 200 ms: 5 pulses from 14 is 19, 3 in four bits
  state.fuel_amount = 99.0f;  // a litre: 1000000 microlitres, 0x4240 in sixteen bits
  totals.advance(state, 200000, true);
  std::vector<Source> sources;
  std::string why;
  ASSERT_TRUE(prepare_sources(message, sources, why)) << why;
  for (const auto& l : lamps) {
    state.light_lblinker = l.left;
    state.light_rblinker = l.right;
    state.engine_enabled = l.engine;
    const Data data = encode(message, sources, state, {0, 0, &totals});
    EXPECT_EQ(data[0], l.lamps);
    EXPECT_EQ(data[1], 3);
    EXPECT_EQ(data[2] | data[3] << 8, 0x4240);
  }
}

TEST(encoder_test, a_running_total_never_steps_half_its_counter_or_more_in_one_send) {
  // Motor_5's fuel used: a 15-bit microlitre counter, which a cluster reads as wrapping at
  // 32,768. 42 ml at once (a machine that stalled for 1.5 s) goes out in steps under half of
  // that, the rest carried, so no wrap is lost; only a limit kept from send to send does it.
  Message message;
  message.length = 4;
  message.signals = {signal("Fuel", 16, 15, "fuel_used_ul")};
  std::vector<Source> sources;
  std::string why;
  ASSERT_TRUE(prepare_sources(message, sources, why)) << why;
  RunningTotals totals;
  TelemetryState state{};
  state.fuel_amount = 64.0f;
  totals.advance(state, 0, true);
  double sent[1] = {std::nan("")};
  const auto raw = [&] {
    const Data data = encode(message, sources, state, {0, 0, &totals, sent, sent});
    return (data[2] | data[3] << 8) & 0x7FFF;
  };
  EXPECT_EQ(raw(), 0);
  state.fuel_amount = 63.9580078125f;  // 41,992.1875 microlitres used
  totals.advance(state, 100000, true);
  // Only looking leaves what was sent as it was.
  const Data looked = encode(message, sources, state, {0, 0, &totals, sent, nullptr});
  EXPECT_EQ((looked[2] | looked[3] << 8) & 0x7FFF, 16383);
  for (const int expected : {16383, 32766, 41992 % 32768, 41992 % 32768}) {
    EXPECT_EQ(raw(), expected);
  }
}

TEST(encoder_test, a_multiplexed_message_carries_one_page_and_its_multiplexor) {
  TelemetryState state{};
  state.water_temperature = 90.0f;
  state.engine_rpm = 1000.0f;
  Message message;
  message.length = 3;
  Signal page = signal("Page", 0, 2, "");
  page.multiplexor = true;
  Signal water = signal("Water", 8, 8, "water_c");
  water.page = 1;
  Signal rpm = signal("Rpm", 8, 16, "engine_rpm");  // the same bits, in another page
  rpm.page = 2;
  Signal every = signal("Every", 2, 6, "const 5");
  message.signals = {page, water, rpm, every};
  message.pages = {1, 2};
  std::vector<Source> sources;
  std::string why;
  ASSERT_TRUE(prepare_sources(message, sources, why)) << why;
  EXPECT_EQ(pages_to_send(message, sources), (std::vector<std::uint32_t>{1, 2}));
  // Page 1: 0b000101_01, 90; page 2: 0b000101_10, 1000 (0x03E8) Intel.
  EXPECT_EQ(hex(encode(message, sources, state, {0, 1, nullptr}), 3), "15 5A 00 ");
  EXPECT_EQ(hex(encode(message, sources, state, {1, 2, nullptr}), 3), "16 E8 03 ");
  // A multiplexor with a constant of its own sends that page alone.
  message.signals[0].source = "const 2";
  ASSERT_TRUE(prepare_sources(message, sources, why)) << why;
  EXPECT_EQ(pages_to_send(message, sources), (std::vector<std::uint32_t>{2}));
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
