// The clock frame (id 0x10): game time and a calendar date in packed BCD.
#ifndef VONTREL_DASHBOARD_CLOCK_FRAME_H
#define VONTREL_DASHBOARD_CLOCK_FRAME_H

#include <cstdint>

#include "telemetry/telemetry_state.h"

namespace vontrel {

// Packed BCD of 0..149 (the tens nibble runs up to 14: 100 is 0xA0); anything else is 0.
std::int32_t to_bcd(std::int32_t value) noexcept;

// Length of a month 1..12; every fourth year is a leap year, centuries included.
std::int32_t days_in_month(std::int32_t month, std::int32_t year) noexcept;

struct CalendarDate {
  std::int32_t day;
  std::int32_t month;
  std::int32_t year;
};

// The date that lies `days` whole days after 1 January of year 1; zero or negative is that day.
CalendarDate date_after_days(std::int32_t days) noexcept;

// Fills payload bytes 3..10 of `frame`.
void encode_clock_frame(const TelemetryState& state, std::uint8_t* frame) noexcept;

}  // namespace vontrel

#endif  // VONTREL_DASHBOARD_CLOCK_FRAME_H
