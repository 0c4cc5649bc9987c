// Start-up and shut-down, with the host played through the real records.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "dashboard/frame_format.h"
#include "link/cluster_link.h"
#include "os/os.h"
#include "plugin/plugin_context.h"
#include "tests/fake_os.h"
#include "tests/frame_bytes.h"
#include "tests/temp_dir.h"
#include "tests/test_host.h"

namespace vontrel {
namespace {

using testing::float_value;
using testing::LogLine;
using testing::TempDir;
using testing::TestHost;
using testing::to_hex;
using Log = std::vector<LogLine>;

const std::string reset_frame = "FF 04 00 00 00 00 00 00 00 00 00 00 00 00 00 00";

class vontrel_test : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_os::reset();
    fake_os::state().cwd = dir.path().string();
  }

  void write_settings(const std::string& content) {
    dir.write(std::string("plugins/Vontrel.txt"), content);
  }
  std::string settings_path() const { return dir.path().string() + os::SETTINGS_FILE_SUFFIX; }
  std::string cwd() const { return dir.path().string(); }

  scs_result_t start(scs_u32_t version = SCS_TELEMETRY_VERSION_1_00) {
    const auto params = host.params();
    return start_up(*context, version, &params);
  }

  fake_os::State& os() { return fake_os::state(); }

  TempDir dir;
  TestHost host;
  std::unique_ptr<PluginContext> context = std::make_unique<PluginContext>();
};

TEST_F(vontrel_test, wrong_version_is_refused_silently_and_a_right_one_then_starts) {
  write_settings("comport str COM5\n");
  EXPECT_EQ(start(0x10001), SCS_RESULT_unsupported);
  EXPECT_TRUE(host.log.empty());
  EXPECT_TRUE(os().calls.empty());
  EXPECT_EQ(context->host_log, nullptr);
  EXPECT_EQ(start(), SCS_RESULT_ok);
}

TEST_F(vontrel_test, missing_settings_file_fails_with_the_full_path) {
  EXPECT_EQ(start(), SCS_RESULT_generic_error);
  EXPECT_EQ(host.log, (Log{{0, "Plugin initialising"},
                           {0, "Plugin CWD: " + cwd()},
                           {2, "Error reading settings file: " + settings_path()}}));
  EXPECT_EQ(os().count("open"), 0);
}

TEST_F(vontrel_test, settings_without_comport_use_com3) {
  write_settings("debug_mode bool 1\n");
  EXPECT_EQ(start(), SCS_RESULT_ok);
  EXPECT_EQ(host.log, (Log{{0, "Plugin initialising"},
                           {0, "Plugin CWD: " + cwd()},
                           {0, "Using serial port: COM3"}}));
  EXPECT_EQ(os().opened_names, std::vector<std::string>{"COM3"});
}

TEST_F(vontrel_test, port_that_cannot_be_opened_logs_its_own_text_only) {
  write_settings("comport str COM9\n");
  os().open_fails = true;
  EXPECT_EQ(start(), SCS_RESULT_generic_error);
  ASSERT_EQ(host.log.size(), 4u);
  EXPECT_EQ(host.log.back(), (LogLine{2, "Can not open COM port"}));
  EXPECT_TRUE(os().writes.empty());
  EXPECT_TRUE(host.channels.empty());
}

TEST_F(vontrel_test, port_configuration_failures_log_their_text) {
  write_settings("comport str COM9\n");
  os().set_fails = true;
  EXPECT_EQ(start(), SCS_RESULT_generic_error);
  EXPECT_EQ(host.log.back(), (LogLine{2, "Can not set COM port config"}));
  EXPECT_FALSE(context->port.is_open());
}

TEST_F(vontrel_test, good_start_sends_reset_before_subscribing_and_clears_the_snapshot) {
  write_settings("comport str COM4\n");
  context->state.speed = 12.0f;
  // A host may deliver values while the channels are being registered.
  host.during_channel_registration = [this](const testing::ChannelRegistration& channel) {
    EXPECT_EQ(os().writes.size(), 1u) << "reset frame goes out before any subscription";
    if (channel.name == "truck.speed") {
      const scs_value_t value = float_value(30.0f);
      channel.callback(channel.name.c_str(), SCS_U32_NIL, &value, channel.context);
    }
  };
  EXPECT_EQ(start(), SCS_RESULT_ok);
  ASSERT_EQ(os().writes.size(), 1u);
  EXPECT_EQ(to_hex(os().writes[0]), reset_frame);
  EXPECT_EQ(host.channels.size(), 40u);
  EXPECT_EQ(context->state.speed, 0.0f);
  EXPECT_EQ(context->state.fuel_capacity, 0.0f);
  EXPECT_TRUE(context->port.is_open());
}

TEST_F(vontrel_test, rejected_channel_fails_once_and_leaves_the_port_open) {
  write_settings("comport str COM4\n");
  host.rejected_channels = {"truck.water.temperature.warning"};
  context->state.speed = 12.0f;
  EXPECT_EQ(start(), SCS_RESULT_generic_error);
  EXPECT_EQ(host.log.back(), (LogLine{2, "Unable to register callbacks"}));
  EXPECT_EQ(host.log.size(), 4u);
  EXPECT_EQ(host.channels.size(), 40u);
  EXPECT_TRUE(context->port.is_open());
  EXPECT_EQ(context->state.speed, 12.0f) << "snapshot not cleared on failure";
}

TEST_F(vontrel_test, shutdown_sends_reset_closes_logs_and_forgets_the_log) {
  write_settings("comport str COM4\n");
  ASSERT_EQ(start(), SCS_RESULT_ok);
  context->state.speed = 9.0f;
  os().calls.clear();
  os().writes.clear();
  shut_down(*context);
  EXPECT_EQ(os().calls, (std::vector<std::string>{"write", "flush", "close"}));
  EXPECT_EQ(to_hex(os().writes[0]), reset_frame);
  EXPECT_EQ(host.log.back(), (LogLine{0, "Plugin shutdown"}));
  EXPECT_EQ(context->host_log, nullptr);
  EXPECT_FALSE(context->port.is_open());
  EXPECT_EQ(context->state.speed, 9.0f) << "last values kept";
}

TEST_F(vontrel_test, shutdown_without_startup_neither_crashes_nor_calls_the_system) {
  shut_down(*context);
  shut_down(*context);
  EXPECT_TRUE(os().calls.empty());
}

TEST_F(vontrel_test, working_directory_of_any_length_is_taken_whole) {
  std::string long_name(300, 'd');
  const auto long_dir = dir.path() / long_name;
  os().cwd = long_dir.string();
  EXPECT_EQ(start(), SCS_RESULT_generic_error);
  EXPECT_EQ(host.log[1].text, "Plugin CWD: " + long_dir.string());
  EXPECT_EQ(host.log[2].text,
            "Error reading settings file: " + long_dir.string() + os::SETTINGS_FILE_SUFFIX);
}

TEST_F(vontrel_test, failed_working_directory_query_fails_startup_with_an_error_line) {
  os().cwd.reset();
  EXPECT_EQ(start(), SCS_RESULT_generic_error);
  EXPECT_EQ(host.log, (Log{{0, "Plugin initialising"}, {2, "Can not get working directory"}}));
}

TEST_F(vontrel_test, null_parameter_record_is_refused) {
  EXPECT_EQ(start_up(*context, SCS_TELEMETRY_VERSION_1_00, nullptr), SCS_RESULT_generic_error);
}

// Whatever the link, the outcome is the plain one: an error, and a cluster that stays dark
// (no writer left holding the port, nothing reopening it behind the host's back).
TEST_F(vontrel_test, second_start_without_shutdown_fails_and_leaves_the_cluster_dark) {
  for (const char* link : {"", "background_writes bool 1\n", "reconnect bool 1\n",
                           "background_writes bool 1\nreconnect bool 1\n"}) {
    SCOPED_TRACE(link);
    fake_os::reset();
    fake_os::state().cwd = dir.path().string();
    context = std::make_unique<PluginContext>();
    write_settings(std::string("comport str COM4\n") + link);
    ASSERT_EQ(start(), SCS_RESULT_ok);
    EXPECT_EQ(start(), SCS_RESULT_generic_error);
    EXPECT_EQ(host.log.back(), (LogLine{2, "COM port already open"}));
    EXPECT_FALSE(context->port.is_open());
    for (int i = 1; i <= 3; ++i) {
      {
        std::lock_guard<std::mutex> lock(fake_os::record_mutex());
        fake_os::state().tick = 2000u * static_cast<std::uint32_t>(i);
      }
      frame_end(*context);
    }
    std::lock_guard<std::mutex> lock(fake_os::record_mutex());
    EXPECT_EQ(os().count("open"), 1) << "never reopened";
    EXPECT_LE(os().writes.size(), 1u) << "at most the first start-up's reset frame";
    EXPECT_EQ(os().open_handles, 0);
  }
}

TEST_F(vontrel_test, restart_merges_a_changed_settings_file) {
  write_settings("comport str COM4\ndebug_mode bool 0\n");
  ASSERT_EQ(start(), SCS_RESULT_ok);
  shut_down(*context);
  write_settings("comport str COM6\n");
  ASSERT_EQ(start(), SCS_RESULT_ok);
  EXPECT_EQ(os().opened_names, (std::vector<std::string>{"COM4", "COM6"}));
  EXPECT_FALSE(context->settings.get_bool("debug_mode", true)) << "kept from the first file";
}

TEST_F(vontrel_test, library_entry_returns_one_and_closes_on_detach_only) {
  write_settings("comport str COM4\n");
  ASSERT_EQ(start(), SCS_RESULT_ok);
  for (std::uint32_t reason : {1u, 2u, 3u}) {
    EXPECT_EQ(library_entry(*context, reason, false), 1);
    EXPECT_TRUE(context->port.is_open());
  }
  EXPECT_EQ(library_entry(*context, 0, true), 1);
  EXPECT_TRUE(context->port.is_open()) << "at process exit the system takes the port back";
  EXPECT_EQ(library_entry(*context, 0, false), 1);
  EXPECT_FALSE(context->port.is_open());
  EXPECT_EQ(os().count("close"), 1);
}

}  // namespace
}  // namespace vontrel
