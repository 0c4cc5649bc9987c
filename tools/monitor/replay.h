// Replaying a recording the monitor made with --record.
#ifndef VONTREL_TOOLS_MONITOR_REPLAY_H
#define VONTREL_TOOLS_MONITOR_REPLAY_H

#include <string>

#include "tools/monitor/input.h"
#include "tools/monitor/monitor.h"
#include "tools/monitor/options.h"

namespace vontrel::monitor {

// Replays a recording, line by line at its recorded times (divided by --speed), or at once
// with --fast, reading the input in bounded chunks after `pending`, what was read of it so far.
// A line that is no "<seconds> <hex bytes>" stops the replay with an error.
int replay(Monitor& monitor, const Options& options, Input& input, std::string pending,
           Clock::time_point start);

}  // namespace vontrel::monitor

#endif  // VONTREL_TOOLS_MONITOR_REPLAY_H
