#include "tools/flash/settings_lines.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace vontrel::flash {

namespace {

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

}  // namespace

std::string with_settings(const std::string& text, const std::vector<SettingLine>& settings) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    start = end == std::string::npos ? text.size() : end + 1;
  }
  const bool crlf = text.find("\r\n") != std::string::npos;
  for (const SettingLine& setting : settings) {
    const std::string fresh = setting.key + " " + setting.type + " " + setting.value;
    bool found = false;
    for (std::string& line : lines) {
      const auto key = word(line, 0);
      if (key.first == std::string::npos ||
          line.compare(key.first, key.second - key.first, setting.key) != 0 ||
          key.second - key.first != setting.key.size()) {
        continue;
      }
      const auto value = word(line, 2);
      // The words after the value are the line's comment: keep them, and their spacing.
      const std::string rest = value.first == std::string::npos
                                   ? std::string(!line.empty() && line.back() == '\r' ? "\r" : "")
                                   : line.substr(value.second);
      std::string changed = line.substr(0, key.first);
      changed += fresh;
      changed += rest;
      line = changed;
      found = true;
      break;
    }
    if (!found) {
      lines.push_back(fresh + (crlf ? "\r" : ""));
    }
  }
  std::string out;
  for (const std::string& line : lines) {
    out += line + "\n";
  }
  return out;
}

bool set_settings(const std::string& path, const std::vector<SettingLine>& settings,
                  std::string& why) {
  std::string text;
  {
    std::ifstream in(path, std::ios::binary);
    if (in) {
      std::ostringstream all;
      all << in.rdbuf();
      text = all.str();
    }
  }
  const std::string out = with_settings(text, settings);
  // Through a file beside it, so that a full disk never leaves the player half a settings file.
  const std::string temporary = path + ".new";
  {
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    file << out;
    if (!file.flush()) {
      why = "Cannot write " + path + ".";
      std::remove(temporary.c_str());
      return false;
    }
  }
  std::remove(path.c_str());  // Windows renames onto no existing file
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    why = "Cannot write " + path + ".";
    return false;
  }
  return true;
}

}  // namespace vontrel::flash
