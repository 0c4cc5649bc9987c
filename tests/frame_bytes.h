// Helpers to compare frames with the byte tables firmware writers work from.
#ifndef VONTREL_TESTS_FRAME_BYTES_H
#define VONTREL_TESTS_FRAME_BYTES_H

#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace vontrel::testing {

using Bytes = std::vector<std::uint8_t>;

// "FF 04 10 00" -> bytes.
inline Bytes hex(const std::string& text) {
  Bytes bytes;
  std::istringstream in(text);
  std::string token;
  while (in >> token) {
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(token, nullptr, 16)));
  }
  return bytes;
}

inline std::string to_hex(const Bytes& bytes) {
  std::string text;
  char part[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(part, sizeof part, "%02X", bytes[i]);
    text += (i == 0 ? "" : " ");
    text += part;
  }
  return text;
}

}  // namespace vontrel::testing

#endif  // VONTREL_TESTS_FRAME_BYTES_H
