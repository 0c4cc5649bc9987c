/* The simulated board behind vontrel-cluster: an ATmega328P at 16 MHz running the cluster
 * firmware, its UART behind a pseudo-terminal, the two 74HC595s and the HD44780 attached as
 * docs/firmware.md wires them. Written in C against simavr's parts, whose headers are C. */
#ifndef VONTREL_TOOLS_CLUSTER_SIMULATED_BOARD_H
#define VONTREL_TOOLS_CLUSTER_SIMULATED_BOARD_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct simulated_board simulated_board;

/* Timing the firmware's work, in simulated cycles. */
typedef struct board_timing {
  uint64_t receive_interrupts; /* bytes taken by the receive interrupt */
  uint64_t receive_cycles;     /* cycles spent in it */
  uint64_t decode_cycles;      /* cycles with the decoding test point high */
  uint64_t updates;            /* times the needles and lamps took a new cycle */
  uint64_t latency_cycles_max; /* from a cycle's last byte taken to the outputs updated */
  uint64_t latency_cycles_sum;
  uint64_t asleep_cycles;    /* in the idle sleep: what a power meter would see as rest */
  uint64_t first_byte_cycle; /* when the wire first carried a byte, 0 before */
  uint64_t asleep_cycles_before_first_byte;
  uint64_t byte_gap_cycles_min; /* between two bytes' interrupts: the line's byte time at best */
} board_timing;

/* Loads the firmware and starts the board; with no firmware (NULL), an erased chip. NULL with
 * `error` filled on failure. */
simulated_board* board_create(const char* elf_path, char* error, size_t error_size);
/* Before the process ends: the board's threads end with it. */
void board_destroy(simulated_board* board);

/* The pseudo-terminal the firmware's UART listens on. */
const char* board_port(const simulated_board* board);

/* Runs until at least `cycle`. Returns 0 while the firmware runs, -1 once it has crashed. */
int board_run_until(simulated_board* board, uint64_t cycle);
/* Puts a bootloader (an Intel hex file, such as the Arduino core's ATmegaBOOT or Optiboot) in
 * the boot section and starts there, as a board with BOOTRST programmed does after every
 * reset. 0, or -1 with `error` filled. */
int board_load_bootloader(simulated_board* board, const char* hex_path, char* error,
                          size_t error_size);
/* Behind a bootloader: how often opening the port has reset the board (as an auto-reset board's
 * DTR does). */
uint32_t board_port_resets(const simulated_board* board);
/* Bytes the line has brought the UART so far. */
uint64_t board_line_bytes(const simulated_board* board);
/* The program a firmware file (an ELF) puts in flash from 0, at most `size` bytes into `out`:
 * its length, 0 when the file cannot be read or holds more. */
size_t board_elf_program(const char* elf_path, uint8_t* out, size_t size);
/* For tests of the firmware's watchdog: the CPU spins from here on with interrupts off... */
void board_hang(simulated_board* board);
/* ... or with them on: the main loop waits for ever, the interrupts go on. */
void board_stall(simulated_board* board);
/* The display's I2C bus held low (a short, a half-plugged backpack) or let go again: while it
 * is held, no step of the TWI completes. */
void board_hold_i2c(simulated_board* board, int held);
/* The display's backpack answers only at this I2C address (0x27 for a PCF8574, 0x3F for a
 * PCF8574A); 0, the default, at either. */
void board_set_backpack(simulated_board* board, int address);
uint64_t board_cycle(const simulated_board* board);
uint32_t board_frequency(const simulated_board* board);

uint8_t board_read(const simulated_board* board, uint16_t data_address);
uint16_t board_read16(const simulated_board* board, uint16_t data_address);
/* `size` bytes of the program's flash from `address`, as loaded (0xFF beyond the chip's). */
void board_read_flash(const simulated_board* board, uint16_t address, uint8_t* out, size_t size);
uint32_t board_lamps(const simulated_board* board);
/* Stepper needles counted off their pins: kind 1 X27 driven directly, 2 step and direction;
 * which 0 speed, 1 rpm. Steps from the stop. */
uint32_t board_needle_steps(const simulated_board* board, int kind, int which);
/* One of the display's two lines as it last settled (never halfway through the firmware
 * rewriting it), 16 characters and a terminating zero. */
void board_lcd_line(const simulated_board* board, int line, char out[17]);
/* How many cycles the firmware has taken (set its needles for), and what one of the display's
 * lines showed, as written so far, at the moment it took cycle `index` (counted from 0): -1
 * once that is more than TAKEN_KEPT cycles ago. */
#define TAKEN_KEPT 64
uint32_t board_cycles_taken(const simulated_board* board);
int board_lcd_taken(const simulated_board* board, uint32_t index, int line, char out[17]);
/* The same for each time the display's bus fell quiet (as board_lcd_line then reads it). */
uint32_t board_lcd_settles(const simulated_board* board);
int board_lcd_settled(const simulated_board* board, uint32_t index, int line, char out[17]);
/* The cycle at which that display's bus fell quiet. */
uint64_t board_lcd_settled_at(const simulated_board* board, uint32_t index);
uint64_t board_taken_at(const simulated_board* board, uint32_t index);
board_timing board_timing_now(const simulated_board* board);

/* The speed needle's stepper, timed off its pins over its moves from rest. */
typedef struct board_needle_timing {
  uint64_t fastest_cycles; /* the shortest time over `window` steps at its top speed */
  uint32_t ramp_steps;     /* steps from rest to that speed, in the shortest such move */
  uint32_t brake_steps;    /* steps from that speed to rest, likewise */
  double speedup_max;      /* the largest ratio of two steps' time to the next two's */
  /* The largest ratio of a pair of steps' speed to 111 degrees a second at a move's first step
   * and 4,000 degrees/s^2 over the angle since: above 1, a needle that outruns that ramp. */
  double beyond_ramp_max;
  int window; /* steps timed together: four thirds of a degree, 4 on an X27, 16 microsteps */
} board_needle_timing;
/* `kind` as for board_needle_steps. */
board_needle_timing board_needle_timing_now(simulated_board* board, int kind);

#ifdef __cplusplus
}
#endif

#endif
