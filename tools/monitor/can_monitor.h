// --can: the monitor as a second node on a J1939 bus. It reads a USB-CAN adapter that speaks
// the Lawicel protocol (opened listen-only: it never sends a frame on the bus), a
// pseudo-terminal the plug-in writes to as to an adapter, or any slcan stream on standard
// input, and decodes the messages Vontrel sends, with how often each comes and when it came
// last.
#ifndef VONTREL_TOOLS_MONITOR_CAN_MONITOR_H
#define VONTREL_TOOLS_MONITOR_CAN_MONITOR_H

#include <memory>

#include "tools/monitor/input.h"
#include "tools/monitor/options.h"

namespace vontrel::monitor {

// Reads `input` until it ends, Ctrl-C or --duration. With `adapter`, first puts it on the
// bus listen-only at options.can_bitrate. Returns the exit status.
int run_can(const Options& options, Input& input, bool adapter);

}  // namespace vontrel::monitor

#endif  // VONTREL_TOOLS_MONITOR_CAN_MONITOR_H
