// The J1939 profile a truck's cluster understands, sent when the settings name no other: the
// DBC file we publish for players' CAN tools (docs/vontrel.dbc), compiled into the library.
#ifndef VONTREL_CAN_BUILTIN_PROFILE_H
#define VONTREL_CAN_BUILTIN_PROFILE_H

#include <string_view>

namespace vontrel::can {

std::string_view builtin_profile_text() noexcept;

}  // namespace vontrel::can

#endif  // VONTREL_CAN_BUILTIN_PROFILE_H
