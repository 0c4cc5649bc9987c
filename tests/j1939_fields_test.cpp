// Reading J1939 back, as vontrel-monitor --can does: the adapter's lines, the groups and
// senders in identifiers, and fields with J1939's "not available" codes.
#include "j1939/fields.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace vontrel::j1939 {
namespace {

const Field& field(const char* name) {
  for (const Field& f : FIELDS) {
    if (std::strcmp(f.name, name) == 0) {
      return f;
    }
  }
  throw std::runtime_error(name);
}

TEST(j1939_fields_test, adapter_lines_and_identifiers) {
  std::uint32_t id = 0;
  std::uint8_t data[8] = {};
  std::uint8_t length = 0;
  ASSERT_TRUE(parse_slcan_line("T18FEF1008F7005AFDFF5AFFFF", id, data, length));
  EXPECT_EQ(id, 0x18FEF100u);
  EXPECT_EQ(length, 8u);
  EXPECT_EQ(data[0], 0xF7);
  EXPECT_EQ(data[7], 0xFF);
  EXPECT_TRUE(parse_slcan_line("T0CF004000", id, data, length));
  EXPECT_EQ(length, 0u);
  // The same frame from an adapter in its timestamp mode: four hex digits after the data.
  ASSERT_TRUE(parse_slcan_line("T0CF004008FFFFFF401FFFFFFF1A2B", id, data, length));
  EXPECT_EQ(id, 0x0CF00400u);
  EXPECT_EQ(length, 8u);
  EXPECT_EQ(data[3], 0x40);
  EXPECT_EQ(data[4], 0x1F);
  EXPECT_EQ(data[7], 0xFF);
  for (const char* bad : {"", "z", "Z", "\a", "t1238AABBCCDDEEFF0011", "T18FEF1008F7005A",
                          "T18FEF1009F7005AFDFF5AFFFF00", "TG8FEF1001FF", "T3FFFFFFF0",
                          "T0CF004008FFFFFF401FFFFFFF1A2", "T0CF004008FFFFFF401FFFFFFF1A2G"}) {
    EXPECT_FALSE(parse_slcan_line(bad, id, data, length)) << bad;
  }
  EXPECT_EQ(pgn_of(0x0CF00400), 61444u);
  EXPECT_EQ(pgn_of(0x18EA1100), 59904u) << "an addressed group loses its receiver";
  EXPECT_EQ(source_of(0x0CFE6CEE), 0xEE);
  EXPECT_STREQ(message_name(65132), "TCO1");
  EXPECT_EQ(message_name(59904), nullptr);
}

TEST(j1939_fields_test, fields_scale_and_not_available_is_no_value) {
  const std::uint8_t eec1[8] = {0xFF, 0xFF, 0xFF, 0xE0, 0x2E, 0xFF, 0xFF, 0xFF};
  const std::uint8_t gone[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  const std::uint8_t error[8] = {0xFF, 0xFF, 0xFF, 0x00, 0xFE, 0xFF, 0xFF, 0xFF};
  const std::uint8_t ccvs1[8] = {0xF7, 0x00, 0x5A, 0xFD, 0xFF, 0x5A, 0xFF, 0xFF};
  const std::uint8_t et1[8] = {0x82, 0xFF, 0xA0, 0x2E, 0xFF, 0xFF, 0xFF, 0xFF};
  double value = 0;
  ASSERT_TRUE(read_field(field("engine_speed"), eec1, value));
  EXPECT_DOUBLE_EQ(value, 1500);
  EXPECT_FALSE(read_field(field("engine_speed"), gone, value));
  EXPECT_FALSE(read_field(field("engine_speed"), error, value)) << "0xFExx is an error code";
  ASSERT_TRUE(read_field(field("parking_brake"), ccvs1, value));
  EXPECT_DOUBLE_EQ(value, 1);
  ASSERT_TRUE(read_field(field("wheel_speed"), ccvs1, value));
  EXPECT_DOUBLE_EQ(value, 90);
  ASSERT_TRUE(read_field(field("coolant_temperature"), et1, value));
  EXPECT_DOUBLE_EQ(value, 90);
  ASSERT_TRUE(read_field(field("oil_temperature"), et1, value));
  EXPECT_DOUBLE_EQ(value, 100);
  EXPECT_FALSE(read_field(field("malfunction_lamp"), gone, value)) << "11: not available";
}

}  // namespace
}  // namespace vontrel::j1939
