#include "needles.h"

#include <avr/interrupt.h>
#include <avr/io.h>
#include <util/delay.h>

#include "config.h"
#include "gauges.h"

namespace vontrel {
namespace needles {

#if VONTREL_NEEDLES == VONTREL_NEEDLES_PWM

void start() {
  // Timer1 fast PWM, TOP in ICR1, no prescaler: 1.6 kHz on D9 (speed) and D10 (rpm).
  DDRB |= _BV(PB1) | _BV(PB2);
  ICR1 = gauges::NEEDLE_TOP;
  OCR1A = 0;
  OCR1B = 0;
  TCCR1A = _BV(COM1A1) | _BV(COM1B1) | _BV(WGM11);
  TCCR1B = _BV(WGM13) | _BV(WGM12) | _BV(CS10);
}

void home() {}

void set(uint16_t speed, uint16_t rpm) {
  OCR1A = speed;
  OCR1B = rpm;
}

#else

namespace {

// Timer1 moves the motors in ticks of 0.5 ms. A needle speeds up one level a step and slows
// down in time to stop at its target: these are the ticks between two steps at each level,
// from a standing start to 2,000 steps a second (an X27.168's 1/3-degree steps: 670 degrees a
// second, near what it can follow).
constexpr uint8_t INTERVALS[] = {16, 10, 7, 5, 4, 3, 2, 1};
constexpr uint8_t TOP_LEVEL = sizeof INTERVALS;
// Against the stop an X27 bounces unless it goes slowly (1.5 ms a step); a driver's
// microsteps are small enough to home at full speed.
constexpr uint8_t HOMING_LEVEL = VONTREL_NEEDLES == VONTREL_NEEDLES_X27 ? 6 : TOP_LEVEL;

struct Motor {
  volatile uint16_t target;    // written by the main loop
  volatile uint16_t position;  // steps from the stop
  volatile uint8_t level;      // 0 at rest
  uint8_t wait;                // ticks until the next step
  int8_t direction;
  uint8_t phase;  // X27: where the coils are in their six-state sequence
};
Motor motors[2];
volatile uint8_t top_level = TOP_LEVEL;

#if VONTREL_NEEDLES == VONTREL_NEEDLES_X27
// The X27.168's coils across pins 1-4, one partial step apart (bit n is pin n+1).
constexpr uint8_t COILS[6] = {0x9, 0x1, 0x7, 0x6, 0xE, 0x8};

void drive(uint8_t which, int8_t direction, Motor& motor) {
  motor.phase = static_cast<uint8_t>((motor.phase + (direction > 0 ? 1 : 5)) % 6);
  const uint8_t coils = COILS[motor.phase];
  if (which == 0) {
    // Speed: pins 1-4 on D9, D10, D2, D3.
    PORTB = static_cast<uint8_t>((PORTB & ~(_BV(PB1) | _BV(PB2))) | ((coils & 0x3) << PB1));
    PORTD = static_cast<uint8_t>((PORTD & ~(_BV(PD2) | _BV(PD3))) | ((coils & 0xC) << 0));
  } else {
    // Rpm: pins 1-4 on A0-A3.
    PORTC = static_cast<uint8_t>((PORTC & 0xF0) | coils);
  }
}

void start_pins() {
  DDRB |= _BV(PB1) | _BV(PB2);
  DDRD |= _BV(PD2) | _BV(PD3);
  DDRC |= 0x0F;
}
#else
// A VID6606-type driver: a rising edge on STEP moves one microstep, DIR high toward full
// scale. Speed: STEP on D9, DIR on D2; rpm: STEP on D10, DIR on D3.
void drive(uint8_t which, int8_t direction, Motor&) {
  const uint8_t dir = which == 0 ? _BV(PD2) : _BV(PD3);
  const uint8_t step = which == 0 ? _BV(PB1) : _BV(PB2);
  if (direction > 0) {
    PORTD |= dir;
  } else {
    PORTD &= static_cast<uint8_t>(~dir);
  }
  _delay_us(1);  // DIR settles before the edge
  PORTB |= step;
  _delay_us(1);  // the driver's shortest pulse
  PORTB &= static_cast<uint8_t>(~step);
}

void start_pins() {
  DDRB |= _BV(PB1) | _BV(PB2);
  DDRD |= _BV(PD2) | _BV(PD3);
}
#endif

// One tick of one motor; false once it stands at its target.
bool advance(uint8_t which) {
  Motor& motor = motors[which];
  if (motor.wait > 0) {
    --motor.wait;
    return true;
  }
  const int16_t delta = static_cast<int16_t>(motor.target - motor.position);
  if (motor.level == 0) {
    if (delta == 0) {
      return false;
    }
    motor.direction = delta > 0 ? 1 : -1;
  }
  const bool ahead = motor.direction > 0 ? delta > 0 : delta < 0;
  const uint16_t distance = ahead ? static_cast<uint16_t>(delta > 0 ? delta : -delta) : 0;
  // It stops within `level` steps, so it brakes once the target is that close, or behind.
  if (distance > motor.level && motor.level < top_level) {
    ++motor.level;
  } else if (distance <= motor.level && motor.level > 0) {
    --motor.level;
  }
  if (motor.level == 0 && distance == 0) {
    return delta != 0;  // stopped past a target that moved: turns back on the next tick
  }
  if (motor.direction < 0 && motor.position == 0) {
    // Braking past zero would drive the needle into its stop and lose count of where it is.
    motor.level = 0;
    return delta != 0;
  }
  drive(which, motor.direction, motor);
  motor.position = static_cast<uint16_t>(motor.position + motor.direction);
  motor.wait = static_cast<uint8_t>(INTERVALS[motor.level > 0 ? motor.level - 1 : 0] - 1);
  return true;
}

void set_target(uint8_t which, uint16_t target) {
  cli();
  motors[which].target = target;
  sei();
}

bool moving() {
  return (TIMSK1 & _BV(OCIE1A)) != 0;
}

}  // namespace

// Both motors in one tick; the timer's interrupt is switched off while both stand still, so
// a cluster at rest costs nothing.
ISR(TIMER1_COMPA_vect) {
  const bool speed = advance(0);
  const bool rpm = advance(1);
  if (!speed && !rpm) {
    TIMSK1 &= static_cast<uint8_t>(~_BV(OCIE1A));
  }
}

void start() {
  start_pins();
  // Timer1 CTC at 16 MHz / 8 / 1000: a tick every 0.5 ms.
  OCR1A = 999;
  TCCR1A = 0;
  TCCR1B = _BV(WGM12) | _BV(CS11);
}

void home() {
  // Wherever they stood at power-off, a full sweep back and some more meets the stops.
  top_level = HOMING_LEVEL;
  for (Motor& motor : motors) {
    motor.position = VONTREL_NEEDLE_STEPS + VONTREL_NEEDLE_STEPS / 8;
    motor.target = 0;
  }
  TIMSK1 |= _BV(OCIE1A);
  while (moving()) {
  }
  top_level = TOP_LEVEL;
}

// The nearest step: the duty is already cut down from the wire's value, and cutting again would
// leave the needle a step short of the dial.
uint16_t steps_for(uint16_t duty) {
  return static_cast<uint16_t>(
      (static_cast<uint32_t>(duty) * VONTREL_NEEDLE_STEPS + gauges::NEEDLE_TOP / 2) /
      gauges::NEEDLE_TOP);
}

void set(uint16_t speed, uint16_t rpm) {
  set_target(0, steps_for(speed));
  set_target(1, steps_for(rpm));
  TIMSK1 |= _BV(OCIE1A);
}

#endif

}  // namespace needles
}  // namespace vontrel
