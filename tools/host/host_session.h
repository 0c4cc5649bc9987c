// The host side of the telemetry interface: the log, the event and channel registries, and
// the delivery of values and events to whatever the plug-in registered.
#ifndef VONTREL_TOOLS_HOST_HOST_SESSION_H
#define VONTREL_TOOLS_HOST_HOST_SESSION_H

#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "plugin/host_sdk.h"

namespace vontrel::host {

struct LoggedLine {
  scs_log_type_t type;
  std::string text;
};

struct ChannelHandler {
  scs_value_type_t type;
  scs_telemetry_channel_callback_t callback;
  void* context;
};

struct EventHandler {
  scs_telemetry_event_callback_t callback;
  void* context;
};

// One attribute of a configuration event.
struct AttributeValue {
  std::string name;
  scs_value_t value;
};

// The host's state while a plug-in is loaded. The host's functions are plain function
// pointers, so one session at a time is current; constructing a session makes it current.
class HostSession {
 public:
  explicit HostSession(std::FILE* log_output);
  ~HostSession();
  HostSession(const HostSession&) = delete;
  HostSession& operator=(const HostSession&) = delete;

  scs_telemetry_init_params_t params() const;

  // Fault switches: registrations the host refuses.
  std::set<scs_event_t> rejected_events;
  std::set<std::string> rejected_channels;
  // Deliver a stale value inside each channel registration, as a host that sends the current
  // value at once might; start-up must not let it through.
  bool values_on_register = false;

  // Delivers a value to the plug-in's callback for `name`, with the type tag the plug-in
  // registered. False when nothing is registered under that name.
  bool deliver(const std::string& name, const scs_value_t& value) const;
  void fire_frame_end() const;

  // What a broken host might do, in one go: deliveries without a value record, without a
  // context or with the wrong type tag; NaN, infinities and values beyond 32 bits on every
  // float channel; a configuration event with thousands of attributes; a frame-end event with
  // stray pointers. `round` varies the values from call to call.
  void misbehave(std::uint64_t round) const;
  void fire_configuration(const std::string& id,
                          const std::vector<AttributeValue>& attributes) const;

  const std::vector<LoggedLine>& log() const { return log_; }
  const std::map<std::string, ChannelHandler>& channels() const { return channels_; }
  const std::map<scs_event_t, EventHandler>& events() const { return events_; }
  std::optional<scs_value_type_t> registered_type(const std::string& name) const;

  // Forget every registration, as the host does once it has unloaded the plug-in.
  void clear_registrations();

 private:
  static void SCSAPI log_function(scs_log_type_t type, const char* message);
  static scs_result_t SCSAPI register_event(scs_event_t event,
                                            scs_telemetry_event_callback_t callback, void* context);
  static scs_result_t SCSAPI unregister_event(scs_event_t event);
  static scs_result_t SCSAPI register_channel(const char* name, scs_u32_t index,
                                              scs_value_type_t type, scs_u32_t flags,
                                              scs_telemetry_channel_callback_t callback,
                                              void* context);
  static scs_result_t SCSAPI unregister_channel(const char* name, scs_u32_t index,
                                                scs_value_type_t type);

  static HostSession* current_;

  std::FILE* log_output_;
  std::vector<LoggedLine> log_;
  std::map<scs_event_t, EventHandler> events_;
  std::map<std::string, ChannelHandler> channels_;
};

// A value record of the given type from a double (bool: non-zero; integers: truncated).
scs_value_t make_value(scs_value_type_t type, double number);

const char* type_name(scs_value_type_t type);

}  // namespace vontrel::host

#endif  // VONTREL_TOOLS_HOST_HOST_SESSION_H
