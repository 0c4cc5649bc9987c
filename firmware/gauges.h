// How the reference cluster shows the wire's values: the PWM ranges of its four gauges, their
// default full scales (config.h's tables calibrate them) and the pins everything is wired to.
// C++14 without the standard library, for avr-g++.
#ifndef VONTREL_FIRMWARE_GAUGES_H
#define VONTREL_FIRMWARE_GAUGES_H

#include <stdint.h>

#include "src/protocol/wire.h"

namespace vontrel {
namespace gauges {

// Speed and rpm needles: Timer1, 16-bit fast PWM with this TOP (1.6 kHz at 16 MHz, no
// prescaler), OC1A on PB1 (Arduino D9) and OC1B on PB2 (D10).
constexpr uint16_t NEEDLE_TOP = 9999;
constexpr uint16_t SPEED_FULL_KMH = 150;  // the needle's full scale
constexpr uint16_t RPM_FULL = 3000;

// Fuel and water gauges: Timer0, 8-bit phase-correct PWM, OC0A on PD6 (D6) and OC0B on PD5 (D5).
constexpr uint8_t GAUGE_TOP = 255;
constexpr uint8_t FUEL_FULL_PERCENT = 100;
constexpr int16_t WATER_LOW_C = 40;  // the gauge's range
constexpr int16_t WATER_HIGH_C = 130;

// Three times the degrees the gauge byte stands for: (byte - 75) x 4 + 90.
constexpr int16_t water_thirds(uint8_t gauge) {
  return static_cast<int16_t>((static_cast<int16_t>(gauge) - 75) * 4 + 90);
}

// The 13 lamps go out on two chained 74HC595s, lamp bit n on output n (bits 0-7 on QA-QH of
// the register nearest the microcontroller): MOSI PB3 (D11), SCK PB5 (D13), latch PB0 (D8),
// and both registers' OE on PB4 (D12), driven low once the first latch has cleared them: with
// a pull-up on OE, the lamps stay dark through power-up and the bootloader.
constexpr uint8_t LAMPS_ENABLE = 4;  // PORTB bit
// The 16x2 HD44780 text display, 4-bit: its DB4-DB7 on PC0-PC3 (A0-A3), RS on PC4 (A4), E on PC5
// (A5); RW to ground.
// Test points for timing on a scope (and in vontrel-cluster): PD7 (D7) is high while the
// firmware decodes, PD4 (D4) toggles each time the needles and lamps take a new cycle.
constexpr uint8_t TEST_POINT_DECODING = 7;  // PORTD bit
constexpr uint8_t TEST_POINT_UPDATED = 4;   // PORTD bit

// Silence after which the cluster blanks: the game quit or the cable was pulled.
constexpr uint16_t SILENCE_MS = 1000;

}  // namespace gauges
}  // namespace vontrel

#endif  // VONTREL_FIRMWARE_GAUGES_H
