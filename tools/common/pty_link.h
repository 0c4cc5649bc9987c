// The symbolic link a tool makes to its pseudo-terminal, so the plug-in's settings (or Wine's
// dosdevices/comN) can name a fixed path. Shared by vontrel-monitor and vontrel-cluster.
#ifndef VONTREL_TOOLS_COMMON_PTY_LINK_H
#define VONTREL_TOOLS_COMMON_PTY_LINK_H

#include <filesystem>
#include <string>
#include <system_error>

namespace vontrel::tools {

// Status for a link path that is something other than a symbolic link.
constexpr int EXIT_LINK_TAKEN = 73;

// True when nothing is at `link` or it is a symbolic link: the only things a tool may replace.
// A file or a directory there is somebody's data.
inline bool link_path_free(const std::string& link) {
  std::error_code error;
  const auto status = std::filesystem::symlink_status(link, error);
  return !std::filesystem::exists(status) || std::filesystem::is_symlink(status);
}

// Points `link` at `pty`, replacing an older link (a tool that ended without cleaning up).
inline bool make_pty_link(const std::string& link, const std::string& pty, std::string& error) {
  if (!link_path_free(link)) {
    error = link + " is taken: it exists and is not a symbolic link";
    return false;
  }
  std::error_code failure;
  std::filesystem::remove(link, failure);
  std::filesystem::create_symlink(pty, link, failure);
  if (failure) {
    error = "cannot link " + link + ": " + failure.message();
    return false;
  }
  return true;
}

// Removes `link` while it still points at our `pty`: a second tool started on the same path
// has taken it over, and its link must outlive us.
inline void remove_pty_link(const std::string& link, const std::string& pty) {
  std::error_code error;
  if (std::filesystem::is_symlink(std::filesystem::symlink_status(link, error)) &&
      std::filesystem::read_symlink(link, error) == pty && !error) {
    std::filesystem::remove(link, error);
  }
}

}  // namespace vontrel::tools

#endif  // VONTREL_TOOLS_COMMON_PTY_LINK_H
