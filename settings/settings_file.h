// Our tools' way of changing lines of a player's settings file (Vontrel.txt) without harming the
// rest of it: every other line, each comment, the file's encoding (UTF-8, with or without its
// mark, or Notepad's UTF-16) and its line ends stay as the player left them, and what is written
// is what the plug-in's own reader then reads. The flasher and the setup tool both write
// through here.
#ifndef VONTREL_SETTINGS_SETTINGS_FILE_H
#define VONTREL_SETTINGS_SETTINGS_FILE_H

#include <string>
#include <vector>

namespace vontrel {

struct SettingEdit {
  std::string key, type, value;
  // An int the player set higher is kept (a startup_delay a slow board needs).
  bool keep_larger = false;
};

struct SettingsEdited {
  std::string bytes;  // the whole new file
  // What was changed from what to what, or kept and why: one line each, for the player.
  std::vector<std::string> notes;
  std::string refused;  // why nothing may be written; empty when `bytes` is the new file
};

// The file's `bytes` with each edit made: every line of the key given the new type and value
// (the plug-in reads the last, a player's eye the first), the words after the value kept; a
// key the file lacks added at its end, or at its top where the end is past what the plug-in
// reads. Checked by reading the result as the plug-in does.
SettingsEdited edit_settings(const std::string& bytes, const std::vector<SettingEdit>& edits);

// The same on the file at `path`, through links to their target, replaced in one step from a
// file beside it, keeping its permissions. A file that does not exist is started; one that
// cannot be read, is read-only, a folder or a device is left alone. False with `why`.
bool write_settings_file(const std::string& path, const std::vector<SettingEdit>& edits,
                         std::vector<std::string>& notes, std::string& why);

}  // namespace vontrel

#endif  // VONTREL_SETTINGS_SETTINGS_FILE_H
