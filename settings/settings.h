// The plug-in's settings: four typed stores filled from plugins/Vontrel.txt, read through
// getters that fall back on the caller's default.
//
// File format, one entry per line: `key type value`, fields separated by blanks or tabs. The
// type word is exactly one of flt, int, str, bool; any other line is ignored, which is how
// blank lines and free text fall out. Text after the value is ignored too.
#ifndef VONTREL_SETTINGS_SETTINGS_H
#define VONTREL_SETTINGS_SETTINGS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vontrel {

class Settings {
 public:
  // A settings file is a few hundred bytes; past this much it is something else (a log, a
  // file that never ends), and reading on would hold the host's start-up.
  static constexpr std::size_t MAX_FILE_BYTES = std::size_t{64} * 1024;

  // Reads the file at `path` into the stores, merging with what an earlier load stored.
  // False only when the file cannot be opened; the stores are then unchanged.
  bool load(const std::string& path);
  // The same, from a stream already open for reading; it is not closed. Of a file longer
  // than MAX_FILE_BYTES only the whole lines within that many bytes are read.
  void load_stream(std::FILE* file);
  // The same, from the file's bytes.
  void load_bytes(std::string_view bytes);
  // Whether the last load stopped at MAX_FILE_BYTES.
  bool cut_short() const noexcept { return cut_short_; }

  // Stores the entry of one line (without its line end), if it has a known type word. A NUL
  // ends the line, as it ends the text everywhere the value goes.
  void parse_line(std::string_view line);

  float get_float(std::string_view key, float fallback) const noexcept;
  std::int32_t get_int(std::string_view key, std::int32_t fallback) const noexcept;
  // An int entry's value as the line wrote it (its first word), for settings that read more
  // than decimal (a CAN source address in hex); null when there is no such entry.
  const std::string* get_int_text(std::string_view key) const noexcept;
  // Refers to the stored text, or to `fallback` itself when the key is absent.
  const std::string& get_string(std::string_view key, const std::string& fallback) const noexcept;
  // The word after a str entry's value, which the line leaves as a comment ("B" of
  // "comport str A, B"); empty when there is none.
  const std::string& get_string_comment(std::string_view key) const noexcept;
  bool get_bool(std::string_view key, bool fallback) const noexcept;

  // Every key that starts with `prefix`, in any store, with its store's type word ("int",
  // "str", ...), in order: for a family of settings that says which of its keys it knows.
  std::vector<std::pair<std::string, std::string>> keys_with_prefix(std::string_view prefix) const;

 private:
  // Transparent comparison lets the getters look up a string_view without building a string:
  // get_bool runs on the host's frame path, which must not allocate.
  template <typename T>
  using store = std::map<std::string, T, std::less<>>;

  store<float> float_values;
  store<std::int32_t> int_values;
  store<std::string> int_texts;
  store<std::string> string_values;
  store<std::string> string_comments;
  store<bool> bool_values;
  bool cut_short_ = false;
};

// UTF-16 text (after its byte-order mark) as UTF-8. A surrogate without its partner, and an
// odd last byte, become U+FFFD, as any decoder shows them.
std::string utf16_as_utf8(std::string_view bytes, bool little_endian);

}  // namespace vontrel

#endif  // VONTREL_SETTINGS_SETTINGS_H
