// The plug-in's face towards the host: the two exported entries, start-up and shut-down.
#include <cstring>
#include <new>
#include <string>

#include "dashboard/frame_cycle.h"
#include "os/os.h"
#include "plugin/plugin_context.h"
#include "plugin/subscriptions.h"

namespace vontrel {

namespace {

constexpr std::uint32_t SHUTDOWN_DRAIN_MS = 1000;

PluginContext the_context;

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

  const std::string com_port = context.settings.get_string("comport", "COM3");
  context.com_port = com_port;
  context.link.background_writes = context.settings.get_bool("background_writes", false);
  context.link.reconnect = context.settings.get_bool("reconnect", false);
  context.port_lost = false;
  log_line(context, SCS_LOG_TYPE_message, ("Using serial port: " + com_port).c_str());

  std::string errmsg;
  if (!context.port.open(com_port.c_str(), errmsg)) {
    log_line(context, SCS_LOG_TYPE_error, errmsg.c_str());
    return SCS_RESULT_generic_error;
  }

  // The cluster is cleared before any value can reach it. With background writes even the
  // reset frame leaves on the writer thread, so a stalled cluster cannot hold up start-up.
  if (context.link.background_writes &&
      context.background.start(context.port, com_port, context.link.reconnect)) {
    context.background.submit_reset();
  } else {
    send_reset_frame(context);
  }

  if (!register_subscriptions(context.state, params)) {
    // The host will unload us without a shut-down: no thread of ours may outlive this call.
    context.background.stop(SHUTDOWN_DRAIN_MS);
    log_line(context, SCS_LOG_TYPE_error, "Unable to register callbacks");
    return SCS_RESULT_generic_error;
  }

  // A host may deliver values while we register; start from a clean snapshot all the same.
  context.state = TelemetryState{};
  return SCS_RESULT_ok;
}

}  // namespace

PluginContext& plugin_context() noexcept {
  return the_context;
}

void log_line(const PluginContext& context, scs_log_type_t type, const char* text) noexcept {
  if (context.host_log != nullptr) {
    context.host_log(type, text);
  }
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
  if (context.background.running()) {
    // Waits for the reset frame a bounded time: a stalled cluster must not hang the host's exit.
    context.background.submit_reset();
    context.background.stop(SHUTDOWN_DRAIN_MS);
  } else {
    send_reset_frame(context);
  }
  context.port.close();
  context.port_lost = false;
  log_line(context, SCS_LOG_TYPE_message, "Plugin shutdown");
  context.host_log = nullptr;
}

int library_entry(PluginContext& context, std::uint32_t reason) noexcept {
  constexpr std::uint32_t process_detach = 0;
  if (reason == process_detach) {
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
