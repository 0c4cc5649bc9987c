#include "simulated_board.h"

#include <fcntl.h>
#include <math.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include "avr_flash.h"
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
/* A byte on the wire is 10 bits at 115200 baud: 86.8 us, 1389 cycles. simavr times it as 11 bits
 * at the rate the UART's registers give, which would run the line slower than the plug-in sends. */
#define UART_CYCLES_PER_BYTE 1389
/* The display's I2C backpacks (PCF8574, PCF8574A), and their pins: P0 RS, P1 RW, P2 E, P4-P7
 * D4-D7. */
#define BACKPACK_ADDRESS 0x27
#define BACKPACK_A_ADDRESS 0x3F
/* An X27.168's coils in their six-state sequence, pins 1-4 as bits 0-3. */
static const uint8_t X27_COILS[6] = {0x9, 0x1, 0x7, 0x6, 0xE, 0x8};
/* An address neither the firmware (8 KiB at most) nor a bootloader (2 KiB at most, from 0x7800)
 * uses: where a hang is planted. */
#define HANG_ADDRESS 0x77FC

struct simulated_board {
  avr_t* avr;
  elf_firmware_t firmware;
  uart_pty_t uart;
  hc595_t lamps;
  hd44780_t lcd;
  avr_uart_t* uart0;
  int backpack_selected;
  int backpack_address; /* 0: a backpack answers at either address */
  /* Stepper needles, counted off their pins from the stops: speed [0], rpm [1]. */
  uint8_t pins_b, pins_c, pins_d;
  int32_t x27_steps[2];
  int x27_phase[2];
  int32_t step_dir_steps[2];
  /* The speed needle's moves, timed off its pins: a move starts from rest (no step for 4 ms).
   * Kept for each way of driving it ([0] X27 coils, [1] step and direction), since the pins
   * of one read as noise in the other's terms. */
  struct needle_moves {
    uint64_t last_step;  /* cycle of the last step, 0 before the first */
    uint64_t last_gap;   /* cycles between the last two steps of this move, 0 at its start */
    int direction;       /* of this move's steps: 1 up the dial, -1 down */
    uint32_t steps;      /* steps in this move so far */
    uint64_t gaps[16];   /* this move's last sixteen gaps, by step number */
    uint64_t fastest;    /* this move's shortest four gaps together */
    uint32_t to_fastest; /* steps into this move when it first stepped at that pace */
    uint32_t at_fastest; /* steps into this move when it last stepped at that pace */
    uint64_t last_pair;  /* the last two gaps of this move together, 0 before there are two */
    double speedup_max;  /* over every move: the largest ratio of a pair to the next one */
    /* Over every move: the largest ratio of a pair's speed to what a needle reaches from 111
     * degrees a second at its first step with 4,000 degrees/s^2 over the angle it has come. */
    double beyond_max;
    uint32_t count; /* moves kept below (the most recent ones) */
    struct needle_move {
      uint64_t fastest;
      uint32_t ramp, brake;
    } kept[64];
  } moves[2];
  struct needle_pin {
    struct simulated_board* board;
    char port;
    uint8_t bit;
  } needle_pins[8];
  uint8_t lcd_settled[2][16]; /* what the display showed when its bus last fell quiet */
  /* What the display showed at the moment the firmware took each cycle (its needles set), the
   * latest TAKEN_KEPT of them: by then the cycle before must be on the display, whole. */
  uint8_t lcd_taken[TAKEN_KEPT][2][16];
  uint32_t taken_count;
  uint64_t taken_at[TAKEN_KEPT];
  /* Each display the bus settled on, the latest TAKEN_KEPT of them. */
  uint8_t lcd_settled_kept[TAKEN_KEPT][2][16];
  uint64_t settled_at[TAKEN_KEPT]; /* the cycle the bus fell quiet */
  uint32_t settled_count;
  uint32_t lamp_bits;
  board_timing timing;
  int i2c_held; /* SDA or SCL held low: no TWI step ever completes */
  uint64_t receive_started;
  uint64_t last_byte;
  uint64_t decode_started;
  /* Behind a bootloader the board is a board an uploader can reach: every open of its port
   * resets it (an auto-reset board's DTR pulse; a pseudo-terminal has no DTR), and the line
   * carries bytes only while its rate and the UART's agree, as a real line does. */
  int bootloader;
  int opens;           /* inotify on the port, -1 before the bootloader is loaded */
  uint32_t resets;     /* by the port's opening */
  uint32_t line_rate;  /* the rate the port was last set to, 0 when unknown */
  uint64_t line_bytes; /* bytes the line has brought */
  avr_irq_t* uart_in;  /* the UART's receiver */
  /* What the port has brought and the UART has not yet taken: the line is ours, not simavr's
   * pseudo-terminal thread's (below). */
  uint8_t line_queue[4096];
  size_t line_head, line_count;
};

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

/* The rate the UART is set to, from UBRR0 and U2X0. */
static uint32_t uart_rate(const simulated_board* board) {
  const uint32_t ubrr = (uint32_t)(board->avr->data[0xC4] | (board->avr->data[0xC5] & 0x0F) << 8);
  const uint32_t divisor = (board->avr->data[0xC0] & 0x02) != 0 ? 8u : 16u;
  return board->avr->frequency / (divisor * (ubrr + 1));
}

/* A byte crosses the line as sent only when both ends run within 4 % of each other; otherwise
 * the receiver samples the wrong bits, and what it takes is noise. */
static uint32_t over_the_line(const simulated_board* board, uint32_t value) {
  uint32_t uart;
  if (!board->bootloader || board->line_rate == 0) {
    return value;
  }
  uart = uart_rate(board);
  if (uart * 100u > board->line_rate * 104u || uart * 104u < board->line_rate * 100u) {
    return ~value & 0xFFu;
  }
  return value;
}

static void on_uart_sent(struct avr_irq_t* irq, uint32_t value, void* param) {
  simulated_board* board = param;
  const uint8_t byte = (uint8_t)over_the_line(board, value);
  (void)irq;
  /* Nobody reading the port: the byte is gone, as on a wire. */
  if (write(board->uart.pty.s, &byte, 1) < 0) {
    return;
  }
}

/* The port's bytes into the UART, as many as its receiver has room for. simavr's own pump
 * waits for the UART's "room again" signal, which a reset silences until something polls the
 * receiver; a firmware that takes bytes by interrupt, started by a watchdog reset with no
 * bootloader polling the line (Optiboot's way out), then never got another byte, and the
 * pump's thread stalls for good once its buffer fills. A real line has neither hold: every
 * slice here takes what the port brought and offers it to the receiver, which drops it while
 * it is switched off (during a reset), as a chip does. */
static void pump_line(simulated_board* board) {
  const size_t size = sizeof board->line_queue;
  while (board->line_count < size) {
    const size_t tail = (board->line_head + board->line_count) % size;
    const size_t room =
        board->line_count + (size - tail) > size ? size - board->line_count : size - tail;
    const ssize_t got = read(board->uart.pty.s, board->line_queue + tail, room);
    if (got <= 0) {
      break; /* nothing more now, or no one has the port open (EIO) */
    }
    board->line_count += (size_t)got;
  }
  while (board->line_count > 0 && board->uart0 != NULL &&
         ((board->uart0->input.write + 1u) & 63u) != board->uart0->input.read) {
    const uint8_t byte = board->line_queue[board->line_head];
    board->line_head = (board->line_head + 1) % size;
    board->line_count--;
    board->line_bytes++;
    avr_raise_irq(board->uart_in, over_the_line(board, byte));
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

  /* The UART behind a pseudo-terminal. */
  uart_pty_init(board->avr, &board->uart);
  uart_pty_connect(&board->uart, '0');
  {
    /* Every byte through our hands, so that the line's rate can be held to the UART's. */
    avr_irq_t* out = avr_io_getirq(board->avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUTPUT);
    board->uart_in = avr_io_getirq(board->avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_INPUT);
    avr_unconnect_irq(out, board->uart.irq + IRQ_UART_PTY_BYTE_IN);
    avr_unconnect_irq(board->uart.irq + IRQ_UART_PTY_BYTE_OUT, board->uart_in);
    avr_irq_register_notify(out, on_uart_sent, board);
    /* simavr's thread gives the line up (see pump_line); its pseudo-terminal stays. */
    pthread_cancel(board->uart.thread);
    pthread_join(board->uart.thread, NULL);
    fcntl(board->uart.pty.s, F_SETFL, fcntl(board->uart.pty.s, F_GETFL) | O_NONBLOCK);
  }
  for (avr_io_t* io = board->avr->io_port; io != NULL; io = io->next) {
    if (strcmp(io->kind, "uart") == 0 && ((avr_uart_t*)io)->name == '0') {
      board->uart0 = (avr_uart_t*)io;
    }
  }

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
  /* simavr's uart_pty_stop waits for a thread that never ends; the process's exit ends it. */
  (void)board;
}

const char* board_port(const simulated_board* board) {
  return board->uart.pty.slavename;
}

/* The reset pin pulled low: the chip starts again at the bootloader, which reads in MCUSR that
 * the reset came from outside and so waits for an upload. */
static void reset_by_pin(simulated_board* board) {
  avr_reset(board->avr);
  board->avr->data[0x54] = 0x02; /* MCUSR: EXTRF */
  board->resets++;
}

/* What happened on the port since the last look: each open resets the board; the rate the
 * opener set is the line's. */
static void watch_port(simulated_board* board) {
  struct termios line;
  char events[4096] __attribute__((aligned(__alignof__(struct inotify_event))));
  ssize_t got;
  while ((got = read(board->opens, events, sizeof events)) > 0) {
    ssize_t at = 0;
    while (at < got) {
      const struct inotify_event* event = (const struct inotify_event*)(events + at);
      if ((event->mask & IN_OPEN) != 0) {
        reset_by_pin(board);
      }
      at += (ssize_t)sizeof *event + event->len;
    }
  }
  if (tcgetattr(board->uart.pty.s, &line) == 0) {
    static const struct {
      speed_t speed;
      uint32_t rate;
    } rates[] = {{B9600, 9600},   {B19200, 19200},   {B38400, 38400},
                 {B57600, 57600}, {B115200, 115200}, {B230400, 230400}};
    size_t i;
    board->line_rate = 0;
    for (i = 0; i < sizeof rates / sizeof rates[0]; i++) {
      if (cfgetospeed(&line) == rates[i].speed) {
        board->line_rate = rates[i].rate;
      }
    }
  }
}

uint64_t board_line_bytes(const simulated_board* board) {
  return board->line_bytes;
}

uint32_t board_port_resets(const simulated_board* board) {
  return board->resets;
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
  if (board->opens >= 0) {
    watch_port(board);
  }
  /* The firmware's UART set-up recomputes the byte time: keep it the line's. */
  if (board->uart0 != NULL) {
    /* Behind a bootloader, the rate its uploader set (57600 for the old one). */
    board->uart0->cycles_per_byte = board->bootloader && board->line_rate != 0
                                        ? 10u * board->avr->frequency / board->line_rate
                                        : UART_CYCLES_PER_BYTE;
  }
  pump_line(board);
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

static int hex_value(const char* text, int digits) {
  int value = 0;
  int i;
  for (i = 0; i < digits; i++) {
    const char c = text[i];
    const int nibble = c >= '0' && c <= '9'   ? c - '0'
                       : c >= 'A' && c <= 'F' ? c - 'A' + 10
                       : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                              : -1;
    if (nibble < 0) {
      return -1;
    }
    value = value << 4 | nibble;
  }
  return value;
}

/* The lock bits the Arduino core burns with its bootloader (0x0F: boot lock bits BLB1 = 00):
 * SPM may not write the boot section, neither from the firmware nor from the bootloader
 * itself. A page erase or write whose address lies there does nothing on the chip, so an
 * upload that reaches the bootloader's area leaves it answering; simavr would write it. */
static int (*flash_ioctl)(struct avr_io_t* io, uint32_t ctl, void* io_param);

static int locked_flash_ioctl(struct avr_io_t* io, uint32_t ctl, void* io_param) {
  avr_t* avr = io->avr;
  if (ctl == AVR_IOCTL_FLASH_SPM) {
    const avr_flash_t* flash = (const avr_flash_t*)io;
    const uint16_t z = (uint16_t)(avr->data[R_ZL] | avr->data[R_ZH] << 8);
    const int writes =
        avr_regbit_get(avr, flash->pgers) != 0 || avr_regbit_get(avr, flash->pgwrt) != 0;
    if (writes && z >= avr->reset_pc) {
      avr->data[flash->r_spm] = 0; /* the operation ends at once, having done nothing */
      return 0;
    }
  }
  return flash_ioctl(io, ctl, io_param);
}

static void lock_boot_section(avr_t* avr) {
  avr_io_t* io;
  for (io = avr->io_port; io != NULL; io = io->next) {
    if (strcmp(io->kind, "flash") == 0 && io->ioctl != locked_flash_ioctl) {
      flash_ioctl = io->ioctl;
      io->ioctl = locked_flash_ioctl;
    }
  }
}

int board_load_bootloader(simulated_board* board, const char* hex_path, char* error,
                          size_t error_size) {
  /* Intel hex: ":" length, address, type, data, checksum, each byte two hex digits. Data
   * records (00) are placed, the end record (01) ends it; the start-address records (03, 05)
   * a bootloader's file may carry say nothing a reset does not. */
  FILE* file = fopen(hex_path, "r");
  char line[600];
  uint32_t base = 0;
  uint32_t start = 0xFFFFFFFFu;
  int number = 0;
  if (file == NULL) {
    snprintf(error, error_size, "cannot read the bootloader %s", hex_path);
    return -1;
  }
  while (fgets(line, sizeof line, file) != NULL) {
    const int length = hex_value(line + 1, 2);
    const int address = hex_value(line + 3, 4);
    const int type = hex_value(line + 7, 2);
    int sum = length + (address >> 8) + (address & 0xFF) + type;
    int i;
    ++number;
    if (line[0] != ':' || length < 0 || address < 0 || type < 0 ||
        (int)strlen(line) < 11 + 2 * length) {
      break;
    }
    for (i = 0; i <= length; i++) {
      const int byte = hex_value(line + 9 + 2 * (size_t)i, 2);
      if (byte < 0) {
        sum = -1;
        break;
      }
      sum += byte;
    }
    if (sum < 0 || (sum & 0xFF) != 0) {
      break;
    }
    if (type == 1) {
      /* A bootloader polls the UART for an upload; simavr would sleep on every poll of an
       * empty line and run a second of it in a minute. (The firmware takes bytes by interrupt,
       * and its line keeps simavr's pacing.) */
      uint32_t flags = 0;
      avr_ioctl(board->avr, AVR_IOCTL_UART_GET_FLAGS('0'), &flags);
      flags &= ~(uint32_t)AVR_UART_FLAG_POLL_SLEEP;
      avr_ioctl(board->avr, AVR_IOCTL_UART_SET_FLAGS('0'), &flags);
      fclose(file);
      if (start == 0xFFFFFFFFu) {
        snprintf(error, error_size, "%s holds no code", hex_path);
        return -1;
      }
      /* BOOTRST programmed, as on every Arduino: each reset starts the bootloader, which then
       * jumps to the firmware at 0. */
      board->avr->codeend = 0x7FFF;
      board->avr->reset_pc = start;
      board->avr->pc = start;
      board->bootloader = 1;
      lock_boot_section(board->avr);
      board->opens = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
      if (board->opens < 0 ||
          inotify_add_watch(board->opens, board->uart.pty.slavename, IN_OPEN) < 0) {
        snprintf(error, error_size, "cannot watch the port %s for opens",
                 board->uart.pty.slavename);
        return -1;
      }
      return 0;
    }
    if (type == 2 || type == 4) {
      base = (uint32_t)hex_value(line + 9, 4) << (type == 2 ? 4 : 16);
    } else if (type == 0) {
      const uint32_t at = base + (uint32_t)address;
      if (at < 0x7000) {
        fclose(file);
        snprintf(error, error_size, "%s is no ATmega328P bootloader: it writes at 0x%X", hex_path,
                 (unsigned)at);
        return -1;
      }
      /* Debian's Optiboot build spills a few bytes past the 32 KiB, which no chip has: a
       * programmer refuses them, and the code a reset runs lies below. */
      for (i = 0; i < length && at + (uint32_t)i < 0x8000; i++) {
        board->avr->flash[at + (uint32_t)i] = (uint8_t)hex_value(line + 9 + 2 * (size_t)i, 2);
      }
      if (at < start) {
        start = at;
      }
    }
  }
  fclose(file);
  snprintf(error, error_size, "%s: line %d is no Intel hex record, or the end record is missing",
           hex_path, number);
  return -1;
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
