#include "serial/serial_port.h"

#include <gtest/gtest.h>

#include <ostream>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "tests/fake_os.h"

namespace vontrel {
namespace {

using Calls = std::vector<std::string>;

class serial_port_test : public ::testing::Test {
 protected:
  void SetUp() override { fake_os::reset(); }
  fake_os::State& os() { return fake_os::state(); }
};

TEST_F(serial_port_test, open_configures_115200_8n1_and_empties_the_error_text) {
  SerialPort port;
  std::string error = "left over";
  ASSERT_TRUE(port.open("COM7", error));
  EXPECT_TRUE(port.is_open());
  EXPECT_EQ(error, "");
  EXPECT_EQ(os().calls, (Calls{"open", "get", "set", "bounded"}));
  EXPECT_EQ(os().opened_names, std::vector<std::string>{"COM7"});
  ASSERT_TRUE(os().applied);
  EXPECT_EQ(os().applied->baud_rate, 115200u);
  EXPECT_EQ(os().applied->byte_size, 8);
  EXPECT_EQ(os().applied->parity, 0);
  EXPECT_EQ(os().applied->stop_bits, 0);
}

TEST_F(serial_port_test, open_keeps_everything_else_the_driver_reported) {
  os().reported.baud_rate = 9600;
  os().reported.parity = 2;
  os().reported.stop_bits = 2;
  os().reported.byte_size = 7;
  for (std::size_t i = 0; i < sizeof os().reported.native; ++i) {
    os().reported.native[i] = static_cast<unsigned char>(i * 7 + 1);
  }
  SerialPort port;
  std::string error;
  ASSERT_TRUE(port.open("COM7", error));
  ASSERT_TRUE(os().applied);
  EXPECT_EQ(std::memcmp(os().applied->native, os().reported.native, sizeof os().reported.native),
            0);
}

TEST_F(serial_port_test, name_reaches_the_system_unchanged) {
  for (const char* name : {"COM3", "\\\\.\\COM10", "/dev/ttyUSB0", ""}) {
    fake_os::reset();
    SerialPort port;
    std::string error;
    port.open(name, error);
    EXPECT_EQ(os().opened_names, std::vector<std::string>{name});
  }
}

struct OpenFailure {
  const char* what;
  bool fake_os::State::*fails;
  const char* error;
  Calls calls;
  os::open_error system_says = os::open_error::other;  // when the open itself fails
  const char* why = nullptr;                           // in the player's words
};

void PrintTo(const OpenFailure& f, std::ostream* out) {
  *out << f.what;
}

class serial_port_open_failure_test : public ::testing::TestWithParam<OpenFailure> {
 protected:
  void SetUp() override { fake_os::reset(); }
};

TEST_P(serial_port_open_failure_test, reports_the_reason_and_releases_the_handle) {
  const OpenFailure& failure = GetParam();
  fake_os::state().*failure.fails = true;
  fake_os::state().open_error = failure.system_says;
  SerialPort port;
  std::string error;
  EXPECT_FALSE(port.open("COM7", error));
  EXPECT_EQ(error, failure.error);
  EXPECT_STREQ(port.why_not_open(), failure.why);
  EXPECT_FALSE(port.is_open());
  EXPECT_EQ(fake_os::state().calls, failure.calls);
  EXPECT_EQ(fake_os::state().open_handles, 0);
}

INSTANTIATE_TEST_SUITE_P(failures, serial_port_open_failure_test,
                         ::testing::Values(OpenFailure{"create",
                                                       &fake_os::State::open_fails,
                                                       "Can not open COM port",
                                                       {"open"}},
                                           OpenFailure{"get",
                                                       &fake_os::State::get_fails,
                                                       "Can not get COM port config",
                                                       {"open", "get", "close"},
                                                       os::open_error::other,
                                                       "not a serial line"},
                                           OpenFailure{"set",
                                                       &fake_os::State::set_fails,
                                                       "Can not set COM port config",
                                                       {"open", "get", "set", "close"}},
                                           // Unbounded writes could hang the host.
                                           OpenFailure{"bounded",
                                                       &fake_os::State::bounded_fails,
                                                       "Can not set COM port config",
                                                       {"open", "get", "set", "bounded", "close"}}),
                         [](const auto& test_info) { return std::string(test_info.param.what); });

// Why the system refused the open, in the words the CAN adapter's log line adds; the error
// text stays the one the cluster's port has always given.
TEST_F(serial_port_test, a_refused_open_says_why_where_the_system_tells) {
  const std::pair<os::open_error, const char*> cases[] = {
      {os::open_error::no_such_port, "no such port"},
      {os::open_error::held, "held by another program"},
      {os::open_error::refused, "access refused"}};
  fake_os::state().open_fails = true;
  for (const auto& [system_says, why] : cases) {
    fake_os::state().open_error = system_says;
    SerialPort port;
    std::string error;
    EXPECT_FALSE(port.open("COM7", error));
    EXPECT_EQ(error, "Can not open COM port");
    EXPECT_STREQ(port.why_not_open(), why);
  }
}

TEST_F(serial_port_test, open_on_an_open_port_fails_and_closes_it) {
  SerialPort port;
  std::string error;
  ASSERT_TRUE(port.open("COM7", error));
  EXPECT_FALSE(port.open("COM7", error));
  EXPECT_EQ(error, "COM port already open");
  EXPECT_FALSE(port.is_open());
  EXPECT_EQ(os().open_handles, 0);
  // Closed, so it can be opened again.
  EXPECT_TRUE(port.open("COM7", error));
  EXPECT_EQ(error, "");
}

TEST_F(serial_port_test, write_is_one_write_and_one_flush) {
  SerialPort port;
  std::string error;
  ASSERT_TRUE(port.open("COM7", error));
  os().calls.clear();
  const std::uint8_t bytes[] = {0xFF, 0x04, 0x10};
  port.write(bytes, 3, 0);
  EXPECT_EQ(os().calls, (Calls{"write", "flush"}));
  EXPECT_EQ(os().written_bytes(), std::vector<std::uint8_t>(bytes, bytes + 3));
}

TEST_F(serial_port_test, write_makes_no_system_call_for_nothing_to_write_or_a_closed_port) {
  const std::uint8_t bytes[] = {0xFF};
  SerialPort port;
  port.write(bytes, 1, 0);  // closed
  std::string error;
  ASSERT_TRUE(port.open("COM7", error));
  os().calls.clear();
  port.write(nullptr, 11, 0);
  port.write(bytes, 0, 0);
  EXPECT_TRUE(os().calls.empty());
}

TEST_F(serial_port_test, failed_write_is_silent_and_still_flushes) {
  SerialPort port;
  std::string error;
  ASSERT_TRUE(port.open("COM7", error));
  os().write_fails = true;
  os().calls.clear();
  const std::uint8_t bytes[] = {1, 2};
  EXPECT_EQ(port.write(bytes, 2, 0), os::io_status::failed);
  EXPECT_EQ(os().calls, (Calls{"write", "flush"}));
  EXPECT_TRUE(port.is_open());
}

TEST_F(serial_port_test, close_three_times_closes_the_handle_once) {
  {
    SerialPort port;
    std::string error;
    ASSERT_TRUE(port.open("COM7", error));
    port.close();  // shut-down
    port.close();  // library detach
    EXPECT_FALSE(port.is_open());
  }  // destructor
  EXPECT_EQ(os().count("close"), 1);
}

TEST_F(serial_port_test, destructor_closes_an_open_port) {
  {
    SerialPort port;
    std::string error;
    ASSERT_TRUE(port.open("COM7", error));
  }
  EXPECT_EQ(os().count("close"), 1);
  EXPECT_EQ(os().open_handles, 0);
}

}  // namespace
}  // namespace vontrel
