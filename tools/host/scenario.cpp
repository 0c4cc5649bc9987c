#include "tools/host/scenario.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "plugin/channels.h"
#include "text/edit_distance.h"
#include "tools/host/host_session.h"

namespace vontrel::host {

namespace {

struct Offer {
  const char* name;
  scs_value_type_t type;
};

constexpr Offer offered_attributes[] = {
    {"fuel.capacity", SCS_VALUE_TYPE_float},
};

std::optional<scs_value_type_t> find_offer(std::string_view name, const auto& offers) {
  for (const Offer& offer : offers) {
    if (name == offer.name) {
      return offer.type;
    }
  }
  return std::nullopt;
}

struct Token {
  std::string_view text;
  int column;  // 1-based
};

std::vector<Token> tokens_of(std::string_view line) {
  std::vector<Token> tokens;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) {
      ++i;
    }
    if (i >= line.size() || line[i] == '#') {
      break;
    }
    const std::size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' &&
           line[i] != '#') {
      ++i;
    }
    tokens.push_back({line.substr(start, i - start), static_cast<int>(start) + 1});
  }
  return tokens;
}

template <typename T>
bool whole_number(std::string_view text, T& out) {
  if (!text.empty() && text[0] == '+') {
    text.remove_prefix(1);
  }
  const auto result = std::from_chars(text.data(), text.data() + text.size(), out);
  return result.ec == std::errc{} && result.ptr == text.data() + text.size();
}

bool real_number(std::string_view text, double& out) {
  if (!text.empty() && text[0] == '+') {
    text.remove_prefix(1);
  }
  const auto result = std::from_chars(text.data(), text.data() + text.size(), out);
  if (result.ec == std::errc::result_out_of_range) {
    // Beyond double: keep the sign, the plug-in must cope with infinities too.
    out = (!text.empty() && text[0] == '-') ? -HUGE_VAL : HUGE_VAL;
    return result.ptr == text.data() + text.size();
  }
  return result.ec == std::errc{} && result.ptr == text.data() + text.size();
}

// Reads `text` as a value of `type`; empty on success, otherwise what is wrong.
std::string read_value(std::string_view text, scs_value_type_t type, scs_value_t& value) {
  value = scs_value_t{};
  value.type = type;
  switch (type) {
    case SCS_VALUE_TYPE_bool:
      if (text == "1" || text == "true") {
        value.payload.value_bool = 1;
      } else if (text == "0" || text == "false") {
        value.payload.value_bool = 0;
      } else {
        return "expected a bool (0, 1, true or false)";
      }
      return "";
    case SCS_VALUE_TYPE_s32: {
      std::int32_t number = 0;
      if (!whole_number(text, number)) {
        return "expected an s32 integer (-2147483648 to 2147483647)";
      }
      value.payload.value_s32 = number;
      return "";
    }
    case SCS_VALUE_TYPE_u32: {
      std::uint32_t number = 0;
      if (!whole_number(text, number)) {
        return "expected a u32 integer (0 to 4294967295)";
      }
      value.payload.value_u32 = number;
      return "";
    }
    default: {
      double number = 0.0;
      if (!real_number(text, number)) {
        return "expected a float (a decimal number, nan, inf or -inf)";
      }
      value.payload.value_float = static_cast<float>(number);
      return "";
    }
  }
}

}  // namespace

std::optional<scs_value_type_t> channel_type(std::string_view name) {
  // The host offers exactly what the plug-in subscribes to.
  for (const ChannelSubscription& channel : CHANNEL_SUBSCRIPTIONS) {
    if (name == channel.name) {
      return channel.type;
    }
  }
  return std::nullopt;
}

std::optional<scs_value_type_t> attribute_type(std::string_view name) {
  return find_offer(name, offered_attributes);
}

std::string closest_name(std::string_view name) {
  std::string best;
  std::size_t best_distance = std::numeric_limits<std::size_t>::max();
  const auto consider = [&](const char* candidate) {
    const std::size_t d = edit_distance(name, candidate);
    if (d < best_distance) {
      best_distance = d;
      best = candidate;
    }
  };
  for (const ChannelSubscription& channel : CHANNEL_SUBSCRIPTIONS) {
    consider(channel.name);
  }
  for (const Offer& offer : offered_attributes) {
    consider(offer.name);
  }
  return best;
}

std::optional<Scenario> parse_scenario(std::string_view text, const std::string& origin,
                                       std::string& error) {
  // Windows editors may save "UTF-8 with BOM".
  if (text.substr(0, 3) == "\xEF\xBB\xBF") {
    text.remove_prefix(3);
  }
  Scenario scenario;
  int line_number = 0;
  while (!text.empty()) {
    ++line_number;
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);

    const std::vector<Token> tokens = tokens_of(line);
    if (tokens.empty()) {
      continue;
    }
    const auto fail = [&](int column, const std::string& what) {
      error = origin;
      error.append(":").append(std::to_string(line_number)).append(":");
      error.append(std::to_string(column)).append(": ").append(what);
      return std::nullopt;
    };
    if (tokens.size() < 3) {
      return fail(tokens.back().column + static_cast<int>(tokens.back().text.size()),
                  "expected <time> <name> <value>");
    }
    if (tokens.size() > 3) {
      return fail(tokens[3].column, "unexpected text after the value (comments start with #)");
    }
    double time = 0.0;
    if (!real_number(tokens[0].text, time) || !std::isfinite(time) || time < 0.0) {
      return fail(tokens[0].column, "expected a time in seconds, 0 or more");
    }
    ScenarioEntry entry{time, std::string(tokens[1].text), EntryKind::channel, {}, line_number};
    std::optional<scs_value_type_t> type = channel_type(tokens[1].text);
    if (!type) {
      type = attribute_type(tokens[1].text);
      entry.kind = EntryKind::attribute;
    }
    if (!type) {
      // Every real name is far shorter: a longer one is no misspelling worth an edit distance
      // (which grows with the square of the length), nor worth echoing whole.
      constexpr std::size_t LONGEST_NAME = 64;
      const std::string_view name = tokens[1].text;
      if (name.size() > LONGEST_NAME) {
        return fail(tokens[1].column, "unknown channel or attribute '" +
                                          std::string(name.substr(0, LONGEST_NAME)) + "...'");
      }
      return fail(tokens[1].column, "unknown channel or attribute '" + std::string(name) +
                                        "' (did you mean '" + closest_name(name) + "'?)");
    }
    if (const std::string wrong = read_value(tokens[2].text, *type, entry.value); !wrong.empty()) {
      return fail(tokens[2].column, wrong + " for " + entry.name);
    }
    scenario.entries.push_back(std::move(entry));
  }
  std::stable_sort(scenario.entries.begin(), scenario.entries.end(),
                   [](const ScenarioEntry& a, const ScenarioEntry& c) { return a.time < c.time; });
  scenario.length = scenario.entries.empty() ? 0.0 : scenario.entries.back().time;
  return scenario;
}

namespace {

class DriveBuilder {
 public:
  void at(double time, const char* name, double number) {
    auto type = channel_type(name);
    EntryKind kind = EntryKind::channel;
    if (!type) {
      type = attribute_type(name);
      kind = EntryKind::attribute;
    }
    scenario_.entries.push_back({time, name, kind, make_value(*type, number), 0});
  }

  // A value that follows `shape` from `from` to `to` seconds, every `step` seconds.
  template <typename Shape>
  void ramp(double from, double to, double step, const char* name, Shape shape) {
    const auto steps = static_cast<int>((to - from) / step + 1e-9);
    for (int i = 0; i <= steps; ++i) {
      const double t = from + i * step;
      at(t, name, shape(t));
    }
  }

  Scenario finish() {
    std::stable_sort(
        scenario_.entries.begin(), scenario_.entries.end(),
        [](const ScenarioEntry& a, const ScenarioEntry& c) { return a.time < c.time; });
    scenario_.length = scenario_.entries.back().time;
    return std::move(scenario_);
  }

 private:
  Scenario scenario_;
};

double clamp01(double x) {
  return std::min(1.0, std::max(0.0, x));
}

}  // namespace

Scenario built_in_drive() {
  DriveBuilder d;
  constexpr double end = 30.0;

  // Parked at night, tank configured, lights off.
  d.at(0.0, "fuel.capacity", 400.0);
  d.at(0.0, "truck.brake.parking", 1);
  d.at(0.0, "truck.light.parking", 1);
  d.at(0.0, "truck.oil.pressure.warning", 1);
  d.at(0.0, "truck.brake.air.pressure.warning", 1);
  d.at(0.0, "truck.wear.engine", 0.04);
  d.at(0.0, "truck.wear.wheels", 0.09);
  d.at(0.0, "multiplayer.time.offset", 0);

  // The game clock starts at 23:50 on day 0 and runs a minute every quarter second.
  d.ramp(0.0, end, 0.25, "game.time", [](double t) { return 1430.0 + std::floor(t * 4.0); });

  // Electrics on; the battery warns until the engine runs.
  d.at(1.0, "truck.electric.enabled", 1);
  d.at(1.0, "truck.battery.voltage.warning", 1);
  d.at(2.5, "truck.engine.enabled", 1);
  d.at(2.5, "truck.battery.voltage.warning", 0);
  d.at(2.5, "truck.oil.pressure.warning", 0);
  d.at(4.0, "truck.brake.air.pressure.warning", 0);
  d.ramp(2.5, 5.0, 0.1, "truck.engine.rpm", [](double) { return 650.0; });

  // Left blinker while pulling out, parking brake released.
  d.ramp(3.0, 5.0, 0.5, "truck.light.lblinker",
         [](double t) { return std::fmod(t, 1.0) < 0.5 ? 1.0 : 0.0; });
  d.at(5.5, "truck.light.lblinker", 0);
  d.at(4.5, "truck.brake.parking", 0);

  // Pull away to 25 m/s (90 km/h), cruise, and back.
  d.ramp(5.0, 15.0, 0.1, "truck.speed", [](double t) { return 25.0 * clamp01((t - 5.0) / 10.0); });
  d.ramp(15.1, 22.0, 0.1, "truck.speed", [](double) { return 25.0; });
  d.ramp(22.1, 28.0, 0.1, "truck.speed", [](double t) { return 25.0 * clamp01((28.0 - t) / 6.0); });
  d.ramp(5.0, 28.0, 0.1, "truck.engine.rpm", [](double t) {
    const double phase = std::fmod(t - 5.0, 3.5) / 3.5;  // gear changes
    return t < 22.0 ? 1000.0 + 900.0 * phase : 1400.0 - 600.0 * clamp01((t - 22.0) / 6.0);
  });
  d.at(16.0, "truck.cruise_control", 25.0);
  d.at(20.0, "truck.cruise_control", 0.0);
  d.at(10.0, "truck.light.beam.high", 1);
  d.at(14.0, "truck.light.beam.high", 0);

  // Right blinker while pulling in, parking brake set again, engine off.
  d.ramp(22.0, 24.0, 0.5, "truck.light.rblinker",
         [](double t) { return std::fmod(t, 1.0) < 0.5 ? 1.0 : 0.0; });
  d.at(24.5, "truck.light.rblinker", 0);
  d.at(28.5, "truck.brake.parking", 1);
  d.at(29.0, "truck.engine.enabled", 0);
  d.at(29.0, "truck.engine.rpm", 0.0);

  // Warming up, burning fuel, wearing the wheels past the warning mark.
  d.ramp(0.0, end, 0.5, "truck.water.temperature",
         [](double t) { return 40.0 + 50.0 * clamp01(t / 20.0); });
  d.ramp(0.0, end, 0.5, "truck.fuel.amount", [](double t) { return 80.0 - 2.2 * t; });
  d.at(20.0, "truck.fuel.warning", 1);
  d.at(20.0, "truck.wear.wheels", 0.16);

  return d.finish();
}

namespace {

// What lights each lamp of the reference cluster, by its bit: electrics and engine-stopped
// come as a pair, so lamp 4 lights lamp 3 with it.
struct LampChannels {
  const char* channels[2];
  double value;
};
constexpr LampChannels LAMPS[] = {
    {{"truck.brake.parking", nullptr}, 1.0},
    {{"truck.light.parking", nullptr}, 1.0},
    {{"truck.battery.voltage.warning", nullptr}, 1.0},
    {{"truck.electric.enabled", "truck.engine.enabled"}, 1.0},
    {{"truck.electric.enabled", nullptr}, 1.0},
    {{"truck.fuel.warning", nullptr}, 1.0},
    {{"truck.cruise_control", nullptr}, 22.0},
    {{"truck.oil.pressure.warning", nullptr}, 1.0},
    {{"truck.brake.air.pressure.warning", nullptr}, 1.0},
    {{"truck.wear.engine", nullptr}, 0.2},
    {{"truck.light.beam.high", nullptr}, 1.0},
    {{"truck.light.lblinker", nullptr}, 1.0},
    {{"truck.light.rblinker", nullptr}, 1.0},
};

}  // namespace

namespace {

// Held scenarios run as a running truck does: electrics and engine on. A car's cluster wants
// its ignition (terminal 15) before it shows anything, and a truck's engine lamps are dark only
// with the engine running.
void running_truck(DriveBuilder& d) {
  d.at(0.0, "truck.electric.enabled", 1);
  d.at(0.0, "truck.engine.enabled", 1);
}

// The engine-stopped lamp: electrics alone, the engine off.
bool engine_stopped(const LampChannels& lamp) {
  return lamp.channels[1] == nullptr &&
         std::string_view(lamp.channels[0]) == "truck.electric.enabled";
}

// The channel that moves a dial, its value for one of the dial's units, and the unit.
struct Dial {
  const char* name;   // in the scenario: marks:<name>:...
  const char* shown;  // in the notes
  const char* channel;
  double per_unit;  // the channel's value for one unit on the dial
  const char* unit;
};
constexpr Dial DIALS[] = {{"speed", "speed", "truck.speed", 1.0 / 3.6, "km/h"},
                          {"mph", "speed", "truck.speed", 0.44704, "mph"},  // a mile is 1609.344 m
                          {"rpm", "rpm", "truck.engine.rpm", 1.0, "rpm"},
                          {"fuel", "fuel", "truck.fuel.amount", 1.0, "%"},  // of a 100-litre tank
                          {"water", "water", "truck.water.temperature", 1.0, "C"}};

// "marks:speed:0,20,40": each mark of the dial held in turn, with a note when it begins.
std::optional<Scenario> marks_pattern(std::string_view pattern, std::string_view rest,
                                      std::string& error) {
  const std::size_t colon = rest.find(':');
  const std::string_view what = rest.substr(0, colon);
  const Dial* dial = nullptr;
  for (const Dial& one : DIALS) {
    dial = what == one.name ? &one : dial;
  }
  const auto bad = [&](const std::string& why) {
    error = "--scenario " + std::string(pattern) + ": " + why;
    return std::nullopt;
  };
  if (dial == nullptr || colon == std::string_view::npos) {
    return bad(
        "expected marks:speed, marks:mph, marks:rpm, marks:fuel or marks:water, a colon and the "
        "marks, such as marks:speed:0,20,40");
  }
  std::vector<double> marks;
  std::string_view list = rest.substr(colon + 1);
  while (!list.empty() || marks.empty()) {
    const std::size_t comma = list.find(',');
    const std::string text(list.substr(0, comma));
    double value = 0.0;
    if (!real_number(text, value) || !std::isfinite(value) || value < 0.0) {
      return bad("each mark is a number, 0 or more: \"" + text + "\"");
    }
    if (marks.size() == MOST_MARKS) {
      return bad("at most " + std::to_string(MOST_MARKS) + " marks");
    }
    marks.push_back(value);
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
  }
  DriveBuilder d;
  d.at(0.0, "game.time", 720.0);  // 12:00, so the display shows the clock too
  d.at(0.0, "fuel.capacity", 100.0);
  running_truck(d);
  for (std::size_t i = 0; i < marks.size(); ++i) {
    d.at(static_cast<double>(i) * MARK_SECONDS, dial->channel, marks[i] * dial->per_unit);
  }
  Scenario scenario = d.finish();
  scenario.length = static_cast<double>(marks.size()) * MARK_SECONDS;
  for (std::size_t i = 0; i < marks.size(); ++i) {
    char note[96];
    std::snprintf(note, sizeof note, "%s %g %s: mark %zu of %zu", dial->shown, marks[i], dial->unit,
                  i + 1, marks.size());
    scenario.notes.emplace_back(static_cast<double>(i) * MARK_SECONDS, note);
  }
  return scenario;
}

}  // namespace

std::optional<Scenario> hold_pattern(std::string_view pattern, std::string& error) {
  const std::size_t colon = pattern.find(':');
  if (colon == std::string_view::npos) {
    return std::nullopt;
  }
  const std::string_view what = pattern.substr(0, colon);
  if (what == "marks") {
    return marks_pattern(pattern, pattern.substr(colon + 1), error);
  }
  const std::string text(pattern.substr(colon + 1));
  if (what != "lamp" && what != "speed" && what != "rpm" && what != "fuel" && what != "water") {
    return std::nullopt;  // a file name with a colon in it, such as C:\drive.txt
  }
  double value = 0.0;
  if (!real_number(text, value) || !std::isfinite(value) || value < 0.0) {
    error = "--scenario " + std::string(pattern) + ": expected " + std::string(what) +
            ":<a number, 0 or more>";
    return std::nullopt;
  }
  DriveBuilder d;
  d.at(0.0, "game.time", 720.0);  // 12:00, so the display shows the clock too
  running_truck(d);
  if (what == "lamp") {
    constexpr std::size_t count = sizeof LAMPS / sizeof LAMPS[0];
    if (value != std::floor(value) || value >= static_cast<double>(count)) {
      error = "--scenario " + std::string(pattern) + ": lamps are numbered 0 to 12";
      return std::nullopt;
    }
    if (engine_stopped(LAMPS[static_cast<std::size_t>(value)])) {
      d.at(0.0, "truck.engine.enabled", 0);
    }
    for (const char* channel : LAMPS[static_cast<std::size_t>(value)].channels) {
      if (channel != nullptr) {
        d.at(0.0, channel, LAMPS[static_cast<std::size_t>(value)].value);
      }
    }
  } else if (what == "speed") {
    d.at(0.0, "truck.speed", value / 3.6);  // km/h to m/s
  } else if (what == "rpm") {
    d.at(0.0, "truck.engine.rpm", value);
  } else if (what == "fuel") {
    d.at(0.0, "fuel.capacity", 100.0);
    d.at(0.0, "truck.fuel.amount", value);
  } else {
    d.at(0.0, "truck.water.temperature", value);
  }
  return d.finish();
}

Scenario sweep_pattern() {
  DriveBuilder d;
  // Electrics and engine on and the clock running a minute every tenth of a second throughout.
  d.at(0.0, "fuel.capacity", 100.0);
  running_truck(d);
  d.ramp(0.0, 16.0, 0.1, "game.time", [](double t) { return 600.0 + std::floor(t * 10.0); });

  // Every needle from zero to beyond full scale and back, in 8 s.
  const auto sweep = [](double low, double high) {
    return [low, high](double t) { return low + (high - low) * (1.0 - std::fabs(t - 4.0) / 4.0); };
  };
  d.ramp(0.0, 8.0, 0.1, "truck.speed", sweep(0.0, 45.0));  // 162 km/h
  d.ramp(0.0, 8.0, 0.1, "truck.engine.rpm", sweep(0.0, 3200.0));
  d.ramp(0.0, 8.0, 0.1, "truck.water.temperature", sweep(30.0, 135.0));
  d.ramp(0.0, 8.0, 0.1, "truck.fuel.amount", sweep(0.0, 100.0));

  // Then every lamp in turn, half a second each; electrics and engine stay on but for the
  // engine-stopped lamp's half second.
  double t = 8.5;
  for (const LampChannels& step : LAMPS) {
    if (engine_stopped(step)) {
      d.at(t, "truck.engine.enabled", 0);
      d.at(t + 0.5, "truck.engine.enabled", 1);
    }
    for (const char* channel : step.channels) {
      const std::string_view name = channel != nullptr ? channel : "";
      const bool stays_on = name == "truck.electric.enabled" || name == "truck.engine.enabled";
      if (channel != nullptr && !stays_on) {
        d.at(t, channel, step.value);
        d.at(t + 0.5, channel, 0.0);
      }
    }
    t += 0.5;
  }
  return d.finish();
}

}  // namespace vontrel::host
