#include "settings/settings_file.h"

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "os/os.h"
#include "settings/settings.h"

namespace vontrel {

namespace {

// Past this a file is no settings file a player wrote (the plug-in reads 64 KiB of it); it is
// never read whole.
constexpr std::size_t MAX_EDITED_BYTES = std::size_t{1024} * 1024;

enum class Encoding : std::uint8_t { utf8, utf8_marked, utf16_little, utf16_big };

struct Text {
  Encoding encoding = Encoding::utf8;
  std::string utf8;  // without the mark
};

Text decoded(const std::string& bytes) {
  if (bytes.size() >= 2 &&
      ((bytes[0] == '\xFF' && bytes[1] == '\xFE') || (bytes[0] == '\xFE' && bytes[1] == '\xFF'))) {
    const bool little = bytes[0] == '\xFF';
    return {little ? Encoding::utf16_little : Encoding::utf16_big,
            utf16_as_utf8(std::string_view(bytes).substr(2), little)};
  }
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    return {Encoding::utf8_marked, bytes.substr(3)};
  }
  return {Encoding::utf8, bytes};
}

void append_unit(std::string& out, std::uint32_t unit, bool little) {
  const auto high = static_cast<char>(unit >> 8 & 0xFF);
  const auto low = static_cast<char>(unit & 0xFF);
  out += little ? low : high;
  out += little ? high : low;
}

// UTF-8 as UTF-16. The text came from the file's own UTF-16 (or is ours), so it is well formed;
// a stray byte still becomes U+FFFD rather than being dropped.
std::string utf16_of(const std::string& text, bool little) {
  std::string out = little ? "\xFF\xFE" : "\xFE\xFF";
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const int length = lead < 0x80       ? 1
                       : lead >> 5 == 6  ? 2
                       : lead >> 4 == 14 ? 3
                       : lead >> 3 == 30 ? 4
                                         : 0;
    std::uint32_t code = 0xFFFD;
    if (length == 0 || i + static_cast<std::size_t>(length) > text.size()) {
      ++i;
    } else {
      code = length == 1 ? lead : lead & (0x7F >> length);
      for (int k = 1; k < length; ++k) {
        code = code << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
      }
      i += static_cast<std::size_t>(length);
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      append_unit(out, 0xD800 + (code >> 10), little);
      append_unit(out, 0xDC00 + (code & 0x3FF), little);
    } else {
      append_unit(out, code, little);
    }
  }
  return out;
}

std::string encoded(const std::string& utf8, Encoding encoding) {
  switch (encoding) {
    case Encoding::utf8_marked:
      return "\xEF\xBB\xBF" + utf8;
    case Encoding::utf16_little:
      return utf16_of(utf8, true);
    case Encoding::utf16_big:
      return utf16_of(utf8, false);
    case Encoding::utf8:
      break;
  }
  return utf8;
}

// An int edit's value as the plug-in reads it (our tools write plain decimal).
std::int64_t int_of(const std::string& text) {
  std::int64_t value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

bool blank(char c) {
  return c == ' ' || c == '\t';
}

// Where the n-th word (from 0) of `line` starts and ends; npos when it has fewer words.
std::pair<std::size_t, std::size_t> word(const std::string& line, int n) {
  std::size_t at = 0;
  for (int i = 0;; ++i) {
    while (at < line.size() && blank(line[at])) {
      ++at;
    }
    if (at >= line.size() || line[at] == '\r') {
      return {std::string::npos, std::string::npos};
    }
    std::size_t end = at;
    while (end < line.size() && !blank(line[end]) && line[end] != '\r') {
      ++end;
    }
    if (i == n) {
      return {at, end};
    }
    at = end;
  }
}

std::string word_text(const std::string& line, int n) {
  const auto span = word(line, n);
  return span.first == std::string::npos ? std::string()
                                         : line.substr(span.first, span.second - span.first);
}

// A line that sets `key`: its first word, then a type word or nothing (a bare key is the
// player's unfinished line, set now). "comport is the cluster's port" is a note, left alone.
bool sets_key(const std::string& line, const std::string& key) {
  if (word_text(line, 0) != key) {
    return false;
  }
  const std::string type = word_text(line, 1);
  return type.empty() || type == "str" || type == "int" || type == "flt" || type == "bool";
}

std::string replaced(const std::string& line, const std::string& fresh) {
  const auto key = word(line, 0);
  const auto value = word(line, 2);
  // The words after the value are the line's comment: keep them, and their spacing.
  const std::string rest = value.first == std::string::npos
                               ? std::string(!line.empty() && line.back() == '\r' ? "\r" : "")
                               : line.substr(value.second);
  return line.substr(0, key.first) + fresh + rest;
}

// Whether the plug-in, reading `settings`, takes `edit`'s value (at least it, where the
// player's larger one is kept).
bool reads_back(const Settings& settings, const SettingEdit& edit) {
  if (edit.type == "str") {
    static const std::string absent = "\n";
    return settings.get_string(edit.key, absent) == edit.value;
  }
  if (edit.type == "int") {
    const std::string* text = settings.get_int_text(edit.key);
    if (text == nullptr) {
      return false;
    }
    return edit.keep_larger ? settings.get_int(edit.key, 0) >= int_of(edit.value)
                            : *text == edit.value;
  }
  if (edit.type == "bool") {
    return settings.get_bool(edit.key, edit.value != "1") == (edit.value == "1");
  }
  const float wanted = std::strtof(edit.value.c_str(), nullptr);
  return settings.get_float(edit.key, wanted + 1.0f) == wanted;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& line : lines) {
    out += line;
    out += '\n';
  }
  return out;
}

}  // namespace

SettingsEdited edit_settings(const std::string& bytes, const std::vector<SettingEdit>& edits) {
  SettingsEdited result;
  const Text text = decoded(bytes);
  Settings before;
  before.load_bytes(bytes);

  std::vector<std::string> lines;
  for (std::size_t start = 0; start < text.utf8.size();) {
    const std::size_t end = text.utf8.find('\n', start);
    lines.push_back(text.utf8.substr(start, end == std::string::npos ? end : end - start));
    start = end == std::string::npos ? text.utf8.size() : end + 1;
  }
  const std::string line_end = text.utf8.find("\r\n") != std::string::npos ? "\r" : "";

  std::vector<std::string> missing;  // lines of keys the file lacks
  for (const SettingEdit& edit : edits) {
    const std::string fresh = edit.key + " " + edit.type + " " + edit.value;
    if (edit.keep_larger && edit.type == "int" && before.get_int_text(edit.key) != nullptr &&
        before.get_int(edit.key, 0) > int_of(edit.value)) {
      result.notes.push_back(edit.key + " " + std::to_string(before.get_int(edit.key, 0)) +
                             " kept: longer than the " + edit.value + " needed here");
      continue;
    }
    bool found = false;
    for (std::string& line : lines) {
      if (sets_key(line, edit.key)) {
        line = replaced(line, fresh);
        found = true;
      }
    }
    if (!found) {
      missing.push_back(fresh + line_end);
      result.notes.push_back(fresh + " added");
      continue;
    }
    static const std::string unset;
    const std::string* was =
        edit.type == "str" ? &before.get_string(edit.key, unset) : before.get_int_text(edit.key);
    if (was == nullptr || *was != edit.value) {
      result.notes.push_back(edit.key + " " + (was == nullptr || was->empty() ? "(unset)" : *was) +
                             " changed to " + edit.value);
    }
  }

  const auto all_read = [&edits](const std::string& candidate) {
    Settings after;
    after.load_bytes(candidate);
    for (const SettingEdit& edit : edits) {
      if (!reads_back(after, edit)) {
        return edit.key;
      }
    }
    return std::string();
  };
  std::vector<std::string> at_end = lines;
  at_end.insert(at_end.end(), missing.begin(), missing.end());
  result.bytes = encoded(joined(at_end), text.encoding);
  if (all_read(result.bytes).empty()) {
    return result;
  }
  // The end is past the 64 KiB the plug-in reads: the keys go first, where it reads them.
  std::vector<std::string> at_top;
  at_top.reserve(edits.size() + lines.size());
  for (const SettingEdit& edit : edits) {
    at_top.push_back(edit.key + " " + edit.type + " " + edit.value + line_end);
  }
  at_top.insert(at_top.end(), lines.begin(), lines.end());
  result.bytes = encoded(joined(at_top), text.encoding);
  const std::string unread = all_read(result.bytes);
  if (!unread.empty()) {
    result.refused = "the plug-in would not read the " + unread + " line written into it";
    result.bytes.clear();
  } else {
    result.notes.emplace_back(
        "the file is larger than the plug-in reads (64 KiB): the lines are "
        "at its top");
  }
  return result;
}

bool write_settings_file(const std::string& path, const std::vector<SettingEdit>& edits,
                         std::vector<std::string>& notes, std::string& why) {
  const auto refuse = [&why](const std::string& file, const std::string& reason) {
    why = "Nothing written into " + file + ": " + reason + ".";
    return false;
  };
  std::string link_trouble;
  const std::string target = os::followed_links(path, link_trouble);
  if (target.empty()) {
    return refuse(path, link_trouble);
  }
  switch (os::kind_of_file(target)) {
    case os::file_kind::directory:
      return refuse(target, "it is a folder, not a settings file");
    case os::file_kind::device:
    case os::file_kind::other:
      return refuse(target, "it is a device or a pipe, not a settings file");
    case os::file_kind::regular:
    case os::file_kind::missing:
      break;
  }

  // Only a file that is not there may be started afresh: one that cannot be read would lose
  // every line the player had.
  std::string bytes;
  bool existed = false;
  {
    struct closer {
      void operator()(std::FILE* file) const noexcept { std::fclose(file); }
    };
    errno = 0;
    std::unique_ptr<std::FILE, closer> file(std::fopen(target.c_str(), "rb"));
    if (!file && errno != ENOENT) {
      return refuse(target, std::string("it cannot be read (") + std::strerror(errno) + ")");
    }
    if (file) {
      existed = true;
      char chunk[4096];
      for (std::size_t n = 0; (n = std::fread(chunk, 1, sizeof chunk, file.get())) > 0;) {
        bytes.append(chunk, n);
        if (bytes.size() > MAX_EDITED_BYTES) {
          return refuse(target, "it is over 1 MiB, no settings file");
        }
      }
      if (std::ferror(file.get()) != 0) {
        return refuse(target, "reading it failed");
      }
    }
  }
  if (existed) {
    const std::string protection = os::write_protection(target);
    if (!protection.empty()) {
      return refuse(target, protection);
    }
  }

  SettingsEdited edited = edit_settings(bytes, edits);
  if (!edited.refused.empty()) {
    return refuse(target, edited.refused);
  }
  // Through a file beside it, so that a full disk never leaves the player half a settings file.
  const std::string fresh = target + ".new";
  {
    std::FILE* file = std::fopen(fresh.c_str(), "wb");
    if (file == nullptr) {
      return refuse(target,
                    std::string("cannot create ") + fresh + " (" + std::strerror(errno) + ")");
    }
    const bool written =
        std::fwrite(edited.bytes.data(), 1, edited.bytes.size(), file) == edited.bytes.size();
    if (std::fclose(file) != 0 || !written) {
      std::remove(fresh.c_str());
      return refuse(target, "writing " + fresh + " failed (is the disk full?)");
    }
  }
  if (existed) {
    os::copy_permissions(target, fresh);
  }
  std::string trouble;
  if (!os::replace_file(fresh, target, trouble)) {
    why = "Cannot replace " + target + " (" + trouble + "); it is as it was, and the new " +
          "settings are in " + fresh + ".";
    return false;
  }
  if (target != path) {
    notes.push_back("written through the link " + path + " into " + target);
  }
  notes.insert(notes.end(), edited.notes.begin(), edited.notes.end());
  return true;
}

}  // namespace vontrel
