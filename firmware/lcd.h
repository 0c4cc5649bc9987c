// The 16x2 HD44780 text display in 4-bit mode, written only (RW is tied to ground), so every
// command waits out the controller's own time instead of reading its busy flag.
#ifndef VONTREL_FIRMWARE_LCD_H
#define VONTREL_FIRMWARE_LCD_H

#include <stdint.h>

namespace vontrel {
namespace lcd {

constexpr uint8_t WIDTH = 16;

// After power-up: waits for the controller to come up, then sets it up and clears it.
void init();
// Sets the controller up again from whatever state it is in (4-bit mode re-synchronised), and
// forgets what it showed, so the next show() writes every character.
void reinit();
// Writes a line of WIDTH characters if it differs from what the display shows.
void show(uint8_t line, const char* text);

// How often a display whose bus stopped answering is tried again.
constexpr uint16_t RETRY_MS = 3000;
// Once a tick: tries a lost display again when its time has come. True when it is back (set up
// afresh, every character to be written again).
bool poll(uint16_t now);

}  // namespace lcd
}  // namespace vontrel

#endif  // VONTREL_FIRMWARE_LCD_H
