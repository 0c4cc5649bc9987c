/* The simulated board's line to its port and the bootloader's side of it: bytes both ways at
 * the rate both ends agree on, a reset each time the port is opened (an auto-reset board's DTR
 * pulse), the bootloader put in front of the firmware with the lock bits a real board has. */
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include "avr_flash.h"
#include "avr_uart.h"
#include "board_state.h"
#include "sim_avr.h"

/* A byte on the wire is 10 bits at 115200 baud: 86.8 us, 1389 cycles. simavr times it as 11 bits
 * at the rate the UART's registers give, which would run the line slower than the plug-in sends. */
#define UART_CYCLES_PER_BYTE 1389

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

void board_line_init(simulated_board* board) {
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
}

void board_line_slice(simulated_board* board) {
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
}

void board_line_close(simulated_board* board) {
  if (board->uart.pty.s > 0) {
    close(board->uart.pty.s);
    board->uart.pty.s = 0;
  }
  if (board->opens >= 0) {
    close(board->opens);
    board->opens = -1;
  }
}
