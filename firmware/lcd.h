// The 16x2 HD44780 text display in 4-bit mode, written only (RW is tied to ground), so every
// command waits out the controller's own time instead of reading its busy flag.
#ifndef VONTREL_FIRMWARE_LCD_H
#define VONTREL_FIRMWARE_LCD_H

#include <stdint.h>

namespace vontrel {
namespace lcd {

constexpr uint8_t WIDTH = 16;

void init();
// Writes a line of WIDTH characters if it differs from what the display shows.
void show(uint8_t line, const char* text);

}  // namespace lcd
}  // namespace vontrel

#endif  // VONTREL_FIRMWARE_LCD_H
