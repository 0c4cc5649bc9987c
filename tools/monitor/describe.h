// vontrel-monitor --dbc FILE --describe: a CAN profile as Vontrel reads it, every message and
// signal and every problem with its line, without a game or an adapter.
#ifndef VONTREL_TOOLS_MONITOR_DESCRIBE_H
#define VONTREL_TOOLS_MONITOR_DESCRIBE_H

#include "tools/monitor/options.h"

namespace vontrel::monitor {

// 0 for a profile the sender takes, 1 for one with problems, exit_io for a file not read.
int describe_profile(const Options& options);

}  // namespace vontrel::monitor

#endif  // VONTREL_TOOLS_MONITOR_DESCRIBE_H
