// A tool started by a double-click gets a console window of its own, which closes the moment
// the tool ends: a player sees it flash and vanish. Such a start shows the help and waits.
#ifndef VONTREL_TOOLS_COMMON_CONSOLE_H
#define VONTREL_TOOLS_COMMON_CONSOLE_H

#include <cstdio>
#include <string>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX  // std::min and std::max, not the macros
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif

namespace vontrel::tools {

// True when nothing else shares the console: the tool was started from Explorer, not from a
// prompt (whose own process shares it). Never on POSIX, where a terminal outlives its tools.
inline bool started_by_double_click() {
#ifdef _WIN32
  DWORD processes[2];
  return ::GetConsoleProcessList(processes, 2) == 1;
#else
  return false;
#endif
}

// With no arguments from a double-click: the help, how to use it, and a wait for Enter.
inline bool explain_and_wait(int argc, const std::string& help) {
  if (argc > 1 || !started_by_double_click()) {
    return false;
  }
  std::printf("%s\n", help.c_str());
  std::printf(
      "This tool runs from a command prompt (or use the .cmd files beside the plugins "
      "folder).\nPress Enter to close this window.\n");
  std::fflush(stdout);
  std::getchar();
  return true;
}

}  // namespace vontrel::tools

#endif  // VONTREL_TOOLS_COMMON_CONSOLE_H
