// The reference firmware of a Vontrel cluster on an ATmega328P at 16 MHz: the wire in through
// the UART, two needles, two gauges, 13 lamps and a clock display out. See docs/firmware.md
// for the wiring.
#include <avr/interrupt.h>
#include <avr/io.h>
#include <avr/sleep.h>
#include <avr/wdt.h>
#include <stdint.h>

#include "config.h"
#include "dials.h"
#include "gauges.h"
#include "lcd.h"
#include "needles.h"
#include "src/protocol/decoder.h"

using namespace vontrel;

// What the firmware knows about its own health, for a debugger or vontrel-cluster to read.
struct Health {
  uint32_t bytes;           // taken off the UART
  uint16_t overruns;        // bytes the UART lost because the last one was not read in time
  uint16_t framing_errors;  // bytes with a bad stop bit: wrong baud rate or noise
  uint16_t ring_overflows;  // bytes dropped because the main loop fell behind
  uint32_t cycles;
  uint32_t torn;
  uint32_t unknown;
  uint32_t resets;
  uint8_t reset_cause;    // MCUSR at start-up: 1 power-on, 2 reset pin, 4 brown-out, 8 watchdog
  uint8_t ring_peak;      // the most bytes the ring has held: how close it came to overflowing
  uint8_t needles;        // what config.h chose: VONTREL_NEEDLES_PWM, _X27 or _STEP_DIR
  uint16_t needle_steps;  // steppers: steps from the stop to full scale
  uint8_t speed_mph;      // the speed dial's unit: 0 km/h, 1 mph
};
extern "C" {
volatile Health vontrel_health __attribute__((used));
}

// Before anything else, even before RAM is set up: a watchdog reset leaves the watchdog running
// (at its shortest time-out), and it would reset the chip again before main() began. What
// caused this start goes to the health record once RAM is ready.
uint8_t reset_flags __attribute__((section(".noinit")));
// Set by the firmware's own restart (below), which no flag in MCUSR records.
constexpr uint16_t RESTARTED = 0xA55A;
uint16_t restart_mark __attribute__((section(".noinit")));
extern "C" void take_reset_cause() __attribute__((naked, used, section(".init3")));
extern "C" void take_reset_cause() {
  reset_flags = MCUSR;
  if (restart_mark == RESTARTED) {
    reset_flags |= _BV(WDRF);
  }
  restart_mark = 0;
  MCUSR = 0;
  wdt_disable();
}

namespace {

// Two whole cycles (154 bytes) and more: the wire sends 77 bytes back to back.
constexpr uint8_t RING_MASK = 0xFF;
uint8_t ring[RING_MASK + 1];
volatile uint8_t ring_head;  // written by the receive interrupt
volatile uint8_t ring_tail;  // written by the main loop

// The clock ticks every 4 ms: often enough for the sweep and the time-outs, and each tick
// wakes the chip, so a finer one would cost more than all the decoding when the wire is idle.
constexpr uint8_t TICK_MS = 4;
volatile uint16_t milliseconds;
volatile bool ticked;  // the main loop has time-based work (sweep, silence, health) to do

ISR(USART_RX_vect) {
  const uint8_t status = UCSR0A;
  const uint8_t byte = UDR0;
  if ((status & _BV(DOR0)) != 0) {
    ++vontrel_health.overruns;
  }
  if ((status & _BV(FE0)) != 0) {
    ++vontrel_health.framing_errors;
  }
  const uint8_t next = static_cast<uint8_t>((ring_head + 1) & RING_MASK);
  if (next == ring_tail) {
    ++vontrel_health.ring_overflows;
    return;
  }
  ring[ring_head] = byte;
  ring_head = next;
  const uint8_t held = static_cast<uint8_t>((next - ring_tail) & RING_MASK);
  if (held > vontrel_health.ring_peak) {
    vontrel_health.ring_peak = held;
  }
}

// A restart of the firmware's own, past any bootloader: every peripheral it uses back to its
// reset state, then from 0. A watchdog reset would do, behind Optiboot; but the old Nano
// bootloader neither clears the reset flag nor stops the watchdog, and so resets every 16 ms for
// ever, until the board is unplugged.
__attribute__((noreturn)) void restart() {
  restart_mark = RESTARTED;
  UCSR0B = 0;
  TIMSK0 = 0;
  TIMSK1 = 0;
  TIMSK2 = 0;
  TCCR0A = 0;
  TCCR0B = 0;
  TCCR1A = 0;
  TCCR1B = 0;
  TCCR2A = 0;
  TCCR2B = 0;
  SPCR = 0;
  TWCR = 0;
  TIFR0 = 0xFF;  // pending flags are cleared by writing ones
  TIFR1 = 0xFF;
  TIFR2 = 0xFF;
  // The pins keep what they drove until main() sets each one again, the lamps dark first.
  asm volatile("jmp 0");
  __builtin_unreachable();
}

// The main loop's own watchdog, on the tick: a main loop stopped while interrupts run (a wait
// that never ends) is restarted after this long. One stopped with interrupts off leaves the
// tick stopped too, and the chip's watchdog resets it a little later.
constexpr uint8_t STALL_TICKS = 500 / TICK_MS;
volatile uint8_t stalled_ticks;
volatile bool guarding;  // from the main loop's start: homing the needles takes longer

ISR(TIMER2_COMPA_vect) {
  milliseconds = static_cast<uint16_t>(milliseconds + TICK_MS);
  ticked = true;
  if (guarding && ++stalled_ticks >= STALL_TICKS) {
    restart();
  }
}

uint16_t now_ms() {
  cli();
  const uint16_t now = milliseconds;
  sei();
  return now;
}

void start_uart() {
  // 115200 baud from 16 MHz is only close enough at double speed: UBRR 16 is +2.1 %. Double
  // speed first: a simulator takes the rate when UBRR is written.
  UCSR0A = _BV(U2X0);
  UBRR0 = 16;
  UCSR0C = _BV(UCSZ01) | _BV(UCSZ00);  // 8N1
  UCSR0B = _BV(RXEN0) | _BV(RXCIE0);   // receive only: the wire runs one way
}

void start_outputs() {
  needles::start();
  // Gauges: Timer0 phase-correct PWM, prescaler 64 (490 Hz). Fast PWM would leave a pulse of
  // 1/256 at zero, an offset a sensitive meter shows; phase-correct PWM rests at 0 V.
  DDRD |= _BV(PD6) | _BV(PD5);
  OCR0A = 0;
  OCR0B = 0;
  TCCR0A = _BV(COM0A1) | _BV(COM0B1) | _BV(WGM00);
  TCCR0B = _BV(CS01) | _BV(CS00);
  // Lamps: SPI master at 1 MHz into the shift registers (a cable's ringing cannot double-clock
  // them at that rate; 16 bits still take only 16 us); PB2 (SS) is already an output.
  DDRB |= _BV(PB3) | _BV(PB5) | _BV(PB0);
  SPCR = _BV(SPE) | _BV(MSTR) | _BV(SPR0);
  // The tick: Timer2 CTC, 16 MHz / 256 / 250, every 4 ms.
  OCR2A = 249;
  TCCR2A = _BV(WGM21);
  TCCR2B = _BV(CS22) | _BV(CS21);
  TIMSK2 = _BV(OCIE2A);
  DDRD |= _BV(gauges::TEST_POINT_DECODING) | _BV(gauges::TEST_POINT_UPDATED);
}

void shift_out(uint8_t byte) {
  SPDR = byte;
  while ((SPSR & _BV(SPIF)) == 0) {
  }
}

uint16_t lamps_shown;

void set_lamps(uint16_t lamps) {
  lamps_shown = lamps;
  shift_out(static_cast<uint8_t>(lamps >> 8));
  shift_out(static_cast<uint8_t>(lamps));
  PORTB |= _BV(PB0);  // the rising edge latches both registers at once
  PORTB &= static_cast<uint8_t>(~_BV(PB0));
}

void set_needles(uint16_t speed, uint16_t rpm, uint8_t fuel, uint8_t water) {
  needles::set(speed, rpm);
  OCR0A = fuel;
  OCR0B = water;
}

void two_digits(char* at, uint8_t value) {
  at[0] = static_cast<char>('0' + value / 10 % 10);
  at[1] = static_cast<char>('0' + value % 10);
}

void show_text(const char* first, const char* second) {
  lcd::show(0, first);
  lcd::show(1, second);
}

// "     14:05      " and "   29.02.0004   "; the year byte is 0 from year 150 on.
void show_clock(const ClusterState& state) {
  char first[] = "     --:--      ";
  char second[] = "   --.--.----   ";
  two_digits(first + 5, state.hours);
  two_digits(first + 8, state.minutes);
  two_digits(second + 3, state.day);
  two_digits(second + 6, state.month);
  if (state.year != 0) {
    two_digits(second + 9, state.year / 100);
    two_digits(second + 11, state.year % 100);
  }
  show_text(first, second);
}

void show_state(const ClusterState& state) {
  set_needles(dials::speed(state.speed_value), dials::rpm(state.rpm_byte),
              dials::fuel(state.fuel_percent), dials::water(state.water_gauge));
  if (state.lamps != lamps_shown) {
    set_lamps(state.lamps);
  }
  PIND = _BV(gauges::TEST_POINT_UPDATED);  // writing PINx toggles the pin
}

void blank() {
  set_needles(0, 0, 0, 0);
  set_lamps(0);
  // A nibble slipped to noise would garble the display until the next reset, and the cache of
  // what it shows would hide it: start it afresh whenever the cluster blanks.
  lcd::reinit();
  show_text("     --:--      ", "                ");
}

// How often a live display is started afresh and rewritten (about 7 ms of the CPU's time, a
// step at a time).
constexpr uint16_t DISPLAY_REFRESH_MS = 10000;

// The power-on sweep: every needle to full scale, a moment there, and back, every lamp lit, in
// one second; two with stepper needles, which a full-scale move at their top speed takes most of
// a second.
constexpr uint16_t SWEEP_MS = VONTREL_NEEDLES == VONTREL_NEEDLES_PWM ? 1000 : 2000;
constexpr uint16_t SWEEP_RISE_MS = SWEEP_MS * 2 / 5;

void sweep_to(uint16_t elapsed) {
  uint16_t position = elapsed < SWEEP_MS - elapsed ? elapsed : SWEEP_MS - elapsed;
  if (position > SWEEP_RISE_MS) {
    position = SWEEP_RISE_MS;
  }
  const uint32_t at = position;
  set_needles(static_cast<uint16_t>(at * VONTREL_NEEDLE_FULL / SWEEP_RISE_MS),
              static_cast<uint16_t>(at * VONTREL_NEEDLE_FULL / SWEEP_RISE_MS),
              static_cast<uint8_t>(at * gauges::GAUGE_TOP / SWEEP_RISE_MS),
              static_cast<uint8_t>(at * gauges::GAUGE_TOP / SWEEP_RISE_MS));
  set_lamps(0xFFFF);
}

// Sleeps until the next tick, or until the ring holds `wake_after` bytes: the decoder's fewest
// to the end of a cycle, so that the needles take it at its last byte, not a tick later. Each
// byte wakes the chip for its interrupt, and it goes back to sleep at once: the main loop takes
// the bytes a tick at a time (46 at most at full rate) and at a cycle's end. The instruction
// after sei always runs before an interrupt, so one that comes between the test and the sleep
// still wakes the chip.
void sleep_until_tick(uint8_t wake_after) {
  if (wake_after > (RING_MASK + 1) / 2) {
    wake_after = (RING_MASK + 1) / 2;
  }
  set_sleep_mode(SLEEP_MODE_IDLE);
  for (;;) {
    cli();
    if (ticked || static_cast<uint8_t>(ring_head - ring_tail) >= wake_after) {
      sei();
      return;
    }
    sleep_enable();
    sei();
    sleep_cpu();
    sleep_disable();
  }
}

void publish(const Decoder& decoder) {
  vontrel_health.cycles = decoder.cycles();
  vontrel_health.torn = decoder.torn();
  vontrel_health.unknown = decoder.unknown();
  vontrel_health.resets = decoder.resets();
}

}  // namespace

int main() {
  vontrel_health.reset_cause = reset_flags;
  vontrel_health.needles = VONTREL_NEEDLES;
  vontrel_health.needle_steps = VONTREL_NEEDLE_STEPS;
  vontrel_health.speed_mph = VONTREL_SPEED_MPH;
  start_outputs();
  set_lamps(0);  // the registers power up with random outputs: dark before anything else
  // Only then are their outputs switched on (MISO is free for this as an SPI master).
  PORTB &= static_cast<uint8_t>(~_BV(gauges::LAMPS_ENABLE));
  DDRB |= _BV(gauges::LAMPS_ENABLE);
  start_uart();
  sei();
  lcd::init();
  needles::home();
  // A main loop that stops (a fault, noise on a pin) restarts the firmware within half a second
  // (the tick's watchdog), or, with interrupts off, the chip within a second.
  wdt_enable(WDTO_1S);
  guarding = true;
  show_text("    Vontrel     ", "   cluster ok   ");

  Decoder decoder;
  const uint16_t started = now_ms();
  bool sweeping = true;
  bool live = false;  // a cycle came within the last second
  uint32_t shown_cycles = 0;
  uint32_t seen_resets = 0;
  uint16_t last_cycle = started;
  uint16_t last_refresh = started;

  for (;;) {
    wdt_reset();
    stalled_ticks = 0;
    while (ring_tail != ring_head) {
      const uint8_t byte = ring[ring_tail];
      ring_tail = static_cast<uint8_t>((ring_tail + 1) & RING_MASK);
      ++vontrel_health.bytes;
      PORTD |= _BV(gauges::TEST_POINT_DECODING);
      decoder.push(byte);
      PORTD &= static_cast<uint8_t>(~_BV(gauges::TEST_POINT_DECODING));
      if (decoder.resets() != seen_resets) {
        // The host started or stopped: clear the dashboard.
        seen_resets = decoder.resets();
        live = false;
        if (!sweeping) {
          blank();
        }
      }
      if (decoder.cycles() != shown_cycles) {
        shown_cycles = decoder.cycles();
        last_cycle = now_ms();
        live = true;
        if (!sweeping) {
          show_state(decoder.state());
          show_clock(decoder.state());  // only noted: the display is written a step at a time
        }
      }
    }
    if (!ticked) {
      // The display a step at a time between the wire's bytes, so that no write of it holds
      // back a cycle's needles and lamps; asleep once it has nothing to do until the tick.
      if (!lcd::work(now_ms())) {
        sleep_until_tick(decoder.bytes_to_cycle());
      }
      continue;
    }
    ticked = false;
    publish(decoder);

    const uint16_t now = now_ms();
    if (lcd::poll(now) && !sweeping) {
      // The display's bus answers again: what the cluster shows now.
      if (live) {
        show_clock(decoder.state());
      } else {
        show_text("     --:--      ", "                ");
      }
    }
    if (sweeping) {
      const uint16_t elapsed = static_cast<uint16_t>(now - started);
      if (elapsed < SWEEP_MS) {
        sweep_to(elapsed);
      } else {
        sweeping = false;
        blank();
        if (live) {
          show_state(decoder.state());
          show_clock(decoder.state());
        }
      }
    } else if (live && static_cast<uint16_t>(now - last_cycle) >= gauges::SILENCE_MS) {
      live = false;  // the game quit or the cable was pulled
      blank();
    } else if (live && static_cast<uint16_t>(now - last_refresh) >= DISPLAY_REFRESH_MS &&
               (lcd::idle() ||
                static_cast<uint16_t>(now - last_refresh) >= 2 * DISPLAY_REFRESH_MS)) {
      // Also while driving: a garbled display comes right within seconds, and so do lamps a
      // glitch on a long cable latched wrong (they are otherwise sent only when they change).
      // Only once a cycle's time and date are all written: the set-up's waits in the middle of
      // a rewrite would leave half of it showing, and with the whole display to write again
      // the next cycle's time would not be there before the cycle after it.
      last_refresh = now;
      set_lamps(lamps_shown);
      lcd::reinit();
      show_clock(decoder.state());
    }
  }
}
