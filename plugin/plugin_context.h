// Everything the plug-in keeps between the host's calls, in one record.
#ifndef VONTREL_PLUGIN_PLUGIN_CONTEXT_H
#define VONTREL_PLUGIN_PLUGIN_CONTEXT_H

#include <cstdint>

#include "link/cluster_link.h"
#include "plugin/host_sdk.h"
#include "serial/serial_port.h"
#include "settings/settings.h"
#include "telemetry/telemetry_state.h"

namespace vontrel {

struct PluginContext {
  TelemetryState state{};
  scs_log_t host_log = nullptr;
  // The port is built before the settings and so destroyed after them.
  SerialPort port;
  Settings settings;
  // Declared last so that it is destroyed first: a writer thread must be gone before the port.
  ClusterLink link;
};

// One line in the host's log, if the host gave us a log.
void log_line(const PluginContext& context, scs_log_type_t type, const char* text) noexcept;

// The link's lines into the host's log `log` (read at each line: it may still be null, and
// must outlive the link).
LinkLog host_link_log(const scs_log_t& log) noexcept;

// One frame-end event: reads the tick only when the link has something to do.
void frame_end(PluginContext& context) noexcept;

// The host's frame-end handler, on the process-wide context.
void SCSAPI on_frame_end(scs_event_t event, const void* event_info, void* context) noexcept;

// The one instance the host's calls work on.
PluginContext& plugin_context() noexcept;

// Start-up and shut-down over a given context; the exported entries call them with the one
// process-wide instance.
scs_result_t start_up(PluginContext& context, scs_u32_t version,
                      const scs_telemetry_init_params_t* params) noexcept;
void shut_down(PluginContext& context) noexcept;

// What the library entry point does for a reason code (0 process detach, 1 process attach,
// 2 thread attach, 3 thread detach). `process_exit`: the detach comes because the process
// ends, not from an unload. Always returns 1.
int library_entry(PluginContext& context, std::uint32_t reason, bool process_exit) noexcept;

}  // namespace vontrel

#endif  // VONTREL_PLUGIN_PLUGIN_CONTEXT_H
