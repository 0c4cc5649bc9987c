// The CAN adapter's settings and the profile they name, and its sender against the scripted os
// layer: the hand-shake, the schedule, DM1 on a change, a lost adapter, the close. The sender
// waits on a real clock.
#include "link/can_output.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/fake_os.h"
#include "tests/temp_dir.h"

namespace vontrel {
namespace {

Settings settings_of(const std::string& text) {
  Settings settings;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    settings.parse_line(std::string_view(text).substr(start, end - start));
    start = end == std::string::npos ? text.size() : end + 1;
  }
  return settings;
}

const std::string SETTINGS_PATH = "/game/plugins/Vontrel.txt";

const CanMessage& message(const CanSettings& can, const std::string& name) {
  for (const CanMessage& found : can.messages) {
    if (found.message.name == name) {
      return found;
    }
  }
  ADD_FAILURE() << "no message " << name;
  return can.messages.front();
}

TEST(can_output_test, settings_each_bad_value_told_once_the_rest_kept) {
  struct Case {
    const char* text;
    bool on;
    std::uint32_t bitrate;
    std::vector<std::string> complaints;
  };
  const Case cases[] = {
      {"", false, 250000, {}},
      {"can_port str none\n", false, 250000, {}},
      {"can_port str COM7\n", true, 250000, {}},
      {"can_port str /dev/ttyACM0\ncan_bitrate int 500000\n", true, 500000, {}},
      {"can_port str COM7\ncan_bitrate int 300000\n",
       false,
       250000,
       {"CAN output off, can_bitrate is not one of 10000, 20000, 50000, 100000, 125000, 250000, "
        "500000, 800000 or 1000000: 300000"}},
      {"can_port str COM7\ncan_eec2_ms int 20\ncan_eec1_ms int 5\ncan_tco1_source int 300\n"
       "can_et1_ms str 100\n",
       true,
       250000,
       {"Unknown CAN setting, ignored: can_eec2_ms",
        "CAN setting can_et1_ms is int, not str: ignored",
        "CAN setting can_eec1_ms 5 ignored: 0 turns the message off, else 10 to 60000 ms",
        "CAN setting can_tco1_source 300 ignored: a source address is 0 to 253"}},
      // Numbers as J1939's tables write them, in hex with 0x, and what is no number at all.
      {"can_port str COM7\ncan_tco1_source int 0xEE\ncan_td_ms int 0x3E8\n", true, 250000, {}},
      {"can_port str COM7\ncan_ccvs1_ms int 99999999999\ncan_eec1_ms int 2O\n"
       "can_dm1_source int 0xZZ\n",
       true,
       250000,
       {"CAN setting can_eec1_ms 2O ignored: not a number (decimal, or hexadecimal with 0x)",
        "CAN setting can_ccvs1_ms 99999999999 ignored: 0 turns the message off, else 10 to "
        "60000 ms",
        "CAN setting can_dm1_source 0xZZ ignored: not a number (decimal, or hexadecimal with "
        "0x)"}},
      // "none" in any case is off, as comport's is: never a file of that name.
      {"can_port str None\n", false, 250000, {}},
      {"can_port str COM7\ncan_bitrate int 0x7A120\n", true, 500000, {}},
      // The built-in messages take 15840 bit/s at most (99 eight-byte 29-bit frames a second,
      // 160 bits each with the worst stuffing and the gap after it).
      {"can_port str COM7\ncan_bitrate int 20000\n",
       true,
       20000,
       {"CAN warning: the messages take 79 % of the bus at 20000 bit/s: over 70 %, other "
        "nodes' frames of lower priority will wait"}},
      {"can_port str COM7\ncan_bitrate int 10000\n",
       false,
       10000,
       {"CAN output off, the messages take 158 % of the bus at 10000 bit/s: more than the bus "
        "carries, so frames would be late or lost (fewer messages, longer cycles or a faster "
        "bus)"}},
      {"can_port str COM7\ncan_baud int 5\n",
       true,
       250000,
       {"CAN setting can_baud 5 ignored: a serial rate is 300 to 4000000 baud"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    CanSettings can;
    std::vector<std::string> complaints;
    EXPECT_EQ(read_can_settings(settings_of(c.text), SETTINGS_PATH, can, complaints), c.on);
    EXPECT_EQ(can.bitrate, c.bitrate);
    EXPECT_EQ(complaints, c.complaints);
  }

  CanSettings can;
  std::vector<std::string> complaints;
  ASSERT_TRUE(read_can_settings(
      settings_of("can_port str COM7\ncan_bitrate int 1000000\ncan_dm1_ms int 0\n"
                  "can_tco1_source int 0\ncan_eec1_ms int 10\ncan_eflp1_ms int 200\n"
                  "can_dd_ms int 2000\n"),
      SETTINGS_PATH, can, complaints));
  EXPECT_EQ(complaints, std::vector<std::string>{});
  EXPECT_EQ(can.bitrate_command, '8');
  EXPECT_EQ(message(can, "DM1").interval_ms, 0u);
  EXPECT_EQ(message(can, "TCO1").id, 0x0CFE6C00u);
  EXPECT_EQ(message(can, "EEC1").interval_ms, 10u);
  // Keys from before the messages took their J1939 names.
  EXPECT_EQ(message(can, "EFL_P1").interval_ms, 200u);
  EXPECT_EQ(message(can, "DD1").interval_ms, 2000u);
  EXPECT_EQ(message(can, "VDHR").id, 0x18FEC1EEu) << "untouched messages keep their defaults";

  ASSERT_TRUE(read_can_settings(
      settings_of("can_port str COM7\ncan_tco1_source int 0xEE\ncan_td_ms int 0x3E8\n"
                  "can_baud int 500000\n"),
      SETTINGS_PATH, can, complaints));
  EXPECT_EQ(message(can, "TCO1").id, 0x0CFE6CEEu);
  EXPECT_EQ(message(can, "TD").interval_ms, 1000u);
  EXPECT_EQ(can.baud, 500000u);
}

class can_sender_test : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_os::reset();
    std::vector<std::string> complaints;
    ASSERT_TRUE(
        read_can_settings(settings_of("can_port str COM7\n"), SETTINGS_PATH, settings, complaints));
  }
  void TearDown() override { can.close(); }

  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> lock(fake_os::record_mutex());
    std::vector<std::string> found;
    for (const auto& write : fake_os::state().writes) {
      const std::string text(write.begin(), write.end());
      for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = text.find('\r', start);
        found.push_back(text.substr(start, end - start));
        start = end + 1;
      }
    }
    return found;
  }
  std::size_t count(const std::string& prefix) {
    std::size_t n = 0;
    for (const std::string& line : lines()) {
      n += line.rfind(prefix, 0) == 0 ? 1 : 0;
    }
    return n;
  }
  // Asks `condition` until it holds, at most 3 s: once each time, since asking may take.
  static bool wait_for(const std::function<bool()>& condition) {
    for (int i = 0; i < 300; ++i) {
      if (condition()) {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  // The adapter pulled out until the sender has told it lost, then plugged in again with
  // nothing written yet: true once it is told back.
  bool replug() {
    {
      std::lock_guard<std::mutex> lock(fake_os::record_mutex());
      fake_os::state().write_fails = true;
    }
    if (!wait_for([&] { return can.take_event() == CanEvent::lost; })) {
      return false;
    }
    {
      std::lock_guard<std::mutex> lock(fake_os::record_mutex());
      fake_os::state().write_fails = false;
      fake_os::state().writes.clear();
    }
    return wait_for([&] { return can.take_event() == CanEvent::back; });
  }

  CanSettings settings;
  CanOutput can;
};

TEST_F(can_sender_test, hand_shake_then_every_message_on_its_schedule_then_close) {
  TelemetryState state{};
  state.engine_rpm = 1500;
  ASSERT_TRUE(can.open(settings));
  can.submit(state);
  ASSERT_TRUE(wait_for([&] { return count("T0CF00400") >= 10; }));
  const std::vector<std::string> sent = lines();
  ASSERT_GE(sent.size(), 15u);
  // A bare CR first, then each command alone.
  EXPECT_EQ(std::vector<std::string>(sent.begin(), sent.begin() + 5),
            (std::vector<std::string>{"", "C", "S5", "O", "V"}));
  // Each message once at the start, from its preferred source.
  for (const char* id :
       {"T0CF00400", "T0CFE6CEE", "T18FEF100", "T18F00503", "T18FEEF00", "T18FEEE00", "T18FEFC00",
        "T18FEF700", "T18FEC1EE", "T18FEAE0B", "T18FEE600", "T18FECA00"}) {
    EXPECT_GE(count(id), 1u) << id;
  }
  // Those that leave before the snapshot is handed over carry none (a slow machine may send a
  // few); once one carries it, every later one does.
  std::vector<std::string> eec1;
  for (const std::string& line : sent) {
    if (line.rfind("T0CF00400", 0) == 0) {
      eec1.push_back(line);
    }
  }
  const auto first = std::find(eec1.begin(), eec1.end(), "T0CF004008FFFFFFE02EFFFFFF");
  ASSERT_NE(first, eec1.end()) << "the snapshot never went out";
  EXPECT_EQ(std::count(first, eec1.end(), "T0CF004008FFFFFFE02EFFFFFF"), eec1.end() - first)
      << "the latest snapshot";
  // EEC1 (20 ms) goes out about twice as often as TCO1 (50 ms), with no frame-end at all.
  EXPECT_GE(count("T0CF00400"), 2 * count("T0CFE6CEE") - 2);

  // A lamp that lights goes out in DM1 at once, not at its next second.
  const std::size_t dm1_before = count("T18FECA00");
  state.fuel_warning = true;
  can.submit(state);
  EXPECT_TRUE(wait_for([&] { return count("T18FECA008C7") == 1; }));
  EXPECT_LE(count("T18FECA00"), dm1_before + 1);

  can.close();
  EXPECT_EQ(lines().back(), "C");
  EXPECT_EQ(fake_os::state().open_handles, 0);
}

TEST_F(can_sender_test, the_hand_shake_and_its_repeats_never_hold_up_a_due_message) {
  // An adapter that answers nothing is given the hand-shake again every 0.7 s for 3 s: the
  // sender never waits longer than its own longest sleep, which EEC1's 20 ms outlast.
  ASSERT_TRUE(can.open(settings));
  std::this_thread::sleep_for(std::chrono::milliseconds(3200));
  EXPECT_GE(count("C"), 4u) << "the hand-shake went again";
  std::lock_guard<std::mutex> lock(fake_os::record_mutex());
  EXPECT_LE(fake_os::state().longest_sleep_us, std::uint64_t{CAN_LONGEST_SLEEP_MS} * 1000u);
}

TEST_F(can_sender_test, a_flickering_lamp_sends_dm1_at_most_once_a_second_beyond_its_schedule) {
  TelemetryState state{};
  ASSERT_TRUE(can.open(settings));
  can.submit(state);
  ASSERT_TRUE(wait_for([&] { return count("T18FECA00") == 1; }));
  // A warning that flickers every 20 ms for 1.5 s: on its own DM1 would go out 75 times.
  for (int i = 0; i < 75; ++i) {
    state.fuel_warning = !state.fuel_warning;
    can.submit(state);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // The first send and one a second on schedule, and no more than one brought forward a
  // second: at most seven in all, however slow this machine.
  EXPECT_LE(count("T18FECA00"), 7u);
  EXPECT_GE(count("T18FECA008C7"), 1u) << "the first change goes out at once";
}

TEST_F(can_sender_test, another_nodes_request_for_a_message_sends_it_at_once) {
  // TD once at the start, then not for a minute: only a request can bring another.
  std::vector<std::string> complaints;
  ASSERT_TRUE(read_can_settings(settings_of("can_port str COM7\ncan_td_ms int 60000\n"),
                                SETTINGS_PATH, settings, complaints));
  ASSERT_TRUE(can.open(settings));
  ASSERT_TRUE(wait_for([&] { return count("T18FEE600") == 1; }));
  const auto request = [](const char* line) {
    std::lock_guard<std::mutex> lock(fake_os::record_mutex());
    const std::string text = line;
    fake_os::state().input.insert(fake_os::state().input.end(), text.begin(), text.end());
  };
  // The cluster (0x17) asks a node at 0x05 for TD (PGN 65254: E6 FE 00): not us.
  request("T18EA05173E6FE00\r");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(count("T18FEE600"), 1u);
  // ... and then every node: TD goes out at once.
  request("T18EAFF173E6FE00\r");
  EXPECT_TRUE(wait_for([&] { return count("T18FEE600") == 2; }));
  // A request addressed to TD's sender (0x00) is ours too.
  request("T18EA00173E6FE00\r");
  EXPECT_TRUE(wait_for([&] { return count("T18FEE600") == 3; }));
}

TEST_F(can_sender_test, each_unit_claims_its_address_first_and_again_when_asked) {
  // The built-in profile's senders and their NAMEs, byte for byte from docs/can.md's fields:
  // industry group 1 (0x10 in the last byte), the function in the sixth byte, the identity
  // number the address itself.
  const std::vector<std::string> claims = {
      "T18EEFF0080000000000000010",   // engine
      "T18EEFFEE8EE00000000140010",   // the tachograph, as a trip recorder (20)
      "T18EEFF0380300000000030010",   // transmission (3)
      "T18EEFF0B80B00000000090010"};  // brakes (9)
  ASSERT_TRUE(can.open(settings));
  ASSERT_TRUE(wait_for([&] { return count("T0CF00400") >= 1; }));
  std::vector<std::string> sent = lines();
  const auto first_frame = std::find_if(sent.begin(), sent.end(), [](const std::string& line) {
    return line.rfind("T0CF00400", 0) == 0;
  });
  for (const std::string& claim : claims) {
    EXPECT_LT(std::find(sent.begin(), sent.end(), claim), first_frame) << claim;
  }
  const auto request = [](const char* line) {
    std::lock_guard<std::mutex> lock(fake_os::record_mutex());
    const std::string text = line;
    fake_os::state().input.insert(fake_os::state().input.end(), text.begin(), text.end());
  };
  // A Request for Address Claimed (PGN 60928: 00 EE 00) to every node: each claims again.
  request("T18EAFF17300EE00\r");
  EXPECT_TRUE(wait_for([&] { return count(claims[3]) == 2; }));
  // ... to the transmission's address: the transmission alone.
  request("T18EA0317300EE00\r");
  EXPECT_TRUE(wait_for([&] { return count(claims[2]) == 3; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(count(claims[0]), 2u);
  EXPECT_EQ(count(claims[3]), 2u);
}

TEST_F(can_sender_test, lost_adapter_is_told_and_opened_again_with_the_hand_shake) {
  ASSERT_TRUE(can.open(settings));
  ASSERT_TRUE(wait_for([&] { return count("T0CF00400") >= 2; }));
  EXPECT_EQ(can.take_event(), CanEvent::none);
  ASSERT_TRUE(replug());
  ASSERT_TRUE(wait_for([&] { return lines().size() >= 5; }));
  const std::vector<std::string> sent = lines();
  EXPECT_EQ(std::vector<std::string>(sent.begin(), sent.begin() + 5),
            (std::vector<std::string>{"", "C", "S5", "O", "V"}));
}

TEST_F(can_sender_test, a_running_total_carries_on_across_a_replugged_adapter) {
  // Wheel pulses, 100000 a kilometre: at 25 m/s, 2500 a second.
  testing::TempDir folder;
  folder.write("plugins/car.dbc",
               "VERSION \"\"\nBA_DEF_ BO_ \"GenMsgCycleTime\" INT 0 65535;\n"
               "BA_DEF_ SG_ \"VontrelSource\" STRING ;\nBO_ 256 Pulses: 2 X\n"
               " SG_ Count : 0|16@1+ (1,0) [0|0] \"\" X\n"
               "BA_ \"GenMsgCycleTime\" BO_ 256 10;\n"
               "BA_ \"VontrelSource\" SG_ 256 Count \"pulses 100000\";\n");
  std::vector<std::string> complaints;
  ASSERT_TRUE(read_can_settings(settings_of("can_port str COM7\ncan_profile str car.dbc\n"),
                                (folder.path() / "plugins" / "Vontrel.txt").string(), settings,
                                complaints));
  EXPECT_EQ(complaints, std::vector<std::string>{});
  TelemetryState state{};
  state.speed = 25.0f;
  // The count in the last frame sent (Intel, byte 0 low), or -1 before one.
  const auto last_count = [&] {
    long found = -1;
    for (const std::string& line : lines()) {
      if (line.rfind("t1002", 0) == 0 && line.size() == 9) {
        const long low = std::stol(line.substr(5, 2), nullptr, 16);
        found = low | std::stol(line.substr(7, 2), nullptr, 16) << 8;
      }
    }
    return found;
  };
  const auto drive = [&](int milliseconds) {
    for (int t = 0; t < milliseconds; t += 20) {
      can.submit(state);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  };
  ASSERT_TRUE(can.open(settings));
  drive(600);
  const long before = last_count();
  EXPECT_GT(before, 500) << "it counts while driving";
  ASSERT_TRUE(replug());
  drive(100);
  const long after = last_count();
  // On from where it was, not from its start value again.
  EXPECT_GE(after, before);
  EXPECT_LT(after, before + 2500);
}

// An adapter named by its USB identity: not plugged in, it is told why and looked for again;
// plugged in (any socket), its port is the one opened.
TEST_F(can_sender_test, an_adapter_named_by_identity_is_found_when_plugged_in) {
  settings.port = "usb:1D50:606F";
  ASSERT_TRUE(can.open(settings));
  ASSERT_TRUE(wait_for([&] { return can.take_event() == CanEvent::lost; }));
  EXPECT_EQ(can.why_lost(), "No serial port matches usb:1D50:606F");
  {
    std::lock_guard<std::mutex> lock(fake_os::record_mutex());
    EXPECT_TRUE(fake_os::state().opened_names.empty());
    fake_os::state().ports = {{"/dev/ttyUSB0", "", "USB Serial", 0x1A86, 0x7523, ""},
                              {"/dev/ttyACM3", "", "canable", 0x1D50, 0x606F, "003C0041"}};
  }
  ASSERT_TRUE(wait_for([&] { return can.take_event() == CanEvent::back; }));
  std::lock_guard<std::mutex> lock(fake_os::record_mutex());
  EXPECT_EQ(fake_os::state().opened_names, std::vector<std::string>{"/dev/ttyACM3"});
}

TEST_F(can_sender_test, an_adapter_that_loses_one_answer_in_twenty_keeps_getting_every_message) {
  // Its receive buffer overflowed now and then: it acknowledges each frame but one in 20.
  // The output goes on at its schedule for the whole drive (EEC1 every 20 ms), and the log
  // hears of the lost answers once.
  {
    std::lock_guard<std::mutex> lock(fake_os::record_mutex());
    fake_os::state().acknowledges_frames = true;
    fake_os::state().loses_every = 20;
  }
  ASSERT_TRUE(can.open(settings));
  std::this_thread::sleep_for(std::chrono::seconds(5));
  const std::size_t before = count("T0CF00400");
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_GE(count("T0CF00400") - before, 80u) << "100 in 2 s at 20 ms, less a slow machine's";
  CanNews news{};
  std::string detail;
  std::vector<CanNews> told;
  while (can.take_news(news, detail)) {
    told.push_back(news);
  }
  EXPECT_EQ(std::count(told.begin(), told.end(), CanNews::answers_missing), 1);
  EXPECT_EQ(std::count(told.begin(), told.end(), CanNews::unacknowledged), 0);
}

TEST_F(can_sender_test, lines_the_adapter_has_not_taken_are_dropped_never_replayed) {
  ASSERT_TRUE(can.open(settings));
  ASSERT_TRUE(wait_for([&] { return count("T0CF00400") >= 3; }));
  {
    // The adapter stops taking our lines: what is queued stays queued.
    std::lock_guard<std::mutex> lock(fake_os::record_mutex());
    fake_os::state().output = os::io_status::timed_out;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const std::size_t before = count("T0CF00400");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  // Nothing is queued behind lines the adapter has not taken (one may have been on its way).
  EXPECT_LE(count("T0CF00400"), before + 1);
  // A second of it: what it did not take is dropped, and it is opened again.
  ASSERT_TRUE(wait_for([&] { return can.take_event() == CanEvent::lost; }));
  {
    std::lock_guard<std::mutex> lock(fake_os::record_mutex());
    EXPECT_GE(fake_os::state().count("discard_output"), 1);
  }
  {
    std::lock_guard<std::mutex> lock(fake_os::record_mutex());
    fake_os::state().output = os::io_status::done;
    fake_os::state().writes.clear();
  }
  ASSERT_TRUE(wait_for([&] { return can.take_event() == CanEvent::back; }));
  ASSERT_TRUE(wait_for([&] { return count("T0CF00400") >= 1; }));
  EXPECT_EQ(lines().front(), "") << "a bare CR ends whatever half-line was cut off";
}

}  // namespace
}  // namespace vontrel
