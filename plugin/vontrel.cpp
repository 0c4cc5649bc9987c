// The plug-in's face towards the host: the two exported entries, start-up and shut-down.
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "link/cluster_link.h"
#include "os/os.h"
#include "plugin/plugin_context.h"
#include "plugin/subscriptions.h"
#include "serial/port_identity.h"

namespace vontrel {

namespace {

// The one process-wide context. The runtime's buffer goes back from this destructor, after
// every member of the context (and with it any thread of ours) is gone: the order is this
// file's, not that of static destructors across files, which no toolchain promises.
//
// When the process ends without a shut-down, Windows has ended our threads before the
// library's detach, perhaps while one held a lock: joining them, waking them or stopping
// Winsock then waits for ever and the game never exits. The context is then left whole for
// the system to take back with the process.
class ProcessContext {
 public:
  ProcessContext() : context_(new (storage_) PluginContext()) {}
  ProcessContext(const ProcessContext&) = delete;
  ProcessContext& operator=(const ProcessContext&) = delete;
  ~ProcessContext() {
    if (!process_ending_) {
      context_->~PluginContext();
      os::release_runtime();
    }
  }
  PluginContext& context() noexcept { return *context_; }
  void leave_to_the_system() noexcept { process_ending_ = true; }

 private:
  alignas(PluginContext) unsigned char storage_[sizeof(PluginContext)]{};
  PluginContext* context_;
  bool process_ending_ = false;
};

ProcessContext the_process;

scs_result_t start_up_steps(PluginContext& context, const scs_telemetry_init_params_t& params) {
  log_line(context, SCS_LOG_TYPE_message, "Plugin initialising");

  std::string cwd;
  if (!os::current_directory(cwd)) {
    // Without the directory there is no settings file to find; say so rather than guess.
    log_line(context, SCS_LOG_TYPE_error, "Can not get working directory");
    return SCS_RESULT_generic_error;
  }
  log_line(context, SCS_LOG_TYPE_message, ("Plugin CWD: " + cwd).c_str());

  const std::string option_filepath = cwd + os::SETTINGS_FILE_SUFFIX;
  if (!context.settings.load(option_filepath)) {
    log_line(context, SCS_LOG_TYPE_error,
             ("Error reading settings file: " + option_filepath).c_str());
    return SCS_RESULT_generic_error;
  }
  if (context.settings.cut_short()) {
    log_line(context, SCS_LOG_TYPE_error,
             ("Settings file is larger than 64 KiB, read no further: " + option_filepath).c_str());
  }

  const std::string com_port = context.settings.get_string("comport", "COM3");
  // A port named by its USB identity gets its line once it is found, each port of a list its
  // own.
  if (!names_identity(com_port) && com_port.find(',') == std::string::npos) {
    log_line(context, SCS_LOG_TYPE_message, ("Using serial port: " + com_port).c_str());
  }

  LinkSettings link;
  link.background_writes = context.settings.get_bool("background_writes", false);
  link.reconnect = context.settings.get_bool("reconnect", false);
  const std::int32_t delay = context.settings.get_int("startup_delay", 0);
  link.startup_delay_ms = delay > 0 ? static_cast<std::uint32_t>(delay) : 0;
  link.udp_target = context.settings.get_string("udp_target", UDP_OFF);
  // The first few say what is wrong; thousands (a file of junk keys) would bury the log.
  const auto tell_complaints = [&context](const std::vector<std::string>& complaints,
                                          const char* more) {
    constexpr std::size_t COMPLAINTS_SHOWN = 10;
    for (std::size_t i = 0; i < complaints.size() && i < COMPLAINTS_SHOWN; ++i) {
      log_line(context, SCS_LOG_TYPE_error, complaints[i].c_str());
    }
    if (complaints.size() > COMPLAINTS_SHOWN) {
      log_line(context, SCS_LOG_TYPE_error,
               (more + std::to_string(complaints.size() - COMPLAINTS_SHOWN)).c_str());
    }
  };
  std::vector<std::string> port_complaints;
  read_port_settings(context.settings, is_no_port(com_port) ? 0 : port_list(com_port).size(), link,
                     port_complaints);
  tell_complaints(port_complaints, "More port setting problems, not shown: ");
  std::vector<std::string> can_complaints;
  link.can =
      read_can_settings(context.settings, option_filepath, link.can_settings, can_complaints);
  tell_complaints(can_complaints, "More CAN setting problems, not shown: ");
  std::string errmsg;
  if (!start_link(context.link, context.port, host_link_log(context.host_log), com_port, link,
                  os::tick_ms(), errmsg)) {
    log_line(context, SCS_LOG_TYPE_error, errmsg.c_str());
    return SCS_RESULT_generic_error;
  }
  if (!context.link.serial && !context.link.udp.active() && !context.link.can.active()) {
    log_line(context, SCS_LOG_TYPE_message, "No serial port and no UDP target: nothing is sent");
  }

  if (!register_subscriptions(context.state, params)) {
    abandon_link(context.link);
    log_line(context, SCS_LOG_TYPE_error, "Unable to register callbacks");
    return SCS_RESULT_generic_error;
  }

  // A host may deliver values while we register; start from a clean snapshot all the same.
  context.state = TelemetryState{};
  return SCS_RESULT_ok;
}

}  // namespace

PluginContext& plugin_context() noexcept {
  return the_process.context();
}

void log_line(const PluginContext& context, scs_log_type_t type, const char* text) noexcept {
  if (context.host_log != nullptr) {
    context.host_log(type, text);
  }
}

LinkLog host_link_log(const scs_log_t& log) noexcept {
  return {[](const void* host, LogKind kind, const char* text) noexcept {
            const scs_log_t write = *static_cast<const scs_log_t*>(host);
            if (write != nullptr) {
              write(kind == LogKind::error ? SCS_LOG_TYPE_error : SCS_LOG_TYPE_message, text);
            }
          },
          &log};
}

void frame_end(PluginContext& context) noexcept {
  if (link_busy(context.link, context.port)) {
    link_frame_end(context.link, context.port, host_link_log(context.host_log), context.state,
                   context.settings, os::tick_ms());
  }
}

void SCSAPI on_frame_end(scs_event_t /*event*/, const void* /*event_info*/,
                         void* /*context*/) noexcept {
  frame_end(plugin_context());
}

scs_result_t start_up(PluginContext& context, scs_u32_t version,
                      const scs_telemetry_init_params_t* params) noexcept {
  if (version != SCS_TELEMETRY_VERSION_1_00) {
    return SCS_RESULT_unsupported;
  }
  if (params == nullptr) {
    return SCS_RESULT_generic_error;
  }
  context.host_log = params->log;
  try {
    return start_up_steps(context, *params);
  } catch (const std::bad_alloc&) {
    log_line(context, SCS_LOG_TYPE_error, "Plugin start-up failed: out of memory");
  } catch (...) {
    log_line(context, SCS_LOG_TYPE_error, "Plugin start-up failed");
  }
  return SCS_RESULT_generic_error;
}

void shut_down(PluginContext& context) noexcept {
  stop_link(context.link, context.port);
  log_line(context, SCS_LOG_TYPE_message, "Plugin shutdown");
  context.host_log = nullptr;
}

int library_entry(PluginContext& context, std::uint32_t reason, bool process_exit) noexcept {
  constexpr std::uint32_t process_detach = 0;
  if (reason == process_detach && process_exit) {
    // Nothing of the context is touched: its port, threads and socket go with the process.
    if (&context == &the_process.context()) {
      the_process.leave_to_the_system();
    }
  } else if (reason == process_detach) {
    context.port.close();
  }
  return 1;
}

}  // namespace vontrel

extern "C" {

SCSAPI_EXPORT scs_result_t SCSAPI scs_telemetry_init(scs_u32_t version,
                                                     const scs_telemetry_init_params_t* params) {
  return vontrel::start_up(vontrel::plugin_context(), version, params);
}

SCSAPI_EXPORT void SCSAPI scs_telemetry_shutdown(void) {
  vontrel::shut_down(vontrel::plugin_context());
}

}  // extern "C"
