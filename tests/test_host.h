// The host, played by test code through the real records: a log that keeps every line, and
// registration functions that remember what was registered and can reject on demand.
#ifndef VONTREL_TESTS_TEST_HOST_H
#define VONTREL_TESTS_TEST_HOST_H

#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "plugin/host_sdk.h"

namespace vontrel::testing {

struct LogLine {
  scs_log_type_t type;
  std::string text;
  bool operator==(const LogLine&) const = default;
};

struct EventRegistration {
  scs_event_t event;
  scs_telemetry_event_callback_t handler;
  void* context;
};

struct ChannelRegistration {
  std::string name;
  scs_u32_t index;
  scs_value_type_t type;
  scs_u32_t flags;
  scs_telemetry_channel_callback_t callback;
  void* context;
};

// Only one host exists at a time, as in a real process: the host's functions are plain
// function pointers without a context of their own.
class TestHost {
 public:
  TestHost();
  ~TestHost();
  TestHost(const TestHost&) = delete;
  TestHost& operator=(const TestHost&) = delete;

  scs_telemetry_init_params_t params() const;

  std::vector<LogLine> log;
  std::vector<EventRegistration> events;
  std::vector<ChannelRegistration> channels;
  std::set<scs_event_t> rejected_events;
  std::set<std::string> rejected_channels;
  // Called inside each channel registration, before it returns: a host may deliver values then.
  std::function<void(const ChannelRegistration&)> during_channel_registration;

  const ChannelRegistration* channel(const std::string& name) const;
  const EventRegistration* event(scs_event_t id) const;

 private:
  static void SCSAPI log_function(scs_log_type_t type, const char* message);
  static scs_result_t SCSAPI register_event(scs_event_t event,
                                            scs_telemetry_event_callback_t callback, void* context);
  static scs_result_t SCSAPI register_channel(const char* name, scs_u32_t index,
                                              scs_value_type_t type, scs_u32_t flags,
                                              scs_telemetry_channel_callback_t callback,
                                              void* context);

  static TestHost* current;
};

// Value records as the host builds them.
scs_value_t float_value(float value);
scs_value_t bool_value(scs_u8_t value);
scs_value_t s32_value(scs_s32_t value);
scs_value_t u32_value(scs_u32_t value);

}  // namespace vontrel::testing

#endif  // VONTREL_TESTS_TEST_HOST_H
