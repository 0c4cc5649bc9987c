// vontrel-monitor: a virtual instrument cluster. Reads the plug-in's byte stream from a serial
// device, datagrams, a capture file, standard input or a pseudo-terminal it creates, decodes
// every frame, and may pass what arrives on to a real cluster.
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

#include "tools/common/beside_the_tools.h"
#include "tools/common/console.h"
#include "tools/common/json_text.h"
#include "tools/common/pty_link.h"
#include "tools/monitor/can_monitor.h"
#include "tools/monitor/describe.h"
#include "tools/monitor/forward.h"
#include "tools/monitor/input.h"
#include "tools/monitor/monitor.h"
#include "tools/monitor/options.h"
#include "tools/monitor/recorder.h"
#include "tools/monitor/replay.h"
#include "tools/web/serve.h"
#include "tools/web/udp_receiver.h"
#include "vontrel_version.h"

namespace vontrel::monitor {
volatile std::sig_atomic_t stop_requested = 0;
}  // namespace vontrel::monitor

namespace {

using namespace vontrel::monitor;

extern "C" void on_stop(int) {
  stop_requested = 1;
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

// A bridge runs unattended (a Pi's service, its log read later): it says once when the game's
// datagrams stop coming (the game paused or quit, the network dropped) and once when they come
// again. Returns whether the silence has been told.
constexpr double DATAGRAM_SILENCE_S = 5.0;

bool tell_silence(bool arrived, double now, double& last_datagram, bool told) {
  if (arrived) {
    last_datagram = now;
    if (told) {
      std::fprintf(stderr, "vontrel-monitor: datagrams arrive again\n");
    }
    return false;
  }
  if (!told && last_datagram >= 0.0 && now - last_datagram >= DATAGRAM_SILENCE_S) {
    std::fprintf(stderr,
                 "vontrel-monitor: no datagrams for %.0f s (the game paused or quit, or the "
                 "network dropped); waiting for them\n",
                 DATAGRAM_SILENCE_S);
    return true;
  }
  return told;
}

int run(const Options& options) {
  std::string error;
  if (!options.link.empty() && !vontrel::tools::link_path_free(options.link)) {
    std::fprintf(stderr, "vontrel-monitor: %s is taken: it exists and is not a symbolic link\n",
                 options.link.c_str());
    return vontrel::tools::EXIT_LINK_TAKEN;
  }
  std::unique_ptr<Input> input;
  if (options.can) {
    const bool adapter = !options.can_device.empty() && options.can_device != "-";
    if (adapter) {
      input = open_device(options.can_device, options.crtscts, error);
    } else if (options.can_device == "-") {
      input = open_file("-", error);
    } else if (options.virtual_port) {
      input = open_virtual(options.link, options.crtscts, error);
    } else {
      std::fprintf(stderr, "vontrel-monitor: --can needs an adapter, - or --virtual\n");
      return exit_usage;
    }
    if (!input) {
      std::fprintf(stderr, "vontrel-monitor: %s\n", error.c_str());
      return exit_io;
    }
    std::signal(SIGINT, on_stop);
    std::signal(SIGTERM, on_stop);
    return run_can(options, *input, adapter);
  }
  if (options.virtual_port) {
    input = open_virtual(options.link, options.crtscts, error);
  } else if (!options.udp.empty()) {
    input = open_udp(options.udp, error);
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
  const bool datagrams = input->datagrams();

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

  // A cluster not there yet is waited for (a Pi that boots before its board is plugged in);
  // what it says comes after the line that names what is read.
  std::unique_ptr<Forwarder> forwarder;
  if (!options.forward.empty()) {
    forwarder = std::make_unique<Forwarder>(
        options.forward, options.crtscts, std::chrono::milliseconds(options.forward_delay_ms),
        options.can_device.empty()
            ? vontrel::tools::can_port_in_settings({}, vontrel::tools::tool_folder(nullptr))
            : options.can_device);
  }

  std::signal(SIGINT, on_stop);
  std::signal(SIGTERM, on_stop);
#ifdef SIGHUP
  std::signal(SIGHUP, on_stop);  // the terminal closed: clean up as for Ctrl-C
#endif
  const Clock::time_point start = Clock::now();
  const auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
  std::uint64_t consumed = 0;
  // Reads of a stream are 4 KiB at most, as recordings expect; a datagram comes whole.
  constexpr std::size_t STREAM_READ = 4096;
  std::vector<std::uint8_t> buffer(datagrams ? vontrel::web::LARGEST_DATAGRAM : STREAM_READ);

  Recorder recorder;
  if (!options.record.empty() && !recorder.open(options.record, datagrams)) {
    std::fprintf(stderr, "vontrel-monitor: cannot write %s: %s\n", options.record.c_str(),
                 std::strerror(errno));
    return exit_io;
  }
  bool recording_lost = false;
  double last_datagram = -1.0;  // none yet
  bool told_silence = false;
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
    if (options.pace_baud > 0.0 && !datagrams) {
      // Ten bit times a byte on an 8N1 line.
      const double budget = now * options.pace_baud / 10.0 - static_cast<double>(consumed);
      if (budget < 1.0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      allowed = std::min(allowed, static_cast<std::size_t>(budget));
    }
    const long n = input->read(buffer.data(), allowed, 50);
    if (n < 0 && n != EMPTY_READ) {
      break;
    }
    if (forwarder && datagrams) {
      told_silence = tell_silence(n != 0, now, last_datagram, told_silence);
    }
    if (n == 0) {
      continue;
    }
    const std::size_t length = n == EMPTY_READ ? 0 : static_cast<std::size_t>(n);
    consumed += length;
    if (!recorder.write(now, buffer.data(), length)) {
      recording_lost = true;
      break;
    }
    // A datagram goes on only when it is one whole cycle or reset frame: a stray one would
    // put its bytes on the cluster's line.
    bool whole = true;
    if (datagrams) {
      whole = monitor.consume_datagram(buffer.data(), length);
    } else {
      monitor.consume(buffer.data(), length);
    }
    if (forwarder && whole) {
      forwarder->pass(buffer.data(), length);
    }
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
  auto* device =
      app.add_option("--device", options.device,
                     "Read a serial device at 115200 8N1, raw (/dev/ttyUSB0; COM4, COM12), or "
                     "the one with a USB identity: usb:VID:PID[:SERIAL] as --list-ports "
                     "prints it, or auto");
  auto* file = app.add_option(
      "--file", options.file,
      "Read a recording (replayed at its pace) or a raw byte dump (- for standard input)");
  auto* virtual_port = app.add_flag("--virtual", options.virtual_port,
                                    "Create a pseudo-terminal for the plug-in and read from it");
  auto* udp = app.add_option("--udp", options.udp,
                             "Take the plug-in's datagrams (its udp_target) at [ADDRESS:]PORT "
                             "(127.0.0.1 unless given; 0.0.0.0 for every network)");
  device->excludes(file)->excludes(virtual_port)->excludes(udp);
  file->excludes(virtual_port)->excludes(udp);
  virtual_port->excludes(udp);
  auto* can = app.add_option("--can", options.can_device,
                             "Decode J1939 from a USB-CAN adapter (slcan/Lawicel) on this serial "
                             "port, opened listen-only; - reads an slcan stream from standard "
                             "input; with --virtual and no port (--virtual --can --dbc FILE), "
                             "the plug-in's can_port writes to the pseudo-terminal")
                  ->expected(0, 1);
  can->excludes(device)->excludes(file)->excludes(udp);
  app.add_option("--can-bitrate", options.can_bitrate,
                 "With --can and an adapter: the bus's bit rate (default 250000)")
      ->needs(can);
  auto* dbc = app.add_option("--dbc", options.dbc,
                             "A CAN profile (a DBC file): with --can, decode the bus by its "
                             "messages, counters and checksums");
  app.add_flag("--describe", options.describe,
               "With --dbc: print every message and signal as Vontrel reads them and every "
               "problem with its line, and exit (non-zero when the profile has a problem)")
      ->needs(dbc);
  auto* forward = app.add_option("--forward", options.forward,
                                 "Also pass what arrives on, unchanged, to this serial device at "
                                 "the line's pace (a cluster on this machine)");
  app.add_option("--startup-delay", options.forward_delay_ms,
                 "With --forward: milliseconds to pass nothing on after the device opens, each "
                 "time it does, while a board that resets then starts its firmware; 0 for one "
                 "that does not reset")
      ->check(CLI::Range(0, 60000))
      ->needs(forward)
      ->capture_default_str();
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
  options.can = can->count() > 0;
  if (options.describe) {
    return describe_profile(options);
  }
  if (!options.dbc.empty() && !options.can) {
    std::fprintf(stderr, "vontrel-monitor: --dbc goes with --describe or --can\n");
    return exit_usage;
  }
  if (options.device.empty() && options.file.empty() && !options.virtual_port &&
      options.udp.empty() && !options.can) {
    std::fprintf(stderr,
                 "vontrel-monitor: say what to read: --device, --udp, --file or --virtual\n");
    return exit_usage;
  }
  // A port named by what it is ("usb:1A86:7523", "auto") becomes its device's name once,
  // from the system's records: no other port is opened to find it.
  for (std::string* name : {&options.device, &options.can_device}) {
    if (names_identity(*name)) {
      const std::vector<PortInfo> ports = list_ports();
      const PortChoice choice = choose_port(*name, ports);
      std::fprintf(stderr, "vontrel-monitor: %s\n", choice.message.c_str());
      if (choice.port == nullptr) {
        return exit_io;
      }
      *name = choice.port->device;
    }
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
