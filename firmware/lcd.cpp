#include "firmware/lcd.h"

#include <avr/io.h>
#include <util/delay.h>

namespace vontrel {
namespace lcd {

namespace {

constexpr uint8_t RS = _BV(PC4);
constexpr uint8_t E = _BV(PC5);
constexpr uint8_t DATA = 0x0F;  // D4-D7 on PC0-PC3

// What each command takes at worst. The datasheet's times hold at 270 kHz and grow as the
// controller's oscillator slows; slow or cold modules run near 190 kHz, so these are the
// datasheet's times scaled to that and rounded up.
constexpr double WRITE_US = 60;      // 37 us at 270 kHz
constexpr double CLEAR_MS = 3;       // 1.52 ms at 270 kHz
constexpr double SYNC_US = 150;      // the 100 us of the 4-bit hand-shake, with room
constexpr double FIRST_SYNC_MS = 5;  // 4.1 ms after the first 0x3

char shown[2][WIDTH];

void nibble(uint8_t value) {
  PORTC = static_cast<uint8_t>((PORTC & ~DATA) | (value & DATA));
  PORTC |= E;
  _delay_us(1);
  PORTC &= static_cast<uint8_t>(~E);
}

void send(uint8_t value, bool data) {
  if (data) {
    PORTC |= RS;
  } else {
    PORTC &= static_cast<uint8_t>(~RS);
  }
  nibble(static_cast<uint8_t>(value >> 4));
  nibble(value);
  // Every write must land: the cache of what is shown trusts that it did.
  _delay_us(WRITE_US);
}

}  // namespace

void set_up() {
  PORTC &= static_cast<uint8_t>(~RS);
  // Into 4-bit mode from whatever state a reset, or a nibble lost to noise, left it in.
  nibble(0x3);
  _delay_ms(FIRST_SYNC_MS);
  nibble(0x3);
  _delay_us(SYNC_US);
  nibble(0x3);
  _delay_us(SYNC_US);
  nibble(0x2);
  _delay_us(SYNC_US);
  send(0x28, false);  // 4 bits, 2 lines, 5x8 dots
  send(0x0C, false);  // display on, no cursor
  send(0x06, false);  // left to right
}

void forget(char value) {
  for (auto& line : shown) {
    for (char& c : line) {
      c = value;
    }
  }
}

void init() {
  DDRC |= static_cast<uint8_t>(RS | E | DATA);
  _delay_ms(50);  // after power-up
  set_up();
  send(0x01, false);  // clear
  _delay_ms(CLEAR_MS);
  forget(' ');
}

void reinit() {
  set_up();
  forget('\0');  // no character the firmware shows: every one is written again
}

void show(uint8_t line, const char* text) {
  // Only the characters that changed: a new minute is one or two writes, not seventeen.
  uint8_t cursor = WIDTH;  // where the controller writes next; WIDTH: not on this line
  for (uint8_t i = 0; i < WIDTH; ++i) {
    if (shown[line][i] == text[i]) {
      continue;
    }
    if (cursor != i) {
      send(static_cast<uint8_t>(0x80 | ((line == 0 ? 0x00 : 0x40) + i)), false);
    }
    send(static_cast<uint8_t>(text[i]), true);
    shown[line][i] = text[i];
    cursor = static_cast<uint8_t>(i + 1);
  }
}

}  // namespace lcd
}  // namespace vontrel
