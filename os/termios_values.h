// termios constants and the numbers they stand for, for everything of ours that sets or reads
// a POSIX serial line: the plug-in's os layer and the monitor.
#ifndef VONTREL_OS_TERMIOS_VALUES_H
#define VONTREL_OS_TERMIOS_VALUES_H

#include <termios.h>

#include <cstdint>

namespace vontrel::os::termios_values {

// The rates a cluster's line may run at; anything else becomes 115200.
inline speed_t speed_constant(std::uint32_t baud_rate) {
  switch (baud_rate) {
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 230400:
      return B230400;
    default:
      return B115200;
  }
}

// 0 for a rate not among them.
inline std::uint32_t baud_of(speed_t speed) {
  switch (speed) {
    case B9600:
      return 9600;
    case B19200:
      return 19200;
    case B38400:
      return 38400;
    case B57600:
      return 57600;
    case B115200:
      return 115200;
    case B230400:
      return 230400;
    default:
      return 0;
  }
}

inline std::uint8_t byte_size_of(tcflag_t cflag) {
  switch (cflag & CSIZE) {
    case CS5:
      return 5;
    case CS6:
      return 6;
    case CS7:
      return 7;
    default:
      return 8;
  }
}

inline tcflag_t csize_of(std::uint8_t byte_size) {
  switch (byte_size) {
    case 5:
      return CS5;
    case 6:
      return CS6;
    case 7:
      return CS7;
    default:
      return CS8;
  }
}

}  // namespace vontrel::os::termios_values

#endif  // VONTREL_OS_TERMIOS_VALUES_H
