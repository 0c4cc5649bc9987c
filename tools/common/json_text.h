// JSON as the tools print and serve it.
#ifndef VONTREL_TOOLS_COMMON_JSON_TEXT_H
#define VONTREL_TOOLS_COMMON_JSON_TEXT_H

#include <nlohmann/json.hpp>

#include <string>

namespace vontrel::tools {

// File names, links and ports come from the system as bytes that need not be UTF-8: such a
// byte is shown as U+FFFD rather than ending the tool halfway through a capture.
inline std::string json_text(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace vontrel::tools

#endif  // VONTREL_TOOLS_COMMON_JSON_TEXT_H
