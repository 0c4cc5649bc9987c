// Bringing back a lost port: one way, for the host thread and for the background writer alike.
#ifndef VONTREL_LINK_RECONNECT_H
#define VONTREL_LINK_RECONNECT_H

#include <cstdint>
#include <string>

#include "os/os.h"
#include "serial/serial_port.h"

namespace vontrel {

// A lost port is tried again at most this often: each try costs an open, which fails at once
// for a port that is gone.
inline constexpr std::uint32_t REOPEN_INTERVAL_MS = 1000;

// Reopens `port` under `name` (a port's name, or its USB identity, looked for again) and
// clears the cluster, which may have been power-cycled with
// the cable. True only once the reset frame went out whole by `until`; otherwise the port is
// closed again, to be tried later. With `hold`, the port is only opened: a board that resets
// when its port opens sits in its bootloader for the start-up delay, and the caller clears it
// once that has passed.
bool reopen_port(SerialPort& port, const std::string& name, os::deadline until, bool hold,
                 const std::string& avoid = std::string()) noexcept;

}  // namespace vontrel

#endif  // VONTREL_LINK_RECONNECT_H
