#include "link/background_writer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/fake_os.h"
#include "tests/frame_bytes.h"

namespace vontrel {
namespace {

using testing::Bytes;
using testing::to_hex;

const std::string reset = "FF 04 00 00 00 00 00 00 00 00 00 00 00 00 00 00";

std::array<std::uint8_t, CYCLE_LENGTH> cycle_of(std::uint8_t marker) {
  std::array<std::uint8_t, CYCLE_LENGTH> cycle{};
  for (std::size_t i = 0; i < CYCLE_LENGTH; ++i) {
    cycle[i] = static_cast<std::uint8_t>(i % FRAME_LENGTH == 3 ? marker : i);
  }
  return cycle;
}

std::vector<std::string> frames_of(const std::array<std::uint8_t, CYCLE_LENGTH>& cycle) {
  std::vector<std::string> frames;
  for (std::size_t offset = 0; offset < CYCLE_LENGTH; offset += FRAME_LENGTH) {
    frames.push_back(to_hex(Bytes(cycle.begin() + offset, cycle.begin() + offset + FRAME_LENGTH)));
  }
  return frames;
}

// The writes a reset frame followed by one whole cycle make.
std::vector<std::string> reset_then(const std::array<std::uint8_t, CYCLE_LENGTH>& cycle) {
  std::vector<std::string> writes = {reset};
  for (const auto& frame : frames_of(cycle)) {
    writes.push_back(frame);
  }
  return writes;
}

class background_writer_test : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_os::reset();
    std::string error;
    ASSERT_TRUE(port.open("COM3", error));
  }
  void TearDown() override {
    fake_os::hold_writes(false);
    link.stop(0);
  }

  std::vector<std::string> written() {
    std::lock_guard<std::mutex> lock(fake_os::record_mutex());
    std::vector<std::string> writes;
    for (const auto& write : fake_os::state().writes) {
      writes.push_back(to_hex(write));
    }
    return writes;
  }

  void script(bool fails, std::uint32_t later_ms = 0) {
    std::lock_guard<std::mutex> lock(fake_os::record_mutex());
    fake_os::state().write_fails = fails;
    fake_os::state().tick += later_ms;
  }

  // Waits (bounded) for the writer to report a change of the port.
  LinkEvent next_event() {
    for (int i = 0; i < 500; ++i) {
      const LinkEvent event = link.take_event();
      if (event != LinkEvent::none) {
        return event;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return LinkEvent::none;
  }

  SerialPort port;
  BackgroundWriter link;
};

TEST_F(background_writer_test, sends_the_reset_then_each_frame_as_its_own_write) {
  ASSERT_TRUE(link.start(port, "COM3", false));
  link.submit_reset();
  const auto cycle = cycle_of(0xA1);
  link.submit_cycle(cycle.data());
  link.stop(1000);
  EXPECT_EQ(written(), reset_then(cycle));
  EXPECT_FALSE(link.running());
}

TEST_F(background_writer_test, newer_cycle_replaces_one_not_yet_started) {
  ASSERT_TRUE(link.start(port, "COM3", false));
  fake_os::hold_writes(true);  // a stalled cluster
  link.submit_reset();
  const auto first = cycle_of(0xA1);
  const auto second = cycle_of(0xB2);
  link.submit_cycle(first.data());
  link.submit_cycle(second.data());
  fake_os::hold_writes(false);
  link.stop(1000);
  EXPECT_EQ(written(), reset_then(second));
}

TEST_F(background_writer_test, reset_drops_a_cycle_not_yet_started) {
  ASSERT_TRUE(link.start(port, "COM3", false));
  fake_os::hold_writes(true);
  const auto cycle = cycle_of(0xA1);
  link.submit_cycle(cycle.data());
  link.submit_reset();
  fake_os::hold_writes(false);
  link.stop(1000);
  const auto writes = written();
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(writes.back(), reset);
  EXPECT_TRUE(writes.size() == 1 || writes.size() == 8) << "a cycle is never split";
}

TEST_F(background_writer_test, stop_gives_up_on_a_stalled_cluster) {
  ASSERT_TRUE(link.start(port, "COM3", false));
  fake_os::hold_writes(true);
  link.submit_reset();
  std::thread release([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    fake_os::hold_writes(false);
  });
  link.stop(50);  // returns once the held write comes back, without waiting for more
  release.join();
  EXPECT_FALSE(link.running());
}

TEST_F(background_writer_test, lost_port_is_reopened_and_starts_with_a_reset) {
  ASSERT_TRUE(link.start(port, "COM3", true));
  script(true);
  const auto cycle = cycle_of(0xA1);
  link.submit_cycle(cycle.data());
  ASSERT_EQ(next_event(), LinkEvent::lost);
  EXPECT_EQ(link.take_event(), LinkEvent::none);
  script(false, 1000);  // a second later
  ASSERT_EQ(next_event(), LinkEvent::back);
  link.submit_cycle(cycle.data());
  link.stop(1000);
  const auto writes = written();
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(std::vector<std::string>(writes.begin() + 1, writes.end()), reset_then(cycle))
      << "after the first frame, which failed";
  EXPECT_EQ(fake_os::state().opened_names, (std::vector<std::string>{"COM3", "COM3"}));
}

TEST_F(background_writer_test, without_reconnect_a_failed_write_leaves_the_port_alone) {
  ASSERT_TRUE(link.start(port, "COM3", false));
  script(true);
  const auto cycle = cycle_of(0xA1);
  link.submit_cycle(cycle.data());
  link.stop(1000);
  EXPECT_TRUE(port.is_open());
  EXPECT_EQ(link.take_event(), LinkEvent::none);
  EXPECT_EQ(fake_os::state().count("close"), 0);
}

// A run that ended with the port lost must not colour the next one's reports.
TEST_F(background_writer_test, each_run_reports_its_own_losses) {
  const auto cycle = cycle_of(0xA1);
  for (int run = 0; run < 2; ++run) {
    script(false, 1000);
    if (!port.is_open()) {
      std::string error;
      ASSERT_TRUE(port.open("COM3", error));
    }
    ASSERT_TRUE(link.start(port, "COM3", true));
    script(true);
    link.submit_cycle(cycle.data());
    EXPECT_EQ(next_event(), LinkEvent::lost) << "run " << run;
    link.stop(0);
  }
}

}  // namespace
}  // namespace vontrel
