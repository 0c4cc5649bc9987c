/* The simulated board's state, shared by its two halves: the chip with its parts
 * (simulated_board.c) and its line to the port with the bootloader's side (board_line.c). Only
 * those two include it; everything else goes through simulated_board.h. */
#ifndef VONTREL_TOOLS_CLUSTER_BOARD_STATE_H
#define VONTREL_TOOLS_CLUSTER_BOARD_STATE_H

#include <stddef.h>
#include <stdint.h>

#include "avr_uart.h"
#include "hc595.h"
#include "hd44780.h"
#include "sim_avr.h"
#include "sim_elf.h"
#include "simulated_board.h"
#include "uart_pty.h"

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

/* The port's side, in board_line.c: the pseudo-terminal made the UART's line, at creation; and
 * before each slice of the run, what happened on the port (opens, its rate) and the bytes it
 * brought offered to the UART. */
void board_line_init(simulated_board* board);
void board_line_slice(simulated_board* board);
/* The port and the watch on its opens closed. */
void board_line_close(simulated_board* board);

#endif /* VONTREL_TOOLS_CLUSTER_BOARD_STATE_H */
