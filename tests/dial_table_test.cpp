// vontrel-cluster reads a needle back through the firmware's own table: the position the
// firmware set, taken backwards along the line it came from, gives the value on the dial.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "tools/cluster/firmware_image.h"

namespace {

using vontrel::cluster::parse_dial;

// A table as the firmware keeps it in flash: a count, then per point a 32-bit value and a
// 16-bit position, little-endian; padded to the most a table can take.
std::vector<std::uint8_t> flash(const std::vector<std::pair<std::int32_t, std::uint16_t>>& points,
                                std::uint8_t count) {
  std::vector<std::uint8_t> bytes{count};
  for (const auto& [at, position] : points) {
    const auto value = static_cast<std::uint32_t>(at);
    for (int shift = 0; shift < 32; shift += 8) {
      bytes.push_back(static_cast<std::uint8_t>(value >> shift));
    }
    bytes.push_back(static_cast<std::uint8_t>(position));
    bytes.push_back(static_cast<std::uint8_t>(position >> 8));
  }
  bytes.resize(1 + 16 * 6, 0xFF);
  return bytes;
}

struct Case {
  const char* what;
  std::vector<std::pair<std::int32_t, std::uint16_t>> points;
  double position;
  double value;
};

TEST(dial_table_test, positions_read_back_along_the_table) {
  // The air-core fuel gauge of the firmware guide's worked example.
  const std::vector<std::pair<std::int32_t, std::uint16_t>> fuel = {
      {0, 38}, {25, 91}, {50, 130}, {75, 170}, {100, 221}};
  const Case cases[] = {
      {"a point", fuel, 91, 25},
      {"halfway between two points", fuel, 110.5, 37.5},
      {"the last point", fuel, 221, 100},
      {"below the first point's position: the first point", fuel, 0, 0},
      {"beyond the last point's position: the last point", fuel, 255, 100},
      {"a needle that falls as the value rises", {{0, 255}, {100, 0}}, 63.75, 75},
      {"a flat stretch reads as its first value", {{0, 0}, {10, 0}, {20, 100}}, 0, 0},
      {"past a flat stretch", {{0, 0}, {10, 0}, {20, 100}}, 50, 15},
      {"a value below zero (water: thirds of a degree)", {{-30, 0}, {390, 255}}, 0, -30},
      {"a single point", {{120, 77}}, 200, 120},
  };
  for (const Case& c : cases) {
    const auto bytes = flash(c.points, static_cast<std::uint8_t>(c.points.size()));
    const auto table = parse_dial(bytes.data());
    ASSERT_TRUE(table) << c.what;
    EXPECT_DOUBLE_EQ(table->value_at(c.position), c.value) << c.what;
  }
}

TEST(dial_table_test, a_count_no_firmware_writes_is_refused) {
  EXPECT_FALSE(parse_dial(flash({}, 0).data()));
  EXPECT_FALSE(parse_dial(flash({}, 17).data()));
  EXPECT_FALSE(parse_dial(flash({}, 0xFF).data()));  // erased flash
}

}  // namespace
