#include "settings/settings.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <limits>
#include <memory>

namespace vontrel {

namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// Reads one whitespace-delimited word, skipping leading whitespace; empty when none is left.
std::string_view next_word(std::string_view& rest) {
  std::size_t start = 0;
  while (start < rest.size() && is_blank(rest[start])) {
    ++start;
  }
  std::size_t end = start;
  while (end < rest.size() && !is_blank(rest[end])) {
    ++end;
  }
  std::string_view word = rest.substr(start, end - start);
  rest.remove_prefix(end);
  return word;
}

std::string_view skip_blanks(std::string_view text) {
  std::size_t start = 0;
  while (start < text.size() && is_blank(text[start])) {
    ++start;
  }
  return text.substr(start);
}

// Length of the optional sign and decimal digits at the start of `text`; 0 when no digit.
std::size_t integer_span(std::string_view text) {
  std::size_t n = 0;
  if (n < text.size() && (text[n] == '+' || text[n] == '-')) {
    ++n;
  }
  const std::size_t digits_start = n;
  while (n < text.size() && is_digit(text[n])) {
    ++n;
  }
  return n == digits_start ? 0 : n;
}

// A value is read as far as its characters form a number: "12abc" is 12, "3.9" as an
// integer is 3, "0x10" is 0. A value that cannot be read at all, or that lies outside the
// 32-bit range, stores 0: a determined value, never what happened to be in memory.
std::int32_t read_int(std::string_view rest) {
  rest = skip_blanks(rest);
  const std::size_t n = integer_span(rest);
  if (n == 0) {
    return 0;
  }
  std::size_t first = rest[0] == '+' ? 1 : 0;  // from_chars takes no plus sign
  std::int64_t value = 0;
  const char* begin = rest.data() + first;
  const char* end = rest.data() + n;
  const auto result = std::from_chars(begin, end, value);
  if (result.ec != std::errc{} || value < std::numeric_limits<std::int32_t>::min() ||
      value > std::numeric_limits<std::int32_t>::max()) {
    return 0;
  }
  return static_cast<std::int32_t>(value);
}

// Optional sign, digits with an optional fraction after a point, optional exponent. The point
// is the only decimal separator whatever locale the host runs in, so "1,5" reads 1.
float read_float(std::string_view rest) {
  rest = skip_blanks(rest);
  std::size_t n = 0;
  bool negative = false;
  if (n < rest.size() && (rest[n] == '+' || rest[n] == '-')) {
    negative = rest[n] == '-';
    ++n;
  }
  const std::size_t mantissa_start = n;
  std::size_t digits = 0;
  while (n < rest.size() && is_digit(rest[n])) {
    ++n;
    ++digits;
  }
  if (n < rest.size() && rest[n] == '.') {
    ++n;
    while (n < rest.size() && is_digit(rest[n])) {
      ++n;
      ++digits;
    }
  }
  if (digits == 0) {
    return 0.0f;
  }
  std::size_t mantissa_end = n;
  if (n < rest.size() && (rest[n] == 'e' || rest[n] == 'E')) {
    const std::size_t exponent = integer_span(rest.substr(n + 1));
    if (exponent != 0) {
      mantissa_end = n + 1 + exponent;
    }
  }
  float value = 0.0f;
  const auto result = std::from_chars(rest.data() + mantissa_start, rest.data() + mantissa_end,
                                      value, std::chars_format::general);
  if (result.ec != std::errc{}) {
    return 0.0f;  // beyond the float range
  }
  return negative ? -value : value;
}

// Only the numbers 0 and 1 are readable; "2", "true" or "yes" store false.
bool read_bool(std::string_view rest) {
  rest = skip_blanks(rest);
  const std::size_t n = integer_span(rest);
  if (n == 0) {
    return false;
  }
  std::int64_t value = 0;
  const std::size_t first = rest[0] == '+' ? 1 : 0;
  const auto result = std::from_chars(rest.data() + first, rest.data() + n, value);
  return result.ec == std::errc{} && value == 1;
}

void append_utf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | code >> 6));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | code >> 12));
    out.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | code >> 18));
    out.push_back(static_cast<char>(0x80 | (code >> 12 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

}  // namespace

std::string utf16_as_utf8(std::string_view bytes, bool little_endian) {
  constexpr std::uint32_t replacement = 0xFFFD;
  std::string out;
  out.reserve(bytes.size());
  const auto unit_at = [&](std::size_t i) {
    const auto first = static_cast<unsigned char>(bytes[i]);
    const auto second = static_cast<unsigned char>(bytes[i + 1]);
    return static_cast<std::uint32_t>(little_endian ? first | second << 8 : first << 8 | second);
  };
  std::size_t i = 0;
  for (; i + 1 < bytes.size(); i += 2) {
    const std::uint32_t unit = unit_at(i);
    if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < bytes.size()) {
      const std::uint32_t low = unit_at(i + 2);
      if (low >= 0xDC00 && low < 0xE000) {
        append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        i += 2;
        continue;
      }
    }
    append_utf8(out, unit >= 0xD800 && unit < 0xE000 ? replacement : unit);
  }
  if (i < bytes.size()) {
    append_utf8(out, replacement);
  }
  return out;
}

namespace {

struct file_closer {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

}  // namespace

bool Settings::load(const std::string& path) {
  // Binary mode with our own line-end handling gives the same result on every platform: a
  // carriage return before the line feed ends the line, and a stray 0x1A byte does not end
  // the file as it would in a Windows text-mode stream. The C runtime's fopen shares the file
  // for reading and writing, so an editor holding it open does not stop us.
  std::unique_ptr<std::FILE, file_closer> file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    return false;
  }
  load_stream(file.get());
  return true;
}

void Settings::load_stream(std::FILE* file) {
  // The whole file first (a settings file is a few lines): its encoding is known only from its
  // first bytes. A read error ends it like the end of the file. One byte past the limit is
  // enough to know the file goes on.
  std::string bytes;
  char chunk[512];
  for (std::size_t n = 0; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) {
    bytes.append(chunk, n);
    if (bytes.size() > MAX_FILE_BYTES) {
      break;
    }
  }
  load_bytes(bytes);
}

void Settings::load_bytes(std::string_view bytes) {
  cut_short_ = false;
  if (bytes.size() > MAX_FILE_BYTES) {
    // Only whole lines: a line cut at the limit could store a value cut short.
    bytes = bytes.substr(0, MAX_FILE_BYTES);
    const std::size_t last_line_end = bytes.rfind('\n');
    bytes = bytes.substr(0, last_line_end == std::string_view::npos ? 0 : last_line_end + 1);
    cut_short_ = true;
  }
  std::string_view text = bytes;
  std::string converted;
  // Notepad offers to save as "UTF-16" (and "UTF-16 BE"); such a file would otherwise be read
  // as one garbled line, the port silently becoming COM3.
  if (text.size() >= 2 &&
      ((text[0] == '\xFF' && text[1] == '\xFE') || (text[0] == '\xFE' && text[1] == '\xFF'))) {
    converted = utf16_as_utf8(text.substr(2), text[0] == '\xFF');
    text = converted;
  } else if (text.substr(0, 3) == "\xEF\xBB\xBF") {
    // "UTF-8 with BOM": the mark would otherwise glue itself to the first key and lose that line.
    text.remove_prefix(3);
  }
  // A carriage return before the line feed ends the line; the last line counts even without a
  // line end, and a file that ends with one yields a final empty line, which stores nothing.
  for (bool more = true; more;) {
    const std::size_t end = text.find('\n');
    more = end != std::string_view::npos;
    std::string_view line = text.substr(0, end);
    if (more && !line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    parse_line(line);
    text.remove_prefix(more ? end + 1 : text.size());
  }
}

void Settings::parse_line(std::string_view line) {
  // The port's name goes to the system, and every text to the host's log, as C strings: a
  // NUL would end them there, so the store ends it here too.
  std::string_view rest = line.substr(0, line.find('\0'));
  const std::string_view key = next_word(rest);
  const std::string_view type = next_word(rest);

  if (type == "flt") {
    float_values.insert_or_assign(std::string(key), read_float(rest));
  } else if (type == "int") {
    int_values.insert_or_assign(std::string(key), read_int(rest));
    int_texts.insert_or_assign(std::string(key), std::string(next_word(rest)));
  } else if (type == "str") {
    string_values.insert_or_assign(std::string(key), std::string(next_word(rest)));
    string_comments.insert_or_assign(std::string(key), std::string(next_word(rest)));
  } else if (type == "bool") {
    bool_values.insert_or_assign(std::string(key), read_bool(rest));
  }
}

float Settings::get_float(std::string_view key, float fallback) const noexcept {
  const auto it = float_values.find(key);
  return it == float_values.end() ? fallback : it->second;
}

std::int32_t Settings::get_int(std::string_view key, std::int32_t fallback) const noexcept {
  const auto it = int_values.find(key);
  return it == int_values.end() ? fallback : it->second;
}

const std::string* Settings::get_int_text(std::string_view key) const noexcept {
  const auto it = int_texts.find(key);
  return it == int_texts.end() ? nullptr : &it->second;
}

const std::string& Settings::get_string(std::string_view key,
                                        const std::string& fallback) const noexcept {
  const auto it = string_values.find(key);
  return it == string_values.end() ? fallback : it->second;
}

const std::string& Settings::get_string_comment(std::string_view key) const noexcept {
  static const std::string none;
  const auto it = string_comments.find(key);
  return it == string_comments.end() ? none : it->second;
}

bool Settings::get_bool(std::string_view key, bool fallback) const noexcept {
  const auto it = bool_values.find(key);
  return it == bool_values.end() ? fallback : it->second;
}

std::vector<std::pair<std::string, std::string>> Settings::keys_with_prefix(
    std::string_view prefix) const {
  std::vector<std::pair<std::string, std::string>> found;
  const auto collect = [&](const auto& values, const char* type) {
    for (auto it = values.lower_bound(prefix);
         it != values.end() && std::string_view(it->first).substr(0, prefix.size()) == prefix;
         ++it) {
      found.emplace_back(it->first, type);
    }
  };
  collect(float_values, "flt");
  collect(int_values, "int");
  collect(string_values, "str");
  collect(bool_values, "bool");
  std::sort(found.begin(), found.end());
  return found;
}

}  // namespace vontrel
