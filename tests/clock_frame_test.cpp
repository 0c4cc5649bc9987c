#include "dashboard/clock_frame.h"

#include <gtest/gtest.h>

#include <ostream>

#include <array>

#include "tests/frame_bytes.h"

namespace vontrel {
namespace {

using testing::hex;
using testing::to_hex;

TEST(clock_frame_test, to_bcd_packs_tens_up_to_fourteen_and_zeroes_the_rest) {
  const std::pair<std::int32_t, std::int32_t> cases[] = {
      {0, 0x00},       {9, 0x09},
      {10, 0x10},      {59, 0x59},
      {99, 0x99},      {100, 0xA0},
      {149, 0xE9},     {150, 0},
      {-1, 0},         {1000, 0},
      {23, 0x23},      {31, 0x31},
      {12, 0x12},      {-2147483647 - 1, 0},
      {2147483647, 0},
  };
  for (const auto& [value, bcd] : cases) {
    EXPECT_EQ(to_bcd(value), bcd) << value;
  }
}

TEST(clock_frame_test, days_in_month_has_a_leap_day_every_fourth_year_centuries_included) {
  const std::array<std::int32_t, 12> common = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  for (std::int32_t month = 1; month <= 12; ++month) {
    EXPECT_EQ(days_in_month(month, 3), common[month - 1]) << month;
  }
  EXPECT_EQ(days_in_month(2, 4), 29);
  EXPECT_EQ(days_in_month(2, 100), 29);
  EXPECT_EQ(days_in_month(2, 1900), 29);
  EXPECT_EQ(days_in_month(2, 1), 28);
}

struct ClockCase {
  std::uint32_t game_time;
  std::int32_t offset;
  const char* payload;  // bytes 3..10
};

void PrintTo(const ClockCase& c, std::ostream* out) {
  *out << c.game_time << " + " << c.offset;
}

class clock_frame_case_test : public ::testing::TestWithParam<ClockCase> {};

constexpr std::uint32_t days(std::uint32_t n) {
  return n * 1440u;
}

TEST_P(clock_frame_case_test, encodes_time_and_date_in_bcd) {
  TelemetryState state{};
  state.game_time = GetParam().game_time;
  state.multiplayer_time_offset = GetParam().offset;
  std::array<std::uint8_t, 11> frame{};
  frame.fill(0xEE);
  encode_clock_frame(state, frame.data());
  const testing::Bytes payload(frame.begin() + 3, frame.end());
  EXPECT_EQ(to_hex(payload), to_hex(hex(GetParam().payload)))
      << GetParam().game_time << " + " << GetParam().offset;
  EXPECT_EQ(frame[0], 0xEE) << "the envelope is the cycle's, not the encoder's";
}

//                                  hh mm dd mo 00 yy 00 00
INSTANTIATE_TEST_SUITE_P(
    cases, clock_frame_case_test,
    ::testing::Values(ClockCase{0, 0, "00 00 01 01 00 01 00 00"},
                      ClockCase{1439, 0, "23 59 01 01 00 01 00 00"},
                      ClockCase{1440, 0, "00 00 02 01 00 01 00 00"},
                      ClockCase{days(30) + 754, 0, "12 34 31 01 00 01 00 00"},
                      ClockCase{days(31), 0, "00 00 01 02 00 01 00 00"},
                      ClockCase{days(59), 0, "00 00 01 03 00 01 00 00"},
                      ClockCase{days(365), 0, "00 00 01 01 00 02 00 00"},
                      ClockCase{days(1154), 0, "00 00 29 02 00 04 00 00"},
                      ClockCase{days(1155), 0, "00 00 01 03 00 04 00 00"},
                      // The offset is added; negative totals show midnight, 1 January, year 1.
                      ClockCase{1000, 439, "23 59 01 01 00 01 00 00"},
                      ClockCase{100, -200, "00 00 01 01 00 01 00 00"},
                      ClockCase{4294967295u, 0, "00 00 01 01 00 01 00 00"},
                      ClockCase{0, -2147483647 - 1, "00 00 01 01 00 01 00 00"},
                      // 1 January of year 100 and of year 150: 99 and 149 years of 365.25 days.
                      ClockCase{days(36159), 0, "00 00 01 01 00 A0 00 00"},
                      ClockCase{days(54422), 0, "00 00 01 01 00 00 00 00"},
                      // 29 February of year 100: no century exception.
                      ClockCase{days(36159 + 59), 0, "00 00 29 02 00 A0 00 00"},
                      // The largest total, 2^31 - 1 minutes: 1491308 days, 02:07.
                      ClockCase{2147483647u, 0, "02 07 25 12 00 00 00 00"},
                      // u32 + s32 wraps modulo 2^32.
                      ClockCase{4294967295u, 1441, "00 00 02 01 00 01 00 00"}));

TEST(clock_frame_test, date_walk_rolls_months_and_years) {
  const CalendarDate end_of_year_4 = date_after_days(365 * 3 + 365);
  EXPECT_EQ(end_of_year_4.day, 31);
  EXPECT_EQ(end_of_year_4.month, 12);
  EXPECT_EQ(end_of_year_4.year, 4);
  const CalendarDate negative = date_after_days(-5);
  EXPECT_EQ(negative.day, 1);
  EXPECT_EQ(negative.month, 1);
  EXPECT_EQ(negative.year, 1);
}

TEST(clock_frame_test, calendar_matches_a_day_by_day_walk_over_the_whole_clock_range) {
  // The clock's total is a signed 32-bit count of minutes: whole days from -1491308 to 1491308.
  constexpr std::int32_t last_day = 2147483647 / 1440;
  for (std::int32_t days = -last_day; days <= 0; days += 997) {
    const CalendarDate date = date_after_days(days);
    ASSERT_EQ(date.day * 10000 + date.month * 100 + date.year, 10101) << days;
  }
  // The reference: the month-by-month rule applied one day at a time.
  std::int32_t day = 1;
  std::int32_t month = 1;
  std::int32_t year = 1;
  for (std::int32_t days = 0; days <= last_day; ++days) {
    const CalendarDate date = date_after_days(days);
    ASSERT_TRUE(date.day == day && date.month == month && date.year == year)
        << days << " days: got " << date.day << "." << date.month << "." << date.year << ", walked "
        << day << "." << month << "." << year;
    if (++day > days_in_month(month, year)) {
      day = 1;
      if (++month > 12) {
        month = 1;
        ++year;
      }
    }
  }
}

}  // namespace
}  // namespace vontrel
