#include "dashboard/clock_frame.h"

#include <algorithm>

namespace vontrel {

namespace {
constexpr std::int32_t MINUTES_PER_DAY = 1440;
constexpr std::int32_t MINUTES_PER_HOUR = 60;
}  // namespace

std::int32_t to_bcd(std::int32_t value) noexcept {
  if (value < 0 || value > 149) {
    return 0;
  }
  return (value / 10) * 16 + value % 10;
}

std::int32_t days_in_month(std::int32_t month, std::int32_t year) noexcept {
  switch (month) {
    case 4:
    case 6:
    case 9:
    case 11:
      return 30;
    case 2:
      return year % 4 == 0 ? 29 : 28;
    default:
      return 31;
  }
}

CalendarDate date_after_days(std::int32_t days) noexcept {
  // Every fourth year is a leap year without exception, so the calendar repeats every four
  // years of 1461 days: jump whole cycles and years, then walk at most eleven months. The
  // frame path costs the same for a clock at year 1 and one at year 4000.
  constexpr std::int32_t DAYS_PER_YEAR = 365;
  constexpr std::int32_t DAYS_PER_CYCLE = 4 * DAYS_PER_YEAR + 1;
  std::int32_t remaining = days > 0 ? days : 0;
  const std::int32_t cycles = remaining / DAYS_PER_CYCLE;
  remaining -= cycles * DAYS_PER_CYCLE;
  // Years one to three of a cycle are common years; the fourth takes the rest, leap day too.
  const std::int32_t year_in_cycle = std::min(remaining / DAYS_PER_YEAR, 3);
  remaining -= year_in_cycle * DAYS_PER_YEAR;
  const std::int32_t year = cycles * 4 + year_in_cycle + 1;

  std::int32_t month = 1;
  while (remaining >= days_in_month(month, year)) {
    remaining -= days_in_month(month, year);
    ++month;
  }
  return {remaining + 1, month, year};
}

void encode_clock_frame(const TelemetryState& state, std::uint8_t* frame) noexcept {
  // The host's clock is unsigned, the multiplayer offset signed: add them modulo 2^32 and read
  // the sum as signed, so a clock just below zero shows as midnight of day one, not year 8000.
  const auto total = static_cast<std::int32_t>(
      state.game_time + static_cast<std::uint32_t>(state.multiplayer_time_offset));
  const std::int32_t days = total / MINUTES_PER_DAY;
  const std::int32_t minute_of_day = total - days * MINUTES_PER_DAY;
  const std::int32_t hours = minute_of_day / MINUTES_PER_HOUR;
  const std::int32_t minutes = minute_of_day - hours * MINUTES_PER_HOUR;
  const CalendarDate date = date_after_days(days);

  frame[3] = static_cast<std::uint8_t>(to_bcd(hours));
  frame[4] = static_cast<std::uint8_t>(to_bcd(minutes));
  frame[5] = static_cast<std::uint8_t>(to_bcd(date.day));
  frame[6] = static_cast<std::uint8_t>(to_bcd(date.month));
  frame[7] = 0x00;
  frame[8] = static_cast<std::uint8_t>(to_bcd(date.year));
  frame[9] = 0x00;
  frame[10] = 0x00;
}

}  // namespace vontrel
