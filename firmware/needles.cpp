#include "needles.h"

#include <avr/interrupt.h>
#include <avr/io.h>
#include <avr/pgmspace.h>
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

// Timer1 runs free at 2 MHz, and each motor steps on a compare of its own (speed on A, rpm on
// B), so a step comes exactly when it is due and costs one interrupt. A needle speeds up one
// level a step along a ramp of constant acceleration, and brakes the same way in time to stop
// at its target: no jump in speed a motor could not follow, so no lost step, which would stay
// wrong until the next power-on.
constexpr double TIMER_HZ = 2000000.0;
#if VONTREL_NEEDLES == VONTREL_NEEDLES_X27
// An X27.168 steps a third of a degree and is rated about 600 degrees a second: from 111 (3 ms a
// step) to 583 degrees a second.
constexpr double START_STEPS_PER_S = 333.0;
constexpr double TOP_STEPS_PER_S = 1750.0;
// Against the stop it bounces unless it goes slowly: 1.5 ms a step at most while homing.
constexpr double HOMING_STEPS_PER_S = 667.0;
// One level of the ramp a step: 150 steps, 50 degrees, from rest to top speed.
constexpr uint8_t LEVEL_SHIFT = 0;
#else
// Through a VID6606 it is the same motor in twelfth-degree microsteps, and the needle moves as
// the directly driven one does, by the degree: the same speeds, and one level of the ramp every
// four microsteps (a third of a degree), so the same 50 degrees from rest to top speed and the
// same angular acceleration, about 3,300 degrees/s^2. Microsteps are small enough to home at
// full speed.
constexpr double START_STEPS_PER_S = 1332.0;
constexpr double TOP_STEPS_PER_S = 7000.0;
constexpr double HOMING_STEPS_PER_S = TOP_STEPS_PER_S;
constexpr uint8_t LEVEL_SHIFT = 2;
#endif
// Levels of the ramp from rest to top speed, and from top speed to rest.
constexpr uint8_t RAMP_STEPS = 150;

// The ramp is worked out by the compiler, in the C++11 the Arduino IDE compiles with: one
// return statement a function, so loops become recursion.
constexpr double root(double x, double r = 1000.0, int rounds = 40) {
  return rounds == 0 ? r : root(x, (r + x / r) / 2.0, rounds - 1);
}

constexpr double speed_at(int level) {
  return root(START_STEPS_PER_S * START_STEPS_PER_S +
              (TOP_STEPS_PER_S * TOP_STEPS_PER_S - START_STEPS_PER_S * START_STEPS_PER_S) * level /
                  (RAMP_STEPS - 1));
}

// Timer ticks from a step at each level of the ramp to the next.
constexpr uint16_t ticks_at(int level) {
  return static_cast<uint16_t>(TIMER_HZ / speed_at(level) + 0.5);
}

#define VONTREL_RAMP_ROW(n)                                                        \
  ticks_at(n), ticks_at(n + 1), ticks_at(n + 2), ticks_at(n + 3), ticks_at(n + 4), \
      ticks_at(n + 5), ticks_at(n + 6), ticks_at(n + 7), ticks_at(n + 8), ticks_at(n + 9)
const uint16_t RAMP[RAMP_STEPS] PROGMEM = {
    VONTREL_RAMP_ROW(0),   VONTREL_RAMP_ROW(10),  VONTREL_RAMP_ROW(20),  VONTREL_RAMP_ROW(30),
    VONTREL_RAMP_ROW(40),  VONTREL_RAMP_ROW(50),  VONTREL_RAMP_ROW(60),  VONTREL_RAMP_ROW(70),
    VONTREL_RAMP_ROW(80),  VONTREL_RAMP_ROW(90),  VONTREL_RAMP_ROW(100), VONTREL_RAMP_ROW(110),
    VONTREL_RAMP_ROW(120), VONTREL_RAMP_ROW(130), VONTREL_RAMP_ROW(140)};
#undef VONTREL_RAMP_ROW
static_assert(RAMP_STEPS == 150, "the table has fifteen rows of ten");

// The level of the highest speed within `steps_per_s`.
constexpr uint8_t level_for(double steps_per_s, int level = 1) {
  return level >= RAMP_STEPS || speed_at(level) > steps_per_s ? static_cast<uint8_t>(level)
                                                              : level_for(steps_per_s, level + 1);
}

// A motor's level counts steps (the steps it needs to stop), each ramp level 1 << LEVEL_SHIFT
// of them.
constexpr uint16_t TOP_LEVEL = uint16_t{RAMP_STEPS} << LEVEL_SHIFT;
constexpr uint16_t HOMING_LEVEL = uint16_t{level_for(HOMING_STEPS_PER_S)} << LEVEL_SHIFT;

uint16_t ramp_ticks(uint16_t level) {
  const uint16_t row = static_cast<uint16_t>((level + (1u << LEVEL_SHIFT) - 1u) >> LEVEL_SHIFT);
  return pgm_read_word(&RAMP[row > 0 ? row - 1 : 0]);
}

struct Motor {
  volatile uint16_t target;    // written by the main loop
  volatile uint16_t position;  // steps from the stop
  uint16_t level;              // 0 at rest
  int8_t direction;
  uint8_t phase;  // X27: where the coils are in their six-state sequence
};
Motor motors[2];
// Written by the main loop only while both motors stand.
volatile uint16_t top_level = TOP_LEVEL;

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

// One step of one motor, due now: the timer ticks to its next step, 0 once it stands at its
// target.
uint16_t advance(uint8_t which) {
  Motor& motor = motors[which];
  const int16_t delta = static_cast<int16_t>(motor.target - motor.position);
  if (motor.level == 0) {
    if (delta == 0) {
      return 0;
    }
    motor.direction = delta > 0 ? 1 : -1;
  }
  const bool ahead = motor.direction > 0 ? delta > 0 : delta < 0;
  const uint16_t distance = ahead ? static_cast<uint16_t>(delta > 0 ? delta : -delta) : 0;
  // It stops within `level` steps, so it brakes once the target is that close, or behind.
  if (distance > motor.level && motor.level < top_level) {
    ++motor.level;
  } else if ((distance <= motor.level || motor.level > top_level) && motor.level > 0) {
    --motor.level;
  }
  if (motor.level == 0 && distance == 0) {
    return delta != 0 ? ramp_ticks(0) : 0;  // stopped past a target that moved: turns back
  }
  if (motor.direction < 0 && motor.position == 0) {
    // Braking past zero would drive the needle into its stop and lose count of where it is.
    motor.level = 0;
    return delta != 0 ? ramp_ticks(0) : 0;
  }
  drive(which, motor.direction, motor);
  motor.position = static_cast<uint16_t>(motor.position + motor.direction);
  return ramp_ticks(motor.level);
}

// A motor at rest starts a little after its target is set; a moving one takes the new target
// at its next step.
void set_target(uint8_t which, uint16_t target) {
  const uint8_t enable = which == 0 ? _BV(OCIE1A) : _BV(OCIE1B);
  cli();
  motors[which].target = target;
  if ((TIMSK1 & enable) == 0) {
    const uint16_t soon = static_cast<uint16_t>(TCNT1 + 64);
    if (which == 0) {
      OCR1A = soon;
    } else {
      OCR1B = soon;
    }
    TIFR1 = enable;  // a compare flagged while it stood would fire at once
    TIMSK1 |= enable;
  }
  sei();
}

bool moving() {
  return (TIMSK1 & (_BV(OCIE1A) | _BV(OCIE1B))) != 0;
}

// The compare after `last`, `ticks` on. A step taken late (other interrupts held it) must not
// leave that compare behind the timer, which would come round to it only after 32.8 ms: the
// needle would stand still at full speed, then start again at full speed, and skip. Then the
// next step is due at once.
uint16_t next_compare(uint16_t last, uint16_t ticks) {
  const uint16_t next = static_cast<uint16_t>(last + ticks);
  const uint16_t now = TCNT1;
  return static_cast<uint16_t>(next - now) > ticks ? static_cast<uint16_t>(now + 16) : next;
}

}  // namespace

// A motor's interrupt is off while it stands still, so a cluster at rest costs nothing.
ISR(TIMER1_COMPA_vect) {
  const uint16_t ticks = advance(0);
  if (ticks == 0) {
    TIMSK1 &= static_cast<uint8_t>(~_BV(OCIE1A));
  } else {
    OCR1A = next_compare(OCR1A, ticks);
  }
}

ISR(TIMER1_COMPB_vect) {
  const uint16_t ticks = advance(1);
  if (ticks == 0) {
    TIMSK1 &= static_cast<uint8_t>(~_BV(OCIE1B));
  } else {
    OCR1B = next_compare(OCR1B, ticks);
  }
}

void start() {
  start_pins();
  // Timer1 free-running at 16 MHz / 8: a tick every 0.5 us.
  TCCR1A = 0;
  TCCR1B = _BV(CS11);
  TIMSK1 = 0;
}

void home() {
  // Wherever they stood at power-off, a full sweep back and some more meets the stops.
  top_level = HOMING_LEVEL;
  for (uint8_t which = 0; which < 2; ++which) {
    motors[which].position = VONTREL_NEEDLE_STEPS + VONTREL_NEEDLE_STEPS / 8;
    set_target(which, 0);
  }
  while (moving()) {
  }
  top_level = TOP_LEVEL;
}

void set(uint16_t speed, uint16_t rpm) {
  set_target(0, speed);
  set_target(1, rpm);
}

#endif

}  // namespace needles
}  // namespace vontrel
