// vontrel-monitor: a virtual instrument cluster. Reads the plug-in's byte stream from a serial
// device, a capture file, standard input or a pseudo-terminal it creates, and decodes every
// frame.
#include <CLI/CLI.hpp>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tools/common/console.h"
#include "tools/common/json_text.h"
#include "tools/common/pty_link.h"
#include "tools/monitor/dashboard.h"
#include "tools/monitor/frame_decoder.h"
#include "tools/monitor/input.h"
#include "tools/web/serve.h"
#include "vontrel_version.h"

namespace {

using namespace vontrel::monitor;
using Clock = std::chrono::steady_clock;

constexpr int exit_usage = 64;
constexpr int exit_io = 65;

volatile std::sig_atomic_t stop_requested = 0;

extern "C" void on_stop(int) {
  stop_requested = 1;
}

struct Options {
  std::string device;
  std::string file;
  bool virtual_port = false;
  std::string link;
  bool crtscts = false;
  double pace_baud = 0.0;
  double stall_seconds = 0.0;
  double stall_at = 1.0;
  double duration = 0.0;
  bool json = false;
  bool quiet = false;
  std::string record;
  double speed = 1.0;
  bool fast = false;
  bool list_ports = false;
  std::string web;
};

// A recording: this first line, then one line per read, "<seconds since the start> <bytes in
// hex>", for example "0.051234 FF 04 10 00 00 01 01 00 01 00 00".
constexpr char CAPTURE_HEADER[] = "# vontrel capture 1";

// The longest line a recording of ours holds is one read of 4096 bytes, some 12 KiB of text;
// anything much longer is not a recording, and is refused before it fills the memory.
constexpr std::size_t LONGEST_CAPTURE_LINE = std::size_t{64} * 1024;
// A time past this (about four months) is no recording's either, and would overflow the clock.
constexpr double LONGEST_CAPTURE_SECONDS = 1e7;

// Every failure is reported: a capture lost to a full disk must not look saved.
class Recorder {
 public:
  bool open(const std::string& path) {
    file_ = std::fopen(path.c_str(), "w");
    if (file_ == nullptr) {
      return false;
    }
    std::fprintf(file_, "%s: <seconds since the start> <bytes in hex>\n", CAPTURE_HEADER);
    return std::fflush(file_) == 0;
  }
  ~Recorder() { close(); }
  Recorder() = default;
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  bool write(double seconds, const std::uint8_t* data, std::size_t length) {
    if (file_ == nullptr) {
      return true;
    }
    const int written =
        std::fprintf(file_, "%.6f %s\n", seconds,
                     hex_of(std::vector<std::uint8_t>(data, data + length)).c_str());
    // Flushed each time: a capture that ends with Ctrl-C keeps every line.
    return written >= 0 && std::fflush(file_) == 0;
  }

  bool close() {
    std::FILE* file = file_;
    file_ = nullptr;
    return file == nullptr || std::fclose(file) == 0;
  }

 private:
  std::FILE* file_ = nullptr;
};

void print_json(const nlohmann::json& object) {
  std::fputs(vontrel::tools::json_text(object).c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

class Monitor {
 public:
  Monitor(const Options& options, std::string source)
      : options_(options), source_(std::move(source)), terminal_(output_is_terminal()) {}

  void consume(const std::uint8_t* data, std::size_t length) {
    counters_.bytes += length;
    events_.clear();
    decoder_.feed(data, length, events_);
    report();
    check_signal(length);
    publish();
  }

  void show_on(vontrel::web::DashboardServer* server) { web_ = server; }

  // Hands the dashboard what the cluster shows, at most every 50 ms (its push rate).
  void publish(bool now = false) {
    if (web_ == nullptr) {
      return;
    }
    const Clock::time_point at = Clock::now();
    if (!now && at - last_publish_ < vontrel::web::PUSH_INTERVAL) {
      return;
    }
    last_publish_ = at;
    const vontrel::Decoder& decoder = decoder_.decoder();
    vontrel::web::DashboardState state;
    state.source = source_;
    state.cycles = counters_.cycles;
    state.cycles_per_second = recent_rate(at);
    state.signal = state.cycles_per_second > 0;  // a whole cycle within the last second
    state.torn = counters_.torn;
    state.unknown = counters_.unknown;
    state.resets = counters_.resets;
    web_->publish(
        vontrel::tools::json_text(vontrel::web::from_cluster_state(decoder.state(), state)));
  }

  void finish() {
    events_.clear();
    decoder_.finish(events_);
    report();
  }

  void report_line(const nlohmann::json& line) {
    if (line.is_null() || line == last_line_) {
      return;
    }
    last_line_ = line;
    if (options_.json) {
      print_json(line);
    } else if (!options_.quiet && !terminal_) {
      std::printf("line: %s\n", vontrel::tools::json_text(line).c_str());
    }
  }

  void summary(double seconds) {
    counters_.cycles_per_second = rate(seconds);
    if (options_.json) {
      print_json({{"event", "summary"},
                  {"cycles", counters_.cycles},
                  {"frames", counters_.frames},
                  {"resets", counters_.resets},
                  {"unknown", counters_.unknown},
                  {"torn", counters_.torn},
                  {"bytes", counters_.bytes},
                  {"seconds", seconds},
                  {"cycles_per_second", counters_.cycles_per_second}});
    } else {
      std::printf(
          "%llu cycles, %llu frames, %llu resets, %llu unknown, %llu torn, %llu bytes in "
          "%.1f s\n",
          static_cast<unsigned long long>(counters_.cycles),
          static_cast<unsigned long long>(counters_.frames),
          static_cast<unsigned long long>(counters_.resets),
          static_cast<unsigned long long>(counters_.unknown),
          static_cast<unsigned long long>(counters_.torn),
          static_cast<unsigned long long>(counters_.bytes), seconds);
    }
    std::fflush(stdout);
  }

  bool errors() const { return counters_.unknown != 0 || counters_.torn != 0; }

 private:
  double rate(double seconds) const {
    return seconds > 0.0 ? static_cast<double>(counters_.cycles) / seconds : 0.0;
  }

  void report() {
    for (const DecodedEvent& event : events_) {
      nlohmann::json object = {{"hex", hex_of(event.bytes)}};
      switch (event.kind) {
        case EventKind::frame:
          ++counters_.frames;
          object["event"] = "frame";
          object["id"] = event.id;
          object["name"] = frame_name(event.id);
          object["id_hex"] = id_hex(event.id);
          object["cycle"] = event.cycle;
          object["fields"] = apply_frame(dashboard_, event.bytes);
          valid_in_read_ = true;
          if (event.completes_cycle) {
            // This cycle's own number: one read may hold several cycles.
            counters_.cycles = event.cycle;
            note_cycle();
            show_dashboard();
          }
          break;
        case EventKind::reset:
          ++counters_.resets;
          object["event"] = "reset";
          valid_in_read_ = true;
          // As the cluster would: the reset frame clears every needle and lamp.
          dashboard_ = Dashboard{};
          show_dashboard();
          break;
        case EventKind::unknown:
          ++counters_.unknown;
          object["event"] = "unknown";
          object["id"] = event.id;
          object["id_hex"] = id_hex(event.id);
          break;
        case EventKind::torn:
          ++counters_.torn;
          object["event"] = "torn";
          object["reason"] = event.reason;
          break;
      }
      if (options_.json) {
        print_json(object);
      } else if (event.kind != EventKind::frame && !options_.quiet && !terminal_) {
        std::printf("%s %s%s%s\n", object["event"].get<std::string>().c_str(),
                    object["hex"].get<std::string>().c_str(), event.reason.empty() ? "" : ": ",
                    event.reason.c_str());
      }
    }
  }

  static std::string id_hex(std::uint8_t id) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", id);
    return text;
  }

  // The rate over the last second, not since the start: a paused host shows 0, not an average.
  void note_cycle() {
    const Clock::time_point now = Clock::now();
    recent_cycles_.push_back(now);
    counters_.cycles_per_second = recent_rate(now);
  }

  double recent_rate(Clock::time_point now) {
    while (!recent_cycles_.empty() && now - recent_cycles_.front() > std::chrono::seconds(1)) {
      recent_cycles_.pop_front();
    }
    return static_cast<double>(recent_cycles_.size());
  }

  // Bytes arrive but none makes a frame: most likely the wrong baud rate or a loose wire.
  void check_signal(std::size_t length) {
    const Clock::time_point now = Clock::now();
    if (valid_in_read_ || length == 0) {
      valid_in_read_ = false;
      noise_since_.reset();
      hinted_ = false;
      return;
    }
    if (!noise_since_) {
      noise_since_ = now;
    } else if (!hinted_ && now - *noise_since_ >= std::chrono::seconds(1)) {
      hinted_ = true;
      const char* hint =
          "no valid frame in a second of bytes: check that the line runs at 115200 baud 8N1, "
          "and the wiring";
      if (options_.json) {
        print_json({{"event", "hint"}, {"text", hint}});
      } else {
        std::printf("%s\n", hint);
        std::fflush(stdout);
      }
    }
  }

  void show_dashboard() {
    if (options_.json || options_.quiet) {
      return;
    }
    if (terminal_) {
      // Home the cursor and redraw the panel over itself.
      std::printf("\x1b[H\x1b[2J%s", dashboard_panel(dashboard_, counters_, source_).c_str());
    } else {
      std::printf("%s\n", dashboard_line(dashboard_, counters_).c_str());
    }
    std::fflush(stdout);
  }

  const Options& options_;
  std::string source_;
  bool terminal_;
  FrameDecoder decoder_;
  Dashboard dashboard_;
  Counters counters_;
  std::vector<DecodedEvent> events_;
  nlohmann::json last_line_;
  std::deque<Clock::time_point> recent_cycles_;
  bool valid_in_read_ = false;
  std::optional<Clock::time_point> noise_since_;
  bool hinted_ = false;
  vontrel::web::DashboardServer* web_ = nullptr;
  Clock::time_point last_publish_{};
};

// Replays a recording, line by line at its recorded times (divided by --speed), or at once
// with --fast, reading the input in bounded chunks after `pending`, what was read of it so far.
// A line that is no "<seconds> <hex bytes>" stops the replay with an error.
int replay(Monitor& monitor, const Options& options, Input& input, std::string pending,
           Clock::time_point start) {
  const auto out_of_time = [&] {
    return options.duration > 0.0 &&
           Clock::now() - start >= std::chrono::duration<double>(options.duration);
  };
  const auto refuse = [](std::size_t line_number, const char* why) {
    std::fprintf(stderr, "vontrel-monitor: line %zu of the recording %s\n", line_number, why);
    return exit_io;
  };
  std::vector<std::uint8_t> chunk(std::size_t{64} * 1024);
  std::size_t line_number = 0;
  std::size_t position = 0;
  bool ended = false;
  while (!stop_requested && !out_of_time()) {
    std::size_t end = pending.find('\n', position);
    if (end == std::string::npos && !ended) {
      if (pending.size() - position > LONGEST_CAPTURE_LINE) {
        return refuse(line_number + 1, "is too long for a recording");
      }
      const long n = input.read(chunk.data(), chunk.size(), -1);
      if (n < 0) {
        ended = true;
      } else if (n > 0) {
        pending.erase(0, position);
        position = 0;
        pending.append(reinterpret_cast<const char*>(chunk.data()), static_cast<std::size_t>(n));
      }
      continue;  // 0: interrupted, so look at the stop first
    }
    if (end == std::string::npos) {
      if (position >= pending.size()) {
        break;
      }
      end = pending.size();  // the last line has no line end
    }
    ++line_number;
    if (end - position > LONGEST_CAPTURE_LINE) {
      return refuse(line_number, "is too long for a recording");
    }
    const std::string line = pending.substr(position, end - position);
    position = end + 1;
    if (line.empty() || line[0] == '#' || line == "\r") {
      continue;
    }
    char* rest = nullptr;
    const double seconds = std::strtod(line.c_str(), &rest);
    std::vector<std::uint8_t> bytes;
    bool good = rest != line.c_str() && seconds >= 0.0;
    for (const char* p = rest; good && *p != '\0';) {
      while (*p == ' ' || *p == '\r') {
        ++p;
      }
      if (*p == '\0') {
        break;
      }
      char* after = nullptr;
      const unsigned long value = std::strtoul(p, &after, 16);
      good = after == p + 2 && value <= 0xFF;
      bytes.push_back(static_cast<std::uint8_t>(value));
      p = after;
    }
    if (!good) {
      return refuse(line_number, "is not \"<seconds> <hex bytes>\"");
    }
    if (!std::isfinite(seconds) || seconds > LONGEST_CAPTURE_SECONDS) {
      return refuse(line_number, "has a time no recording reaches");
    }
    if (!options.fast) {
      const Clock::time_point due =
          start + std::chrono::duration_cast<Clock::duration>(
                      std::chrono::duration<double>(seconds / options.speed));
      // In steps, so that the dashboard sees a pause in the recording as one.
      while (Clock::now() < due && !stop_requested && !out_of_time()) {
        std::this_thread::sleep_until(std::min(due, Clock::now() + std::chrono::milliseconds(50)));
        monitor.publish();
      }
      if (stop_requested || out_of_time()) {
        break;
      }
    }
    monitor.consume(bytes.data(), bytes.size());
  }
  return 0;
}

// A file has ended, but the person at the dashboard may not have finished looking.
template <typename Elapsed>
void keep_serving(Monitor& monitor, bool serving, const Options& options, Elapsed elapsed) {
  if (!serving || stop_requested || (options.duration > 0.0 && elapsed() >= options.duration)) {
    return;
  }
  if (!options.json && !options.quiet) {
    std::printf("the stream has ended; the dashboard stays up until Ctrl-C\n");
    std::fflush(stdout);
  }
  while (!stop_requested && (options.duration <= 0.0 || elapsed() < options.duration)) {
    monitor.publish();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

int lost_recording(const Options& options) {
  std::fprintf(stderr, "vontrel-monitor: cannot write %s: %s; the recording is incomplete\n",
               options.record.c_str(), std::strerror(errno));
  return exit_io;
}

int run(const Options& options) {
  std::string error;
  if (!options.link.empty() && !vontrel::tools::link_path_free(options.link)) {
    std::fprintf(stderr, "vontrel-monitor: %s is taken: it exists and is not a symbolic link\n",
                 options.link.c_str());
    return vontrel::tools::EXIT_LINK_TAKEN;
  }
  std::unique_ptr<Input> input;
  if (options.virtual_port) {
    input = open_virtual(options.link, options.crtscts, error);
  } else if (!options.device.empty()) {
    input = open_device(options.device, options.crtscts, error);
  } else {
    input = open_file(options.file, error);
  }
  if (!input) {
    std::fprintf(stderr, "vontrel-monitor: %s\n", error.c_str());
    return exit_io;
  }
  const std::string source = input->name();
  const bool is_file = input->is_file();

  Monitor monitor(options, source);
  std::unique_ptr<vontrel::web::DashboardServer> web;
  if (!options.web.empty()) {
    vontrel::web::DashboardState idle;
    idle.source = source;
    int status = 0;
    web = vontrel::web::serve_dashboard("vontrel-monitor", options.web, idle, options.json, stdout,
                                        status);
    if (!web) {
      return status;
    }
    monitor.show_on(web.get());
    monitor.publish(true);
  }
  if (options.json) {
    nlohmann::json port = {{"event", "port"}, {"path", source}};
    if (!options.link.empty()) {
      port["link"] = options.link;
    }
    print_json(port);
  } else if (!options.quiet) {
    std::printf("reading %s%s%s\n", source.c_str(), options.link.empty() ? "" : " linked from ",
                options.link.c_str());
    std::fflush(stdout);
  }

  std::signal(SIGINT, on_stop);
  std::signal(SIGTERM, on_stop);
#ifdef SIGHUP
  std::signal(SIGHUP, on_stop);  // the terminal closed: clean up as for Ctrl-C
#endif
  const Clock::time_point start = Clock::now();
  const auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
  std::uint64_t consumed = 0;
  std::vector<std::uint8_t> buffer(4096);

  Recorder recorder;
  if (!options.record.empty() && !recorder.open(options.record)) {
    std::fprintf(stderr, "vontrel-monitor: cannot write %s: %s\n", options.record.c_str(),
                 std::strerror(errno));
    return exit_io;
  }
  bool recording_lost = false;
  if (is_file) {
    // A recording replays at its own pace; anything else is a raw byte dump, read at once.
    const long n = input->read(buffer.data(), buffer.size(), -1);
    if (n > 0) {
      const std::size_t length = static_cast<std::size_t>(n);
      const std::string_view head(reinterpret_cast<const char*>(buffer.data()), length);
      if (head.substr(0, sizeof CAPTURE_HEADER - 1) == CAPTURE_HEADER) {
        const int status = replay(monitor, options, *input, std::string(head), start);
        monitor.finish();
        keep_serving(monitor, web != nullptr, options, elapsed);
        monitor.summary(elapsed());
        return status;
      }
      consumed += length;
      if (!recorder.write(elapsed(), buffer.data(), length)) {
        return lost_recording(options);
      }
      monitor.consume(buffer.data(), length);
    }
  }

  while (!stop_requested) {
    monitor.publish();
    const double now = elapsed();
    if (options.duration > 0.0 && now >= options.duration) {
      break;
    }
    monitor.report_line(input->line_settings());
    // A hung cluster: stop reading, so the line's buffers fill up behind us.
    if (options.stall_seconds > 0.0 && now >= options.stall_at &&
        now < options.stall_at + options.stall_seconds) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    std::size_t allowed = buffer.size();
    if (options.pace_baud > 0.0) {
      // Ten bit times a byte on an 8N1 line.
      const double budget = now * options.pace_baud / 10.0 - static_cast<double>(consumed);
      if (budget < 1.0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      allowed = std::min(allowed, static_cast<std::size_t>(budget));
    }
    const long n = input->read(buffer.data(), allowed, 50);
    if (n < 0) {
      break;
    }
    if (n == 0) {
      continue;
    }
    consumed += static_cast<std::uint64_t>(n);
    if (!recorder.write(now, buffer.data(), static_cast<std::size_t>(n))) {
      recording_lost = true;
      break;
    }
    monitor.consume(buffer.data(), static_cast<std::size_t>(n));
  }
  monitor.finish();
  keep_serving(monitor, web != nullptr && is_file, options, elapsed);
  monitor.summary(elapsed());
  if (recording_lost || !recorder.close()) {
    return lost_recording(options);
  }
  return 0;
}

int tool_main(int argc, char** argv) {
  Options options;
  CLI::App app{
      "vontrel-monitor: a virtual instrument cluster that decodes the frames Vontrel sends."};
  app.set_version_flag("--version", std::string("Vontrel ") + VONTREL_VERSION);
  auto* device = app.add_option(
      "--device", options.device,
      "Read a serial device at 115200 8N1, raw (/dev/ttyUSB0; COM4 or \\\\.\\COM10)");
  auto* file = app.add_option(
      "--file", options.file,
      "Read a recording (replayed at its pace) or a raw byte dump (- for standard input)");
  auto* virtual_port = app.add_flag("--virtual", options.virtual_port,
                                    "Create a pseudo-terminal for the plug-in and read from it");
  device->excludes(file)->excludes(virtual_port);
  file->excludes(virtual_port);
  app.add_option("--link", options.link,
                 "With --virtual: also make this symbolic link to the port "
                 "(for example $WINEPREFIX/dosdevices/com7)")
      ->needs(virtual_port);
  app.add_flag("--crtscts", options.crtscts, "Turn on hardware flow control on the line");
  app.add_option("--pace", options.pace_baud,
                 "Read no faster than this line rate in baud (a slow cluster)")
      ->check(CLI::Range(300.0, 10000000.0));
  app.add_option("--stall", options.stall_seconds,
                 "Stop reading for this many seconds (a hung cluster)")
      ->check(CLI::Range(0.0, 3600.0));
  app.add_option("--stall-at", options.stall_at, "When the stall begins, in seconds from start")
      ->capture_default_str()
      ->check(CLI::Range(0.0, 1e6));
  app.add_option("--duration", options.duration, "Stop after this many seconds")
      ->check(CLI::Range(0.0, 1e7));
  app.add_option("--record", options.record,
                 "Also write what arrives to this file, with its timing, for --file to replay");
  app.add_option("--speed", options.speed,
                 "With --file: replay a recording this many times faster than it was recorded")
      ->check(CLI::Range(0.01, 1000.0))
      ->needs(file);
  app.add_flag("--fast", options.fast, "With --file: replay a recording without pauses")
      ->needs(file);
  app.add_flag("--list-ports", options.list_ports,
               "List the serial ports a cluster may be on, and exit");
  app.add_option("--web", options.web,
                 "Serve a live dashboard page at [ADDRESS:]PORT (127.0.0.1 unless given; "
                 "0.0.0.0 lets a phone on the network open it)");
  app.add_flag("--json", options.json, "One JSON object per frame, for scripts");
  app.add_flag("--quiet", options.quiet, "Only the summary at the end");
  if (vontrel::tools::explain_and_wait(argc, app.help())) {
    return 0;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : exit_usage;
  }
  if (options.list_ports) {
    const std::vector<PortInfo> ports = list_ports();
    for (const PortInfo& port : ports) {
      std::printf("%s\n", port_line(port).c_str());
    }
    if (ports.empty()) {
      std::fprintf(stderr, "vontrel-monitor: no serial port found; %s\n", WHERE_PORTS_APPEAR);
    }
    return 0;
  }
  if (options.device.empty() && options.file.empty() && !options.virtual_port) {
    std::fprintf(stderr, "vontrel-monitor: say what to read: --device, --file or --virtual\n");
    return exit_usage;
  }
  return run(options);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return tool_main(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", "vontrel-monitor", e.what());
  } catch (...) {
    std::fprintf(stderr, "%s: unexpected failure\n", "vontrel-monitor");
  }
  return 1;
}
