#include "tests/test_host.h"

namespace vontrel::testing {

TestHost* TestHost::current = nullptr;

TestHost::TestHost() {
  current = this;
}

TestHost::~TestHost() {
  current = nullptr;
}

scs_telemetry_init_params_t TestHost::params() const {
  scs_telemetry_init_params_t params{};
  params.game_name = "Test host";
  params.game_id = "test";
  params.game_version = 1;
  params.log = log_function;
  params.register_for_event = register_event;
  params.register_for_channel = register_channel;
  return params;
}

const ChannelRegistration* TestHost::channel(const std::string& name) const {
  for (const auto& registration : channels) {
    if (registration.name == name) {
      return &registration;
    }
  }
  return nullptr;
}

const EventRegistration* TestHost::event(scs_event_t id) const {
  for (const auto& registration : events) {
    if (registration.event == id) {
      return &registration;
    }
  }
  return nullptr;
}

void SCSAPI TestHost::log_function(scs_log_type_t type, const char* message) {
  current->log.push_back({type, message});
}

scs_result_t SCSAPI TestHost::register_event(scs_event_t event,
                                             scs_telemetry_event_callback_t callback,
                                             void* context) {
  current->events.push_back({event, callback, context});
  return current->rejected_events.count(event) != 0 ? SCS_RESULT_generic_error : SCS_RESULT_ok;
}

scs_result_t SCSAPI TestHost::register_channel(const char* name, scs_u32_t index,
                                               scs_value_type_t type, scs_u32_t flags,
                                               scs_telemetry_channel_callback_t callback,
                                               void* context) {
  current->channels.push_back({name, index, type, flags, callback, context});
  if (current->during_channel_registration) {
    current->during_channel_registration(current->channels.back());
  }
  return current->rejected_channels.count(name) != 0 ? SCS_RESULT_generic_error : SCS_RESULT_ok;
}

scs_value_t float_value(float value) {
  scs_value_t record{};
  record.type = SCS_VALUE_TYPE_float;
  record.payload.value_float = value;
  return record;
}

scs_value_t bool_value(scs_u8_t value) {
  scs_value_t record{};
  record.type = SCS_VALUE_TYPE_bool;
  record.payload.value_bool = value;
  return record;
}

scs_value_t s32_value(scs_s32_t value) {
  scs_value_t record{};
  record.type = SCS_VALUE_TYPE_s32;
  record.payload.value_s32 = value;
  return record;
}

scs_value_t u32_value(scs_u32_t value) {
  scs_value_t record{};
  record.type = SCS_VALUE_TYPE_u32;
  record.payload.value_u32 = value;
  return record;
}

}  // namespace vontrel::testing
