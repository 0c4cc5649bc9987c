// The simulated board must keep the ATmega328P's rule for interrupt flags (a one written to a
// flag clears it, a zero leaves it): a stepper firmware clears one motor's compare flag while
// the other's may be pending, and a simulator that erased both would stand a needle still.
// tests/avr/flag_probe.c runs each check on the simulated chip and leaves its verdicts in the
// general-purpose I/O registers.
#include <gtest/gtest.h>

#include <cstdint>

#include "simulated_board.h"

namespace {

constexpr std::uint16_t GPIOR1 = 0x4A;  // data addresses of the ATmega328P's registers
constexpr std::uint16_t GPIOR2 = 0x4B;
constexpr std::uint16_t EEDR = 0x40;

struct FlagCheck {
  std::uint16_t verdicts;
  std::uint8_t bit;
  const char* rule;
};

constexpr FlagCheck CHECKS[] = {
    {GPIOR1, 0x01, "TIFR1: compare A's flag survives a write of compare B's bit"},
    {GPIOR1, 0x02, "TIFR1: compare A's interrupt runs once interrupts are on again"},
    {GPIOR1, 0x04, "TIFR1: a one written to compare A's flag clears it"},
    {GPIOR1, 0x08, "TIFR1: a cleared compare A flag raises no interrupt"},
    {GPIOR1, 0x10, "TIFR0: compare A's flag survives a write of compare B's bit"},
    {GPIOR1, 0x20, "TIFR0: compare A's interrupt runs"},
    {GPIOR1, 0x40, "TIFR2: compare A's flag survives a write of compare B's bit"},
    {GPIOR1, 0x80, "TIFR2: compare A's interrupt runs"},
    {GPIOR2, 0x01, "UCSR0A: TXC0 survives a write of U2X0 alone"},
    {GPIOR2, 0x02, "UCSR0A: a one written to TXC0 clears it"},
    {GPIOR2, 0x04, "TWCR: TWINT survives a write with TWINT zero"},
};

TEST(simulated_board_test, interrupt_flags_clear_only_where_a_one_is_written) {
  char error[256] = "";
  simulated_board* board = board_create(VONTREL_FLAG_PROBE, error, sizeof error);
  ASSERT_NE(board, nullptr) << error;
  // The probe needs well under a millisecond; a tenth of a second leaves it room.
  ASSERT_EQ(board_run_until(board, board_frequency(board) / 10), 0);
  ASSERT_EQ(board_read(board, EEDR), 0xA5) << "the probe never reached its end";
  for (const FlagCheck& check : CHECKS) {
    EXPECT_NE(board_read(board, check.verdicts) & check.bit, 0) << check.rule;
  }
  board_destroy(board);
}

}  // namespace
