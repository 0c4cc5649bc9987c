#include "lcd.h"

#include <avr/io.h>
#include <util/delay.h>

#include "config.h"

namespace vontrel {
namespace lcd {

namespace {

// What each command takes at worst. The datasheet's times hold at 270 kHz and grow as the
// controller's oscillator slows; slow or cold modules run near 190 kHz, so these are the
// datasheet's times scaled to that and rounded up.
constexpr double WRITE_US = 60;       // 37 us at 270 kHz
constexpr uint8_t CLEAR_MS = 3;       // 1.52 ms at 270 kHz
constexpr double SYNC_US = 150;       // the 100 us of the 4-bit hand-shake, with room
constexpr uint8_t FIRST_SYNC_MS = 5;  // 4.1 ms after the first 0x3

char shown[2][WIDTH];
// The display's bus stopped answering (I2C only): nothing more is sent until a retry finds it
// free again, so a bus held low costs the cluster one short wait, not one per write.
bool lost = false;

#if VONTREL_DISPLAY == VONTREL_DISPLAY_PARALLEL

constexpr uint8_t RS = _BV(PC4);
constexpr uint8_t E = _BV(PC5);
constexpr uint8_t DATA = 0x0F;  // D4-D7 on PC0-PC3

void start_bus() {
  DDRC |= static_cast<uint8_t>(RS | E | DATA);
}

// Four bits on D4-D7, taken by the controller on E's falling edge.
void nibble(uint8_t value, bool rs) {
  PORTC = static_cast<uint8_t>((PORTC & ~(DATA | RS)) | (value & DATA) | (rs ? RS : 0));
  PORTC |= E;
  _delay_us(1);
  PORTC &= static_cast<uint8_t>(~E);
}

#else

// A PCF8574 backpack: its pins P0 RS, P1 RW, P2 E, P3 the backlight, P4-P7 D4-D7.
constexpr uint8_t BACKPACK_RS = 0x01;
constexpr uint8_t BACKPACK_E = 0x04;
constexpr uint8_t BACKLIGHT = 0x08;

constexpr uint8_t SDA = _BV(PC4);
constexpr uint8_t SCL = _BV(PC5);

// A backpack whose chip was reset mid-byte (the board restarted, not the display) may hold SDA
// low until it has clocked out the rest of its byte: nine clocks let it finish, and a stop
// frees the bus. The lines are driven low or let go, never driven high, as on the bus itself.
void free_the_bus() {
  PORTC &= static_cast<uint8_t>(~(SDA | SCL));
  DDRC &= static_cast<uint8_t>(~(SDA | SCL));
  for (uint8_t i = 0; i < 9; ++i) {
    DDRC |= SCL;
    _delay_us(5);
    DDRC &= static_cast<uint8_t>(~SCL);
    _delay_us(5);
  }
  DDRC |= SCL;
  _delay_us(5);
  DDRC |= SDA;
  _delay_us(5);
  DDRC &= static_cast<uint8_t>(~SCL);
  _delay_us(5);
  DDRC &= static_cast<uint8_t>(~SDA);
  _delay_us(5);
}

// A TWI step takes at most a byte's time, 90 us at 100 kHz; one not done in about twice that
// means SDA or SCL is held low (a short, a half-plugged backpack, a slave stuck mid-byte). The
// display is then given up at once, the TWI letting go of both lines, and the needles and lamps
// go on following the wire; the main loop tries the bus again every few seconds.
constexpr uint16_t STEP_SPINS = 400;

bool twi_wait() {
  for (uint16_t spins = 0; spins < STEP_SPINS; ++spins) {
    if ((TWCR & _BV(TWINT)) != 0) {
      return true;
    }
  }
  TWCR = 0;
  lost = true;
  return false;
}

bool twi_send(uint8_t byte) {
  TWDR = byte;
  TWCR = _BV(TWINT) | _BV(TWEN);
  return twi_wait();
}

// One transaction: each byte sets the expander's eight pins, on its acknowledge. A backpack that
// does not acknowledge (none at this address) only leaves the display blank.
void expander(const uint8_t* states, uint8_t count) {
  if (lost) {
    return;
  }
  TWCR = _BV(TWINT) | _BV(TWSTA) | _BV(TWEN);
  if (!twi_wait() || !twi_send(static_cast<uint8_t>(VONTREL_I2C_ADDRESS << 1))) {  // write
    return;
  }
  for (uint8_t i = 0; i < count; ++i) {
    if (!twi_send(states[i])) {
      return;
    }
  }
  TWCR = _BV(TWINT) | _BV(TWSTO) | _BV(TWEN);
  for (uint16_t spins = 0; spins < STEP_SPINS && (TWCR & _BV(TWSTO)) != 0; ++spins) {
  }
}

void start_bus() {
  free_the_bus();
  // The TWI at 100 kHz, the PCF8574's rated speed: 16 MHz / (16 + 2 x 72). The backpack's own
  // pull-ups hold the lines (4.7 kOhm to 5 V where a module has none).
  TWSR = 0;
  TWBR = 72;
  TWCR = _BV(TWEN);
  // The expander's pins come up high, E among them: the first nibble would then make no rising
  // edge and be lost. Every pin low first, the backlight as chosen.
  const uint8_t rest = BACKLIGHT;
  expander(&rest, 1);
}

// Four bits in one transaction of three expander states: RS and the data settle with E low,
// then E rises, then falls (the controller takes the nibble on the fall). Each state holds for
// a byte on the bus, 90 us, far beyond the controller's set-up and pulse times.
void nibble(uint8_t value, bool rs) {
  const uint8_t pins =
      static_cast<uint8_t>((value & 0x0F) << 4 | BACKLIGHT | (rs ? BACKPACK_RS : 0));
  const uint8_t states[] = {pins, static_cast<uint8_t>(pins | BACKPACK_E), pins};
  expander(states, sizeof states);
}

#endif

void send(uint8_t value, bool data) {
  nibble(static_cast<uint8_t>(value >> 4), data);
  nibble(value, data);
  if (lost) {
    return;
  }
  // Every write must land: the cache of what is shown trusts that it did.
  _delay_us(WRITE_US);
}

// The set-up, a step at a time: into 4-bit mode from whatever state a reset, or a nibble lost
// to noise, left it in; the modes; then home, with nothing shifted (a garbled byte may have
// moved both).
enum SetUp : uint8_t {
  SYNC,
  SYNC_AGAIN,
  SYNC_THIRD,
  FOUR_BITS,
  FUNCTION,
  DISPLAY_ON,
  ENTRY,
  HOME,
  SET_UP
};
uint8_t set_up_step = SET_UP;

// The next step of the set-up; returns how many ms the controller then needs, for the caller to
// let pass (0: none, or a short one already waited here).
uint8_t set_up_next() {
  switch (set_up_step++) {
    case SYNC:
      nibble(0x3, false);
      return FIRST_SYNC_MS;
    case SYNC_AGAIN:
    case SYNC_THIRD:
      nibble(0x3, false);
      _delay_us(SYNC_US);
      return 0;
    case FOUR_BITS:
      nibble(0x2, false);
      _delay_us(SYNC_US);
      return 0;
    case FUNCTION:
      send(0x28, false);  // 4 bits, 2 lines, 5x8 dots
      return 0;
    case DISPLAY_ON:
      send(0x0C, false);  // display on, no cursor
      return 0;
    case ENTRY:
      send(0x06, false);  // left to right
      return 0;
    default:
      send(0x02, false);  // home
      return CLEAR_MS;
  }
}

// A long wait of the controller's in progress: since when, on the main loop's clock, and how
// long.
uint16_t waiting_since;
uint8_t waiting_ms;

char wanted[2][WIDTH];
// Something in `wanted` may differ from `shown`: a display with nothing to write costs the
// main loop's tick no look through both lines.
bool dirty = false;
// The address the controller writes the next character to; none known after a set-up step.
constexpr uint8_t NOWHERE = 0xFF;
uint8_t cursor = NOWHERE;

void forget(char value) {
  for (uint8_t line = 0; line < 2; ++line) {
    for (uint8_t i = 0; i < WIDTH; ++i) {
      shown[line][i] = value;
    }
  }
}

}  // namespace

void init() {
  start_bus();
  _delay_ms(50);  // after power-up
  set_up_step = SYNC;
  while (set_up_step != SET_UP && !lost) {
    for (uint8_t ms = set_up_next(); ms > 0; --ms) {
      _delay_ms(1);
    }
  }
  send(0x01, false);  // clear
  _delay_ms(CLEAR_MS);
  forget(' ');
  for (auto& line : wanted) {
    for (char& c : line) {
      c = ' ';
    }
  }
}

void reinit() {
  forget('\0');  // no character the firmware shows: every one is written again
  dirty = true;
  set_up_step = SYNC;
  waiting_ms = 0;
  cursor = NOWHERE;
}

bool poll(uint16_t now) {
#if VONTREL_DISPLAY == VONTREL_DISPLAY_I2C
  static bool retrying = false;
  static uint16_t lost_at = 0;
  if (!lost) {
    return false;
  }
  if (!retrying) {
    retrying = true;
    lost_at = now;
    return false;
  }
  if (static_cast<uint16_t>(now - lost_at) < RETRY_MS) {
    return false;
  }
  retrying = false;
  lost = false;
  start_bus();
  reinit();
  return !lost;
#else
  (void)now;
  return false;
#endif
}

void show(uint8_t line, const char* text) {
  for (uint8_t i = 0; i < WIDTH; ++i) {
    if (wanted[line][i] != text[i]) {
      wanted[line][i] = text[i];
      dirty = true;
    }
  }
}

bool idle() {
  return set_up_step == SET_UP && waiting_ms == 0 && !dirty;
}

bool work(uint16_t now) {
  if (lost) {
    return false;  // what is not sent is not shown: written once the display is back
  }
  if (waiting_ms != 0) {
    // The clock may have been a step short of real time when the wait began.
    if (static_cast<uint16_t>(now - waiting_since) <
        static_cast<uint16_t>(waiting_ms + CLOCK_STEP_MS)) {
      return false;
    }
    waiting_ms = 0;
  }
  if (set_up_step != SET_UP) {
    waiting_ms = set_up_next();
    waiting_since = now;
    cursor = NOWHERE;
    return true;
  }
  if (!dirty) {
    return false;
  }
  // Only the characters that changed: a new minute is one or two writes, not seventeen.
  for (uint8_t line = 0; line < 2; ++line) {
    for (uint8_t i = 0; i < WIDTH; ++i) {
      if (shown[line][i] == wanted[line][i]) {
        continue;
      }
      const uint8_t address = static_cast<uint8_t>((line == 0 ? 0x00 : 0x40) + i);
      if (cursor != address) {
        send(static_cast<uint8_t>(0x80 | address), false);
        cursor = address;
        return true;
      }
      send(static_cast<uint8_t>(wanted[line][i]), true);
      shown[line][i] = wanted[line][i];
      cursor = static_cast<uint8_t>(address + 1);
      return true;
    }
  }
  dirty = false;
  return false;
}

}  // namespace lcd
}  // namespace vontrel
