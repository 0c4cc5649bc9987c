// Everything the plug-in keeps between the host's calls, in one record.
#ifndef VONTREL_PLUGIN_PLUGIN_CONTEXT_H
#define VONTREL_PLUGIN_PLUGIN_CONTEXT_H

#include <array>
#include <cstdint>
#include <string>

#include "dashboard/background_link.h"
#include "dashboard/frame_format.h"
#include "plugin/host_sdk.h"
#include "plugin/telemetry_state.h"
#include "serial/serial_port.h"
#include "settings/settings.h"

namespace vontrel {

// Opt-in behaviour of the link to the cluster, read once at start-up. Both off, the link is the
// plain synchronous one.
struct LinkSettings {
  bool background_writes = false;  // a writer thread takes the port's waits off the host
  bool reconnect = false;          // a lost port is reopened once a second
};

struct PluginContext {
  TelemetryState state{};
  std::array<std::uint8_t, FRAME_BUFFER_SIZE> frame_buffer{};
  std::uint32_t last_send_tick = 0;
  scs_log_t host_log = nullptr;
  // The port is built before the settings and so destroyed after them.
  SerialPort port;
  Settings settings;

  LinkSettings link;
  std::string com_port;                // the port start-up opened, for reconnecting
  bool port_lost = false;              // a failed write closed it (reconnect only)
  std::uint32_t last_reopen_tick = 0;  // the last attempt to reopen it
  std::array<std::uint8_t, CYCLE_LENGTH> cycle_buffer{};
  // Declared last so that it is destroyed first: its thread must be gone before the port.
  BackgroundLink background;
};

// One line in the host's log, if the host gave us a log.
void log_line(const PluginContext& context, scs_log_type_t type, const char* text) noexcept;

// The one instance the host's calls work on.
PluginContext& plugin_context() noexcept;

// Start-up and shut-down over a given context; the exported entries call them with the one
// process-wide instance.
scs_result_t start_up(PluginContext& context, scs_u32_t version,
                      const scs_telemetry_init_params_t* params) noexcept;
void shut_down(PluginContext& context) noexcept;

// What the library entry point does for a reason code (0 process detach, 1 process attach,
// 2 thread attach, 3 thread detach). Always returns 1.
int library_entry(PluginContext& context, std::uint32_t reason) noexcept;

}  // namespace vontrel

#endif  // VONTREL_PLUGIN_PLUGIN_CONTEXT_H
