// Lines of the plug-in's settings file (Vontrel.txt: "key type value", anything after the
// value a comment) set without disturbing the rest: every other line, each comment and the
// file's line ends stay as the player left them.
#ifndef VONTREL_TOOLS_FLASH_SETTINGS_LINES_H
#define VONTREL_TOOLS_FLASH_SETTINGS_LINES_H

#include <string>
#include <vector>

namespace vontrel::flash {

struct SettingLine {
  std::string key, type, value;
};

// `text` with each setting's line given the new type and value (the first such line; the
// words after its value kept), or the line added at the end.
std::string with_settings(const std::string& text, const std::vector<SettingLine>& settings);

// The same on a file, created where there is none. False, with `why`, when it cannot be read or
// written.
bool set_settings(const std::string& path, const std::vector<SettingLine>& settings,
                  std::string& why);

}  // namespace vontrel::flash

#endif  // VONTREL_TOOLS_FLASH_SETTINGS_LINES_H
