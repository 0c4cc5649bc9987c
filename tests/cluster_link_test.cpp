#include "link/cluster_link.h"
#include "link/reconnect.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "plugin/plugin_context.h"
#include "tests/fake_os.h"
#include "tests/frame_bytes.h"
#include "tests/test_host.h"

namespace vontrel {
namespace {

using testing::LogLine;
using testing::to_hex;
using Calls = std::vector<std::string>;

const std::string reset = "FF 04 00 00 00 00 00 00 00 00 00 00 00 00 00 00";
const char* const zero_cycle[] = {
    "FF 04 10 00 00 01 01 00 01 00 00", "FF 04 20 01 00 10 00 00 00 12 00",
    "FF 04 30 00 00 00 34 03 BC 00 00", "FF 04 31 00 00 00 00 00 00 00 00",
    "FF 04 40 00 00 00 25 00 00 00 00", "FF 04 50 00 00 00 00 00 00 00 00",
    "FF 04 99 01 00 00 00 00 00 00 00",
};

class cluster_link_test : public ::testing::Test {
 protected:
  void SetUp() override { fake_os::reset(); }
  void TearDown() override { stop_link(context->link, context->port); }

  void start(const LinkSettings& settings = {}) {
    std::string error;
    ASSERT_TRUE(start_link(context->link, context->port, host_link_log(host_params.log), "COM3",
                           settings, os().tick, error));
  }
  // A frame-end `ms` after the last one.
  void frame_end_after(std::uint32_t ms) {
    {
      std::lock_guard<std::mutex> lock(fake_os::record_mutex());
      os().tick += ms;
    }
    frame_end_now();
  }
  // The plug-in's frame-end: the clock is read only when the link has work.
  void frame_end_now() {
    if (link_busy(context->link, context->port)) {
      link_frame_end(context->link, context->port, host_link_log(host_params.log), context->state,
                     context->settings, os::tick_ms());
    }
  }
  void clear_record() {
    std::lock_guard<std::mutex> lock(fake_os::record_mutex());
    os().calls.clear();
    os().writes.clear();
    os().written_to.clear();
  }
  // Each write as "PORT: bytes".
  std::vector<std::string> writes_to() {
    std::lock_guard<std::mutex> lock(fake_os::record_mutex());
    std::vector<std::string> result;
    for (std::size_t i = 0; i < os().writes.size(); ++i) {
      result.push_back(os().written_to[i] + ": " + to_hex(os().writes[i]));
    }
    return result;
  }
  std::vector<std::string> writes() {
    std::lock_guard<std::mutex> lock(fake_os::record_mutex());
    std::vector<std::string> result;
    for (const auto& write : os().writes) {
      result.push_back(to_hex(write));
    }
    return result;
  }
  fake_os::State& os() { return fake_os::state(); }
  std::size_t datagram_count() {
    std::lock_guard<std::mutex> lock(fake_os::record_mutex());
    return os().datagrams.size();
  }

  testing::TestHost host;
  scs_telemetry_init_params_t host_params = host.params();
  // What the plug-in hands the link.
  struct Parts {
    TelemetryState state{};
    Settings settings;
    SerialPort port;
    ClusterLink link;
  };
  std::unique_ptr<Parts> context = std::make_unique<Parts>();
};

TEST_F(cluster_link_test, plain_cycle_is_seven_frames_each_one_write_and_one_flush) {
  start();
  EXPECT_EQ(writes(), Calls{reset});
  clear_record();
  frame_end_after(1000);
  EXPECT_EQ(writes(), Calls(std::begin(zero_cycle), std::end(zero_cycle)));
  EXPECT_EQ(os().calls,
            (Calls{"tick", "write", "flush", "write", "flush", "write", "flush", "write", "flush",
                   "write", "flush", "write", "flush", "write", "flush"}));
}

TEST_F(cluster_link_test, failing_writes_do_not_stop_the_cycle_or_close_the_port) {
  start();
  os().write_fails = true;
  clear_record();
  frame_end_after(1000);
  EXPECT_EQ(writes().size(), 7u);
  EXPECT_TRUE(context->port.is_open());
  EXPECT_TRUE(host.log.empty());
}

TEST_F(cluster_link_test, closed_port_reads_no_clock_and_writes_nothing) {
  start();
  context->port.close();
  context->link.last_send_tick = 1234;
  clear_record();
  frame_end_now();
  EXPECT_TRUE(os().calls.empty());
  EXPECT_EQ(context->link.last_send_tick, 1234u);
}

// A cluster that stops reading costs one bounded wait, then nothing until it reads again.
TEST_F(cluster_link_test, stalled_cluster_is_waited_for_once_then_left_alone_until_it_drains) {
  start();
  os().write_times_out = true;
  os().output = os::io_status::timed_out;
  clear_record();
  frame_end_after(1000);
  EXPECT_EQ(os().calls, (Calls{"tick", "write", "flush"})) << "the rest is dropped";

  clear_record();
  frame_end_after(STALL_RETRY_MS - 1);
  EXPECT_EQ(os().calls, Calls{"tick"}) << "not even asked before the retry interval";
  frame_end_after(1);
  frame_end_after(100);
  const Calls asked = {"tick", "tick", "ready", "tick", "ready"};
  EXPECT_EQ(os().calls, asked);

  os().write_times_out = false;
  os().output = os::io_status::done;
  clear_record();
  frame_end_after(100);
  EXPECT_EQ(writes(), Calls(std::begin(zero_cycle), std::end(zero_cycle)));
  EXPECT_TRUE(host.log.empty());
}

TEST_F(cluster_link_test, shut_down_on_a_stalled_cluster_skips_the_reset_and_closes) {
  start();
  os().write_times_out = true;
  os().output = os::io_status::timed_out;
  frame_end_after(1000);
  clear_record();
  stop_link(context->link, context->port);
  EXPECT_EQ(os().calls, (Calls{"ready", "close"}));
}

TEST_F(cluster_link_test, reconnect_closes_a_failing_port_and_reopens_it_once_a_second) {
  start({.reconnect = true});
  os().write_fails = true;
  frame_end_after(1000);
  EXPECT_FALSE(context->port.is_open());
  EXPECT_EQ(host.log,
            (std::vector<LogLine>{{SCS_LOG_TYPE_error, "Serial port lost, reconnecting: COM3"}}));

  // The port opens again but the cluster takes nothing: not back yet.
  clear_record();
  frame_end_after(REOPEN_INTERVAL_MS - 1);
  EXPECT_EQ(os().count("open"), 0);
  frame_end_after(1);
  EXPECT_EQ(os().count("open"), 1);
  EXPECT_FALSE(context->port.is_open());
  EXPECT_EQ(host.log.size(), 1u);

  os().write_fails = false;
  clear_record();
  frame_end_after(REOPEN_INTERVAL_MS);
  EXPECT_TRUE(context->port.is_open());
  EXPECT_EQ(writes(), Calls{reset});
  EXPECT_EQ(host.log.back(), (LogLine{SCS_LOG_TYPE_message, "Serial port reconnected: COM3"}));
  frame_end_after(SEND_INTERVAL_MS);
  EXPECT_EQ(writes().size(), 8u) << "cycles resume";
  EXPECT_EQ(host.log.size(), 2u);
}

// A re-plugged board restarts its bootloader as at start-up: the reopened port waits the
// delay again before the reset frame, on the host's thread as in the background.
TEST_F(cluster_link_test, reopened_port_waits_the_startup_delay_again) {
  start({.reconnect = true, .startup_delay_ms = 1500});
  frame_end_after(1500);
  frame_end_after(SEND_INTERVAL_MS);
  ASSERT_EQ(writes().size(), 8u);
  os().write_fails = true;
  frame_end_after(SEND_INTERVAL_MS);
  ASSERT_FALSE(context->port.is_open());
  os().write_fails = false;
  clear_record();
  frame_end_after(REOPEN_INTERVAL_MS);
  EXPECT_TRUE(context->port.is_open());
  EXPECT_EQ(host.log.back(), (LogLine{SCS_LOG_TYPE_message, "Serial port reconnected: COM3"}));
  frame_end_after(1499);
  EXPECT_EQ(writes(), Calls{}) << "nothing within the delay, not the reset frame either";
  frame_end_after(1);
  EXPECT_EQ(writes(), Calls{reset});
  frame_end_after(SEND_INTERVAL_MS);
  EXPECT_EQ(writes().size(), 8u) << "cycles follow";
}

// Without a thread of our own the host's thread writes: the same bytes, and still bounded.
TEST_F(cluster_link_test, background_writes_without_a_thread_fall_back_to_the_host_thread) {
  os().thread_fails = true;
  start({.background_writes = true});
  frame_end_after(1000);
  std::vector<std::string> expected = {reset};
  expected.insert(expected.end(), std::begin(zero_cycle), std::end(zero_cycle));
  EXPECT_EQ(writes(), expected);
  EXPECT_EQ(context->link.lanes.at(0)->mode, LinkMode::plain);
}

// A board that resets when the port opens listens to its bootloader for a while: nothing, not
// the reset frame either, goes out before the delay, and shut-down within it sends nothing.
TEST_F(cluster_link_test, startup_delay_holds_everything_back_without_waiting) {
  for (const LinkSettings& settings : {LinkSettings{.startup_delay_ms = 2000},
                                       LinkSettings{.reconnect = true, .startup_delay_ms = 2000}}) {
    start(settings);
    EXPECT_EQ(writes(), Calls{});
    clear_record();
    frame_end_after(1000);
    frame_end_after(999);
    EXPECT_EQ(writes(), Calls{});
    EXPECT_EQ(os().calls, (Calls{"tick", "tick"})) << "no wait on the host's thread";
    frame_end_after(1);
    EXPECT_EQ(writes(), Calls{reset});
    frame_end_after(SEND_INTERVAL_MS);
    EXPECT_EQ(writes().size(), 8u) << "cycles follow";
    stop_link(context->link, context->port);
    clear_record();

    start(settings);
    frame_end_after(1000);
    stop_link(context->link, context->port);
    EXPECT_EQ(writes(), Calls{}) << "shut-down within the delay";
    clear_record();
  }
}

// The datagrams carry what the wire carries, whatever the port does: here it has stopped
// taking data. A failing target is told once, and its return once, not once a cycle, and a
// target that fails every other send (Windows after an ICMP port unreachable) is told at most
// once in ten seconds. Without a sender thread the host's thread sends, so each frame-end's
// datagram is seen at once.
TEST_F(cluster_link_test, udp_goes_on_beside_a_stalled_port_and_tells_failures_once) {
  const std::string target = "127.0.0.1:5005";
  os().thread_fails = true;
  start({.udp_target = target});
  os().write_times_out = true;
  std::string cycle;
  for (const char* frame : zero_cycle) {
    cycle += cycle.empty() ? "" : " ";
    cycle += frame;
  }
  for (const os::io_status send :
       {os::io_status::done, os::io_status::failed, os::io_status::timed_out, os::io_status::done,
        os::io_status::failed, os::io_status::done}) {
    os().send = send;
    frame_end_after(1000);
  }
  EXPECT_EQ(host.log.size(), 2u) << "the first failure at once, the flapping after it not";
  frame_end_after(UDP_REPORT_INTERVAL_MS - 4000);
  std::vector<std::string> datagrams;
  for (const auto& datagram : os().datagrams) {
    datagrams.push_back(to_hex(datagram));
  }
  std::vector<std::string> expected(8, cycle);
  expected.front() = reset;
  EXPECT_EQ(datagrams, expected);
  EXPECT_EQ(host.log,
            (std::vector<LogLine>{{SCS_LOG_TYPE_message, "Sending UDP to: " + target},
                                  {SCS_LOG_TYPE_error, "UDP send failing, still trying: " + target},
                                  {SCS_LOG_TYPE_message, "UDP send works again: " + target}}));
}

// "none" as the port: nothing is opened, the sender thread puts the datagrams out, a second
// start-up leaves one socket, not two, and shut-down sends the reset frame before it stops.
TEST_F(cluster_link_test, no_port_sends_udp_only_and_restarts_keep_one_socket) {
  std::string error;
  for (int run = 0; run < 2; ++run) {
    ASSERT_TRUE(start_link(context->link, context->port, host_link_log(host_params.log), "None",
                           {.udp_target = "[::1]:5005"}, os().tick, error));
  }
  frame_end_after(1000);
  for (int wait = 0; wait < 200 && datagram_count() < 3; ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  stop_link(context->link, context->port);
  EXPECT_EQ(os().count("open"), 0);
  EXPECT_EQ(os().open_sockets, 0);
  ASSERT_EQ(os().datagrams.size(), 4u);
  EXPECT_EQ(os().datagrams[2].size(), CYCLE_LENGTH);
  EXPECT_EQ(to_hex(os().datagrams[3]), reset);
}

// One slow frame of the host's (an autosave) makes the sender foresee a long gap once; the
// cycles that come meanwhile must still all leave, in order, and the rate be back at once.
// Real time passes here, since the sender rests on a real clock; the fake tick follows it.
// The frame ends keep to a schedule, so the slow frame's cycles come exactly when the sender
// is resting; but after a hold-up of this process (a loaded machine) the schedule starts again
// from then: kept, it would hand over a burst of cycles within microseconds, which no host does
// (its ticks would carry the hold-up), and the newest would rightly replace the ones not taken.
TEST_F(cluster_link_test, udp_sends_every_cycle_after_a_slow_host_frame) {
  std::string error;
  ASSERT_TRUE(start_link(context->link, context->port, host_link_log(host_params.log), "none",
                         {.udp_target = "127.0.0.1:5005"}, os().tick, error));
  auto due = std::chrono::steady_clock::now();
  std::uint32_t at_ms = 0;
  constexpr int cycles = 30;
  for (int i = 0; i < cycles; ++i) {
    const std::uint32_t gap_ms = i == 10 ? 150 : SEND_INTERVAL_MS;
    at_ms += gap_ms;
    due += std::chrono::milliseconds(gap_ms);
    std::this_thread::sleep_until(due);
    due = std::max(due, std::chrono::steady_clock::now() - std::chrono::milliseconds(5));
    context->state.engine_rpm = static_cast<float>(100 * i);  // tells the cycles apart
    {
      std::lock_guard<std::mutex> lock(fake_os::record_mutex());
      os().tick = at_ms;
    }
    frame_end_now();
  }
  for (int wait = 0; wait < 100 && datagram_count() < cycles + 1; ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::vector<std::vector<std::uint8_t>> sent;
  {
    std::lock_guard<std::mutex> lock(fake_os::record_mutex());
    sent = os().datagrams;
  }
  ASSERT_EQ(sent.size(), cycles + 1u) << "the reset frame and every cycle";
  for (std::size_t i = 2; i < sent.size(); ++i) {
    EXPECT_NE(sent[i], sent[i - 1]) << "datagram " << i << " repeats or skips a cycle";
  }
}

// The boards on a player's hub, as the system's records list them.
const os::port_info uno{"/dev/ttyACM0", "", "Arduino Uno", 0x2341, 0x0043, "8573632383835"};
const os::port_info clone_a{"/dev/ttyUSB0", "", "USB Serial", 0x1A86, 0x7523, ""};
const os::port_info clone_b{"/dev/ttyUSB1", "", "USB Serial", 0x1A86, 0x7523, ""};
const os::port_info tracker{"/dev/ttyUSB2", "", "head tracker", 0x1234, 0x5678, ""};

// A port named by what it is: the one it names is opened, and only that one; none or several
// is start-up's error, as a missing port is, and no port is opened at all.
TEST_F(cluster_link_test, a_port_named_by_identity_opens_only_the_port_it_names) {
  struct Case {
    const char* wanted;
    std::vector<os::port_info> present;
    const char* opened;  // null: start-up fails and nothing is opened
    const char* said;    // the line in the log, or start-up's error
  };
  const Case cases[] = {
      {"usb:1A86:7523",
       {uno, clone_a, tracker},
       "/dev/ttyUSB0",
       "Using serial port: /dev/ttyUSB0 (usb:1A86:7523)"},
      {"usb:2341:0043:8573632383835",
       {clone_a, uno, clone_b},
       "/dev/ttyACM0",
       "Using serial port: /dev/ttyACM0 (usb:2341:0043 serial 8573632383835)"},
      {"usb:1A86:7523", {uno, tracker}, nullptr, "No serial port matches usb:1A86:7523"},
      {"usb:1A86:7523",
       {clone_a, clone_b},
       nullptr,
       "Several serial ports match usb:1A86:7523: /dev/ttyUSB0 (usb:1A86:7523), /dev/ttyUSB1 "
       "(usb:1A86:7523): name one as usb:VID:PID:SERIAL"},
  };
  for (const Case& c : cases) {
    fake_os::reset();
    host.log.clear();
    os().ports = c.present;
    std::string error;
    const bool started = start_link(context->link, context->port, host_link_log(host_params.log),
                                    c.wanted, {}, os().tick, error);
    EXPECT_EQ(started, c.opened != nullptr) << c.wanted;
    if (c.opened != nullptr) {
      EXPECT_EQ(os().opened_names, std::vector<std::string>{c.opened}) << c.wanted;
      EXPECT_EQ(host.log, (std::vector<LogLine>{{SCS_LOG_TYPE_message, c.said}})) << c.wanted;
      EXPECT_EQ(writes(), Calls{reset}) << c.wanted;
    } else {
      EXPECT_EQ(os().count("open"), 0) << c.wanted;
      EXPECT_EQ(error, c.said);
    }
    stop_link(context->link, context->port);
  }
}

// auto never takes the CAN adapter's port: an Arduino with a Lawicel sketch is a board auto
// would take, and with the cluster unplugged it would become the cluster.
TEST_F(cluster_link_test, auto_never_takes_the_port_can_port_names) {
  struct Case {
    std::vector<os::port_info> present;
    const char* can_port;
    const char* said;  // the line in the log, or start-up's error
  };
  const Case cases[] = {
      {{uno}, "/dev/ttyACM0", "No serial port matches auto"},
      {{uno}, "usb:2341:0043", "No serial port matches auto"},
      {{uno, clone_a}, "/dev/ttyACM0", "Using serial port: /dev/ttyUSB0 (usb:1A86:7523)"},
  };
  for (const Case& c : cases) {
    fake_os::reset();
    host.log.clear();
    os().ports = c.present;
    LinkSettings settings;
    settings.can = true;
    settings.can_settings.port = c.can_port;
    std::string error;
    const bool started = start_link(context->link, context->port, host_link_log(host_params.log),
                                    "auto", settings, os().tick, error);
    if (started) {
      EXPECT_EQ(host.log.front(), (LogLine{SCS_LOG_TYPE_message, c.said})) << c.can_port;
    } else {
      EXPECT_EQ(error, c.said) << c.can_port;
    }
    stop_link(context->link, context->port);
  }
}

// Many boards missing at once are looked for one a frame-end, never all in one: each look
// reads the system's device records, and fifty of them held one frame-end for milliseconds.
TEST_F(cluster_link_test, boards_missing_together_are_looked_for_one_a_frame_end) {
  std::string names;
  constexpr int BOARDS = 5;
  for (int i = 0; i < BOARDS; ++i) {
    names += (i == 0 ? "usb:1A86:752" : ",usb:1A86:752") + std::to_string(i);
  }
  std::string error;
  ASSERT_TRUE(start_link(context->link, context->port, host_link_log(host_params.log), names,
                         {.reconnect = true}, os().tick, error));
  const int at_start = os().count("list_ports");
  frame_end_after(REOPEN_INTERVAL_MS);
  EXPECT_EQ(os().count("list_ports"), at_start + 1);
  for (int i = 1; i < BOARDS; ++i) {
    frame_end_after(SEND_INTERVAL_MS);
    EXPECT_EQ(os().count("list_ports"), at_start + 1 + i) << "frame-end " << i;
  }
  frame_end_after(SEND_INTERVAL_MS);
  EXPECT_EQ(os().count("list_ports"), at_start + BOARDS) << "each once a second";
}

// With reconnect, a board that is not plugged in yet is looked for once a second and taken
// when it appears; one that comes back in another socket is found there.
TEST_F(cluster_link_test, a_board_named_by_identity_is_found_when_plugged_and_after_a_move) {
  std::string error;
  ASSERT_TRUE(start_link(context->link, context->port, host_link_log(host_params.log),
                         "usb:1A86:7523", {.reconnect = true}, os().tick, error));
  EXPECT_EQ(host.log,
            (std::vector<LogLine>{{SCS_LOG_TYPE_error, "No serial port matches usb:1A86:7523"}}));
  EXPECT_EQ(os().count("open"), 0);
  frame_end_after(REOPEN_INTERVAL_MS);
  EXPECT_EQ(os().count("list_ports"), 2);
  EXPECT_EQ(os().count("open"), 0);

  os().ports = {tracker, clone_a};
  frame_end_after(REOPEN_INTERVAL_MS - 1);
  EXPECT_EQ(os().count("list_ports"), 2) << "looked for at most once a second";
  frame_end_after(1);
  EXPECT_EQ(os().opened_names, std::vector<std::string>{"/dev/ttyUSB0"});
  EXPECT_EQ(writes(), Calls{reset});
  EXPECT_EQ(host.log.back(),
            (LogLine{SCS_LOG_TYPE_message, "Serial port reconnected: usb:1A86:7523"}));

  // Pulled out and plugged into another socket: another name, the same board.
  os().write_fails = true;
  os().ports = {tracker};
  frame_end_after(SEND_INTERVAL_MS);
  ASSERT_FALSE(context->port.is_open());
  os().write_fails = false;
  os().ports = {tracker, clone_b};
  clear_record();
  frame_end_after(REOPEN_INTERVAL_MS);
  EXPECT_EQ(os().opened_names.back(), "/dev/ttyUSB1");
  EXPECT_EQ(writes(), Calls{reset});
  frame_end_after(SEND_INTERVAL_MS);
  EXPECT_EQ(writes().size(), 8u) << "cycles resume on the new port";
  EXPECT_EQ(std::count(os().opened_names.begin(), os().opened_names.end(), "/dev/ttyUSB2"), 0)
      << "the head tracker's port is never opened";
}

// The same cycle to each cluster of a list, in the list's order, as one port gets it alone.
std::vector<std::string> cycle_to(std::initializer_list<const char*> ports) {
  std::vector<std::string> expected;
  for (const char* port : ports) {
    for (const char* frame : zero_cycle) {
      expected.push_back(std::string(port) + ": " + frame);
    }
  }
  return expected;
}

// A cluster and a second board: a port of the list that cannot be opened is a line naming it,
// and the others get every cycle and their own reset frames; a bench board's own debug_mode
// changes only its debug frame.
TEST_F(cluster_link_test, each_port_of_a_list_gets_every_cycle_and_a_missing_one_is_named) {
  os().open_fails_for = {"COM5"};
  std::string error;
  ASSERT_TRUE(start_link(context->link, context->port, host_link_log(host_params.log),
                         "COM4,COM5,COM6", {.debug_modes = {std::nullopt, true, false}}, os().tick,
                         error));
  EXPECT_EQ(host.log, (std::vector<LogLine>{{SCS_LOG_TYPE_message, "Using serial port: COM4"},
                                            {SCS_LOG_TYPE_message, "Using serial port: COM5"},
                                            {SCS_LOG_TYPE_error, "Can not open COM port: COM5"},
                                            {SCS_LOG_TYPE_message, "Using serial port: COM6"}}));
  EXPECT_EQ(writes_to(), (Calls{"COM4: " + reset, "COM6: " + reset}));
  clear_record();
  frame_end_after(SEND_INTERVAL_MS);
  std::vector<std::string> expected = cycle_to({"COM4", "COM6"});
  expected.back() = "COM6: FF 04 99 00 00 00 00 00 00 00 00";
  EXPECT_EQ(writes_to(), expected);
  clear_record();
  stop_link(context->link, context->port);
  EXPECT_EQ(writes_to(), (Calls{"COM4: " + reset, "COM6: " + reset}));
  EXPECT_EQ(os().open_handles, 0);
}

TEST_F(cluster_link_test, a_list_of_which_no_port_opens_fails_start_up) {
  os().open_fails = true;
  std::string error;
  EXPECT_FALSE(start_link(context->link, context->port, host_link_log(host_params.log), "COM4,COM5",
                          {}, os().tick, error));
  EXPECT_EQ(error, "None of the serial ports opened: COM4,COM5");
  EXPECT_EQ(host.log.back(), (LogLine{SCS_LOG_TYPE_error, "Can not open COM port: COM5"}));
  EXPECT_FALSE(link_busy(context->link, context->port));
  // A list of nothing is a name the system refuses, as it always was.
  EXPECT_FALSE(start_link(context->link, context->port, host_link_log(host_params.log), ",", {},
                          os().tick, error));
  EXPECT_EQ(error, "Can not open COM port");
  EXPECT_EQ(os().opened_names.back(), ",");
}

// A stalled cluster costs its own bounded wait once, then nothing until it drains; the other
// port of the list keeps every cycle meanwhile.
TEST_F(cluster_link_test, a_stalled_port_of_a_list_holds_up_no_other) {
  std::string error;
  ASSERT_TRUE(start_link(context->link, context->port, host_link_log(host_params.log), "COM4,COM6",
                         {}, os().tick, error));
  os().times_out_for = {"COM4"};
  clear_record();
  frame_end_after(SEND_INTERVAL_MS);
  std::vector<std::string> expected = {"COM4: " + std::string(zero_cycle[0])};
  const std::vector<std::string> to_com6 = cycle_to({"COM6"});
  expected.insert(expected.end(), to_com6.begin(), to_com6.end());
  EXPECT_EQ(writes_to(), expected);
  for (int cycle = 0; cycle < 5; ++cycle) {
    clear_record();
    frame_end_after(SEND_INTERVAL_MS);
    EXPECT_EQ(writes_to(), to_com6) << "cycle " << cycle;
  }
  // The stalled one reads again: it is back within its retry interval.
  os().times_out_for.clear();
  clear_record();
  frame_end_after(STALL_RETRY_MS);
  EXPECT_EQ(writes_to(), cycle_to({"COM4", "COM6"}));
}

// With reconnect, a board of the list that is unplugged at start-up is looked for once a
// second and joins when it comes; a board of the list that is lost later leaves the rest.
TEST_F(cluster_link_test, with_reconnect_a_port_of_a_list_comes_and_goes_alone) {
  os().open_fails_for = {"COM5"};
  std::string error;
  ASSERT_TRUE(start_link(context->link, context->port, host_link_log(host_params.log), "COM4,COM5",
                         {.reconnect = true}, os().tick, error));
  EXPECT_EQ(host.log.back(), (LogLine{SCS_LOG_TYPE_error, "Can not open COM port: COM5"}));
  clear_record();
  frame_end_after(SEND_INTERVAL_MS);
  EXPECT_EQ(writes_to(), cycle_to({"COM4"}));
  os().open_fails_for.clear();
  clear_record();
  frame_end_after(REOPEN_INTERVAL_MS);
  EXPECT_EQ(host.log.back(), (LogLine{SCS_LOG_TYPE_message, "Serial port reconnected: COM5"}));
  std::vector<std::string> expected = {"COM5: " + reset};
  const std::vector<std::string> to_com4 = cycle_to({"COM4"});
  expected.insert(expected.end(), to_com4.begin(), to_com4.end());
  EXPECT_EQ(writes_to(), expected);
  clear_record();
  frame_end_after(SEND_INTERVAL_MS);
  EXPECT_EQ(writes_to(), cycle_to({"COM4", "COM5"}));
}

TEST(port_settings_test, each_port_of_the_list_by_its_place) {
  struct Case {
    const char* lines;
    std::size_t ports;
    std::vector<std::optional<bool>> modes;
    std::vector<std::string> complaints;
  };
  const Case cases[] = {
      {"debug_mode.2 bool 0\n", 2, {std::nullopt, false}, {}},
      {"debug_mode.1 bool 1\ndebug_mode.2 bool 0\n", 2, {true, false}, {}},
      {"debug_mode.3 bool 1\n",
       2,
       {std::nullopt, std::nullopt},
       {"Unknown setting, ignored: debug_mode.3 (comport lists 2 ports)"}},
      {"debug_mode.2 bool 1\n",
       1,
       {std::nullopt},
       {"Unknown setting, ignored: debug_mode.2 (comport lists 1 port)"}},
      {"debug_mode.0 bool 1\ndebug_mode.01 bool 1\ndebug_mode.x bool 1\ndebug_mode. bool 1\n",
       1,
       {std::nullopt},
       {"Unknown setting, ignored: debug_mode. (comport lists 1 port)",
        "Unknown setting, ignored: debug_mode.0 (comport lists 1 port)",
        "Unknown setting, ignored: debug_mode.01 (comport lists 1 port)",
        "Unknown setting, ignored: debug_mode.x (comport lists 1 port)"}},
      {"debug_mode.1 int 0\n",
       1,
       {std::nullopt},
       {"Setting debug_mode.1 is bool, not int: ignored"}},
      // A list written with a space after its comma ends there: said, with the way to write it.
      {"comport str COM4, COM5\n",
       1,
       {std::nullopt},
       {"comport str COM4, COM5: the list ends at the comma, \"COM5\" is read as a comment; "
        "write it without spaces: COM4,COM5"}},
      {"can_port str COM8, usb:1D50:606F\n",
       0,
       {},
       {"can_port str COM8, usb:1D50:606F: the list ends at the comma, \"usb:1D50:606F\" is "
        "read as a comment; write it without spaces: COM8,usb:1D50:606F"}},
      // A comment after a whole value, or a list that simply ends in a comma, is no mistake.
      {"comport str COM4,COM5 the two clusters\ncan_port str COM8,\n",
       2,
       {std::nullopt, std::nullopt},
       {}},
  };
  for (const Case& c : cases) {
    Settings settings;
    std::string text = c.lines;
    for (std::size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n')) {
      settings.parse_line(text.substr(0, end));
      text.erase(0, end + 1);
    }
    LinkSettings link;
    std::vector<std::string> complaints;
    read_port_settings(settings, c.ports, link, complaints);
    EXPECT_EQ(link.debug_modes, c.modes) << c.lines;
    EXPECT_EQ(complaints, c.complaints) << c.lines;
  }
  EXPECT_EQ(port_list("COM4,usb:1A86:7523,,\\\\.\\COM12,"),
            (std::vector<std::string>{"COM4", "usb:1A86:7523", "\\\\.\\COM12"}));
}

}  // namespace
}  // namespace vontrel
