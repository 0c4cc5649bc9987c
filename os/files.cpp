// kind_of_file: what a path names, without opening it.
#include <cctype>
#include <string>

#include "os/os.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace vontrel::os {

#ifdef _WIN32

namespace {

// Windows opens a device for these names in any folder, with any extension ("COM8",
// "C:\cockpit\nul.dbc"): CON, PRN, AUX, NUL, COM0-9 and LPT0-9, in any case, trailing dots
// and spaces ignored.
bool names_a_device(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\:");
  std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
  const std::size_t dot = name.find('.');
  name = name.substr(0, dot);
  while (!name.empty() && name.back() == ' ') {
    name.pop_back();
  }
  for (char& c : name) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  if (name == "CON" || name == "PRN" || name == "AUX" || name == "NUL" || name == "CONIN$" ||
      name == "CONOUT$") {
    return true;
  }
  return name.size() == 4 && (name.rfind("COM", 0) == 0 || name.rfind("LPT", 0) == 0) &&
         std::isdigit(static_cast<unsigned char>(name[3])) != 0;
}

}  // namespace

file_kind kind_of_file(const std::string& path) noexcept {
  try {
    // "\\.\COM8", "\\?\GLOBALROOT\Device\...": the device namespace, whatever follows.
    if (path.rfind("\\\\.\\", 0) == 0 || path.rfind("//./", 0) == 0 ||
        path.rfind("\\\\?\\GLOBALROOT", 0) == 0 || names_a_device(path)) {
      return file_kind::device;
    }
  } catch (...) {
    return file_kind::other;
  }
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return file_kind::missing;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return file_kind::directory;
  }
  if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
    return file_kind::device;
  }
  return file_kind::regular;
}

#else

file_kind kind_of_file(const std::string& path) noexcept {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    return file_kind::missing;
  }
  if (S_ISREG(status.st_mode)) {
    return file_kind::regular;
  }
  if (S_ISDIR(status.st_mode)) {
    return file_kind::directory;
  }
  if (S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode)) {
    return file_kind::device;
  }
  return file_kind::other;  // a FIFO or a socket
}

#endif

}  // namespace vontrel::os
