#include "tools/host/host_session.h"

#include <limits>

namespace vontrel::host {

HostSession* HostSession::current_ = nullptr;

HostSession::HostSession(std::FILE* log_output) : log_output_(log_output) {
  current_ = this;
}

HostSession::~HostSession() {
  if (current_ == this) {
    current_ = nullptr;
  }
}

scs_telemetry_init_params_t HostSession::params() const {
  scs_telemetry_init_params_t params{};
  params.game_name = "Vontrel stand-in host";
  params.game_id = "vontrel-host";
  params.game_version = 0x00010000;
  params.log = log_function;
  params.register_for_event = register_event;
  params.unregister_from_event = unregister_event;
  params.register_for_channel = register_channel;
  params.unregister_from_channel = unregister_channel;
  return params;
}

bool HostSession::deliver(const std::string& name, const scs_value_t& value) const {
  const auto it = channels_.find(name);
  if (it == channels_.end()) {
    return false;
  }
  it->second.callback(name.c_str(), SCS_U32_NIL, &value, it->second.context);
  return true;
}

void HostSession::fire_frame_end() const {
  const auto it = events_.find(SCS_TELEMETRY_EVENT_frame_end);
  if (it != events_.end()) {
    it->second.callback(SCS_TELEMETRY_EVENT_frame_end, nullptr, it->second.context);
  }
}

void HostSession::misbehave(std::uint64_t round) const {
  static const float hostile[] = {std::numeric_limits<float>::quiet_NaN(),
                                  std::numeric_limits<float>::infinity(),
                                  -std::numeric_limits<float>::infinity(),
                                  std::numeric_limits<float>::max(),
                                  -3.0e9f,
                                  5.0e9f,
                                  std::numeric_limits<float>::denorm_min(),
                                  -0.0f};
  const float value = hostile[round % (sizeof hostile / sizeof hostile[0])];
  for (const auto& [name, handler] : channels_) {
    handler.callback(name.c_str(), SCS_U32_NIL, nullptr, handler.context);
    scs_value_t wrong{};
    wrong.type = handler.type == SCS_VALUE_TYPE_float ? SCS_VALUE_TYPE_u32 : SCS_VALUE_TYPE_float;
    wrong.payload.value_u32 = 0xFFFFFFFFu;
    handler.callback(name.c_str(), SCS_U32_NIL, &wrong, handler.context);
    scs_value_t right{};
    right.type = handler.type;
    right.payload.value_u32 = 0xFFFFFFFFu;
    handler.callback(name.c_str(), SCS_U32_NIL, &right, nullptr);
    handler.callback(nullptr, 0, &right, handler.context);
    if (handler.type == SCS_VALUE_TYPE_float) {
      right.payload.value_float = value;
      handler.callback(name.c_str(), SCS_U32_NIL, &right, handler.context);
    } else if (handler.type == SCS_VALUE_TYPE_bool) {
      right.payload.value_bool = static_cast<scs_u8_t>(0xFF - round % 3);
      handler.callback(name.c_str(), SCS_U32_NIL, &right, handler.context);
    }
  }

  const auto configuration = events_.find(SCS_TELEMETRY_EVENT_configuration);
  if (configuration != events_.end() && round % 10 == 0) {
    std::vector<AttributeValue> attributes;
    attributes.reserve(5001);
    for (int i = 0; i < 5000; ++i) {
      attributes.push_back({"attribute." + std::to_string(i), make_value(SCS_VALUE_TYPE_u32, i)});
    }
    scs_value_t capacity{};
    capacity.type = SCS_VALUE_TYPE_s32;  // the wrong tag: the payload is still taken as a float
    capacity.payload.value_float = value;
    attributes.push_back({"fuel.capacity", capacity});
    fire_configuration("truck", attributes);
    configuration->second.callback(SCS_TELEMETRY_EVENT_configuration, nullptr,
                                   configuration->second.context);
  }

  const auto frame_end = events_.find(SCS_TELEMETRY_EVENT_frame_end);
  if (frame_end != events_.end()) {
    int stray = 0;
    frame_end->second.callback(SCS_TELEMETRY_EVENT_configuration, &stray, &stray);
  }
}

void HostSession::fire_configuration(const std::string& id,
                                     const std::vector<AttributeValue>& attributes) const {
  const auto it = events_.find(SCS_TELEMETRY_EVENT_configuration);
  if (it == events_.end()) {
    return;
  }
  std::vector<scs_named_value_t> records;
  records.reserve(attributes.size() + 1);
  for (const auto& attribute : attributes) {
    scs_named_value_t record{};
    record.name = attribute.name.c_str();
    record.index = SCS_U32_NIL;
    record.value = attribute.value;
    records.push_back(record);
  }
  records.push_back(scs_named_value_t{});  // a null name ends the array
  const scs_telemetry_configuration_t configuration{id.c_str(), records.data()};
  it->second.callback(SCS_TELEMETRY_EVENT_configuration, &configuration, it->second.context);
}

std::optional<scs_value_type_t> HostSession::registered_type(const std::string& name) const {
  const auto it = channels_.find(name);
  if (it == channels_.end()) {
    return std::nullopt;
  }
  return it->second.type;
}

void HostSession::clear_registrations() {
  events_.clear();
  channels_.clear();
}

void SCSAPI HostSession::log_function(scs_log_type_t type, const char* message) {
  if (current_ == nullptr) {
    return;
  }
  const std::string text = message != nullptr ? message : "";
  current_->log_.push_back({type, text});
  if (current_->log_output_ != nullptr) {
    const char* label = type == SCS_LOG_TYPE_error     ? "error"
                        : type == SCS_LOG_TYPE_message ? "message"
                                                       : "warning";
    std::fprintf(current_->log_output_, "[%s] %s\n", label, text.c_str());
    std::fflush(current_->log_output_);
  }
}

scs_result_t SCSAPI HostSession::register_event(scs_event_t event,
                                                scs_telemetry_event_callback_t callback,
                                                void* context) {
  if (current_ == nullptr || callback == nullptr || current_->rejected_events.count(event) != 0) {
    return SCS_RESULT_generic_error;
  }
  current_->events_[event] = {callback, context};
  return SCS_RESULT_ok;
}

scs_result_t SCSAPI HostSession::unregister_event(scs_event_t event) {
  if (current_ == nullptr || current_->events_.erase(event) == 0) {
    return SCS_RESULT_generic_error;
  }
  return SCS_RESULT_ok;
}

scs_result_t SCSAPI HostSession::register_channel(const char* name, scs_u32_t /*index*/,
                                                  scs_value_type_t type, scs_u32_t /*flags*/,
                                                  scs_telemetry_channel_callback_t callback,
                                                  void* context) {
  if (current_ == nullptr || name == nullptr || callback == nullptr ||
      current_->rejected_channels.count(name) != 0) {
    return SCS_RESULT_generic_error;
  }
  current_->channels_[name] = {type, callback, context};
  if (current_->values_on_register) {
    const scs_value_t stale = make_value(type, 77.0);
    callback(name, SCS_U32_NIL, &stale, context);
  }
  return SCS_RESULT_ok;
}

scs_result_t SCSAPI HostSession::unregister_channel(const char* name, scs_u32_t /*index*/,
                                                    scs_value_type_t /*type*/) {
  if (current_ == nullptr || name == nullptr || current_->channels_.erase(name) == 0) {
    return SCS_RESULT_generic_error;
  }
  return SCS_RESULT_ok;
}

scs_value_t make_value(scs_value_type_t type, double number) {
  scs_value_t value{};
  value.type = type;
  switch (type) {
    case SCS_VALUE_TYPE_bool:
      value.payload.value_bool = number != 0.0 ? 1 : 0;
      break;
    case SCS_VALUE_TYPE_s32:
      value.payload.value_s32 = static_cast<scs_s32_t>(number);
      break;
    case SCS_VALUE_TYPE_u32:
      value.payload.value_u32 = static_cast<scs_u32_t>(number);
      break;
    default:
      value.payload.value_float = static_cast<float>(number);
      break;
  }
  return value;
}

const char* type_name(scs_value_type_t type) {
  switch (type) {
    case SCS_VALUE_TYPE_bool:
      return "bool";
    case SCS_VALUE_TYPE_s32:
      return "s32";
    case SCS_VALUE_TYPE_u32:
      return "u32";
    case SCS_VALUE_TYPE_float:
      return "float";
    default:
      return "unknown";
  }
}

}  // namespace vontrel::host
