// The plug-in's side of the wire: what protocol/wire.h defines, plus the cycle's timing and
// the buffer the frames are assembled in.
#ifndef VONTREL_DASHBOARD_FRAME_FORMAT_H
#define VONTREL_DASHBOARD_FRAME_FORMAT_H

#include <cstddef>
#include <cstdint>

#include "protocol/wire.h"

namespace vontrel {

inline constexpr std::size_t FRAME_BUFFER_SIZE = 720;
inline constexpr std::uint32_t SEND_INTERVAL_MS = 50;

}  // namespace vontrel

#endif  // VONTREL_DASHBOARD_FRAME_FORMAT_H
