#include "can/sources.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <vector>

#include "dashboard/clock_frame.h"
#include "text/edit_distance.h"

namespace vontrel::can {

namespace {

constexpr double KMH_PER_MPS = 3.6;
constexpr double MPH_PER_MPS = 2.2369362920544;
constexpr double BAR_PER_PSI = 0.0689475729316836;
// Below this the truck stands still, whatever the last centimetre a second says.
constexpr double MOVING_MPS = 0.3;

double on(bool value) {
  return value ? 1.0 : 0.0;
}

constexpr double KPA_PER_PSI = 6.894757293168361;
constexpr std::int32_t MINUTES_PER_DAY = 1440;
// The game's calendar counts years from 1. A cluster that checks a date against its own build
// year takes one of our time, so the game's first year is sent as this one.
constexpr std::int32_t FIRST_YEAR = 2025;

// Minutes since the game's first midnight, as the cluster's clock frame reads the host's clock:
// offset by multiplayer's, modulo 2^32, read as signed, and never before the first day.
std::int32_t clock_minutes(const TelemetryState& s) {
  const auto total = static_cast<std::int32_t>(
      s.game_time + static_cast<std::uint32_t>(s.multiplayer_time_offset));
  return total > 0 ? total : 0;
}

CalendarDate clock_date(const TelemetryState& s) {
  return date_after_days(clock_minutes(s) / MINUTES_PER_DAY);
}

// The amber lamp of a J1939 cluster: every warning but the air-pressure emergency, which
// lights the red stop lamp instead.
bool amber_warning(const TelemetryState& s) {
  return s.fuel_warning || s.water_temperature_warning || s.oil_pressure_warning ||
         s.battery_voltage_warning || s.brake_air_pressure_warning;
}

bool any_warning(const TelemetryState& s) {
  return amber_warning(s) || s.brake_air_pressure_emergency;
}

}  // namespace

// clang-format off
const std::array<NamedValue, NAMED_VALUE_COUNT> NAMED_VALUES = {{
    {"speed_kmh", "km/h", [](const TelemetryState& s) { return std::fabs(s.speed) * KMH_PER_MPS; }},
    {"speed_mph", "mph", [](const TelemetryState& s) { return std::fabs(s.speed) * MPH_PER_MPS; }},
    {"engine_rpm", "rpm", [](const TelemetryState& s) { return double{s.engine_rpm}; }},
    {"gear", "", [](const TelemetryState& s) { return double(s.engine_gear); }},
    {"fuel_percent", "%", [](const TelemetryState& s) {
       return s.fuel_capacity > 0.0f ? 100.0 * s.fuel_amount / s.fuel_capacity
                                     : std::numeric_limits<double>::quiet_NaN();
     }},
    {"fuel_litres", "l", [](const TelemetryState& s) { return double{s.fuel_amount}; }},
    {"fuel_range_km", "km", [](const TelemetryState& s) { return double{s.fuel_range}; }},
    {"fuel_consumption_l_100km", "l/100 km",
     [](const TelemetryState& s) { return 100.0 * s.fuel_consumption_average; }},
    {"water_c", "degC", [](const TelemetryState& s) { return double{s.water_temperature}; }},
    {"oil_c", "degC", [](const TelemetryState& s) { return double{s.oil_temperature}; }},
    {"oil_bar", "bar", [](const TelemetryState& s) { return s.oil_pressure * BAR_PER_PSI; }},
    {"oil_kpa", "kPa", [](const TelemetryState& s) { return s.oil_pressure * KPA_PER_PSI; }},
    {"air_bar", "bar", [](const TelemetryState& s) { return s.brake_air_pressure * BAR_PER_PSI; }},
    {"air_kpa", "kPa", [](const TelemetryState& s) { return s.brake_air_pressure * KPA_PER_PSI; }},
    {"brake_c", "degC", [](const TelemetryState& s) { return double{s.brake_temperature}; }},
    {"battery_v", "V", [](const TelemetryState& s) { return double{s.battery_voltage}; }},
    {"odometer_km", "km", [](const TelemetryState& s) { return double{s.odometer}; }},
    {"odometer_m", "m", [](const TelemetryState& s) { return s.odometer * 1000.0; }},
    {"cruise_kmh", "km/h", [](const TelemetryState& s) { return s.cruise_control * KMH_PER_MPS; }},
    {"navigation_km", "km", [](const TelemetryState& s) { return s.navigation_distance / 1000.0; }},
    {"backlight_percent", "%", [](const TelemetryState& s) { return 100.0 * s.dashboard_backlight; }},
    {"wear_engine_percent", "%", [](const TelemetryState& s) { return 100.0 * s.wear_engine; }},
    {"wear_transmission_percent", "%",
     [](const TelemetryState& s) { return 100.0 * s.wear_transmission; }},
    {"wear_cabin_percent", "%", [](const TelemetryState& s) { return 100.0 * s.wear_cabin; }},
    {"wear_chassis_percent", "%", [](const TelemetryState& s) { return 100.0 * s.wear_chassis; }},
    {"wear_wheels_percent", "%", [](const TelemetryState& s) { return 100.0 * s.wear_wheels; }},
    {"parking_brake", "", [](const TelemetryState& s) { return on(s.brake_parking); }},
    {"motor_brake", "", [](const TelemetryState& s) { return on(s.brake_motor); }},
    {"blinker_left", "", [](const TelemetryState& s) { return on(s.light_lblinker); }},
    {"blinker_right", "", [](const TelemetryState& s) { return on(s.light_rblinker); }},
    {"parking_lights", "", [](const TelemetryState& s) { return on(s.light_parking); }},
    {"low_beam", "", [](const TelemetryState& s) { return on(s.light_beam_low); }},
    {"high_beam", "", [](const TelemetryState& s) { return on(s.light_beam_high); }},
    {"brake_lights", "", [](const TelemetryState& s) { return on(s.light_brake); }},
    {"reverse_lights", "", [](const TelemetryState& s) { return on(s.light_reverse); }},
    {"electric_on", "", [](const TelemetryState& s) { return on(s.electric_enabled); }},
    {"engine_on", "", [](const TelemetryState& s) { return on(s.engine_enabled); }},
    {"fuel_warning", "", [](const TelemetryState& s) { return on(s.fuel_warning); }},
    {"water_warning", "", [](const TelemetryState& s) { return on(s.water_temperature_warning); }},
    {"oil_warning", "", [](const TelemetryState& s) { return on(s.oil_pressure_warning); }},
    {"battery_warning", "", [](const TelemetryState& s) { return on(s.battery_voltage_warning); }},
    {"air_warning", "", [](const TelemetryState& s) { return on(s.brake_air_pressure_warning); }},
    {"air_emergency", "",
     [](const TelemetryState& s) { return on(s.brake_air_pressure_emergency); }},
    {"cruise_active", "", [](const TelemetryState& s) { return on(s.cruise_control != 0.0f); }},
    {"any_warning", "", [](const TelemetryState& s) { return on(any_warning(s)); }},
    {"amber_warning", "", [](const TelemetryState& s) { return on(amber_warning(s)); }},
    {"moving", "", [](const TelemetryState& s) { return on(std::fabs(s.speed) > MOVING_MPS); }},
    {"reversing", "", [](const TelemetryState& s) { return on(s.engine_gear < 0); }},
    {"clock_hour", "h", [](const TelemetryState& s) { return double(clock_minutes(s) / 60 % 24); }},
    {"clock_minute", "min", [](const TelemetryState& s) { return double(clock_minutes(s) % 60); }},
    {"clock_day", "", [](const TelemetryState& s) { return double(clock_date(s).day); }},
    {"clock_month", "", [](const TelemetryState& s) { return double(clock_date(s).month); }},
    {"clock_year", "", [](const TelemetryState& s) {
       return double(FIRST_YEAR - 1 + clock_date(s).year);
     }},
}};
// clang-format on

namespace {

std::string_view next_word(std::string_view& rest) {
  std::size_t start = 0;
  while (start < rest.size() && (rest[start] == ' ' || rest[start] == '\t')) {
    ++start;
  }
  std::size_t end = start;
  while (end < rest.size() && rest[end] != ' ' && rest[end] != '\t') {
    ++end;
  }
  const std::string_view word = rest.substr(start, end - start);
  rest.remove_prefix(end);
  return word;
}

bool read_number(std::string_view text, double& value) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    std::uint64_t whole = 0;
    const auto result = std::from_chars(text.data() + 2, text.data() + text.size(), whole, 16);
    value = static_cast<double>(whole);
    return result.ec == std::errc{} && result.ptr == text.data() + text.size();
  }
  if (!text.empty() && text[0] == '+') {
    text.remove_prefix(1);
  }
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  return !text.empty() && result.ec == std::errc{} && result.ptr == text.data() + text.size() &&
         std::isfinite(value);
}

bool read_byte(std::string_view text, std::uint8_t& byte) {
  double value = 0;
  if (!read_number(text, value) || value < 0 || value > 255 || std::floor(value) != value) {
    return false;
  }
  byte = static_cast<std::uint8_t>(value);
  return true;
}

// The words a source begins with, besides the named values.
constexpr std::string_view SOURCE_WORDS[] = {"const",  "counter",      "all", "any", "not",
                                             "pulses", "fuel_used_ul", "xor", "sum", "crc8"};

// "unknown source engine_rmp; did you mean engine_rpm?": a typing error names its fix.
std::string unknown(std::string_view word) {
  std::string why = "unknown source " + std::string(word);
  std::string_view nearest;
  std::size_t best = word.size() / 3 + 1;
  const auto consider = [&](std::string_view name) {
    const std::size_t distance = edit_distance(word, name);
    if (distance < best || (distance == best && nearest.empty() && distance <= 2)) {
      best = distance;
      nearest = name;
    }
  };
  for (const NamedValue& named : NAMED_VALUES) {
    consider(named.name);
  }
  for (const std::string_view name : SOURCE_WORDS) {
    consider(name);
  }
  if (!nearest.empty()) {
    why.append("; did you mean ").append(nearest).append("?");
  }
  return why;
}

bool named_value(std::string_view word, std::size_t& index) {
  for (std::size_t i = 0; i < NAMED_VALUES.size(); ++i) {
    if (word == NAMED_VALUES[i].name) {
      index = i;
      return true;
    }
  }
  return false;
}

bool read_whole(std::string_view text, std::uint64_t& value) {
  double number = 0;
  if (!read_number(text, number) || number < 0 || number > 4294967295.0 ||
      std::floor(number) != number) {
    return false;
  }
  value = static_cast<std::uint64_t>(number);
  return true;
}

// "bytes 1-7", "bytes 0,2,4-6": data bytes 0 to 7.
bool read_byte_list(std::string_view text, std::uint8_t& bytes) {
  bytes = 0;
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    const std::string_view item = text.substr(0, comma);
    text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
    const std::size_t dash = item.find('-');
    std::uint64_t from = 0;
    std::uint64_t to = 0;
    if (!read_whole(item.substr(0, dash), from) ||
        !read_whole(dash == std::string_view::npos ? item : item.substr(dash + 1), to) ||
        from > to || to > 7) {
      return false;
    }
    for (std::uint64_t byte = from; byte <= to; ++byte) {
      bytes = static_cast<std::uint8_t>(bytes | (1U << byte));
    }
    if (comma != std::string_view::npos && text.empty()) {
      return false;
    }
  }
  return bytes != 0;
}

// What may follow "xor" or "sum".
bool read_checksum_options(std::string_view text, std::string_view rest, Source& source,
                           std::string& why) {
  for (std::string_view word = next_word(rest); !word.empty(); word = next_word(rest)) {
    if (word == "bytes") {
      if (!read_byte_list(next_word(rest), source.bytes)) {
        why = "bytes takes data bytes 0 to 7, as 1-7 or 0,2,4-6: \"" + std::string(text) + "\"";
        return false;
      }
    } else if (word == "start") {
      if (!read_byte(next_word(rest), source.initial)) {
        why = "start takes a byte, 0 to 0xFF: \"" + std::string(text) + "\"";
        return false;
      }
    } else if (word == "id") {
      source.with_id = true;
    } else if (word == "len") {
      source.with_length = true;
    } else if (word == "not") {
      source.complement = true;
    } else {
      why = "a checksum's " + std::string(text.substr(0, text.find(' '))) +
            " takes bytes A-B, start V, id, len and not, not \"" + std::string(word) + "\"";
      return false;
    }
  }
  return true;
}

}  // namespace

bool read_source(std::string_view text, Source& source, std::string& why) {
  source = Source{};
  std::string_view rest = text;
  const std::string_view word = next_word(rest);
  if (word.empty()) {
    return true;
  }
  if (word == "const") {
    if (!read_number(next_word(rest), source.constant)) {
      why = "const takes a number: \"" + std::string(text) + "\"";
      return false;
    }
    source.kind = SourceKind::constant;
  } else if (word == "counter") {
    source.kind = SourceKind::counter;
    std::string_view after = rest;
    if (!next_word(after).empty()) {
      if (!read_whole(next_word(rest), source.first) || !read_whole(next_word(rest), source.last) ||
          source.last < source.first) {
        why = "counter takes nothing, or where it starts and where it ends, as counter 1 15: \"" +
              std::string(text) + "\"";
        return false;
      }
    }
  } else if (word == "all" || word == "any" || word == "not") {
    source.kind = word == "all"   ? SourceKind::all
                  : word == "any" ? SourceKind::any
                                  : SourceKind::none;
    for (std::string_view name = next_word(rest); !name.empty(); name = next_word(rest)) {
      std::size_t index = 0;
      if (!named_value(name, index)) {
        why = unknown(name);
        return false;
      }
      source.operands.push_back(index);
    }
    const bool one = source.kind == SourceKind::none;
    if ((one && source.operands.size() != 1) || (!one && source.operands.size() < 2)) {
      why = one ? "not takes one state: \"" + std::string(text) + "\""
                : std::string(word) + " takes two states or more: \"" + std::string(text) + "\"";
      return false;
    }
  } else if (word == "pulses") {
    if (!read_number(next_word(rest), source.constant) || source.constant <= 0) {
      why = "pulses takes how many to a kilometre, a number above 0: \"" + std::string(text) + "\"";
      return false;
    }
    source.kind = SourceKind::pulses;
  } else if (word == "fuel_used_ul") {
    source.kind = SourceKind::fuel_used;
  } else if (word == "xor" || word == "sum") {
    source.kind = word == "xor" ? SourceKind::xor8 : SourceKind::sum8;
    return read_checksum_options(text, rest, source, why);
  } else if (word == "crc8") {
    source.kind = SourceKind::crc8;
    if (!read_byte(next_word(rest), source.polynomial) ||
        !read_byte(next_word(rest), source.initial) ||
        !read_byte(next_word(rest), source.final_xor)) {
      why = "crc8 takes a polynomial, an initial value and a final XOR, each 0 to 0xFF: \"" +
            std::string(text) + "\"";
      return false;
    }
    std::string_view after = rest;
    if (next_word(after) == "data") {
      rest = after;
      for (std::string_view byte = next_word(rest); !byte.empty(); byte = next_word(rest)) {
        std::uint8_t value = 0;
        if (!read_byte(byte, value)) {
          why = "crc8's data are bytes, 0 to 0xFF: \"" + std::string(byte) + "\"";
          return false;
        }
        source.data.push_back(value);
      }
      if (source.data.size() != 1 && source.data.size() != 16) {
        why = "crc8's data is one byte, or sixteen (one for each counter value): \"" +
              std::string(text) + "\"";
        return false;
      }
    }
  } else if (named_value(word, source.value)) {
    source.kind = SourceKind::value;
  } else {
    why = unknown(word);
    return false;
  }
  if (!next_word(rest).empty()) {
    why = "more after the source than it takes: \"" + std::string(text) + "\"";
    return false;
  }
  return true;
}

namespace {

// Longer than this between two snapshots is a pause, not a drive.
constexpr std::uint64_t LONGEST_STEP_US = 250000;
// An odometer that jumps further at once was set (another truck, a new profile): no drive.
constexpr double LONGEST_ODOMETER_STEP_KM = 5.0;
// A tank that falls further at once was set (a save loaded, another truck, a teleport): no
// fuel burned. The heaviest truck at full power burns this much in about 15 s.
constexpr double LONGEST_FUEL_STEP_L = 2.0;

}  // namespace

void RunningTotals::advance(const TelemetryState& state, std::uint64_t now_us,
                            bool fresh) noexcept {
  if (!primed_) {
    primed_ = true;
    last_us_ = now_us;
    odometer_km_ = state.odometer;
    fuel_litres_ = state.fuel_amount;
    return;
  }
  if (!fresh) {
    return;
  }
  const std::uint64_t step_us = std::min(now_us - last_us_, LONGEST_STEP_US);
  last_us_ = now_us;
  if (state.odometer != odometer_km_) {
    const double moved = double{state.odometer} - double{odometer_km_};
    odometer_km_ = state.odometer;
    if (moved > 0.0 && moved < LONGEST_ODOMETER_STEP_KM) {
      odometer_driven_km_ += moved;
    }
    since_move_km_ = 0.0;
  } else if (std::isfinite(state.speed)) {
    since_move_km_ += std::fabs(double{state.speed}) * static_cast<double>(step_us) / 1e9;
  }
  shown_km_ = std::max(shown_km_, odometer_driven_km_ + since_move_km_);
  const double used = double{fuel_litres_} - double{state.fuel_amount};
  if (std::isfinite(used) && used > 0.0 && used <= LONGEST_FUEL_STEP_L) {
    fuel_ul_ += used * 1e6;
  }
  fuel_litres_ = state.fuel_amount;
}

}  // namespace vontrel::can
