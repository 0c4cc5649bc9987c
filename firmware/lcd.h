// The 16x2 HD44780 text display in 4-bit mode, written only (RW is tied to ground), so every
// command waits out the controller's own time instead of reading its busy flag.
#ifndef VONTREL_FIRMWARE_LCD_H
#define VONTREL_FIRMWARE_LCD_H

#include <stdint.h>

namespace vontrel {
namespace lcd {

constexpr uint8_t WIDTH = 16;

// After power-up: waits for the controller to come up, then sets it up and clears it. The only
// call that waits: it comes before the cluster shows anything.
void init();
// Sets the controller up again from whatever state it is in (4-bit mode re-synchronised), and
// forgets what it showed, so that every character is written again. Only queued: work() does it.
void reinit();
// What a line of WIDTH characters should show. Only noted: work() writes what differs.
void show(uint8_t line, const char* text);
// One step of what the display has yet to do, if its time has come: a nibble or a byte to the
// controller (under 1 ms on the I2C backpack, 0.1 ms on six wires), never a wait of the
// controller's longer times, which pass while the main loop sleeps. `now` is the main loop's
// clock, which advances CLOCK_STEP_MS at a time. True when it did a step: call it again once
// the wire's bytes are taken; false when there is nothing to do until the next tick.
bool work(uint16_t now);
constexpr uint8_t CLOCK_STEP_MS = 4;
// Nothing to write and no set-up under way: what was last shown is on the display, whole.
bool idle();

// How often a display whose bus stopped answering is tried again.
constexpr uint16_t RETRY_MS = 3000;
// Once a tick: tries a lost display again when its time has come. True when it is back (to be
// set up afresh, every character to be written again).
bool poll(uint16_t now);

}  // namespace lcd
}  // namespace vontrel

#endif  // VONTREL_FIRMWARE_LCD_H
