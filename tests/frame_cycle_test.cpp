#include "dashboard/frame_cycle.h"

#include <gtest/gtest.h>

#include <ostream>

#include <memory>
#include <string>

#include "plugin/plugin_context.h"
#include "tests/fake_os.h"
#include "tests/frame_bytes.h"
#include "tests/test_host.h"

namespace vontrel {
namespace {

using testing::Bytes;
using testing::hex;
using testing::to_hex;

class frame_cycle_test : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_os::reset();
    std::string error;
    ASSERT_TRUE(context->port.open("COM3", error));
    fake_os::state().calls.clear();
  }
  fake_os::State& os() { return fake_os::state(); }

  std::unique_ptr<PluginContext> context = std::make_unique<PluginContext>();
};

const char* const zero_cycle[] = {
    "FF 04 10 00 00 01 01 00 01 00 00", "FF 04 20 01 00 10 00 00 00 12 00",
    "FF 04 30 00 00 00 34 03 BC 00 00", "FF 04 31 00 00 00 00 00 00 00 00",
    "FF 04 40 00 00 00 25 00 00 00 00", "FF 04 50 00 00 00 00 00 00 00 00",
    "FF 04 99 01 00 00 00 00 00 00 00",
};

TEST_F(frame_cycle_test, a_cycle_is_seven_frames_each_one_write_and_flush) {
  run_frame_cycle(*context, 1000);
  ASSERT_EQ(os().writes.size(), 7u);
  for (std::size_t i = 0; i < 7; ++i) {
    EXPECT_EQ(to_hex(os().writes[i]), zero_cycle[i]) << i;
  }
  for (std::size_t i = 0; i < os().calls.size(); ++i) {
    EXPECT_EQ(os().calls[i], i % 2 == 0 ? "write" : "flush");
  }
}

TEST_F(frame_cycle_test, failing_writes_do_not_stop_the_cycle) {
  os().write_fails = true;
  run_frame_cycle(*context, 1000);
  ASSERT_EQ(os().writes.size(), 7u);
  EXPECT_EQ(to_hex(os().writes[6]), zero_cycle[6]);
}

TEST_F(frame_cycle_test, cycle_carries_the_snapshot_and_the_debug_setting) {
  context->state.speed = 25.0f;
  context->state.light_lblinker = true;
  context->state.light_rblinker = true;
  context->state.brake_parking = true;
  context->state.game_time = 1154u * 1440u;
  context->settings.parse_line("debug_mode bool 0");
  run_frame_cycle(*context, 1000);
  ASSERT_EQ(os().writes.size(), 7u);
  EXPECT_EQ(to_hex(os().writes[0]), "FF 04 10 00 00 29 02 00 04 00 00");
  EXPECT_EQ(to_hex(os().writes[1]), "FF 04 20 21 00 10 00 00 00 12 00");
  EXPECT_EQ(to_hex(os().writes[4]), "FF 04 40 03 4E 00 25 00 00 00 00");
  EXPECT_EQ(to_hex(os().writes[5]), "FF 04 50 03 00 60 00 00 00 00 00");
  EXPECT_EQ(to_hex(os().writes[6]), "FF 04 99 00 00 00 00 00 00 00 00");
}

struct ThrottleCase {
  std::uint32_t last;
  std::uint32_t now;
  bool runs;
};

void PrintTo(const ThrottleCase& c, std::ostream* out) {
  *out << c.last << " -> " << c.now;
}

class frame_cycle_throttle_test : public frame_cycle_test,
                                  public ::testing::WithParamInterface<ThrottleCase> {};

TEST_P(frame_cycle_throttle_test, runs_once_fifty_ms_have_passed_across_the_wrap) {
  context->last_send_tick = GetParam().last;
  run_frame_cycle(*context, GetParam().now);
  EXPECT_EQ(os().writes.size(), GetParam().runs ? 7u : 0u);
  EXPECT_EQ(context->last_send_tick, GetParam().runs ? GetParam().now : GetParam().last);
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

TEST_F(frame_cycle_test, interval_is_measured_from_cycle_start_to_cycle_start) {
  run_frame_cycle(*context, 1000);
  run_frame_cycle(*context, 1030);
  run_frame_cycle(*context, 1050);
  EXPECT_EQ(os().writes.size(), 14u);
}

TEST_F(frame_cycle_test, frame_end_on_a_closed_port_reads_no_clock_and_writes_nothing) {
  context->port.close();
  context->last_send_tick = 1234;
  os().calls.clear();
  frame_end(*context);
  EXPECT_TRUE(os().calls.empty());
  EXPECT_EQ(context->last_send_tick, 1234u);
}

TEST_F(frame_cycle_test, frame_end_reads_the_clock_once) {
  os().tick = 5000;
  frame_end(*context);
  EXPECT_EQ(os().count("tick"), 1);
  EXPECT_EQ(os().writes.size(), 7u);
  EXPECT_EQ(context->last_send_tick, 5000u);
}

TEST_F(frame_cycle_test, reset_frame_is_ff_04_and_fourteen_zeros_in_one_write) {
  context->frame_buffer.fill(0xAB);
  send_reset_frame(*context);
  ASSERT_EQ(os().writes.size(), 1u);
  EXPECT_EQ(to_hex(os().writes[0]), "FF 04 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
  for (std::size_t i = 16; i < FRAME_BUFFER_SIZE; ++i) {
    ASSERT_EQ(context->frame_buffer[i], 0) << i;
  }
}

TEST_F(frame_cycle_test, reset_frame_on_a_closed_port_makes_no_call) {
  context->port.close();
  os().calls.clear();
  send_reset_frame(*context);
  EXPECT_TRUE(os().calls.empty());
}

TEST_F(frame_cycle_test, reconnect_closes_a_failing_port_and_reopens_it_once_a_second) {
  testing::TestHost host;
  const auto params = host.params();
  context->host_log = params.log;
  context->link.reconnect = true;
  context->com_port = "COM3";

  os().write_fails = true;
  os().tick = 1000;
  frame_end(*context);
  EXPECT_FALSE(context->port.is_open());
  EXPECT_EQ(host.log, (std::vector<testing::LogLine>{
                          {SCS_LOG_TYPE_error, "Serial port lost, reconnecting: COM3"}}));

  os().write_fails = false;
  os().writes.clear();
  os().tick = 1999;  // not yet a second
  frame_end(*context);
  EXPECT_EQ(os().count("open"), 0);
  os().tick = 2000;
  frame_end(*context);
  EXPECT_EQ(os().count("open"), 1);
  EXPECT_TRUE(context->port.is_open());
  ASSERT_EQ(os().writes.size(), 1u);
  EXPECT_EQ(to_hex(os().writes[0]), "FF 04 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
  EXPECT_EQ(host.log.back(),
            (testing::LogLine{SCS_LOG_TYPE_message, "Serial port reconnected: COM3"}));

  os().tick = 2050;
  frame_end(*context);
  EXPECT_EQ(os().writes.size(), 8u) << "cycles resume";
  EXPECT_EQ(host.log.size(), 2u);
}

TEST_F(frame_cycle_test, reopen_that_fails_waits_another_second) {
  context->link.reconnect = true;
  context->com_port = "COM3";
  os().write_fails = true;
  os().tick = 1000;
  frame_end(*context);
  os().open_fails = true;
  os().tick = 2000;
  frame_end(*context);
  os().tick = 2500;
  frame_end(*context);
  EXPECT_EQ(os().count("open"), 1) << "one attempt at 2000, none at 2500";
  EXPECT_FALSE(context->port.is_open());
}

}  // namespace
}  // namespace vontrel
