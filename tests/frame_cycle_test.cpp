#include "dashboard/frame_cycle.h"

#include <gtest/gtest.h>

#include <ostream>

#include <array>
#include <iterator>
#include <string>
#include <vector>

#include "dashboard/frame_format.h"
#include "tests/frame_bytes.h"

namespace vontrel {
namespace {

using testing::Bytes;
using testing::hex;
using testing::to_hex;

class frame_cycle_test : public ::testing::Test {
 protected:
  // The cycle's seven frames as text.
  std::vector<std::string> frames() {
    std::array<std::uint8_t, CYCLE_LENGTH> cycle{};
    encode_cycle(state, settings, cycle.data());
    std::vector<std::string> result;
    for (std::size_t offset = 0; offset < CYCLE_LENGTH; offset += FRAME_LENGTH) {
      result.push_back(
          to_hex(Bytes(cycle.begin() + offset, cycle.begin() + offset + FRAME_LENGTH)));
    }
    return result;
  }

  TelemetryState state{};
  Settings settings;
};

const char* const zero_cycle[] = {
    "FF 04 10 00 00 01 01 00 01 00 00", "FF 04 20 01 00 10 00 00 00 12 00",
    "FF 04 30 00 00 00 34 03 BC 00 00", "FF 04 31 00 00 00 00 00 00 00 00",
    "FF 04 40 00 00 00 25 00 00 00 00", "FF 04 50 00 00 00 00 00 00 00 00",
    "FF 04 99 01 00 00 00 00 00 00 00",
};

TEST_F(frame_cycle_test, a_cycle_is_seven_frames_in_order) {
  EXPECT_EQ(frames(), std::vector<std::string>(std::begin(zero_cycle), std::end(zero_cycle)));
}

TEST_F(frame_cycle_test, cycle_carries_the_snapshot_and_the_debug_setting) {
  state.speed = 25.0f;
  state.light_lblinker = true;
  state.light_rblinker = true;
  state.brake_parking = true;
  state.game_time = 1154u * 1440u;
  settings.parse_line("debug_mode bool 0");
  const auto got = frames();
  EXPECT_EQ(got[0], "FF 04 10 00 00 29 02 00 04 00 00");
  EXPECT_EQ(got[1], "FF 04 20 21 00 10 00 00 00 12 00");
  EXPECT_EQ(got[4], "FF 04 40 03 4E 00 25 00 00 00 00");
  EXPECT_EQ(got[5], "FF 04 50 03 00 60 00 00 00 00 00");
  EXPECT_EQ(got[6], "FF 04 99 00 00 00 00 00 00 00 00");
}

struct ThrottleCase {
  std::uint32_t last;
  std::uint32_t now;
  bool runs;
};

void PrintTo(const ThrottleCase& c, std::ostream* out) {
  *out << c.last << " -> " << c.now;
}

class frame_cycle_throttle_test : public ::testing::TestWithParam<ThrottleCase> {};

TEST_P(frame_cycle_throttle_test, runs_once_fifty_ms_have_passed_across_the_wrap) {
  std::uint32_t last_send_tick = GetParam().last;
  EXPECT_EQ(throttle_passes(last_send_tick, GetParam().now), GetParam().runs);
  EXPECT_EQ(last_send_tick, GetParam().runs ? GetParam().now : GetParam().last);
}

INSTANTIATE_TEST_SUITE_P(cases, frame_cycle_throttle_test,
                         ::testing::Values(ThrottleCase{1000, 1049, false},
                                           ThrottleCase{1000, 1050, true},
                                           ThrottleCase{1000, 1000, false},
                                           ThrottleCase{4294967280u, 33, false},
                                           ThrottleCase{4294967280u, 34, true},
                                           ThrottleCase{0, 49, false}, ThrottleCase{0, 50, true},
                                           // Ticks going backwards look like a long wait.
                                           ThrottleCase{1000, 999, true}));

TEST(frame_cycle_interval_test, is_measured_from_cycle_start_to_cycle_start) {
  std::uint32_t last_send_tick = 0;
  EXPECT_TRUE(throttle_passes(last_send_tick, 1000));
  EXPECT_FALSE(throttle_passes(last_send_tick, 1030));
  EXPECT_TRUE(throttle_passes(last_send_tick, 1050));
}

}  // namespace
}  // namespace vontrel
