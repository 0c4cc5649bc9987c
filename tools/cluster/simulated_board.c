#include "board_state.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "avr_ioport.h"
#include "avr_spi.h"
#include "avr_timer.h"
#include "avr_twi.h"
#include "avr_uart.h"
#include "hc595.h"
#include "hd44780.h"
#include "sim_avr.h"
#include "sim_cycle_timers.h"
#include "sim_elf.h"
#include "sim_interrupts.h"
#include "uart_pty.h"

#define USART_RX_VECTOR 18    /* ATmega328P */
#define TEST_POINT_DECODING 7 /* PORTD */
#define TEST_POINT_UPDATED 4  /* PORTD */
/* The display counts as settled once its bus has been quiet this long: the firmware writes a
 * line's characters well under 100 us apart, and both lines back to back. */
#define LCD_QUIET_CYCLES 16000 /* 1 ms */
/* The display's I2C backpacks (PCF8574, PCF8574A), and their pins: P0 RS, P1 RW, P2 E, P4-P7
 * D4-D7. */
#define BACKPACK_ADDRESS 0x27
#define BACKPACK_A_ADDRESS 0x3F
/* An X27.168's coils in their six-state sequence, pins 1-4 as bits 0-3. */
static const uint8_t X27_COILS[6] = {0x9, 0x1, 0x7, 0x6, 0xE, 0x8};
/* An address neither the firmware (8 KiB at most) nor a bootloader (2 KiB at most, from 0x7800)
 * uses: where a hang is planted. */
#define HANG_ADDRESS 0x77FC

static void on_receive_interrupt(struct avr_irq_t* irq, uint32_t value, void* param) {
  simulated_board* board = param;
  (void)irq;
  if (value) {
    const uint64_t gap = board->avr->cycle - board->last_byte;
    if (board->last_byte == 0) {
      board->timing.first_byte_cycle = board->avr->cycle;
      board->timing.asleep_cycles_before_first_byte = board->timing.asleep_cycles;
    }
    if (board->last_byte != 0 &&
        (board->timing.byte_gap_cycles_min == 0 || gap < board->timing.byte_gap_cycles_min)) {
      board->timing.byte_gap_cycles_min = gap;
    }
    board->receive_started = board->avr->cycle;
    board->last_byte = board->avr->cycle;
    board->timing.receive_interrupts++;
  } else if (board->receive_started != 0) {
    board->timing.receive_cycles += board->avr->cycle - board->receive_started;
    board->receive_started = 0;
  }
}

static void on_decoding(struct avr_irq_t* irq, uint32_t value, void* param) {
  simulated_board* board = param;
  (void)irq;
  if (value) {
    board->decode_started = board->avr->cycle;
  } else if (board->decode_started != 0) {
    board->timing.decode_cycles += board->avr->cycle - board->decode_started;
    board->decode_started = 0;
  }
}

static void on_updated(struct avr_irq_t* irq, uint32_t value, void* param) {
  simulated_board* board = param;
  uint64_t latency;
  uint8_t(*taken)[16];
  (void)irq;
  (void)value;
  if (board->last_byte == 0) {
    return; /* the pin's set-up, before any byte */
  }
  taken = board->lcd_taken[board->taken_count % TAKEN_KEPT];
  memcpy(taken[0], board->lcd.vram + 0x00, 16);
  memcpy(taken[1], board->lcd.vram + 0x40, 16);
  board->taken_at[board->taken_count % TAKEN_KEPT] = board->avr->cycle;
  board->taken_count++;
  board->timing.updates++;
  latency = board->avr->cycle - board->last_byte;
  board->timing.latency_cycles_sum += latency;
  if (latency > board->timing.latency_cycles_max) {
    board->timing.latency_cycles_max = latency;
  }
}

static void on_lamps(struct avr_irq_t* irq, uint32_t value, void* param) {
  simulated_board* board = param;
  (void)irq;
  board->lamp_bits = value;
}

static avr_cycle_count_t on_lcd_quiet(struct avr_t* avr, avr_cycle_count_t when, void* param) {
  simulated_board* board = param;
  (void)avr;
  memcpy(board->lcd_settled[0], board->lcd.vram + 0x00, 16);
  memcpy(board->lcd_settled[1], board->lcd.vram + 0x40, 16);
  memcpy(board->lcd_settled_kept[board->settled_count % TAKEN_KEPT], board->lcd_settled,
         sizeof board->lcd_settled);
  board->settled_at[board->settled_count % TAKEN_KEPT] = when - LCD_QUIET_CYCLES;
  board->settled_count++;
  return 0;
}

/* Every strobe of the display's enable line restarts the wait for quiet, so a line is never
 * read with half its characters written. */
static void on_lcd_strobe(struct avr_irq_t* irq, uint32_t value, void* param) {
  simulated_board* board = param;
  (void)irq;
  (void)value;
  avr_cycle_timer_cancel(board->avr, on_lcd_quiet, board);
  avr_cycle_timer_register(board->avr, LCD_QUIET_CYCLES, on_lcd_quiet, board);
}

/* The I2C backpack: a PCF8574 answers its address and puts each byte on its pins, which drive
 * the same display as the six wires. */
static void on_twi(struct avr_irq_t* irq, uint32_t value, void* param) {
  simulated_board* board = param;
  avr_irq_t* reply = avr_io_getirq(board->avr, AVR_IOCTL_TWI_GETIRQ(0), TWI_IRQ_INPUT);
  avr_twi_msg_irq_t message;
  int i;
  (void)irq;
  message.u.v = value;
  if (board->i2c_held) {
    board->backpack_selected = 0; /* nothing crosses a bus held low */
    return;
  }
  if (message.u.twi.msg & TWI_COND_STOP) {
    board->backpack_selected = 0;
  }
  if (message.u.twi.msg & TWI_COND_START) {
    const uint8_t address = (uint8_t)(message.u.twi.addr >> 1);
    board->backpack_selected = board->backpack_address != 0
                                   ? address == board->backpack_address
                                   : address == BACKPACK_ADDRESS || address == BACKPACK_A_ADDRESS;
    if (board->backpack_selected) {
      avr_raise_irq(reply, avr_twi_irq_msg(TWI_COND_ACK, message.u.twi.addr, 1));
    }
  }
  if (board->backpack_selected && (message.u.twi.msg & TWI_COND_WRITE)) {
    const uint8_t pins = message.u.twi.data;
    avr_raise_irq(reply, avr_twi_irq_msg(TWI_COND_ACK, message.u.twi.addr, 1));
    for (i = 0; i < 4; i++) {
      avr_raise_irq(board->lcd.irq + IRQ_HD44780_D4 + i, (pins >> (4 + i)) & 1);
    }
    avr_raise_irq(board->lcd.irq + IRQ_HD44780_RS, pins & 1);
    avr_raise_irq(board->lcd.irq + IRQ_HD44780_E, (pins >> 2) & 1);
    on_lcd_strobe(NULL, 0, board);
  }
}

/* A move of the speed needle ends: keep its fastest gap, its ramp up to it and its braking after
 * it. */
static void end_move(struct needle_moves* m) {
  if (m->fastest != 0) {
    struct needle_move* kept = &m->kept[m->count % 64];
    kept->fastest = m->fastest;
    kept->ramp = m->to_fastest;
    kept->brake = m->steps - m->at_fastest;
    m->count++;
  }
  m->steps = 0;
  m->last_gap = 0;
  m->last_pair = 0;
  m->fastest = 0;
}

static int top_window(int kind) {
  return kind == 1 ? 4 : 16;
}

static void time_step(simulated_board* board, int kind, int which, int direction) {
  struct needle_moves* m = &board->moves[kind == 1 ? 0 : 1];
  const uint64_t now = board->avr->cycle;
  /* Slower than any needle's first step (3 ms) is rest: what follows starts a new move. */
  const uint64_t rest = board->avr->frequency / 250;
  if (which != 0) {
    return;
  }
  if (m->last_step != 0 && now - m->last_step < board->avr->frequency / 100000) {
    return; /* within 10 us: the pins of one step, written one port after the other */
  }
  /* A reversal ends a move too: the motor turns round after a pause of its own (about 1 ms),
   * which is no step, and timing it as one would fake a jump in speed after it. */
  if (m->last_step == 0 || now - m->last_step > rest || direction != m->direction) {
    end_move(m);
    m->direction = direction;
  } else {
    const uint64_t gap = now - m->last_step;
    /* A step another interrupt delayed shortens the gap after it by as much as it lengthened
     * the one before: the motor's inertia evens that out, but it cannot follow a real jump in
     * speed. So the speed-up is judged over pairs of gaps, and the top speed over several
     * (two interrupts that delay consecutive steps by different amounts still skew a pair by
     * a few per cent). Within 2 % of the quickest such span: the same speed. */
    m->gaps[m->steps % 16] = gap;
    if (m->last_gap != 0) {
      const uint64_t pair = m->last_gap + gap;
      if (m->last_pair != 0 && (double)m->last_pair / (double)pair > m->speedup_max) {
        m->speedup_max = (double)m->last_pair / (double)pair;
      }
      m->last_pair = pair;
      {
        /* Driven directly an X27 steps a third of a degree; through a VID6606 a twelfth. */
        const double degrees = kind == 1 ? 1.0 / 3.0 : 1.0 / 12.0;
        const double speed = 2.0 * degrees * (double)board->avr->frequency / (double)pair;
        const double bound = sqrt(111.0 * 111.0 + 2.0 * 4000.0 * degrees * m->steps);
        if (speed / bound > m->beyond_max) {
          m->beyond_max = speed / bound;
        }
      }
    }
    /* The top speed over the same angle on either motor, four thirds of a degree. */
    if (m->steps >= (uint32_t)top_window(kind)) {
      uint64_t span = 0;
      int i;
      for (i = 0; i < top_window(kind); i++) {
        span += m->gaps[(m->steps - (uint32_t)i) % 16];
      }
      if (m->fastest == 0 || span * 100 < m->fastest * 98) {
        m->fastest = span;
        m->to_fastest = m->steps;
      }
      if (span * 100 <= m->fastest * 102) {
        m->at_fastest = m->steps;
      }
    }
    m->last_gap = gap;
  }
  m->steps++;
  m->last_step = now;
}

board_needle_timing board_needle_timing_now(simulated_board* board, int kind) {
  /* Over the moves that reached the top speed of them all: the shortest ramp and braking. */
  struct needle_moves* m = &board->moves[kind == 1 ? 0 : 1];
  board_needle_timing t = {0, 0, 0, m->speedup_max, m->beyond_max, top_window(kind)};
  uint32_t count;
  uint32_t i;
  if (m->steps > 0 && board->avr->cycle - m->last_step > board->avr->frequency / 250) {
    end_move(m);
  }
  count = m->count < 64 ? m->count : 64;
  for (i = 0; i < count; i++) {
    if (t.fastest_cycles == 0 || m->kept[i].fastest < t.fastest_cycles) {
      t.fastest_cycles = m->kept[i].fastest;
    }
  }
  for (i = 0; i < count; i++) {
    const struct needle_move* move = &m->kept[i];
    if (move->fastest * 100 <= t.fastest_cycles * 102) {
      if (t.ramp_steps == 0 || move->ramp < t.ramp_steps) {
        t.ramp_steps = move->ramp;
      }
      if (t.brake_steps == 0 || move->brake < t.brake_steps) {
        t.brake_steps = move->brake;
      }
    }
  }
  return t;
}

/* One step of a stepper needle; the stop at zero holds it however far it is driven back. */
static void step_needle(int32_t* steps, int direction) {
  *steps += direction;
  if (*steps < 0) {
    *steps = 0;
  }
}

static void x27_follow(simulated_board* board, int which, uint8_t coils) {
  int phase;
  for (phase = 0; phase < 6 && X27_COILS[phase] != coils; phase++) {
  }
  if (phase == 6) {
    return; /* between two writes of one step, or no X27 here */
  }
  if (phase == (board->x27_phase[which] + 1) % 6) {
    step_needle(&board->x27_steps[which], 1);
    time_step(board, 1, which, 1);
  } else if (phase == (board->x27_phase[which] + 5) % 6) {
    step_needle(&board->x27_steps[which], -1);
    time_step(board, 1, which, -1);
  }
  board->x27_phase[which] = phase;
}

/* Speed: X27 pins 1-4 on PB1, PB2, PD2, PD3, or STEP on PB1 with DIR on PD2. Rpm: X27 pins
 * on PC0-PC3, or STEP on PB2 with DIR on PD3. */
static void on_needle_pin(struct avr_irq_t* irq, uint32_t value, void* param) {
  const struct needle_pin* where = param;
  simulated_board* board = where->board;
  const char port = where->port;
  const uint8_t bit = (uint8_t)(1u << where->bit);
  (void)irq;
  uint8_t* pins = port == 'B' ? &board->pins_b : port == 'C' ? &board->pins_c : &board->pins_d;
  const int rising = value && !(*pins & bit);
  *pins = (uint8_t)(value ? *pins | bit : *pins & ~bit);
  if (port == 'B' && rising) {
    const int which = bit == (1u << 1) ? 0 : 1;
    const uint8_t dir = which == 0 ? (1u << 2) : (1u << 3);
    const int direction = (board->pins_d & dir) ? 1 : -1;
    step_needle(&board->step_dir_steps[which], direction);
    time_step(board, 2, which, direction);
  }
  if (port == 'C') {
    x27_follow(board, 1, board->pins_c & 0x0F);
  } else {
    x27_follow(board, 0, (uint8_t)(((board->pins_b >> 1) & 0x3) | (board->pins_d & 0xC)));
  }
}

/* A timer's TIFRn as the chip has it: a flag written as one is cleared, with its pending
 * interrupt; a flag written as zero stays as it is. simavr 1.6 clears every raised flag of the
 * timer on any write, so the firmware's clearing of one stepper's compare flag would erase the
 * other's, and that needle would stand still until the timer wrapped. */
static void on_timer_flags_write(struct avr_t* avr, avr_io_addr_t addr, uint8_t v, void* param) {
  avr_timer_t* timer = param;
  avr_int_vector_t* vectors[2 + AVR_TIMER_COMP_COUNT];
  int count = 0;
  int i;
  vectors[count++] = &timer->overflow;
  vectors[count++] = &timer->icr;
  for (i = 0; i < AVR_TIMER_COMP_COUNT; i++) {
    vectors[count++] = &timer->comp[i].interrupt;
  }
  for (i = 0; i < count; i++) {
    avr_int_vector_t* vector = vectors[i];
    if (vector->vector != 0 && vector->raised.reg == addr && (v & (1u << vector->raised.bit))) {
      avr_clear_interrupt(avr, vector);
    }
  }
}

static void install_timer_flag_rule(avr_t* avr) {
  avr_io_t* io;
  for (io = avr->io_port; io != NULL; io = io->next) {
    if (strcmp(io->kind, "timer") == 0) {
      avr_timer_t* timer = (avr_timer_t*)io;
      const avr_io_addr_t tifr = timer->overflow.raised.reg;
      if (tifr != 0) {
        avr->io[AVR_DATA_TO_IO(tifr)].w.c = on_timer_flags_write;
        avr->io[AVR_DATA_TO_IO(tifr)].w.param = timer;
      }
    }
  }
}

/* Pacing is the caller's: simavr's own sleep would stall the run with usleep. */
static void no_sleep(avr_t* avr, avr_cycle_count_t how_long) {
  (void)avr;
  (void)how_long;
}

simulated_board* board_create(const char* elf_path, char* error, size_t error_size) {
  simulated_board* board = calloc(1, sizeof *board);
  int i;
  if (board == NULL) {
    snprintf(error, error_size, "out of memory");
    return NULL;
  }
  board->opens = -1;
  if (elf_path != NULL && elf_read_firmware(elf_path, &board->firmware) != 0) {
    snprintf(error, error_size, "cannot read the firmware %s", elf_path);
    free(board);
    return NULL;
  }
  board->avr = avr_make_mcu_by_name("atmega328p");
  if (board->avr == NULL) {
    snprintf(error, error_size, "this simavr has no ATmega328P");
    free(board);
    return NULL;
  }
  avr_init(board->avr);
  board->avr->frequency = 16000000;
  board->avr->sleep = no_sleep;
  if (elf_path != NULL) {
    avr_load_firmware(board->avr, &board->firmware);
  } else {
    /* A new chip: its flash erased, nothing to run until a bootloader is put in front. */
    memset(board->avr->flash, 0xFF, board->avr->flashend + 1);
  }
  board->avr->frequency = 16000000;
  install_timer_flag_rule(board->avr);

  board_line_init(board);

  /* Two chained 74HC595s: simavr's part shifts up to 32 bits, so one stands for the chain. */
  hc595_init(board->avr, &board->lamps);
  avr_connect_irq(avr_io_getirq(board->avr, AVR_IOCTL_SPI_GETIRQ(0), SPI_IRQ_OUTPUT),
                  board->lamps.irq + IRQ_HC595_SPI_BYTE_IN);
  avr_connect_irq(avr_io_getirq(board->avr, AVR_IOCTL_IOPORT_GETIRQ('B'), 0),
                  board->lamps.irq + IRQ_HC595_IN_LATCH);
  avr_irq_register_notify(board->lamps.irq + IRQ_HC595_OUT, on_lamps, board);
  /* Real registers power up with random outputs: show every lamp lit until the first latch. */
  board->lamp_bits = 0xFFFF;

  /* The 16x2 display, 4-bit on PORTC. */
  hd44780_init(board->avr, &board->lcd, 16, 2);
  for (i = 0; i < 4; i++) {
    avr_connect_irq(avr_io_getirq(board->avr, AVR_IOCTL_IOPORT_GETIRQ('C'), i),
                    board->lcd.irq + IRQ_HD44780_D4 + i);
  }
  avr_connect_irq(avr_io_getirq(board->avr, AVR_IOCTL_IOPORT_GETIRQ('C'), 4),
                  board->lcd.irq + IRQ_HD44780_RS);
  avr_connect_irq(avr_io_getirq(board->avr, AVR_IOCTL_IOPORT_GETIRQ('C'), 5),
                  board->lcd.irq + IRQ_HD44780_E);
  memset(board->lcd_settled, ' ', sizeof board->lcd_settled);
  avr_irq_register_notify(avr_io_getirq(board->avr, AVR_IOCTL_TWI_GETIRQ(0), TWI_IRQ_OUTPUT),
                          on_twi, board);
  {
    static const struct {
      char port;
      int bit;
    } needle_pins[] = {{'B', 1}, {'B', 2}, {'D', 2}, {'D', 3},
                       {'C', 0}, {'C', 1}, {'C', 2}, {'C', 3}};
    for (i = 0; i < 8; i++) {
      struct needle_pin* where = &board->needle_pins[i];
      where->board = board;
      where->port = needle_pins[i].port;
      where->bit = (uint8_t)needle_pins[i].bit;
      avr_irq_register_notify(
          avr_io_getirq(board->avr, AVR_IOCTL_IOPORT_GETIRQ(where->port), where->bit),
          on_needle_pin, where);
    }
  }
  avr_irq_register_notify(avr_io_getirq(board->avr, AVR_IOCTL_IOPORT_GETIRQ('C'), 5), on_lcd_strobe,
                          board);

  /* Timing: the receive interrupt, and the firmware's two test points. */
  avr_irq_register_notify(avr_get_interrupt_irq(board->avr, USART_RX_VECTOR) + AVR_INT_IRQ_RUNNING,
                          on_receive_interrupt, board);
  avr_irq_register_notify(
      avr_io_getirq(board->avr, AVR_IOCTL_IOPORT_GETIRQ('D'), TEST_POINT_DECODING), on_decoding,
      board);
  avr_irq_register_notify(
      avr_io_getirq(board->avr, AVR_IOCTL_IOPORT_GETIRQ('D'), TEST_POINT_UPDATED), on_updated,
      board);
  return board;
}

void board_destroy(simulated_board* board) {
  /* The port and the watch on it are closed; the chip itself stays until the process ends:
   * simavr gives back only part of what it and its parts allocate, so the board is kept where
   * it can be found (while simavr's pseudo-terminal thread ran, that thread held it). */
  static simulated_board* retired[16];
  static size_t count;
  if (board == NULL) {
    return;
  }
  board_line_close(board);
  if (count < sizeof retired / sizeof retired[0]) {
    retired[count++] = board;
  }
}

/* What elf_read_firmware allocated: the program, the EEPROM's and fuses' bytes, the symbols. */
static void free_firmware(elf_firmware_t* firmware) {
  uint32_t i;
  for (i = 0; i < firmware->symbolcount; i++) {
    free(firmware->symbol[i]);
  }
  free(firmware->symbol);
  free(firmware->flash);
  free(firmware->eeprom);
  free(firmware->fuse);
  free(firmware->lockbits);
}

size_t board_elf_program(const char* elf_path, uint8_t* out, size_t size) {
  elf_firmware_t firmware;
  size_t length = 0;
  memset(&firmware, 0, sizeof firmware);
  if (elf_read_firmware(elf_path, &firmware) == 0 && firmware.flash != NULL &&
      firmware.flashsize <= size) {
    length = firmware.flashsize;
    memcpy(out, firmware.flash, length);
  }
  free_firmware(&firmware);
  return length;
}

int board_run_until(simulated_board* board, uint64_t cycle) {
  board_line_slice(board);
  while (board->avr->cycle < cycle) {
    const uint64_t before = board->avr->cycle;
    const int was_asleep = board->avr->state == cpu_Sleeping;
    const int state = avr_run(board->avr);
    if (board->i2c_held) {
      board->avr->data[0xBC] &= (uint8_t)~0x80; /* TWCR's TWINT: the step never ends */
    }
    /* simavr runs the sleep instruction (one cycle) and the sleep after it in one step. */
    if (was_asleep) {
      board->timing.asleep_cycles += board->avr->cycle - before;
    } else if (state == cpu_Sleeping && board->avr->cycle > before + 1) {
      board->timing.asleep_cycles += board->avr->cycle - before - 1;
    }
    if (state == cpu_Done || state == cpu_Crashed) {
      return -1;
    }
  }
  return 0;
}

void board_set_backpack(simulated_board* board, int address) {
  board->backpack_address = address;
}

void board_hold_i2c(simulated_board* board, int held) {
  board->i2c_held = held;
}

void board_stall(simulated_board* board) {
  /* "rjmp .-2" with interrupts on: a wait that never ends (a flag no one sets, a bus that
   * never answers). The interrupts go on; the main loop does not. */
  board->avr->flash[HANG_ADDRESS] = 0xFF;
  board->avr->flash[HANG_ADDRESS + 1] = 0xCF;
  if (board->avr->codeend < HANG_ADDRESS + 1) {
    board->avr->codeend = HANG_ADDRESS + 1;
  }
  board->avr->sreg[S_I] = 1;
  board->avr->pc = HANG_ADDRESS;
  board->avr->state = cpu_Running;
}

void board_hang(simulated_board* board) {
  /* "nop; rjmp .-4" with interrupts off: the main loop stops as a wild pointer or a stuck bus
   * would stop it, and only the watchdog brings the chip back. */
  board->avr->flash[HANG_ADDRESS] = 0x00;
  board->avr->flash[HANG_ADDRESS + 1] = 0x00;
  board->avr->flash[HANG_ADDRESS + 2] = 0xFE;
  board->avr->flash[HANG_ADDRESS + 3] = 0xCF;
  if (board->avr->codeend < HANG_ADDRESS + 3) {
    board->avr->codeend = HANG_ADDRESS + 3;
  }
  board->avr->sreg[S_I] = 0;
  board->avr->pc = HANG_ADDRESS;
  board->avr->state = cpu_Running; /* awake: sleeping with interrupts off ends a simavr run */
}

uint64_t board_cycle(const simulated_board* board) {
  return board->avr->cycle;
}

uint32_t board_frequency(const simulated_board* board) {
  return board->avr->frequency;
}

uint8_t board_read(const simulated_board* board, uint16_t data_address) {
  return board->avr->data[data_address];
}

uint16_t board_read16(const simulated_board* board, uint16_t data_address) {
  return (uint16_t)(board->avr->data[data_address] | (board->avr->data[data_address + 1] << 8));
}

void board_read_flash(const simulated_board* board, uint16_t address, uint8_t* out, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    const uint32_t at = (uint32_t)address + (uint32_t)i;
    out[i] = at <= board->avr->flashend ? board->avr->flash[at] : 0xFF;
  }
}

uint32_t board_needle_steps(const simulated_board* board, int kind, int which) {
  const int32_t steps = kind == 1 ? board->x27_steps[which] : board->step_dir_steps[which];
  return (uint32_t)steps;
}

uint32_t board_lamps(const simulated_board* board) {
  /* OE (D12) wired as the guide says, with a pull-up: dark until the firmware drives it low. */
  const uint8_t ddrb = board->avr->data[0x24];
  const uint8_t portb = board->avr->data[0x25];
  if ((ddrb & 0x10) == 0 || (portb & 0x10) != 0) {
    return 0;
  }
  return board->lamp_bits;
}

static void printable(const uint8_t* row, char out[17]) {
  int i;
  for (i = 0; i < 16; i++) {
    char shown = ' ';
    if (row[i] >= 0x20 && row[i] < 0x7F) {
      shown = (char)row[i];
    }
    out[i] = shown;
  }
  out[16] = '\0';
}

void board_lcd_line(const simulated_board* board, int line, char out[17]) {
  printable(board->lcd_settled[line == 0 ? 0 : 1], out);
}

uint32_t board_cycles_taken(const simulated_board* board) {
  return board->taken_count;
}

/* Line `line` of display `index` of a ring of TAKEN_KEPT displays (two lines of 16 each,
 * from `kept` on), `count` kept so far. */
static int kept_line(const uint8_t* kept, uint32_t count, uint32_t index, int line, char out[17]) {
  if (index >= count || count - index > TAKEN_KEPT) {
    return -1;
  }
  printable(kept + (size_t)(index % TAKEN_KEPT) * 32u + (line == 0 ? 0u : 16u), out);
  return 0;
}

int board_lcd_taken(const simulated_board* board, uint32_t index, int line, char out[17]) {
  return kept_line(&board->lcd_taken[0][0][0], board->taken_count, index, line, out);
}

uint32_t board_lcd_settles(const simulated_board* board) {
  return board->settled_count;
}

int board_lcd_settled(const simulated_board* board, uint32_t index, int line, char out[17]) {
  return kept_line(&board->lcd_settled_kept[0][0][0], board->settled_count, index, line, out);
}

uint64_t board_lcd_settled_at(const simulated_board* board, uint32_t index) {
  return board->settled_at[index % TAKEN_KEPT];
}

uint64_t board_taken_at(const simulated_board* board, uint32_t index) {
  return board->taken_at[index % TAKEN_KEPT];
}

board_timing board_timing_now(const simulated_board* board) {
  return board->timing;
}
