// vontrel-host: a stand-in for the host. Loads a built plug-in as the host does, plays a drive
// through the telemetry interface and prints the host log.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "plugin/channels.h"
#include "settings/settings.h"
#include "tools/common/console.h"
#include "tools/host/host_session.h"
#include "tools/host/plugin_library.h"
#include "tools/host/resources.h"
#include "tools/host/scenario.h"
#include "vontrel_version.h"

namespace {

namespace fs = std::filesystem;
using namespace vontrel::host;

constexpr int exit_usage = 64;
constexpr int exit_load = 65;

volatile std::sig_atomic_t interrupted = 0;

extern "C" void on_interrupt(int) {
  interrupted = 1;
}

struct Options {
  double lead_in = 0.0;
  bool verbose = false;  // seconds of frame-ends before a test pattern starts
  std::string plugin;
  std::string cwd;
  std::vector<std::string> ports;  // --port, once per cluster
  int debug_mode = -1;
  std::vector<std::string> settings_lines;
  std::string can_port;
  std::string can_profile;
  bool timing = false;
  bool misbehave = false;
  bool list_channels = false;
  bool resources = false;
  std::string calls;
  int rounds = 0;
  int reload_rounds = 0;
  std::string settings_after_first_round;
  std::string scenario_file;
  double fps = 60.0;
  double duration = -1.0;
  double slow_frame_at = -1.0;  // seconds into the drive; negative: none
  int slow_frame_ms = 150;
  std::string sdk_version = "0x10000";
  std::vector<unsigned> reject_events;
  std::vector<std::string> reject_channels;
  bool values_on_register = false;
  std::string pause_file;
  std::string pause_after_unload_file;
  bool quiet = false;
};

void host_line(const Options& options, const std::string& text) {
  if (!options.quiet) {
    std::printf("[host] %s\n", text.c_str());
    std::fflush(stdout);
  }
}

// Lets a test look at the process at a chosen moment (after shut-down, after unload), when only
// the plug-in itself can have released the port.
void pause_until_exists(const Options& options, const std::string& file) {
  if (file.empty()) {
    return;
  }
  host_line(options, "paused until " + file + " exists");
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!fs::exists(file) && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

int fail(int code, const std::string& text) {
  std::fprintf(stderr, "vontrel-host: %s\n", text.c_str());
  return code;
}

// A fresh directory holding plugins/Vontrel.txt for the given port, removed at exit.
class SettingsDirectory {
 public:
  SettingsDirectory(const std::string& port, int debug_mode, const std::vector<std::string>& lines)
      : path_(fresh_path()) {
    fs::create_directories(path_ / "plugins");
    std::ofstream file(path_ / "plugins" / "Vontrel.txt", std::ios::binary);
    file << "comport str " << port << "\n";
    if (debug_mode >= 0) {
      file << "debug_mode bool " << debug_mode << "\n";
    }
    for (const auto& line : lines) {
      file << line << "\n";
    }
  }
  ~SettingsDirectory() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  SettingsDirectory(const SettingsDirectory&) = delete;
  SettingsDirectory& operator=(const SettingsDirectory&) = delete;
  const fs::path& path() const { return path_; }

 private:
  static fs::path fresh_path() {
    std::random_device random;
    return fs::temp_directory_path() / ("vontrel-host-" + std::to_string(random()));
  }

  fs::path path_;
};

// Delivers the entries up to `until` seconds, from `next` on; configuration attributes of the
// same moment go out together as one configuration event.
std::size_t deliver_until(const HostSession& session, const Scenario& scenario, std::size_t next,
                          double until) {
  const auto& entries = scenario.entries;
  while (next < entries.size() && entries[next].time <= until) {
    const ScenarioEntry& entry = entries[next];
    if (entry.kind == EntryKind::channel) {
      // With the tag the plug-in registered; an unregistered channel is not delivered.
      session.deliver(entry.name, entry.value);
      ++next;
      continue;
    }
    std::vector<AttributeValue> attributes;
    while (next < entries.size() && entries[next].kind == EntryKind::attribute &&
           entries[next].time == entry.time) {
      attributes.push_back({entries[next].name, entries[next].value});
      ++next;
    }
    session.fire_configuration("truck", attributes);
  }
  return next;
}

// How long each frame-end call held the host's thread.
void report_timing(std::vector<double> durations) {
  std::sort(durations.begin(), durations.end());
  const auto at = [&](double fraction) {
    const auto index =
        static_cast<std::size_t>(fraction * static_cast<double>(durations.size() - 1));
    return durations[index];
  };
  std::printf(
      "[host] frame-end held the host: %zu calls, median %.1f us, p99 %.1f us, max %.1f us\n",
      durations.size(), at(0.5), at(0.99), durations.back());
  std::fflush(stdout);
}

std::optional<Scenario> load_scenario(const Options& options, std::string& error) {
  if (options.scenario_file == "sweep") {
    return sweep_pattern();
  }
  if (auto held = hold_pattern(options.scenario_file, error); held || !error.empty()) {
    return held;
  }
  if (options.scenario_file.empty()) {
    return built_in_drive();
  }
  std::error_code failure;
  if (std::filesystem::is_directory(options.scenario_file, failure)) {
    error = "the scenario " + options.scenario_file + " is a directory, not a file";
    return std::nullopt;
  }
  std::ifstream file(options.scenario_file, std::ios::binary);
  if (!file) {
    error = "cannot read scenario file " + options.scenario_file;
    return std::nullopt;
  }
  // A drive of hours is a few megabytes; /dev/zero or a wrong file is read no further than this.
  constexpr std::size_t LARGEST_SCENARIO = std::size_t{16} << 20;
  std::string text;
  char chunk[64 * 1024];
  while (file.read(chunk, sizeof chunk) || file.gcount() > 0) {
    text.append(chunk, static_cast<std::size_t>(file.gcount()));
    if (text.size() > LARGEST_SCENARIO) {
      error = "scenario file " + options.scenario_file + " is larger than 16 MiB";
      return std::nullopt;
    }
  }
  if (file.bad()) {
    error = "cannot read scenario file " + options.scenario_file;
    return std::nullopt;
  }
  return parse_scenario(text, options.scenario_file, error);
}

bool parse_version(const std::string& text, scs_u32_t& version) {
  try {
    std::size_t used = 0;
    const unsigned long value = std::stoul(text, &used, 0);
    if (used != text.size() || value > 0xFFFFFFFFul) {
      return false;
    }
    version = static_cast<scs_u32_t>(value);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

// Plays the drive for `duration` seconds in real time; returns the frames played.
std::uint64_t play(const Options& options, const HostSession& session, const Scenario& scenario,
                   double duration) {
  const auto period = std::chrono::duration<double>(1.0 / options.fps);
  auto start = std::chrono::steady_clock::now();
  bool slowed = false;
  std::size_t next = 0;
  std::uint64_t frames = 0;
  std::vector<double> frame_end_us;
  if (options.timing) {
    frame_end_us.reserve(static_cast<std::size_t>(std::min(duration * options.fps + 16, 1e7)));
  }
  std::size_t next_note = 0;
  for (; !interrupted; ++frames) {
    const double now = static_cast<double>(frames) / options.fps;
    if (now > duration + options.lead_in) {
      break;
    }
    next = deliver_until(session, scenario, next, now - options.lead_in);
    while (next_note < scenario.notes.size() &&
           scenario.notes[next_note].first <= now - options.lead_in) {
      host_line(options, scenario.notes[next_note++].second);
    }
    if (options.misbehave) {
      session.misbehave(frames);
    }
    const auto before = std::chrono::steady_clock::now();
    session.fire_frame_end();
    if (options.timing) {
      frame_end_us.push_back(
          std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - before)
              .count());
    }
    if (static_cast<double>(frames + 1) / options.fps > duration + options.lead_in) {
      ++frames;
      break;  // no wait after the last frame
    }
    if (!slowed && options.slow_frame_at >= 0.0 && now >= options.slow_frame_at) {
      // One long frame, as an autosave or a loading screen makes: the host's thread is away,
      // then the frames go on at their rate, none made up.
      slowed = true;
      const auto away = std::chrono::milliseconds(options.slow_frame_ms);
      std::this_thread::sleep_for(away);
      start += away;
    }
    std::this_thread::sleep_until(start +
                                  std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                      period * static_cast<double>(frames + 1)));
  }
  host_line(options, "played " + std::to_string(frames) + " frames");
  if (options.timing && !frame_end_us.empty()) {
    report_timing(frame_end_us);
  }
  return frames;
}

// The host's calls, in order: init, drive, shutdown, reload (unload and load again).
std::vector<std::string> planned_calls(const Options& options) {
  std::vector<std::string> calls;
  if (!options.calls.empty()) {
    std::stringstream list(options.calls);
    for (std::string call; std::getline(list, call, ',');) {
      calls.push_back(call);
    }
    return calls;
  }
  const bool reloading = options.reload_rounds > 0;
  const int rounds = reloading ? options.reload_rounds : options.rounds;
  for (int round = 0; round < rounds; ++round) {
    calls.insert(calls.end(), {"init", "drive", "shutdown"});
    if (reloading) {
      calls.emplace_back("reload");
    }
  }
  return calls;
}

// A device named by a path from the folder the tool was started in (a link to a
// pseudo-terminal, ./adapter) still names it once the host runs in a settings folder of its
// own; a port's name (COM8, usb:1D50:606F, auto, none) is left as it is.
std::string device_from_here(const std::string& name) {
  const fs::path path(name);
  const bool has_folder = name.find_first_of("/\\") != std::string::npos;
  const bool port_name = name.find(':') != std::string::npos ||
                         (name.size() > 3 && (name[0] == 'C' || name[0] == 'c') &&
                          (name[1] == 'O' || name[1] == 'o') && (name[2] == 'M' || name[2] == 'm'));
  std::error_code error;
  const bool here = !port_name && fs::exists(fs::symlink_status(path, error));
  if (path.is_absolute() || (!has_folder && !here)) {
    return name;
  }
  return fs::absolute(path, error).lexically_normal().string();
}

// A file's name as a setting can hold it: one word.
std::string name_beside(const fs::path& file) {
  std::string name = file.filename().string();
  std::replace_if(
      name.begin(), name.end(),
      [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }, '_');
  return name;
}

int run(Options options) {
  scs_u32_t version = 0;
  if (!parse_version(options.sdk_version, version)) {
    return fail(exit_usage, "--sdk-version: not a number: " + options.sdk_version);
  }
  const std::vector<std::string> calls = planned_calls(options);
  for (const auto& call : calls) {
    if (call != "init" && call != "drive" && call != "shutdown" && call != "reload" &&
        call != "exit") {
      return fail(exit_usage, "--calls: unknown call '" + call +
                                  "' (init, drive, shutdown, reload and exit are known)");
    }
  }
  std::string error;
  const std::optional<Scenario> scenario = load_scenario(options, error);
  if (!scenario) {
    return fail(exit_usage, error);
  }

  const fs::path plugin = fs::absolute(options.plugin);
  std::optional<SettingsDirectory> settings;
  try {
    if (!options.ports.empty()) {
      std::vector<std::string> lines = options.settings_lines;
      if (!options.can_port.empty()) {
        lines.push_back("can_port str " + device_from_here(options.can_port));
      }
      // The settings file is written to a folder of its own; the profile is copied beside it
      // and named without a folder, as a player does: a setting's value ends at its first
      // space, so a path through "My Documents" could not be written. What is no regular file
      // is named by its path, for the plug-in to refuse in its own words.
      fs::path profile_copy;
      if (!options.can_profile.empty()) {
        const fs::path profile = fs::absolute(options.can_profile);
        if (fs::is_regular_file(profile)) {
          profile_copy = profile;
          lines.push_back("can_profile str " + name_beside(profile));
        } else {
          lines.push_back("can_profile str " + profile.string());
        }
      }
      // Several clusters: one comport line listing them all, as a player writes it.
      std::string ports;
      for (const std::string& port : options.ports) {
        ports += (ports.empty() ? "" : ",") + port;
      }
      settings.emplace(ports, options.debug_mode, lines);
      if (!profile_copy.empty()) {
        fs::copy_file(profile_copy, settings->path() / "plugins" / name_beside(profile_copy));
      }
      fs::current_path(settings->path());
    } else if (!options.cwd.empty()) {
      fs::current_path(options.cwd);
    }
  } catch (const fs::filesystem_error& e) {
    return fail(exit_usage, std::string("cannot prepare the working directory: ") + e.what());
  }

  PluginLibrary library;
  if (!library.load(plugin.string(), error)) {
    return fail(exit_load, error);
  }

  HostSession session(stdout);
  session.values_on_register = options.values_on_register;
  for (unsigned event : options.reject_events) {
    session.rejected_events.insert(event);
  }
  for (const auto& channel : options.reject_channels) {
    session.rejected_channels.insert(channel);
  }
  const scs_telemetry_init_params_t params = session.params();
  // A scenario that sets everything at 0 s holds those values for a while, not one frame.
  constexpr double held_seconds = 30.0;
  const double duration = options.duration >= 0.0  ? options.duration
                          : scenario->length > 0.0 ? scenario->length
                                                   : held_seconds;
  std::signal(SIGINT, on_interrupt);
  const bool held = options.scenario_file.find(':') != std::string::npos &&
                    hold_pattern(options.scenario_file, error).has_value();
  if (held || options.scenario_file == "sweep") {
    // A board that resets when the port opens is given its start-up delay, as in the game: the
    // pattern begins once the plug-in sends, and the whole of it reaches the cluster.
    vontrel::Settings file;
    const std::int32_t delay = file.load((fs::path("plugins") / "Vontrel.txt").string())
                                   ? file.get_int("startup_delay", 0)
                                   : 0;
    if (delay > 0) {
      options.lead_in = delay / 1000.0 + 0.25;
      host_line(options,
                "the pattern starts after the start-up delay of " + std::to_string(delay) + " ms");
    }
  }
  if (held) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", duration);
    host_line(options,
              "holding " + options.scenario_file + " for " + seconds + " s (Ctrl-C stops it)");
  }

  const auto init = [&] {
    const scs_result_t result = library.init(version, &params);
    if (options.verbose) {
      host_line(options, "scs_telemetry_init returned " + std::to_string(result));
      host_line(options, "registered " + std::to_string(session.events().size()) + " events and " +
                             std::to_string(session.channels().size()) + " channels");
    } else if (result != SCS_RESULT_ok) {
      host_line(options, "the plug-in did not start: see the line above");
    }
    return result;
  };
  const auto report_resources = [&](const std::string& when) {
    if (options.resources) {
      host_line(options, "resources " + when + ": " + describe(current_resources()));
    }
  };

  if (!calls.empty()) {
    report_resources("at start");
    int shutdowns = 0;
    for (const auto& call : calls) {
      if (interrupted) {
        break;
      }
      if (call == "init") {
        init();
      } else if (call == "drive") {
        play(options, session, *scenario, duration);
      } else if (call == "exit") {
        // As a host that crashes or is forced to quit: the process ends with the plug-in
        // loaded and running, and the system tears it down.
        host_line(options, "exiting without a shut-down");
        std::fflush(stdout);
        std::exit(0);
      } else if (call == "shutdown") {
        library.shutdown();
        host_line(options, "shut down");
        if (++shutdowns == 1) {
          report_resources("after the first round");
          if (!options.settings_after_first_round.empty()) {
            // Streams rather than fs::copy_file, whose overwrite fails on mingw's runtime.
            std::ifstream from(options.settings_after_first_round, std::ios::binary);
            std::ofstream(fs::path("plugins") / "Vontrel.txt", std::ios::binary | std::ios::trunc)
                << from.rdbuf();
          }
        }
      } else {
        session.clear_registrations();
        library.unload();
        if (!library.load(plugin.string(), error)) {
          return fail(exit_load, error);
        }
      }
    }
    session.clear_registrations();
    library.unload();
    report_resources("at the end");
    return 0;
  }

  const scs_result_t result = init();
  if (result != SCS_RESULT_ok) {
    // As the host does: a plug-in that failed to start is unloaded without a shut-down.
    session.clear_registrations();
    library.unload();
    pause_until_exists(options, options.pause_after_unload_file);
    return result < 0 && result > -126 ? -result : 1;
  }
  report_resources("at start");
  play(options, session, *scenario, duration);
  report_resources("at the end of the drive");

  library.shutdown();
  host_line(options, "shut down");
  pause_until_exists(options, options.pause_file);
  session.clear_registrations();
  library.unload();
  pause_until_exists(options, options.pause_after_unload_file);
  return 0;
}

void list_channels() {
  for (const vontrel::ChannelSubscription& channel : vontrel::CHANNEL_SUBSCRIPTIONS) {
    std::printf("%-36s %s\n", channel.name, type_name(channel.type));
  }
  std::printf("%-36s %s (configuration attribute)\n", "fuel.capacity",
              type_name(*attribute_type("fuel.capacity")));
}

int tool_main(int argc, char** argv) {
  Options options;
  CLI::App app{"vontrel-host: loads a Vontrel plug-in as the host does and plays a drive."};
  app.set_version_flag("--version", std::string("Vontrel ") + VONTREL_VERSION);
  app.add_option("--plugin", options.plugin, "The built plug-in (vontrel.dll or libvontrel.so)");
  app.add_option("--port", options.ports,
                 "Write a settings file for this port into a fresh directory and run there "
                 "(none: no serial port, only the datagrams of a --setting \"udp_target str "
                 "127.0.0.1:5005\"); given again, one more cluster on the same comport line")
      // An empty name would run in the current directory and read whatever settings lie there.
      ->check(CLI::Validator(
          [](const std::string& name) {
            return name.empty() ? std::string("--port needs a port's name, or none")
                                : std::string();
          },
          "PORT"));
  app.add_option("--cwd", options.cwd,
                 "Run in this directory (the plug-in reads plugins/Vontrel.txt below it)");
  app.add_option("--can-port", options.can_port,
                 "With --port: also drive a USB-CAN adapter on this port with J1939 messages "
                 "(the can_port setting; COM8, /dev/ttyACM0)")
      ->needs("--port");
  app.add_option("--can-profile", options.can_profile,
                 "With --can-port: send the messages of this DBC file instead of the built-in "
                 "J1939 profile (the can_profile setting)")
      ->needs("--can-port");
  app.add_option("--setting", options.settings_lines,
                 "With --port: one more line for the settings file, e.g. \"reconnect bool 1\"")
      ->needs("--port");
  app.add_option("--debug-mode", options.debug_mode, "debug_mode for the written settings file")
      ->check(CLI::IsMember({0, 1}))
      ->needs("--port");
  app.add_option("--scenario", options.scenario_file,
                 "Drive to play: a scenario file; 'sweep' for a test pattern that runs every "
                 "needle and lamp; or one output held, to check a cluster's wiring: lamp:N (0-12), "
                 "speed:KMH, rpm:N, fuel:PERCENT, water:CELSIUS; or a dial's marks in turn, "
                 "5 s each, to calibrate a gauge: marks:speed:0,20,40 (and mph, rpm, fuel, water) "
                 "(default: the built-in drive of about 30 s)");
  app.add_option("--fps", options.fps, "Frame-end events per second")
      ->capture_default_str()
      ->check(CLI::Range(0.1, 10000.0));
  app.add_option("--duration", options.duration,
                 "Seconds to play (default: the scenario's length; 30 s for one that sets "
                 "everything at 0 s)")
      ->check(CLI::Range(0.0, 1e7));
  app.add_flag("--list-channels", options.list_channels,
               "List the channels and attributes a scenario can set, with their types");
  app.add_flag("--quiet", options.quiet, "Print only the plug-in's log lines");
  app.add_flag("--verbose", options.verbose,
               "Also print what the host interface reports: the start-up's result code and the "
               "events and channels the plug-in registered");

  // What our own tests drive the plug-in with; a user checking a cluster needs none of it.
  const std::string harness = "Test harness";
  app.add_flag("--timing", options.timing,
               "Report how long the frame-end calls held the host (median, p99, max)")
      ->group(harness);
  app.add_option("--sdk-version", options.sdk_version, "Interface version passed at start-up")
      ->capture_default_str()
      ->group(harness);
  app.add_option("--reject-event", options.reject_events, "Refuse this event's registration")
      ->group(harness);
  app.add_option("--reject-channel", options.reject_channels, "Refuse this channel's registration")
      ->group(harness);
  app.add_flag("--values-on-register", options.values_on_register,
               "Deliver a stale value inside each channel registration")
      ->group(harness);
  app.add_option("--pause-after-shutdown", options.pause_file,
                 "After shut-down, wait (up to 30 s) until this file exists before unloading")
      ->group(harness);
  app.add_option("--pause-after-unload", options.pause_after_unload_file,
                 "After unloading the plug-in, wait (up to 30 s) until this file exists")
      ->group(harness);
  app.add_option("--slow-frame-at", options.slow_frame_at,
                 "One frame this many seconds into the drive takes --slow-frame-ms (an autosave)")
      ->check(CLI::NonNegativeNumber)
      ->group(harness);
  app.add_option("--slow-frame-ms", options.slow_frame_ms, "How long the slow frame takes")
      ->check(CLI::Range(1, 10000))
      ->group(harness);
  app.add_flag("--misbehave", options.misbehave,
               "During the drive, also deliver what a broken host might: null records, wrong "
               "type tags, NaN and infinities, huge configuration events")
      ->group(harness);
  app.add_flag("--resources", options.resources,
               "Report open handles and memory at the start and at the end")
      ->group(harness);
  auto* calls = app.add_option("--calls", options.calls,
                               "Make these calls in order: init, drive, shutdown, reload, "
                               "exit (comma-separated), e.g. shutdown,init,init,shutdown; "
                               "exit ends the process with the plug-in still loaded")
                    ->group(harness);
  auto* rounds = app.add_option("--rounds", options.rounds,
                                "Start up, drive and shut down this many times in one process")
                     ->check(CLI::Range(1, 1000000))
                     ->group(harness);
  auto* reload_rounds =
      app.add_option("--reload-rounds", options.reload_rounds,
                     "Like --rounds, and unload and load the library again after each round")
          ->check(CLI::Range(1, 1000000))
          ->group(harness);
  calls->excludes(rounds)->excludes(reload_rounds);
  rounds->excludes(reload_rounds);
  app.add_option("--settings-after-first-round", options.settings_after_first_round,
                 "After the first shut-down, copy this file over plugins/Vontrel.txt")
      ->group(harness);
  app.get_option("--cwd")->excludes("--port");
  if (vontrel::tools::explain_and_wait(argc, app.help())) {
    return 0;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : exit_usage;
  }
  if (options.list_channels) {
    list_channels();
    return 0;
  }
  if (options.plugin.empty()) {
    std::fprintf(stderr, "vontrel-host: --plugin is required\n");
    return exit_usage;
  }
  try {
    return run(options);
  } catch (const std::exception& e) {
    return fail(1, e.what());
  }
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return tool_main(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", "vontrel-host", e.what());
  } catch (...) {
    std::fprintf(stderr, "%s: unexpected failure\n", "vontrel-host");
  }
  return 1;
}
