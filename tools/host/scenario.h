// A drive for the stand-in host: timed channel values and configuration attributes.
//
// Text format, one entry per line, `#` starts a comment:
//   <time in seconds> <channel or attribute name> <value>
//   0.0   truck.electric.enabled   1
//   1.5   truck.speed              12.5
//   1.5   fuel.capacity            400    # a configuration attribute
// Values are read as the host's type of the channel: bool 0/1/true/false, s32 and u32
// integers, float decimals or nan/inf/-inf.
#ifndef VONTREL_TOOLS_HOST_SCENARIO_H
#define VONTREL_TOOLS_HOST_SCENARIO_H

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "plugin/host_sdk.h"

namespace vontrel::host {

enum class EntryKind { channel, attribute };

struct ScenarioEntry {
  double time;  // seconds from the start of the drive
  std::string name;
  EntryKind kind;
  scs_value_t value;
  int line;
};

struct Scenario {
  std::vector<ScenarioEntry> entries;  // in time order
  double length = 0.0;                 // time of the last entry
  // Lines for the player as the drive reaches them ("speed 20 km/h: mark 2 of 8"), in time
  // order.
  std::vector<std::pair<double, std::string>> notes;
};

// The channels and configuration attributes this host offers, with their types.
std::optional<scs_value_type_t> channel_type(std::string_view name);
std::optional<scs_value_type_t> attribute_type(std::string_view name);

// Parses a scenario; on failure `error` reads "<origin>:<line>:<column>: <what>".
std::optional<Scenario> parse_scenario(std::string_view text, const std::string& origin,
                                       std::string& error);

// About 30 s: electrics on, engine start, idle, pull away to 90 km/h and back, blinkers,
// high beam, parking brake, fuel capacity and a falling fuel level, warnings, and a game clock
// that runs past midnight.
Scenario built_in_drive();

// A test pattern for checking a cluster's wiring without the game, about 15 s: every needle
// from zero to beyond full scale and back, then every lamp in turn, while the clock runs.
Scenario sweep_pattern();
// One output held for checking a cluster's wiring: "lamp:N" (the reference cluster's lamp
// bit N), "speed:KMH", "rpm:N", "fuel:PERCENT" or "water:CELSIUS"; or a dial's marks in turn,
// for calibrating a gauge, each held MARK_SECONDS with a note: "marks:speed:0,20,40" (and
// rpm, fuel, water). Nullopt with `error` empty when `pattern` is none of these (a file name),
// with `error` set when its value is bad.
std::optional<Scenario> hold_pattern(std::string_view pattern, std::string& error);
inline constexpr double MARK_SECONDS = 5.0;
inline constexpr std::size_t MOST_MARKS = 32;

// The channel or attribute whose name is nearest to `name`, for a misspelt one.
std::string closest_name(std::string_view name);

}  // namespace vontrel::host

#endif  // VONTREL_TOOLS_HOST_SCENARIO_H
