#include "firmware/lcd.h"

#include <avr/io.h>
#include <util/delay.h>

namespace vontrel {
namespace lcd {

namespace {

constexpr uint8_t RS = _BV(PC4);
constexpr uint8_t E = _BV(PC5);
constexpr uint8_t DATA = 0x0F;  // D4-D7 on PC0-PC3

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
  _delay_us(45);  // a write takes the controller 37 us
}

}  // namespace

void init() {
  DDRC |= static_cast<uint8_t>(RS | E | DATA);
  _delay_ms(50);  // after power-up
  PORTC &= static_cast<uint8_t>(~RS);
  // Into 4-bit mode from whatever state a reset left the controller in.
  nibble(0x3);
  _delay_ms(5);
  nibble(0x3);
  _delay_us(150);
  nibble(0x3);
  _delay_us(150);
  nibble(0x2);
  _delay_us(150);
  send(0x28, false);  // 4 bits, 2 lines, 5x8 dots
  send(0x0C, false);  // display on, no cursor
  send(0x06, false);  // left to right
  send(0x01, false);  // clear
  _delay_ms(2);
  for (auto& line : shown) {
    for (char& c : line) {
      c = ' ';
    }
  }
}

void show(uint8_t line, const char* text) {
  bool same = true;
  for (uint8_t i = 0; i < WIDTH; ++i) {
    same = same && shown[line][i] == text[i];
  }
  if (same) {
    return;
  }
  send(static_cast<uint8_t>(0x80 | (line == 0 ? 0x00 : 0x40)), false);
  for (uint8_t i = 0; i < WIDTH; ++i) {
    send(static_cast<uint8_t>(text[i]), true);
    shown[line][i] = text[i];
  }
}

}  // namespace lcd
}  // namespace vontrel
