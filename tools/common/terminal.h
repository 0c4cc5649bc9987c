// Whether standard output is a terminal (not a pipe or a file): a tool then shows live lines
// and bars, and plain lines otherwise.
#ifndef VONTREL_TOOLS_COMMON_TERMINAL_H
#define VONTREL_TOOLS_COMMON_TERMINAL_H

#include <cstdio>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace vontrel::tools {

inline bool output_is_terminal() {
#ifdef _WIN32
  return ::_isatty(::_fileno(stdout)) != 0;
#else
  return ::isatty(STDOUT_FILENO) != 0;
#endif
}

}  // namespace vontrel::tools

#endif  // VONTREL_TOOLS_COMMON_TERMINAL_H
