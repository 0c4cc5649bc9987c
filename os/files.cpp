// What a path names, without opening it; and what a tool needs to rewrite a player's file.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "os/os.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
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

std::string followed_links(const std::string& path, std::string& /*why*/) {
  return path;
}

std::string write_protection(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    return "it is read-only (its Properties say so)";
  }
  return {};
}

namespace {

std::string system_text(DWORD code) {
  char* text = nullptr;
  const DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string out = length == 0 ? "error " + std::to_string(code) : std::string(text, length);
  ::LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.')) {
    out.pop_back();
  }
  return out;
}

}  // namespace

bool replace_file(const std::string& from, const std::string& to, std::string& why) {
  // One call: removing the old file first would lose it whenever the rename then fails (a
  // virus scanner or an editor holding it).
  if (::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) == 0) {
    why = system_text(::GetLastError());
    return false;
  }
  return true;
}

void copy_permissions(const std::string& model, const std::string& path) noexcept {
  const DWORD attributes = ::GetFileAttributesA(model.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    ::SetFileAttributesA(path.c_str(),
                         attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
  }
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

std::string followed_links(const std::string& path, std::string& why) {
  std::string at = path;
  // As the system itself gives up (ELOOP): a link that leads back to itself never ends.
  for (int hops = 0; hops < 40; ++hops) {
    struct stat status {};
    if (::lstat(at.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
      return at;
    }
    std::string target(static_cast<std::size_t>(status.st_size) + 256, '\0');
    const ssize_t length = ::readlink(at.c_str(), target.data(), target.size());
    if (length < 0) {
      why = std::strerror(errno);
      return {};
    }
    target.resize(static_cast<std::size_t>(length));
    const std::size_t slash = at.rfind('/');
    if (target.front() == '/' || slash == std::string::npos) {
      at = target;
    } else {
      at.resize(slash + 1);  // the link's own folder, where a relative target starts
      at += target;
    }
  }
  why = "its symbolic links go round in a circle";
  return {};
}

std::string write_protection(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    return {};
  }
  // The permission bits, not access(): a tool run as root may write anything, and would
  // otherwise replace a file the player made read-only on purpose.
  if ((status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    return "it is read-only (chmod u+w makes it writable)";
  }
  if (::access(path.c_str(), W_OK) != 0) {
    return std::string("this user may not write it (") + std::strerror(errno) + ")";
  }
  return {};
}

bool replace_file(const std::string& from, const std::string& to, std::string& why) {
  if (std::rename(from.c_str(), to.c_str()) != 0) {
    why = std::strerror(errno);
    return false;
  }
  return true;
}

void copy_permissions(const std::string& model, const std::string& path) noexcept {
  struct stat status {};
  if (::stat(model.c_str(), &status) != 0) {
    return;
  }
  ::chmod(path.c_str(), status.st_mode & 07777);
  // Only root may give a file away; for anyone else the owner is already right.
  if (::chown(path.c_str(), status.st_uid, status.st_gid) != 0) {
    return;
  }
}

#endif

}  // namespace vontrel::os
