// vontrel-flash: puts the cluster firmware on an Arduino-class board through its bootloader, the
// board found by what it is, the bootloader by trying its rates, the result read back.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "os/os.h"
#include "os/usb_ids.h"
#include "serial/port_identity.h"
#include "settings/settings.h"
#include "settings/settings_file.h"
#include "tools/common/beside_the_tools.h"
#include "tools/common/console.h"
#include "tools/common/json_text.h"
#include "tools/common/listed_ports.h"
#include "tools/common/terminal.h"
#include "tools/flash/flasher.h"
#include "tools/flash/intel_hex.h"
#include "tools/flash/serial_line.h"
#include "vontrel_version.h"

namespace {

namespace fs = std::filesystem;
using namespace vontrel::flash;

// Exit statuses, as the README's table lists them.
constexpr int exit_differs = 1;
constexpr int exit_no_bootloader = 2;
constexpr int exit_sketch = 3;
constexpr int exit_wrong_chip = 4;
constexpr int exit_broke_off = 5;
constexpr int exit_reads_back_wrong = 6;
constexpr int exit_lost = 7;
constexpr int exit_usage = 64;
constexpr int exit_bad_firmware = 65;
constexpr int exit_no_firmware = 66;
constexpr int exit_no_port = 68;
constexpr int exit_port_taken = 69;
constexpr int exit_cannot_write = 73;
constexpr int exit_line_not_set = 74;
constexpr int exit_refused = 77;

const char* const VARIANTS[] = {"default", "i2c", "i2c-3f", "x27", "stepdir"};

struct Options {
  std::string port = "auto";
  std::string firmware = "default";
  std::uint32_t baud = 0;
  std::string read;
  std::string verify;
  std::string write_settings;
  bool json = false;
};

// A variant's name ("default", "x27") to its file, beside the tool in the archive
// (<platform>/tools/ -> firmware/) or in the build tree (build/<preset>/tools/flash/ ->
// build/avr/firmware/). A path is taken as it stands.
std::string firmware_file(const std::string& wanted, const fs::path& tools,
                          std::vector<std::string>& looked) {
  const bool named = wanted.find_first_of("/\\.") == std::string::npos;
  if (!named) {
    return wanted;
  }
  const std::string file =
      (wanted == "default"                        ? std::string("vontrel-firmware")
       : wanted.rfind("vontrel-firmware", 0) == 0 ? wanted
                                                  : "vontrel-firmware-" + wanted) +
      ".hex";
  for (const fs::path& folder :
       {tools, tools / "firmware", tools / ".." / "firmware", tools / ".." / ".." / "firmware",
        tools / ".." / ".." / ".." / "avr" / "firmware"}) {
    const fs::path candidate = (folder / file).lexically_normal();
    looked.push_back(candidate.string());
    std::error_code error;
    if (fs::is_regular_file(candidate, error)) {
      return candidate.string();
    }
  }
  return {};
}

// The port a setting or --port names, with its identity for the settings line where it has one.
struct ChosenPort {
  std::string device;
  std::string identity;  // "usb:1A86:7523[:SERIAL]", or empty
  std::string message;
};

bool choose(const std::string& wanted, const std::string& avoid, ChosenPort& chosen) {
  const std::vector<vontrel::PortInfo> ports = vontrel::tools::listed_ports();
  if (!vontrel::names_identity(wanted)) {
    chosen.device = vontrel::os::com_device_name(wanted);
    for (const vontrel::PortInfo& port : ports) {
      if (port.device == chosen.device || port.also == wanted) {
        chosen.identity = vontrel::usb_form(port);
      }
    }
    return true;
  }
  const vontrel::PortChoice choice = vontrel::choose_port(wanted, ports, avoid);
  chosen.message = choice.message;
  if (choice.port == nullptr) {
    return false;
  }
  chosen.device = choice.port->device;
  chosen.identity = vontrel::usb_form(*choice.port);
  return true;
}

// What a player reads, and a script with --json: one line per step.
class Output {
 public:
  explicit Output(bool json)
      : json_(json), terminal_(!json && vontrel::tools::output_is_terminal()) {}

  void note(const std::string& kind, const std::string& text) {
    end_bar();
    if (json_) {
      line({{"event", "note"}, {"kind", kind}, {"text", text}});
    } else {
      std::printf("%s\n", text.c_str());
      std::fflush(stdout);
    }
  }

  void progress(const std::string& phase, std::size_t done, std::size_t total) {
    const char* verb = phase == "write"    ? "writing"
                       : phase == "verify" ? "reading back"
                                           : "reading";
    if (json_) {
      // A line per tenth, and the last: enough for a script's own bar.
      if (done == total || done * 10 / total != (done - 1) * 10 / total) {
        line({{"event", "progress"}, {"phase", phase}, {"pages", done}, {"of", total}});
      }
      return;
    }
    if (terminal_) {
      const std::size_t width = 30;
      const std::size_t filled = done * width / total;
      std::printf("\r%-12s [%s%s] %3zu/%zu pages", verb, std::string(filled, '#').c_str(),
                  std::string(width - filled, ' ').c_str(), done, total);
      bar_ = done < total;
      if (!bar_) {
        std::printf("\n");
      }
      std::fflush(stdout);
      return;
    }
    if (done == total || done * 4 / total != (done - 1) * 4 / total) {
      std::printf("%s: %zu of %zu pages\n", verb, done, total);
      std::fflush(stdout);
    }
  }

  void line(const nlohmann::json& event) {
    std::printf("%s\n", vontrel::tools::json_text(event).c_str());
    std::fflush(stdout);
  }

  void end_bar() {
    if (bar_) {
      std::printf("\n");
      bar_ = false;
    }
  }

  bool json() const { return json_; }

 private:
  bool json_;
  bool terminal_;
  bool bar_ = false;
};

const char* outcome_name(Outcome outcome) {
  switch (outcome) {
    case Outcome::done:
      return "done";
    case Outcome::differs:
      return "differs";
    case Outcome::port_missing:
      return "no_port";
    case Outcome::port_held:
      return "port_taken";
    case Outcome::port_refused:
      return "access_refused";
    case Outcome::line_not_set:
      return "line_not_set";
    case Outcome::no_bootloader:
      return "no_bootloader";
    case Outcome::sketch_talking:
      return "sketch_answers";
    case Outcome::wrong_chip:
      return "wrong_chip";
    case Outcome::too_large:
      return "too_large";
    case Outcome::broke_off:
      return "broke_off";
    case Outcome::reads_back_wrong:
      return "reads_back_wrong";
    case Outcome::lost:
      return "lost";
  }
  return "lost";
}

int exit_status(Outcome outcome) {
  switch (outcome) {
    case Outcome::done:
      return 0;
    case Outcome::differs:
      return exit_differs;
    case Outcome::port_missing:
      return exit_no_port;
    case Outcome::port_held:
      return exit_port_taken;
    case Outcome::port_refused:
      return exit_refused;
    case Outcome::line_not_set:
      return exit_line_not_set;
    case Outcome::no_bootloader:
      return exit_no_bootloader;
    case Outcome::sketch_talking:
      return exit_sketch;
    case Outcome::wrong_chip:
      return exit_wrong_chip;
    case Outcome::too_large:
      return exit_bad_firmware;
    case Outcome::broke_off:
      return exit_broke_off;
    case Outcome::reads_back_wrong:
      return exit_reads_back_wrong;
    case Outcome::lost:
      return exit_lost;
  }
  return exit_lost;
}

int run(const Options& options, const char* argv0) {
  Output out(options.json);
  const auto fail = [&](int status, const std::string& outcome, const std::string& message) {
    out.end_bar();
    if (out.json()) {
      out.line({{"event", "result"}, {"outcome", outcome}, {"exit", status}, {"message", message}});
    } else {
      std::fprintf(stderr, "vontrel-flash: %s\n", message.c_str());
    }
    return status;
  };

  // The image first: a file that is no firmware never gets as far as the board.
  Image image;
  std::string firmware_path;
  const std::string& wanted = !options.verify.empty() ? options.verify : options.firmware;
  if (options.read.empty()) {
    std::vector<std::string> looked;
    firmware_path = firmware_file(wanted, vontrel::tools::tool_folder(argv0), looked);
    if (firmware_path.empty()) {
      std::string names;
      for (const char* variant : VARIANTS) {
        names += std::string(names.empty() ? "" : ", ") + variant;
      }
      return fail(exit_no_firmware, "no_firmware",
                  "No firmware named " + wanted + " (" + names +
                      ", or a .hex file's path) next to the tool: looked for " + looked.front() +
                      " and " + std::to_string(looked.size() - 1) + " other places.");
    }
    std::string text;
    std::string why;
    switch (read_hex_file(firmware_path, text, why)) {
      case HexFile::unreadable:
        return fail(exit_no_firmware, "no_firmware",
                    "Cannot read " + firmware_path + ": " + why + ".");
      case HexFile::too_large:
        return fail(
            exit_bad_firmware, "bad_firmware",
            firmware_path + " is no firmware for the board: " + why + ". Nothing was written.");
      case HexFile::read:
        break;
    }
    if (!parse_hex(text, image, why, 0x8000)) {
      return fail(exit_bad_firmware, "bad_firmware",
                  firmware_path + " is no firmware for the board (Intel hex): " + why +
                      ". Nothing was written.");
    }
  }

  ChosenPort chosen;
  if (!choose(options.port,
              vontrel::tools::can_port_in_settings(
                  options.write_settings.empty() ? std::vector<std::string>{}
                                                 : std::vector<std::string>{options.write_settings},
                  vontrel::tools::tool_folder(argv0)),
              chosen)) {
    return fail(exit_no_port, "no_port", no_match_advice(chosen.message));
  }
  if (!chosen.message.empty()) {
    out.note("port", chosen.message);
  }

  SerialPort port(chosen.device);
  Events events;
  events.note = [&](const std::string& kind, const std::string& text) { out.note(kind, text); };
  events.progress = [&](const std::string& phase, std::size_t done, std::size_t total) {
    out.progress(phase, done, total);
  };
  Flasher flasher(port, events, options.baud);
  if (!firmware_path.empty() && options.verify.empty()) {
    out.note("firmware", "Flashing " + firmware_path + " (" + std::to_string(image.bytes.size()) +
                             " bytes) through " + chosen.device);
  }
  Report report = !options.read.empty()     ? flasher.read()
                  : !options.verify.empty() ? flasher.verify(image)
                                            : flasher.write(image);
  if (report.message.empty()) {
    report.message = port_message(report.outcome, chosen.device, report.baud);
  }
  const int status = exit_status(report.outcome);
  if (report.outcome != Outcome::done) {
    return fail(status, outcome_name(report.outcome), report.message);
  }

  nlohmann::json result = {
      {"event", "result"},     {"outcome", "done"},   {"exit", 0},
      {"port", chosen.device}, {"baud", report.baud}, {"bootloader", report.bootloader},
      {"pages", report.pages}};
  if (!options.read.empty()) {
    std::ofstream file(options.read, std::ios::binary | std::ios::trunc);
    file << to_hex(report.flash);
    if (!file.flush()) {
      return fail(exit_cannot_write, "cannot_write", "Cannot write " + options.read + ".");
    }
    out.note("saved", "The board's flash is in " + options.read);
    result["file"] = options.read;
  } else if (!options.verify.empty()) {
    out.note("same", "The board holds " + firmware_path);
  } else {
    // The settings that find this board again, and give its bootloader time after a reset.
    const std::string comport = chosen.identity.empty() ? chosen.device : chosen.identity;
    const int delay = report.bootloader == "ATmegaBOOT" ? 2000 : 1500;
    result["settings"] = {{"comport", comport}, {"startup_delay", delay}};
    out.note("flashed",
             "Flashed and read back: the firmware runs. For plugins\\Vontrel.txt:\n"
             "  comport str " +
                 comport + "\n  startup_delay int " + std::to_string(delay));
    if (!options.write_settings.empty()) {
      std::string why;
      std::vector<std::string> notes;
      if (!vontrel::write_settings_file(options.write_settings,
                                        {{"comport", "str", comport, false},
                                         {"startup_delay", "int", std::to_string(delay), true}},
                                        notes, why)) {
        return fail(exit_cannot_write, "cannot_write", why);
      }
      std::string said = "Written into " + options.write_settings;
      for (const std::string& note : notes) {
        said += "\n  " + note;
      }
      out.note("settings", said);
    }
  }
  if (out.json()) {
    out.line(result);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    Options options;
    CLI::App app{
        "Puts the Vontrel cluster firmware on an Arduino-class board (ATmega328P: Uno, Nano) "
        "through its bootloader, and reads it back."};
    app.set_version_flag("--version", std::string("Vontrel ") + VONTREL_VERSION);
    app.add_option("firmware", options.firmware,
                   "default, i2c, i2c-3f, x27, stepdir (the archive's firmware files), or the path "
                   "of an Intel hex file")
        ->capture_default_str();
    app.add_option("--port", options.port,
                   "COM5, /dev/ttyUSB0, usb:VID:PID[:SERIAL] or auto (the one board there is)")
        ->capture_default_str();
    app.add_option("--baud", options.baud,
                   "Only this rate: 115200 (Optiboot: Uno, new Nano) or 57600 (old-bootloader "
                   "Nano); by default both are tried")
        ->check(CLI::IsMember({57600, 115200}));
    auto* read = app.add_option("--read", options.read,
                                "Save what the board's flash holds to this file (Intel hex), "
                                "writing nothing");
    app.add_option("--verify", options.verify,
                   "Compare the board's flash with this firmware, writing nothing")
        ->excludes(read);
    app.add_option("--write-settings", options.write_settings,
                   "After flashing, write the comport and startup_delay lines for this board into "
                   "this settings file (Vontrel.txt), keeping every other line");
    app.add_flag("--json", options.json, "One JSON object per step, for scripts");
    if (vontrel::tools::explain_and_wait(argc, app.help())) {
      return 0;
    }
    try {
      app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
      const int code = app.exit(e);
      return code == 0 ? 0 : exit_usage;
    }
    return run(options, argv[0]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vontrel-flash: %s\n", e.what());
    return exit_lost;
  }
}
