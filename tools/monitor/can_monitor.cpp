#include "tools/monitor/can_monitor.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "can/builtin_profile.h"
#include "can/dbc.h"
#include "can/encoder.h"
#include "can/j1939.h"
#include "tools/common/json_text.h"
#include "tools/monitor/monitor.h"
#include "tools/web/serve.h"

namespace vontrel::monitor {

namespace {

// The adapter's bit-rate commands.
struct Bitrate {
  int bits_per_second;
  char command;
};
constexpr Bitrate BITRATES[] = {{10000, '0'},  {20000, '1'},  {50000, '2'},
                                {100000, '3'}, {125000, '4'}, {250000, '5'},
                                {500000, '6'}, {800000, '7'}, {1000000, '8'}};

// What one message looks like on the bus so far.
struct Seen {
  std::uint8_t source = 0;
  std::uint64_t count = 0;
  Clock::time_point last{};
  std::deque<double> gaps_ms;  // the latest, for the median
  std::map<std::string, double> values;
  // With a profile: its counter's last value (-1 before one), and what did not add up.
  std::int64_t counter = -1;
  std::uint64_t counter_skips = 0;
  std::uint64_t checksum_errors = 0;
  bool extended = false;
  std::map<std::uint32_t, std::uint64_t> pages;  // a multiplexed message's frames by page
  double interval_ms() const {
    if (gaps_ms.empty()) {
      return 0.0;
    }
    std::vector<double> sorted(gaps_ms.begin(), gaps_ms.end());
    const auto middle = sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2);
    std::nth_element(sorted.begin(), middle, sorted.end());
    return sorted[sorted.size() / 2];
  }
};

constexpr std::size_t GAPS_KEPT = 25;

double ms_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// "  3 checksums wrong, 1 counter skip", or nothing when all added up.
std::string faults(const Seen& seen) {
  std::string text;
  if (seen.checksum_errors > 0) {
    text += "  " + std::to_string(seen.checksum_errors) +
            (seen.checksum_errors == 1 ? " checksum wrong" : " checksums wrong");
  }
  if (seen.counter_skips > 0) {
    text += "  " + std::to_string(seen.counter_skips) +
            (seen.counter_skips == 1 ? " counter skip" : " counter skips");
  }
  return text;
}

class Bus {
 public:
  Bus(const Options& options, std::string source) : options_(options), source_(std::move(source)) {}

  void show_on(web::DashboardServer* server) { web_ = server; }

  // Decode by a profile's messages: the built-in J1939 profile's unless --dbc names another.
  void use_profile(can::Profile profile) {
    profile_ = std::move(profile);
    sources_.clear();
    for (const can::Message& message : profile_.messages) {
      std::vector<can::Source>& sources = sources_.emplace_back();
      std::string why;
      can::prepare_sources(message, sources, why);  // --describe tells what does not read
    }
  }

  // A frame decoded by the profile: its signals in their units, its counter stepping by one,
  // its checksum as the profile computes it.
  void line(std::string_view text, Clock::time_point now) {
    std::uint32_t id = 0;
    bool extended = false;
    can::Data data{};
    std::size_t length = 0;
    if (!can::parse_slcan(text, id, extended, data, length)) {
      return;
    }
    ++frames_;
    if (extended && network_management(id, data, length)) {
      return;
    }
    std::size_t index = 0;
    while (index < profile_.messages.size() &&
           (profile_.messages[index].id != id || profile_.messages[index].extended != extended)) {
      ++index;
    }
    if (index == profile_.messages.size() || length != profile_.messages[index].length) {
      ++unknown_;
      return;
    }
    const can::Message& message = profile_.messages[index];
    const std::vector<can::Source>& sources = sources_[index];
    Seen& seen = arrived(message.name, now);
    seen.source = extended ? static_cast<std::uint8_t>(id & 0xFF) : std::uint8_t{0};
    seen.extended = extended;
    seen.values.clear();
    // A multiplexed message carries its page in its multiplexor: the other pages' signals are
    // not in this frame.
    std::int64_t page = -1;
    for (const can::Signal& signal : message.signals) {
      if (signal.multiplexor && !message.pages.empty()) {
        page = static_cast<std::int64_t>(can::get_raw(signal, data));
        ++seen.pages[static_cast<std::uint32_t>(page)];
      }
    }
    std::uint64_t counter = 0;
    for (std::size_t i = 0; i < message.signals.size(); ++i) {
      const can::Signal& signal = message.signals[i];
      if (page >= 0 && signal.page >= 0 && signal.page != page) {
        continue;
      }
      const std::uint64_t raw = can::get_raw(signal, data);
      const double value = can::physical(signal, raw);
      // Beyond its range a value is the sender's "not available" or error code (J1939's
      // 0xFF.., 0xFE..), no reading.
      const bool ranged = signal.minimum != 0.0 || signal.maximum != 0.0;
      if (!ranged || (value >= signal.minimum - 1e-9 && value <= signal.maximum + 1e-9)) {
        seen.values[signal.name] = value;
      }
      if (i < sources.size() && sources[i].kind == can::SourceKind::counter) {
        counter = raw;
        // The value after the last one, as the sender counts: its range over and over.
        if (seen.counter >= 0 && signal.length < 32) {
          const std::uint64_t first = can::counter_value(signal, sources[i], 0);
          const std::uint64_t top =
              sources[i].last != 0 ? sources[i].last : (std::uint64_t{1} << signal.length) - 1;
          const auto last = static_cast<std::uint64_t>(seen.counter);
          if (raw != (last >= top ? first : last + 1)) {
            ++seen.counter_skips;
          }
        }
        seen.counter = static_cast<std::int64_t>(raw);
      }
    }
    bool checksum_ok = true;
    for (std::size_t i = 0; i < message.signals.size() && i < sources.size(); ++i) {
      if (sources[i].is_checksum()) {
        const can::Signal& signal = message.signals[i];
        checksum_ok = can::checksum_of(signal, sources[i], data, can::FrameOf{id, extended, length},
                                       counter) == data[signal.start_bit / 8];
        seen.checksum_errors += checksum_ok ? 0 : 1;
      }
    }
    if (options_.json) {
      print_json({{"event", "can"},
                  {"message", message.name},
                  {"id", id},
                  {"extended", extended},
                  {"source", seen.source},
                  {"values", seen.values},
                  {"page", page >= 0 ? nlohmann::json(page) : nlohmann::json(nullptr)},
                  {"checksum_ok", checksum_ok},
                  {"interval_ms", seen.interval_ms()}});
    }
  }

  // Every half second on a terminal: each message, its interval and age, its values.
  void report(Clock::time_point now) {
    publish(now);
    if (options_.json || options_.quiet || now - last_report_ < std::chrono::milliseconds(500)) {
      return;
    }
    last_report_ = now;
    for (const auto& [name, seen] : seen_) {
      std::string values;
      for (const auto& [field, value] : seen.values) {
        char one[64];
        std::snprintf(one, sizeof one, "  %s %.6g", field.c_str(), value);
        values += one;
      }
      // An 11-bit message has no J1939 sender to show.
      char from[16] = "";
      if (seen.extended) {
        std::snprintf(from, sizeof from, "  from 0x%02X", unsigned{seen.source});
      }
      std::printf("%-7s%s  every %6.1f ms  %7.0f ms ago%s%s\n", name.c_str(), from,
                  seen.interval_ms(), ms_between(seen.last, now), faults(seen).c_str(),
                  values.c_str());
    }
    std::printf("\n");
    std::fflush(stdout);
  }

  void summary(Clock::time_point now) {
    nlohmann::json messages = nlohmann::json::object();
    for (const auto& [name, seen] : seen_) {
      messages[name] = {{"count", seen.count},
                        {"source", seen.source},
                        {"interval_ms", seen.interval_ms()},
                        {"age_ms", ms_between(seen.last, now)}};
      messages[name]["counter_skips"] = seen.counter_skips;
      messages[name]["checksum_errors"] = seen.checksum_errors;
      if (!seen.pages.empty()) {
        nlohmann::json pages = nlohmann::json::object();
        for (const auto& [page, count] : seen.pages) {
          pages[std::to_string(page)] = count;
        }
        messages[name]["pages"] = pages;
      }
    }
    const nlohmann::json summary = {{"event", "summary"},  {"frames", frames_},
                                    {"unknown", unknown_}, {"messages", messages},
                                    {"claims", claims_},   {"requests", requests_}};
    if (options_.json) {
      print_json(summary);
    } else {
      std::printf("%llu frames, %llu not ours\n", static_cast<unsigned long long>(frames_),
                  static_cast<unsigned long long>(unknown_));
      // What did not add up, by message: a player checking a checksum guess reads it here.
      for (const auto& [name, seen] : seen_) {
        if (seen.checksum_errors > 0 || seen.counter_skips > 0) {
          std::printf("%s:%s\n", name.c_str(), faults(seen).c_str());
        }
      }
    }
  }

 private:
  // J1939's address claims and requests, told as they come, by name: a player checking that
  // the cluster finds its engine sees the engine's claim, and what the cluster asks for.
  bool network_management(std::uint32_t id, const can::Data& data, std::size_t length) {
    const auto source = static_cast<unsigned>(id & 0xFF);
    const auto destination = static_cast<unsigned>((id >> 8) & 0xFF);
    const std::uint32_t pgn = can::pgn_of(id);
    if (pgn == can::PGN_ADDRESS_CLAIMED && length == 8) {
      const std::uint64_t name = can::name_of(data);
      const unsigned function = can::function_of(name);
      const char* what = can::function_name(static_cast<std::uint8_t>(function));
      const std::string unit = what != nullptr ? what : "function " + std::to_string(function);
      char text[17];
      std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(name));
      claims_[std::to_string(source)] = unit;
      if (options_.json) {
        print_json({{"event", "claim"}, {"source", source}, {"name", text}, {"unit", unit}});
      } else if (!options_.quiet) {
        std::printf("0x%02X claims its address: %s (NAME %s)\n", source, unit.c_str(), text);
      }
      return true;
    }
    if (pgn == can::PGN_REQUEST && length >= 3) {
      const std::uint32_t asked = can::requested_pgn(data);
      std::string what = asked == can::PGN_ADDRESS_CLAIMED ? "Address Claimed" : "";
      for (const can::Message& message : profile_.messages) {
        if (what.empty() && message.extended && can::pgn_of(message.id) == asked) {
          what = message.name;
        }
      }
      ++requests_;
      if (options_.json) {
        print_json({{"event", "request"},
                    {"source", source},
                    {"destination", destination},
                    {"pgn", asked},
                    {"message", what}});
      } else if (!options_.quiet) {
        std::printf("0x%02X asks %s for PGN %u%s%s\n", source,
                    destination == can::GLOBAL_ADDRESS ? "every node"
                                                       : ("0x" + hex_byte(destination)).c_str(),
                    static_cast<unsigned>(asked), what.empty() ? "" : ": ", what.c_str());
      }
      return true;
    }
    return false;
  }
  static std::string hex_byte(unsigned value) {
    char text[3];
    std::snprintf(text, sizeof text, "%02X", value & 0xFF);
    return text;
  }

  // One more of a message: its count, its time and the gap since the last.
  Seen& arrived(const std::string& name, Clock::time_point now) {
    Seen& seen = seen_[name];
    if (seen.count > 0) {
      seen.gaps_ms.push_back(ms_between(seen.last, now));
      if (seen.gaps_ms.size() > GAPS_KEPT) {
        seen.gaps_ms.pop_front();
      }
    }
    ++seen.count;
    seen.last = now;
    return seen;
  }

  double value(const char* message, const char* field, double fallback) const {
    const auto seen = seen_.find(message);
    if (seen == seen_.end()) {
      return fallback;
    }
    const auto found = seen->second.values.find(field);
    return found == seen->second.values.end() ? fallback : found->second;
  }

  // The page shows what a cluster on this bus would: speed, engine speed, fuel, water, the
  // parking brake and the clock.
  void publish(Clock::time_point now) {
    if (web_ == nullptr || now - last_publish_ < web::PUSH_INTERVAL) {
      return;
    }
    last_publish_ = now;
    web::DashboardState state;
    state.source = source_;
    // Any of our messages is a signal: a bus may carry no EEC1 at all (can_eec1_ms int 0).
    std::uint64_t messages = 0;
    for (const auto& [name, seen] : seen_) {
      messages += seen.count;
      state.signal = state.signal || now - seen.last < std::chrono::seconds(1);
    }
    state.speed_kmh =
        value("CCVS1", "WheelBasedVehicleSpeed", value("TCO1", "TachographVehicleSpeed", 0));
    state.rpm = value("EEC1", "EngineSpeed", 0);
    state.fuel_percent = value("DD1", "FuelLevel1", 0);
    state.water_c = value("ET1", "EngineCoolantTemp", 0);
    state.lamps =
        value("CCVS1", "ParkingBrakeSwitch", 0) == 1 ? std::uint32_t{LAMP_PARKING_BRAKE} : 0u;
    if (seen_.count("TD") != 0) {
      char clock[16];
      std::snprintf(clock, sizeof clock, "%02.0f:%02.0f", value("TD", "Hours", 0),
                    value("TD", "Minutes", 0));
      state.clock = clock;
    }
    state.cycles = messages;
    state.unknown = unknown_;
    web_->publish(tools::json_text(web::to_json(state)));
  }

  const Options& options_;
  std::string source_;
  can::Profile profile_;
  std::vector<std::vector<can::Source>> sources_;  // by message of the profile
  std::map<std::string, Seen> seen_;
  std::uint64_t frames_ = 0;
  std::uint64_t unknown_ = 0;
  std::map<std::string, std::string> claims_;  // by source address: the unit claimed
  std::uint64_t requests_ = 0;
  Clock::time_point last_report_{};
  Clock::time_point last_publish_{};
  web::DashboardServer* web_ = nullptr;
};

}  // namespace

int run_can(const Options& options, Input& input, bool adapter) {
  if (adapter) {
    const auto rate = std::find_if(std::begin(BITRATES), std::end(BITRATES), [&](const Bitrate& b) {
      return b.bits_per_second == options.can_bitrate;
    });
    if (rate == std::end(BITRATES)) {
      std::fprintf(stderr,
                   "vontrel-monitor: --can-bitrate: not one of 10000, 20000, 50000, "
                   "100000, 125000, 250000, 500000, 800000, 1000000\n");
      return exit_usage;
    }
    // A CR that ends any half-line, close, bit rate, no timestamps (an adapter left in Z1 mode
    // by another tool would otherwise keep them on), then listen without a frame of our own on
    // the bus, as each firmware says it: Lawicel's "L" opens listen-only; the CANable's slcan
    // firmware has no "L" but "M1" (silent) before "O"; an adapter with neither opens normally
    // on "O", and Lawicel's answers BEL to the "M1" and to an "O" after its "L".
    const char hand_shake[] = {'\r', 'C', '\r', 'S',  rate->command, '\r', 'Z', '0',
                               '\r', 'M', '1',  '\r', 'L',           '\r', 'O', '\r'};
    if (input.write(reinterpret_cast<const std::uint8_t*>(hand_shake), sizeof hand_shake, 500) !=
        WriteResult::done) {
      std::fprintf(stderr, "vontrel-monitor: --can: %s takes no commands\n", input.name().c_str());
      return exit_io;
    }
  }
  Bus bus(options, input.name());
  if (options.dbc.empty()) {
    bus.use_profile(can::read_dbc(can::builtin_profile_text()));
  } else {
    std::ifstream file(options.dbc, std::ios::binary);
    if (!file) {
      std::fprintf(stderr, "vontrel-monitor: cannot read %s\n", options.dbc.c_str());
      return exit_io;
    }
    bus.use_profile(can::read_dbc(
        std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>())));
  }
  std::unique_ptr<web::DashboardServer> web;
  if (!options.web.empty()) {
    web::DashboardState idle;
    idle.source = input.name();
    int status = 0;
    web = web::serve_dashboard("vontrel-monitor", options.web, idle, options.json, stdout, status);
    if (!web) {
      return status;
    }
    bus.show_on(web.get());
  }
  if (options.json) {
    print_json({{"event", "port"}, {"path", input.name()}});
  } else if (!options.quiet) {
    std::printf("reading %s from %s\n", options.dbc.empty() ? "J1939" : options.dbc.c_str(),
                input.name().c_str());
    std::fflush(stdout);
  }
  const Clock::time_point start = Clock::now();
  std::vector<std::uint8_t> buffer(4096);
  std::string pending;
  while (stop_requested == 0) {
    const Clock::time_point now = Clock::now();
    if (options.duration > 0.0 && now - start >= std::chrono::duration<double>(options.duration)) {
      break;
    }
    bus.report(now);
    const long n = input.read(buffer.data(), buffer.size(), 50);
    if (n < 0) {
      break;
    }
    const Clock::time_point at = Clock::now();
    pending.append(reinterpret_cast<const char*>(buffer.data()), static_cast<std::size_t>(n));
    std::size_t begin = 0;
    for (std::size_t end = pending.find_first_of("\r\n"); end != std::string::npos;
         end = pending.find_first_of("\r\n", begin)) {
      bus.line(std::string_view(pending).substr(begin, end - begin), at);
      begin = end + 1;
    }
    pending.erase(0, begin);
    if (pending.size() > 64) {
      pending.clear();  // no line of ours is this long: noise
    }
  }
  if (adapter) {
    const char close_channel[] = {'C', '\r'};
    input.write(reinterpret_cast<const std::uint8_t*>(close_channel), sizeof close_channel, 200);
  }
  bus.summary(Clock::now());
  return 0;
}

}  // namespace vontrel::monitor
