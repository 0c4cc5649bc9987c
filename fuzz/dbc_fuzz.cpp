// Any bytes as a DBC file: the reader never crashes, and what it keeps is what the sender can
// use (signals within their message, problems each with a line of the file).
#include <cstdint>
#include <string_view>

#include "can/dbc.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const vontrel::can::Profile profile = vontrel::can::read_dbc(text);
  // Lines end at LF, at CRLF, and at a CR alone.
  std::size_t lines = 1;
  for (std::size_t i = 0; i < text.size(); ++i) {
    lines += text[i] == '\n' || (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'))
                 ? 1
                 : 0;
  }
  if (profile.problems.size() > vontrel::can::MAX_PROBLEMS) {
    __builtin_trap();
  }
  for (const vontrel::can::Problem& problem : profile.problems) {
    if (problem.line == 0 || problem.line > lines) {
      __builtin_trap();
    }
  }
  for (const vontrel::can::Message& message : profile.messages) {
    if (message.length > 8 ||
        (!message.extended && message.id > 0x7FF && profile.problems.empty())) {
      __builtin_trap();
    }
  }
  return 0;
}
