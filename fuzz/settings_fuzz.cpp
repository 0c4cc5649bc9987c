// A whole settings file's bytes through the reader, then every getter.
#include <cstdint>
#include <cstdio>

#include "settings/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::FILE* file = std::tmpfile();
  if (file == nullptr) {
    return 0;
  }
  if (size > 0 && std::fwrite(data, 1, size, file) != size) {
    std::fclose(file);
    return 0;
  }
  std::rewind(file);
  vontrel::Settings settings;
  settings.load_stream(file);
  std::fclose(file);

  const std::string fallback = "COM3";
  const std::string& port = settings.get_string("comport", fallback);
  if (port.find_first_of(" \t\n\r\v\f") != std::string::npos) {
    __builtin_trap();  // a str value is one word
  }
  static_cast<void>(settings.get_bool("debug_mode", true));
  static_cast<void>(settings.get_int("comport", 0));
  static_cast<void>(settings.get_float("comport", 0.0f));
  return 0;
}
