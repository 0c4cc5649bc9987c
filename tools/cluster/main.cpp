// vontrel-cluster: the reference firmware on a simulated ATmega328P at 16 MHz, paced to real
// time, its UART behind a pseudo-terminal that the plug-in opens like a real port. It shows
// what the physical cluster would: needles read back from the PWM duty, lamps from the shift
// registers, the display's two lines, and the firmware's health.
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "firmware/gauges.h"
#include "protocol/decoder.h"
#include "tools/cluster/firmware_image.h"
#include "tools/cluster/simulated_board.h"
#include "tools/cluster/udp_feed.h"
#include "tools/common/json_text.h"
#include "tools/common/pty_link.h"
#include "tools/web/serve.h"
#include "vontrel_version.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int exit_usage = 64;
constexpr int exit_firmware = 66;  // missing, unreadable or not an AVR firmware
constexpr int exit_simulator = 70;
constexpr int exit_port_taken = vontrel::tools::EXIT_LINK_TAKEN;

// ATmega328P data addresses of the output compare registers.
constexpr std::uint16_t TCCR0A = 0x44;
constexpr std::uint8_t TCCR0A_WGM01 = 0x02;  // fast PWM
constexpr std::uint8_t TCCR0A_COM0A1 = 0x80;
constexpr std::uint8_t TCCR0A_COM0B1 = 0x20;
constexpr std::uint16_t OCR0A = 0x47;
constexpr std::uint16_t OCR0B = 0x48;
constexpr std::uint16_t OCR1A = 0x88;
constexpr std::uint16_t OCR1B = 0x8A;

volatile std::sig_atomic_t stop_requested = 0;

// simavr and its parts chatter on standard output; what we print goes to a stream of our own.
std::FILE* out = stdout;

void keep_standard_output_for_us() {
  const int ours = ::dup(STDOUT_FILENO);
  if (ours < 0) {
    return;
  }
  std::FILE* stream = ::fdopen(ours, "w");
  if (stream == nullptr) {
    ::close(ours);
    return;
  }
  const int nowhere = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (nowhere >= 0) {
    std::fflush(stdout);
    ::dup2(nowhere, STDOUT_FILENO);
    ::close(nowhere);
  }
  out = stream;
}

void on_stop(int /*signal*/) {
  stop_requested = 1;
}

struct Options {
  std::string firmware;
  std::string link;
  std::string udp;
  bool json = false;
  bool quiet = false;
  double duration = 0.0;
  std::string web;
  double hang_at = -1.0;
  double stall_at = -1.0;
  double i2c_held_from = -1.0;
  double i2c_held_until = -1.0;
  int backpack = 0;
  std::string bootloader;
  std::vector<std::string> knows;
  std::uint64_t stop_after_bytes = 0;
  bool taken = false;
};

// A firmware the board may run: the one it started with, or one an upload may put there.
struct Known {
  std::string path;
  vontrel::cluster::FirmwareImage image;
  std::vector<std::uint8_t> program;  // what it puts in flash from 0
};

// Whether the board's flash holds `known`'s program.
bool holds(const simulated_board* board, const Known& known) {
  if (known.program.empty()) {
    return false;
  }
  std::vector<std::uint8_t> flash(known.program.size());
  board_read_flash(board, 0, flash.data(), flash.size());
  return flash == known.program;
}

// The program of a firmware file, read once.
std::vector<std::uint8_t> program_of(const std::string& path) {
  std::vector<std::uint8_t> program(32768);
  program.resize(board_elf_program(path.c_str(), program.data(), program.size()));
  return program;
}

// With --taken: each display the bus settled on that differs from the one before, and what the
// display showed as the firmware took each cycle, in the order they came.
void report_displays(std::FILE* to, const simulated_board* board, std::uint32_t& taken,
                     std::uint32_t& settled, std::array<std::string, 2>& last_settled) {
  char lines[2][17];
  for (; settled < board_lcd_settles(board); ++settled) {
    if (board_lcd_settled(board, settled, 0, lines[0]) != 0 ||
        board_lcd_settled(board, settled, 1, lines[1]) != 0 ||
        (last_settled[0] == lines[0] && last_settled[1] == lines[1])) {
      continue;
    }
    last_settled = {lines[0], lines[1]};
    const nlohmann::json event = {
        {"event", "settled"},
        {"t", static_cast<double>(board_lcd_settled_at(board, settled)) / board_frequency(board)},
        {"lcd", {lines[0], lines[1]}}};
    std::fprintf(to, "%s\n", vontrel::tools::json_text(event).c_str());
  }
  for (; taken < board_cycles_taken(board); ++taken) {
    if (board_lcd_taken(board, taken, 0, lines[0]) != 0 ||
        board_lcd_taken(board, taken, 1, lines[1]) != 0) {
      continue;  // more than the board keeps in one slice of a millisecond: never at 115200
    }
    const nlohmann::json event = {
        {"event", "taken"},
        {"cycle", taken},
        {"t", static_cast<double>(board_taken_at(board, taken)) / board_frequency(board)},
        {"lcd", {lines[0], lines[1]}}};
    std::fprintf(to, "%s\n", vontrel::tools::json_text(event).c_str());
  }
}

// What the cluster shows, read off the simulated board: each needle's position (PWM duty, or
// steps from the stop), and the value on its dial through the firmware's own tables.
struct Reading {
  double speed_kmh = 0, rpm = 0, fuel_percent = 0, water_c = 0;
  double positions[vontrel::cluster::DIALS] = {};
  bool speed_mph = false;  // the speed dial is marked in mph
  std::uint32_t lamps = 0;
  std::string lcd[2];

  bool operator==(const Reading&) const = default;
};

constexpr double MILE_KM = 1.609344;

// The share of the time a Timer0 output is high, which is what a meter on it shows. Fast PWM
// is high for OCR+1 of 256 counts, so never quite 0; phase-correct PWM for OCR of 255; an
// output not connected to the timer stays low.
double timer0_duty(const simulated_board* board, std::uint16_t ocr, std::uint8_t connected) {
  const std::uint8_t control = board_read(board, TCCR0A);
  if ((control & connected) == 0) {
    return 0.0;
  }
  const double value = board_read(board, ocr);
  return (control & TCCR0A_WGM01) != 0 ? (value + 1.0) / 256.0 : value / 255.0;
}

constexpr std::uint8_t NEEDLES_PWM = 0;  // what config.h chose, as the health record keeps it

// What the board runs: where its health record lies and how its dials are calibrated.
struct Firmware {
  std::uint16_t health = 0;
  vontrel::cluster::DialTable dials[vontrel::cluster::DIALS];
};

// The dials' tables, from the firmware's flash.
std::optional<Firmware> firmware_on(const simulated_board* board,
                                    const vontrel::cluster::FirmwareImage& image) {
  using namespace vontrel::cluster;
  Firmware firmware;
  firmware.health = image.health;
  for (int dial = 0; dial < DIALS; ++dial) {
    std::uint8_t bytes[1 + 16 * 6];
    board_read_flash(board, *image.dials[dial], bytes, sizeof bytes);
    auto table = parse_dial(bytes);
    if (!table) {
      return std::nullopt;
    }
    firmware.dials[dial] = *table;
  }
  return firmware;
}

Reading read(const simulated_board* board, const Firmware& firmware) {
  using namespace vontrel::cluster;
  using namespace vontrel::gauges;
  Reading r;
  const std::uint8_t needles =
      board_read(board, static_cast<std::uint16_t>(firmware.health + health::NEEDLES));
  const double steps =
      board_read16(board, static_cast<std::uint16_t>(firmware.health + health::NEEDLE_STEPS));
  if (needles == NEEDLES_PWM || steps <= 0) {
    r.positions[SPEED] = board_read16(board, OCR1A);
    r.positions[RPM] = board_read16(board, OCR1B);
  } else {
    // Stepper needles: where their steps, counted on the pins, have taken them.
    r.positions[SPEED] = board_needle_steps(board, needles, 0);
    r.positions[RPM] = board_needle_steps(board, needles, 1);
  }
  r.positions[FUEL] = timer0_duty(board, OCR0A, TCCR0A_COM0A1) * GAUGE_TOP;
  r.positions[WATER] = timer0_duty(board, OCR0B, TCCR0A_COM0B1) * GAUGE_TOP;
  // Each table's fine unit: 1/94 km/h, a quarter rpm, a percent, a third of a degree.
  r.speed_kmh = firmware.dials[SPEED].value_at(r.positions[SPEED]) / 94.0;
  r.rpm = firmware.dials[RPM].value_at(r.positions[RPM]) / 4.0;
  r.fuel_percent = firmware.dials[FUEL].value_at(r.positions[FUEL]);
  r.water_c = firmware.dials[WATER].value_at(r.positions[WATER]) / 3.0;
  r.speed_mph =
      board_read(board, static_cast<std::uint16_t>(firmware.health + health::SPEED_MPH)) != 0;
  r.lamps = board_lamps(board);
  for (int line = 0; line < 2; ++line) {
    char text[17];
    board_lcd_line(board, line, text);
    r.lcd[line] = text;
  }
  return r;
}

double round_to(double value, double step) {
  return static_cast<double>(static_cast<long long>(value / step + (value < 0 ? -0.5 : 0.5))) *
         step;
}

// The readings as reported: finer than one PWM step, without the float noise.
Reading rounded(Reading r) {
  r.speed_kmh = round_to(r.speed_kmh, 0.001);
  r.rpm = round_to(r.rpm, 0.01);
  r.fuel_percent = round_to(r.fuel_percent, 0.001);
  r.water_c = round_to(r.water_c, 0.001);
  return r;
}

nlohmann::json to_json(const Reading& reading, double t) {
  const Reading r = rounded(reading);
  nlohmann::json lamps = nlohmann::json::object();
  for (std::uint8_t i = 0; i < vontrel::LAMP_COUNT; ++i) {
    lamps[vontrel::LAMP_NAMES[i]] = (r.lamps >> i & 1u) != 0;
  }
  using namespace vontrel::cluster;
  nlohmann::json state = {{"event", "state"},
                          {"t", round_to(t, 0.001)},
                          {"speed_kmh", r.speed_kmh},
                          {"rpm", r.rpm},
                          {"fuel_percent", r.fuel_percent},
                          {"water_c", r.water_c},
                          {"lamps", lamps},
                          {"lcd", {r.lcd[0], r.lcd[1]}},
                          {"needles",
                           {{"speed", r.positions[SPEED]},
                            {"rpm", r.positions[RPM]},
                            {"fuel", round_to(r.positions[FUEL], 0.001)},
                            {"water", round_to(r.positions[WATER], 0.001)}}}};
  if (r.speed_mph) {
    state["speed_mph"] = round_to(r.speed_kmh / MILE_KM, 0.001);
  }
  return state;
}

std::string to_line(const Reading& r, double t) {
  std::string lamps;
  for (std::uint8_t i = 0; i < vontrel::LAMP_COUNT; ++i) {
    if ((r.lamps >> i & 1u) != 0) {
      lamps += std::string(lamps.empty() ? "" : ",") + vontrel::LAMP_NAMES[i];
    }
  }
  char line[512];
  std::snprintf(line, sizeof line,
                "%8.3f s  %6.1f %s  %6.0f rpm  fuel %5.1f %%  water %5.1f C  |%s|%s|  %s", t,
                r.speed_mph ? r.speed_kmh / MILE_KM : r.speed_kmh, r.speed_mph ? "mph " : "km/h",
                r.rpm, r.fuel_percent, r.water_c, r.lcd[0].c_str(), r.lcd[1].c_str(),
                lamps.empty() ? "-" : lamps.c_str());
  return line;
}

// A 32-bit count of the firmware's health record, `offset` bytes in.
std::uint32_t firmware_u32(const simulated_board* board, std::uint16_t address, int offset) {
  const auto at = static_cast<std::uint16_t>(address + offset);
  return static_cast<std::uint32_t>(board_read16(board, at)) |
         static_cast<std::uint32_t>(board_read16(board, static_cast<std::uint16_t>(at + 2))) << 16;
}

// The counts the dashboard shows, as they stand.
struct FirmwareCounts {
  std::uint32_t cycles = 0, torn = 0, unknown = 0, resets = 0;
};

FirmwareCounts counts(const simulated_board* board, std::uint16_t address) {
  namespace at = vontrel::cluster::health;
  return {firmware_u32(board, address, at::CYCLES), firmware_u32(board, address, at::TORN),
          firmware_u32(board, address, at::UNKNOWN), firmware_u32(board, address, at::RESETS)};
}

// What started the firmware last, from the MCU status register it saved.
const char* reset_cause(std::uint8_t flags) {
  if ((flags & 0x08) != 0) {
    return "watchdog";
  }
  if ((flags & 0x04) != 0) {
    return "brown-out";
  }
  if ((flags & 0x02) != 0) {
    return "reset pin";
  }
  return (flags & 0x01) != 0 ? "power-on" : "unknown";
}

// The share of the time the chip was awake from the first byte on: the cost of the wire,
// without the power-on sweep before it.
double awake_since_first_byte(const simulated_board* board) {
  const board_timing timing = board_timing_now(board);
  if (timing.first_byte_cycle == 0 || board_cycle(board) <= timing.first_byte_cycle) {
    return 0.0;
  }
  const double span = double(board_cycle(board) - timing.first_byte_cycle);
  const double asleep = double(timing.asleep_cycles - timing.asleep_cycles_before_first_byte);
  return round_to((1.0 - asleep / span) * 100.0, 0.01);
}

// The firmware's own counts, at the address its ELF gives them.
// How the speed needle's stepper moved, read off its pins: its top speed in degrees a second,
// its ramp from rest and its braking in steps, and its largest speed-up from one pair of steps
// to the next (a reversal starts a new move). Nothing for needles on PWM.
nlohmann::json needle_timing(simulated_board* board, std::uint16_t address) {
  namespace at = vontrel::cluster::health;
  const std::uint8_t needles = board_read(board, static_cast<std::uint16_t>(address + at::NEEDLES));
  const board_needle_timing t = board_needle_timing_now(board, needles);
  if (needles == NEEDLES_PWM || t.fastest_cycles == 0) {
    return nullptr;
  }
  // Driven directly an X27 steps a third of a degree; through a VID6606 a twelfth.
  const double degrees_per_step = needles == 1 ? 1.0 / 3.0 : 1.0 / 12.0;
  return {{"top_degrees_per_second",
           round_to(t.window * board_frequency(board) / double(t.fastest_cycles) * degrees_per_step,
                    0.1)},
          {"ramp_steps", t.ramp_steps},
          {"brake_steps", t.brake_steps},
          {"ramp_degrees", round_to(t.ramp_steps * degrees_per_step, 0.1)},
          {"brake_degrees", round_to(t.brake_steps * degrees_per_step, 0.1)},
          {"speedup_max", round_to(t.speedup_max, 0.001)},
          {"beyond_ramp_max", round_to(t.beyond_ramp_max, 0.001)}};
}

nlohmann::json health(simulated_board* board, std::uint16_t address, double seconds) {
  namespace at = vontrel::cluster::health;
  const auto u16 = [&](int offset) {
    return board_read16(board, static_cast<std::uint16_t>(address + offset));
  };
  const auto u32 = [&](int offset) { return firmware_u32(board, address, offset); };
  const board_timing timing = board_timing_now(board);
  const double per = [&] {
    return timing.updates == 0 ? 0.0 : double(timing.latency_cycles_sum) / double(timing.updates);
  }();
  const double busy = double(timing.receive_cycles + timing.decode_cycles);
  const double total = seconds * board_frequency(board);
  return {
      {"event", "health"},
      {"bytes", u32(at::BYTES)},
      {"overruns", u16(at::OVERRUNS)},
      {"framing_errors", u16(at::FRAMING_ERRORS)},
      {"ring_overflows", u16(at::RING_OVERFLOWS)},
      {"cycles", u32(at::CYCLES)},
      {"torn", u32(at::TORN)},
      {"unknown", u32(at::UNKNOWN)},
      {"resets", u32(at::RESETS)},
      {"reset_cause",
       reset_cause(board_read(board, static_cast<std::uint16_t>(address + at::RESET_CAUSE)))},
      {"receive_interrupts", timing.receive_interrupts},
      {"receive_cycles_per_byte",
       timing.receive_interrupts == 0
           ? 0.0
           : round_to(double(timing.receive_cycles) / double(timing.receive_interrupts), 0.1)},
      {"decode_cycles_per_cycle",
       timing.updates == 0 ? 0.0
                           : round_to(double(timing.decode_cycles) / double(timing.updates), 0.1)},
      {"update_latency_cycles_mean", round_to(per, 0.1)},
      {"update_latency_cycles_max", timing.latency_cycles_max},
      {"byte_interval_us_min",
       round_to(double(timing.byte_gap_cycles_min) * 1e6 / board_frequency(board), 0.1)},
      {"ring_peak", board_read(board, static_cast<std::uint16_t>(address + at::RING_PEAK))},
      {"cpu_percent", total <= 0 ? 0.0 : round_to(busy / total * 100.0, 0.001)},
      {"awake_percent",
       total <= 0 ? 0.0 : round_to((1.0 - double(timing.asleep_cycles) / total) * 100.0, 0.01)},
      {"awake_percent_since_first_byte", awake_since_first_byte(board)},
      {"speed_needle", needle_timing(board, address)}};
}

std::string trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(' ');
  return first == std::string::npos ? ""
                                    : text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// What the dashboard page shows of the simulated cluster: its needles, lamps and display, and
// the firmware's counts. Signal: the firmware took a whole cycle within the last second.
class ClusterDashboard {
 public:
  ClusterDashboard(vontrel::web::DashboardServer& server, std::string source)
      : server_(server), source_(std::move(source)) {}

  void publish(const simulated_board* board, const Firmware& firmware, double t) {
    if (t - last_publish_ < 0.05) {
      return;
    }
    last_publish_ = t;
    const Reading reading = rounded(read(board, firmware));
    const FirmwareCounts now = counts(board, firmware.health);
    recent_.emplace_back(t, now.cycles);
    while (recent_.size() > 1 && t - recent_.front().first > 1.0) {
      recent_.pop_front();
    }
    vontrel::web::DashboardState state;
    state.source = source_;
    state.cycles_per_second = static_cast<double>(now.cycles - recent_.front().second);
    state.signal = state.cycles_per_second > 0;
    state.speed_kmh = reading.speed_kmh;
    state.rpm = reading.rpm;
    state.fuel_percent = reading.fuel_percent;
    state.water_c = reading.water_c;
    state.lamps = reading.lamps;
    // The display shows "     14:05      " over "   29.02.0004   ".
    state.clock = trimmed(reading.lcd[0]);
    state.date = trimmed(reading.lcd[1]);
    state.lcd = {reading.lcd[0], reading.lcd[1]};
    state.cycles = now.cycles;
    state.torn = now.torn;
    state.unknown = now.unknown;
    state.resets = now.resets;
    server_.publish(vontrel::tools::json_text(vontrel::web::to_json(state)));
  }

 private:
  vontrel::web::DashboardServer& server_;
  std::string source_;
  double last_publish_ = -1.0;
  std::deque<std::pair<double, std::uint32_t>> recent_;  // (t, cycles) over the last second
};

int run(Options options) {
  std::string why;
  if (options.firmware.empty() && options.bootloader.empty()) {
    std::fprintf(stderr,
                 "vontrel-cluster: give --firmware, or --bootloader for a chip with "
                 "nothing but its bootloader\n");
    return exit_usage;
  }
  std::vector<Known> known;
  for (const std::string& path : options.knows) {
    const auto image = vontrel::cluster::inspect(path, why);
    if (!image) {
      std::fprintf(stderr, "vontrel-cluster: %s\n", why.c_str());
      return exit_firmware;
    }
    known.push_back({path, *image, program_of(path)});
  }
  std::optional<vontrel::cluster::FirmwareImage> image;
  if (!options.firmware.empty()) {
    image = vontrel::cluster::inspect(options.firmware, why);
    if (!image) {
      std::fprintf(stderr, "vontrel-cluster: %s\n", why.c_str());
      return exit_firmware;
    }
    known.insert(known.begin(), {options.firmware, *image, program_of(options.firmware)});
  }
  if (!options.link.empty() && !vontrel::tools::link_path_free(options.link)) {
    std::fprintf(stderr, "vontrel-cluster: %s is taken: it exists and is not a link of ours\n",
                 options.link.c_str());
    return exit_port_taken;
  }

  // Before the board: a taken dashboard port should cost nothing to find out.
  std::unique_ptr<vontrel::web::DashboardServer> web;
  if (!options.web.empty()) {
    vontrel::web::DashboardState idle;
    idle.source = options.firmware.empty()
                      ? std::string("simulated board, no firmware yet")
                      : "simulated firmware " + fs::path(options.firmware).filename().string();
    int status = 0;
    web = vontrel::web::serve_dashboard("vontrel-cluster", options.web, idle, options.json, out,
                                        status);
    if (!web) {
      return status;
    }
  }

  char message[256] = "";
  simulated_board* board = board_create(
      options.firmware.empty() ? nullptr : options.firmware.c_str(), message, sizeof message);
  if (board == nullptr) {
    std::fprintf(stderr, "vontrel-cluster: %s\n", message);
    return exit_firmware;
  }
  board_set_backpack(board, options.backpack);
  // What the board runs, read by that firmware's own tables; nothing while it holds none we
  // know (an empty chip, an upload under way).
  std::optional<Firmware> running;
  std::string running_path;
  if (image) {
    running = firmware_on(board, *image);
    if (!running) {
      std::fprintf(stderr, "vontrel-cluster: %s has a dial table of no points or of more than 16\n",
                   options.firmware.c_str());
      board_destroy(board);
      return exit_firmware;
    }
    running_path = options.firmware;
  }
  if (!options.bootloader.empty() &&
      board_load_bootloader(board, options.bootloader.c_str(), message, sizeof message) != 0) {
    std::fprintf(stderr, "vontrel-cluster: %s\n", message);
    board_destroy(board);
    return exit_firmware;
  }
  const std::string port = board_port(board);
  if (!options.link.empty() && !vontrel::tools::make_pty_link(options.link, port, why)) {
    std::fprintf(stderr, "vontrel-cluster: %s\n", why.c_str());
    board_destroy(board);
    return exit_port_taken;
  }
  if (options.json) {
    nlohmann::json event = {{"event", "port"}, {"path", port}};
    if (!options.link.empty()) {
      event["link"] = options.link;
    }
    std::fprintf(out, "%s\n", vontrel::tools::json_text(event).c_str());
  } else if (!options.quiet) {
    std::fprintf(out, "cluster on %s%s%s\n", port.c_str(),
                 options.link.empty() ? "" : " linked from ", options.link.c_str());
  }
  std::fflush(out);
  std::unique_ptr<vontrel::cluster::UdpFeed> feed;
  if (!options.udp.empty()) {
    feed = vontrel::cluster::UdpFeed::start(options.udp, port, why);
    if (!feed) {
      std::fprintf(stderr, "vontrel-cluster: --udp: %s\n", why.c_str());
      board_destroy(board);
      return exit_port_taken;
    }
    if (options.json) {
      std::fprintf(out, "%s\n",
                   vontrel::tools::json_text({{"event", "udp"}, {"path", feed->name()}}).c_str());
    } else if (!options.quiet) {
      std::fprintf(out, "taking datagrams at %s\n", feed->name().c_str());
    }
    std::fflush(out);
  }
  // Behind a bootloader an upload may change what runs: look again every 100 ms.
  const auto identify = [&](double t) {
    std::optional<Firmware> now;
    std::string path;
    for (const Known& candidate : known) {
      if (holds(board, candidate)) {
        now = firmware_on(board, candidate.image);
        path = candidate.path;
        break;
      }
    }
    if (path == running_path && now.has_value() == running.has_value()) {
      return;
    }
    running = now;
    running_path = path;
    const std::string name = path.empty() ? "" : fs::path(path).filename().string();
    if (options.json) {
      nlohmann::json event = {{"event", "firmware"}, {"t", round_to(t, 0.001)}};
      event["name"] = path.empty() ? nlohmann::json(nullptr) : nlohmann::json(name);
      std::fprintf(out, "%s\n", vontrel::tools::json_text(event).c_str());
    } else if (!options.quiet) {
      std::fprintf(out, "%8.3f s  the board now holds %s\n", t,
                   path.empty() ? "no firmware we know" : name.c_str());
    }
    std::fflush(out);
  };
  std::uint32_t resets_seen = 0;
  double last_identified = 0.0;
  std::optional<ClusterDashboard> dashboard;
  if (web) {
    dashboard.emplace(*web, "simulated firmware on " + port);
  }

  std::signal(SIGINT, on_stop);
  std::signal(SIGTERM, on_stop);
  std::signal(SIGHUP, on_stop);  // the terminal closed: clean up as for Ctrl-C
  const double frequency = board_frequency(board);
  const std::uint64_t slice = static_cast<std::uint64_t>(frequency / 1000);  // 1 ms
  const Clock::time_point start = Clock::now();
  Reading shown;
  bool first = true;
  double last_report = -1.0;
  std::uint32_t taken = 0;
  std::uint32_t settled = 0;
  std::array<std::string, 2> last_settled;
  int status = 0;
  while (stop_requested == 0) {
    const double t = static_cast<double>(board_cycle(board)) / frequency;
    if (options.duration > 0.0 && t >= options.duration) {
      break;
    }
    if (options.hang_at >= 0.0 && t >= options.hang_at) {
      board_hang(board);
      options.hang_at = -1.0;
    }
    if (options.i2c_held_from >= 0.0) {
      board_hold_i2c(board, t >= options.i2c_held_from &&
                                (options.i2c_held_until < 0.0 || t < options.i2c_held_until));
    }
    if (options.stall_at >= 0.0 && t >= options.stall_at) {
      board_stall(board);
      options.stall_at = -1.0;
    }
    if (options.stop_after_bytes > 0 && board_line_bytes(board) >= options.stop_after_bytes) {
      // Frozen where it stands, as a board whose supply dropped mid-upload: its line goes
      // quiet until SIGCONT.
      options.stop_after_bytes = 0;
      std::raise(SIGSTOP);
    }
    if (board_run_until(board, board_cycle(board) + slice) != 0) {
      std::fprintf(stderr, "vontrel-cluster: the firmware crashed at %.3f s\n", t);
      status = exit_simulator;
      break;
    }
    // Real time: never run ahead of the wall clock, or the firmware's time-outs would lie.
    const auto due =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(t));
    std::this_thread::sleep_until(due);

    if (!options.bootloader.empty()) {
      if (board_port_resets(board) != resets_seen) {
        resets_seen = board_port_resets(board);
        if (options.json) {
          std::fprintf(out, "%s\n",
                       vontrel::tools::json_text(
                           {{"event", "reset"}, {"t", round_to(t, 0.001)}, {"by", "port opened"}})
                           .c_str());
        }
      }
      if (t - last_identified >= 0.1) {
        last_identified = t;
        identify(t);
      }
    }
    if (!running) {
      continue;
    }
    const Firmware& firmware = *running;
    if (dashboard) {
      dashboard->publish(board, firmware, t);
    }
    if (options.taken && options.json) {
      report_displays(out, board, taken, settled, last_settled);
    }
    if (t - last_report >= 0.1) {
      const Reading now = read(board, firmware);
      if (first || !(now == shown)) {
        first = false;
        shown = now;
        last_report = t;
        if (options.json) {
          std::fprintf(out, "%s\n", vontrel::tools::json_text(to_json(now, t)).c_str());
        } else if (!options.quiet) {
          std::fprintf(out, "%s\n", to_line(now, t).c_str());
        }
        std::fflush(out);
      }
    }
  }

  feed.reset();
  const double seconds = static_cast<double>(board_cycle(board)) / frequency;
  nlohmann::json summary = running ? health(board, running->health, seconds)
                                   : nlohmann::json{{"event", "health"}, {"firmware", nullptr}};
  if (!options.bootloader.empty()) {
    summary["port_resets"] = board_port_resets(board);
  }
  if (options.json) {
    std::fprintf(out, "%s\n", vontrel::tools::json_text(summary).c_str());
  } else {
    std::fprintf(out, "health: %s\n", vontrel::tools::json_text(summary).c_str());
  }
  std::fflush(out);
  if (!options.link.empty()) {
    vontrel::tools::remove_pty_link(options.link, port);
  }
  board_destroy(board);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    Options options;
    CLI::App app{
        "Runs the Vontrel reference firmware on a simulated ATmega328P at 16 MHz, its UART "
        "behind a pseudo-terminal, and shows the cluster's needles, lamps and display."};
    app.set_version_flag("--version", std::string("Vontrel ") + VONTREL_VERSION);
    app.add_option("--firmware", options.firmware,
                   "The firmware's .elf (with --bootloader it may be left out: an empty chip)");
    app.add_option("--link", options.link,
                   "Also make this symbolic link to the port (for the plug-in's settings, or "
                   "Wine's dosdevices/comN)");
    app.add_option("--udp", options.udp,
                   "Also feed the board the plug-in's datagrams (its udp_target), taken at "
                   "[ADDRESS:]PORT (127.0.0.1 unless given)");
    app.add_flag("--json", options.json,
                 "One JSON object per change (at most every 100 ms), then the firmware's health");
    app.add_flag(
        "--taken", options.taken,
        "With --json: each display its bus settled on, and what it showed as each cycle was taken");
    app.add_flag("--quiet", options.quiet, "Print only the closing health line");
    app.add_option("--duration", options.duration, "Stop after this many simulated seconds")
        ->check(CLI::PositiveNumber);
    app.add_option("--hang-at", options.hang_at,
                   "Stop the firmware's main loop at this simulated second, as a fault would "
                   "(for testing its watchdog)")
        ->group("Testing")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--stall-at", options.stall_at,
                   "Stop the firmware's main loop at this simulated second with its interrupts "
                   "still running, as a wait that never ends would (for testing its watchdog)")
        ->group("Testing")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--i2c-held-from", options.i2c_held_from,
                   "Hold the display's I2C bus low from this simulated second, as a short or a "
                   "half-plugged backpack would")
        ->group("Testing")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--i2c-held-until", options.i2c_held_until,
                   "Let the I2C bus go again at this simulated second")
        ->group("Testing")
        ->needs("--i2c-held-from")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--backpack", options.backpack,
                   "The display backpack's I2C address: 39 (0x27, a PCF8574) or 63 (0x3F, a "
                   "PCF8574A); by default it answers at either")
        ->group("Testing")
        ->check(CLI::IsMember({39, 63}));
    app.add_option("--bootloader", options.bootloader,
                   "Put this bootloader (Intel hex) in front of the firmware, started after every "
                   "reset as on a real board: the Arduino core's ATmegaBOOT (old Nano) or "
                   "Optiboot (Uno, new Nano)")
        ->group("Testing")
        ->check(CLI::ExistingFile);
    app.add_option("--knows", options.knows,
                   "With --bootloader: a firmware (.elf) an upload may put on the board; its "
                   "needles are read by its tables once the flash holds it (repeatable)")
        ->group("Testing")
        ->needs("--bootloader")
        ->check(CLI::ExistingFile);
    app.add_option("--stop-after-bytes", options.stop_after_bytes,
                   "Stop the whole simulation (SIGSTOP) once its line has brought this many "
                   "bytes: an upload that breaks off at a known point; SIGCONT goes on")
        ->group("Testing")
        ->check(CLI::PositiveNumber);
    app.add_option("--web", options.web,
                   "Serve a live dashboard page at [ADDRESS:]PORT (127.0.0.1 unless given; "
                   "0.0.0.0 lets a phone on the network open it)");
    try {
      app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
      const int code = app.exit(e);
      return code == 0 ? 0 : exit_usage;
    }
    keep_standard_output_for_us();
    return run(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vontrel-cluster: %s\n", e.what());
    return exit_simulator;
  } catch (...) {
    return exit_simulator;
  }
}
