#include "tools/flash/flasher.h"

#include <algorithm>
#include <cstdio>

namespace vontrel::flash {

namespace {

constexpr std::uint32_t OPTIBOOT_BAUD = 115200;
constexpr std::uint32_t ATMEGABOOT_BAUD = 57600;
constexpr std::uint8_t ATMEGA328P[3] = {0x1E, 0x95, 0x0F};

std::string hex_byte(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X", value & 0xFFu);
  return text;
}

std::string address_text(std::size_t address) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(address));
  return text;
}

std::string signature_text(const std::uint8_t signature[3]) {
  return hex_byte(signature[0]) + " " + hex_byte(signature[1]) + " " + hex_byte(signature[2]);
}

// Mostly printable text: what a sketch writes to its serial port, not a bootloader's answer.
bool looks_like_text(const std::vector<std::uint8_t>& bytes) {
  std::size_t printable = 0;
  for (const std::uint8_t byte : bytes) {
    if ((byte >= 0x20 && byte < 0x7F) || byte == '\r' || byte == '\n' || byte == '\t') {
      ++printable;
    }
  }
  return bytes.size() >= 4 && printable * 10 >= bytes.size() * 9;
}

std::string quoted_text(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  for (const std::uint8_t byte : bytes) {
    if (byte >= 0x20 && byte < 0x7F) {
      text += static_cast<char>(byte);
    } else if (!text.empty() && text.back() != ' ') {
      text += ' ';
    }
  }
  while (!text.empty() && text.back() == ' ') {
    text.pop_back();
  }
  return text.size() > 40 ? text.substr(0, 40) + "..." : text;
}

}  // namespace

std::size_t room_under(std::uint32_t baud) {
  // Optiboot takes the last 512 bytes of the 32 KiB, ATmegaBOOT the last 2 KiB.
  return baud == ATMEGABOOT_BAUD ? 30720 : 32256;
}

std::string chip_named(const std::uint8_t signature[3]) {
  struct Chip {
    std::uint8_t signature[3];
    const char* name;
  };
  static const Chip chips[] = {
      {{0x1E, 0x95, 0x0F}, "ATmega328P"}, {{0x1E, 0x95, 0x14}, "ATmega328"},
      {{0x1E, 0x94, 0x06}, "ATmega168"},  {{0x1E, 0x94, 0x0B}, "ATmega168P"},
      {{0x1E, 0x93, 0x0A}, "ATmega88"},   {{0x1E, 0x93, 0x07}, "ATmega8"},
      {{0x1E, 0x95, 0x87}, "ATmega32U4"}, {{0x1E, 0x98, 0x01}, "ATmega2560"},
      {{0x1E, 0x97, 0x03}, "ATmega1280"}, {{0x1E, 0x95, 0x16}, "ATmega328PB"},
  };
  for (const Chip& chip : chips) {
    if (chip.signature[0] == signature[0] && chip.signature[1] == signature[1] &&
        chip.signature[2] == signature[2]) {
      return chip.name;
    }
  }
  return "chip of an unknown kind";
}

Flasher::Flasher(Port& port, Events events, std::uint32_t forced_baud, Timings timings)
    : port_(port), events_(std::move(events)), forced_baud_(forced_baud), timings_(timings) {}

bool Flasher::reopen(std::uint32_t baud, Report& report) {
  bootloader_.reset();
  line_.reset();  // closed first: a port has one owner
  OpenProblem problem = OpenProblem::none;
  line_ = port_.open(baud, problem);
  if (line_) {
    bootloader_ = std::make_unique<Bootloader>(*line_, timings_.answer_ms);
    report.baud = baud;
    return true;
  }
  switch (problem) {
    case OpenProblem::no_such_port:
      report.outcome = Outcome::port_missing;
      break;
    case OpenProblem::held:
      report.outcome = Outcome::port_held;
      break;
    case OpenProblem::refused:
      report.outcome = Outcome::port_refused;
      break;
    case OpenProblem::line_not_set:
      report.outcome = Outcome::line_not_set;
      break;
    case OpenProblem::none:
    case OpenProblem::other:
      report.outcome = Outcome::port_missing;
      break;
  }
  report.baud = baud;
  return false;
}

bool Flasher::try_sync(Report& report) {
  Bootloader& bootloader = *bootloader_;
  for (int attempt = 0; attempt < timings_.syncs_per_reset; ++attempt) {
    const Answer answer = bootloader.sync(timings_.sync_wait_ms);
    if (answer == Answer::gone) {
      report.outcome = Outcome::lost;
      report.message = "The port " + port_.name() + " went away (was the board unplugged?)";
      return false;
    }
    if (answer == Answer::ok) {
      // Answers to earlier tries may still be on their way: let them come and drop them, so
      // they do not shift the exchange, then make sure of the bootloader once more.
      line_->pause(20);
      line_->discard_input();
      if (bootloader.sync(timings_.sync_wait_ms) == Answer::ok) {
        return true;
      }
    }
  }
  return false;
}

bool Flasher::reset_and_sync(std::uint32_t baud, Report& report) {
  if (lines_) {
    if (report.baud != baud && !reopen(baud, report)) {
      return false;
    }
    // The auto-reset: a capacitor from DTR (and RTS, on some boards) to the reset pin turns
    // the assertion into a pulse.
    line_->switch_lines(false);
    line_->pause(timings_.reset_released_ms);
    line_->switch_lines(true);
    line_->pause(timings_.reset_pulse_ms);
    line_->switch_lines(false);
  } else if (!reopen(baud, report)) {
    return false;
  }
  line_->pause(timings_.after_reset_ms);
  line_->discard_input();
  return try_sync(report);
}

bool Flasher::connect(Report& report) {
  std::vector<std::uint32_t> rates;
  if (forced_baud_ != 0) {
    rates.push_back(forced_baud_);
  } else {
    rates = {OPTIBOOT_BAUD, ATMEGABOOT_BAUD};
  }
  if (!reopen(rates[0], report)) {
    return false;
  }
  lines_ = line_->switch_lines(false);
  bool found = false;
  std::vector<std::uint8_t> stray;
  const auto keep_stray = [&] {
    const std::vector<std::uint8_t>& now = bootloader_->stray();
    stray.insert(stray.end(), now.begin(), now.end());
    bootloader_->forget_stray();
  };
  if (lines_) {
    for (std::size_t r = 0; r < rates.size() && !found; ++r) {
      if (events_.note) {
        events_.note(
            "try", "resetting the board, its bootloader at " + std::to_string(rates[r]) + " baud?");
      }
      for (int reset = 0; reset < timings_.resets_per_rate && !found; ++reset) {
        found = reset_and_sync(rates[r], report);
        if (report.outcome != Outcome::done) {
          return false;
        }
        keep_stray();
      }
    }
  } else {
    // A pseudo-terminal, a cable without DTR: reopening the port still resets a board that
    // resets when its port opens; any other must be reset by hand.
    if (events_.note) {
      events_.note("press_reset", "The port " + port_.name() +
                                      " cannot switch its DTR and RTS lines, so it may not reset "
                                      "the board: press the board's reset button now.");
    }
    const std::uint64_t until = port_.now_ms() + timings_.press_reset_ms;
    bool first = true;
    while (!found && (first || port_.now_ms() < until)) {
      first = false;
      for (std::size_t r = 0; r < rates.size() && !found; ++r) {
        if (events_.note) {
          events_.note("try", "opening the port again, its bootloader at " +
                                  std::to_string(rates[r]) + " baud?");
        }
        found = reset_and_sync(rates[r], report);
        if (report.outcome != Outcome::done) {
          return false;
        }
        keep_stray();
      }
    }
  }
  if (!found) {
    if (looks_like_text(stray)) {
      report.outcome = Outcome::sketch_talking;
      report.message = "The board on " + port_.name() + " answers with text (\"" +
                       quoted_text(stray) +
                       "\"): a sketch is running, not the bootloader, so the reset did not reach "
                       "the chip. Press the board's reset button just as you start this again, "
                       "or use a cable that carries DTR.";
    } else {
      std::string rates_text;
      for (std::size_t r = 0; r < rates.size(); ++r) {
        rates_text += (r == 0 ? "" : " or ") + std::to_string(rates[r]);
      }
      report.outcome = Outcome::no_bootloader;
      report.message = "No bootloader answered on " + port_.name() + " at " + rates_text +
                       " baud. Is it an Arduino (Uno, Nano) with its bootloader? A board once "
                       "flashed with a programmer over ISP has lost it. Press the board's reset "
                       "button just before you run this again.";
    }
    return false;
  }
  report.bootloader = report.baud == ATMEGABOOT_BAUD ? "ATmegaBOOT" : "Optiboot";
  report.room = room_under(report.baud);
  if (events_.note) {
    events_.note("bootloader",
                 report.bootloader + " answered at " + std::to_string(report.baud) + " baud");
  }
  const Answer signature =
      with_retry(report, [&] { return bootloader_->read_signature(report.signature); });
  if (signature != Answer::ok) {
    report.outcome = Outcome::lost;
    report.message = "The bootloader on " + port_.name() +
                     " answered, then did not say which chip it runs on. Nothing was written: "
                     "run this again.";
    return false;
  }
  signature_known_ = true;
  if (report.signature[0] != ATMEGA328P[0] || report.signature[1] != ATMEGA328P[1] ||
      report.signature[2] != ATMEGA328P[2]) {
    report.outcome = Outcome::wrong_chip;
    report.message = "The board's chip is an " + chip_named(report.signature) + " (signature " +
                     signature_text(report.signature) +
                     "), not the ATmega328P the firmware is built for: nothing was written.";
    leave();
    return false;
  }
  if (events_.note) {
    events_.note("chip", "ATmega328P (signature " + signature_text(report.signature) + ")");
  }
  if (with_retry(report, [&] { return bootloader_->enter_programming(); }) != Answer::ok) {
    if (another_board(report)) {
      return false;
    }
    report.outcome = Outcome::lost;
    report.message = "The bootloader on " + port_.name() +
                     " stopped answering before anything was written: run this again.";
    return false;
  }
  return true;
}

Answer Flasher::with_retry(Report& report, const std::function<Answer()>& step) {
  Answer answer = Answer::no_answer;
  for (int attempt = 0; attempt < 3; ++attempt) {
    answer = step();
    if (answer == Answer::ok || answer == Answer::gone) {
      return answer;
    }
    // Out of step (a byte lost on the way, an answer late): back in sync, then the whole step
    // again; a page written twice is the same page. Optiboot, out of step, lets its watchdog
    // restart the chip into the sketch: then only a reset brings the bootloader back.
    line_->pause(50);
    line_->discard_input();
    bool synced = false;
    for (int sync = 0; sync < 2 && !synced; ++sync) {
      synced = bootloader_->sync(timings_.sync_wait_ms) == Answer::ok;
    }
    if (!synced) {
      const Outcome before = report.outcome;
      const std::uint32_t baud = report.baud;
      bool back = false;
      for (int reset = 0; reset < timings_.resets_per_rate && !back; ++reset) {
        back = reset_and_sync(baud, report) && bootloader_->enter_programming() == Answer::ok;
      }
      if (report.outcome != before || !back) {
        report.outcome = before;
        return answer == Answer::ok ? Answer::no_answer : answer;
      }
      // The board that answers after a reset is asked again who it is: a reopened path may
      // lead to another one, which must not get the rest of this one's firmware.
      if (signature_known_ && (bootloader_->read_signature(answered_) != Answer::ok ||
                               !std::equal(answered_, answered_ + 3, report.signature))) {
        another_board_ = true;
        return Answer::gone;
      }
    }
    line_->pause(20);
    line_->discard_input();
  }
  return answer;
}

bool Flasher::another_board(Report& report) const {
  if (!another_board_) {
    return false;
  }
  report.outcome = Outcome::wrong_chip;
  report.message = "After a reset on " + port_.name() + " a board answered that is not the one " +
                   "this began with (signature " + signature_text(answered_) + ", not " +
                   signature_text(report.signature) +
                   "): nothing more was written. Check which board is plugged in, then run "
                   "this again.";
  return true;
}

Answer Flasher::at_page(std::size_t page, Report& report, const std::function<Answer()>& step) {
  const auto word = static_cast<std::uint16_t>(page * PAGE_BYTES / 2);
  return with_retry(report, [&] {
    const Answer loaded = bootloader_->load_address(word);
    return loaded == Answer::ok ? step() : loaded;
  });
}

void Flasher::leave() {
  // The bootloader starts the firmware (Optiboot through its watchdog); a lost answer here
  // leaves a board that starts it on its own a moment later.
  bootloader_->leave_programming();
}

bool Flasher::compare(const Image& image, const std::string& phase, Report& report) {
  const std::size_t pages = (image.bytes.size() + PAGE_BYTES - 1) / PAGE_BYTES;
  for (std::size_t page = 0; page < pages; ++page) {
    std::uint8_t read[PAGE_BYTES];
    const Answer answer = at_page(page, report, [&] { return bootloader_->read_page(read); });
    if (another_board(report)) {
      return false;
    }
    if (answer != Answer::ok) {
      report.outcome = Outcome::lost;
      report.page = page + 1;
      report.message = "The board stopped answering while page " + std::to_string(page + 1) +
                       " of " + std::to_string(pages) + " was read back.";
      return false;
    }
    for (std::size_t i = 0; i < PAGE_BYTES; ++i) {
      const std::size_t at = page * PAGE_BYTES + i;
      const std::uint8_t wanted = at < image.bytes.size() ? image.bytes[at] : 0xFF;
      if (read[i] != wanted) {
        report.page = page + 1;
        report.message = "Page " + std::to_string(page + 1) + " of " + std::to_string(pages) +
                         " differs at " + address_text(at) + ": the firmware has " +
                         hex_byte(wanted) + ", the board " + hex_byte(read[i]) + ".";
        return false;
      }
    }
    report.pages = page + 1;
    if (events_.progress) {
      events_.progress(phase, page + 1, pages);
    }
  }
  return true;
}

Report Flasher::write(const Image& image) {
  Report report;
  if (!connect(report)) {
    return report;
  }
  if (image.bytes.size() > report.room) {
    report.outcome = Outcome::too_large;
    report.message = "The firmware is " + std::to_string(image.bytes.size()) + " bytes; the " +
                     report.bootloader + " bootloader leaves " + std::to_string(report.room) +
                     " for it: nothing was written.";
    leave();
    return report;
  }
  const std::size_t pages = (image.bytes.size() + PAGE_BYTES - 1) / PAGE_BYTES;
  for (std::size_t page = 0; page < pages; ++page) {
    // Whole pages only, unwritten bytes erased-0xFF: a bootloader writes the page it is given,
    // and a part page would leave the rest of it to chance.
    std::uint8_t bytes[PAGE_BYTES];
    for (std::size_t i = 0; i < PAGE_BYTES; ++i) {
      const std::size_t at = page * PAGE_BYTES + i;
      bytes[i] = at < image.bytes.size() ? image.bytes[at] : 0xFF;
    }
    const Answer answer = at_page(page, report, [&] { return bootloader_->program_page(bytes); });
    if (another_board(report)) {
      return report;
    }
    if (answer != Answer::ok) {
      report.outcome = Outcome::broke_off;
      report.page = page + 1;
      report.message = "The board stopped answering while page " + std::to_string(page + 1) +
                       " of " + std::to_string(pages) + " (flash address " +
                       address_text(page * PAGE_BYTES) +
                       ") was being written. It still has its bootloader: run the same command "
                       "again to finish.";
      return report;
    }
    report.pages = page + 1;
    if (events_.progress) {
      events_.progress("write", page + 1, pages);
    }
  }
  if (!compare(image, "verify", report)) {
    if (report.outcome == Outcome::done) {
      report.outcome = Outcome::reads_back_wrong;
      report.message = "Written, but it reads back otherwise. " + report.message +
                       " Run the same command again.";
    } else {
      report.message += " All was written: run the same command again to check it.";
    }
    return report;
  }
  leave();
  return report;
}

Report Flasher::verify(const Image& image) {
  Report report;
  if (!connect(report)) {
    return report;
  }
  if (!compare(image, "verify", report) && report.outcome == Outcome::done) {
    report.outcome = Outcome::differs;
  }
  leave();
  return report;
}

Report Flasher::read() {
  Report report;
  if (!connect(report)) {
    return report;
  }
  const std::size_t pages = report.room / PAGE_BYTES;
  for (std::size_t page = 0; page < pages; ++page) {
    std::uint8_t bytes[PAGE_BYTES];
    const Answer answer = at_page(page, report, [&] { return bootloader_->read_page(bytes); });
    if (another_board(report)) {
      return report;
    }
    if (answer != Answer::ok) {
      report.outcome = Outcome::lost;
      report.page = page + 1;
      report.message = "The board stopped answering while page " + std::to_string(page + 1) +
                       " of " + std::to_string(pages) + " was read: run this again.";
      return report;
    }
    report.flash.insert(report.flash.end(), bytes, bytes + PAGE_BYTES);
    report.pages = page + 1;
    if (events_.progress) {
      events_.progress("read", page + 1, pages);
    }
  }
  leave();
  return report;
}

namespace {

#ifdef _WIN32
constexpr const char* WHERE_PORTS_ARE =
    "list-ports.cmd shows the ports there are (a CH340 clone that shows none needs its driver: "
    "GUIDE.txt says where)";
#else
constexpr const char* WHERE_PORTS_ARE =
    "tools/vontrel-monitor --list-ports shows the ports there are";
#endif

}  // namespace

// The port's own failures, in words that name what to close or change.
std::string port_message(Outcome outcome, const std::string& port, std::uint32_t baud) {
  switch (outcome) {
    case Outcome::port_missing:
      return "There is no port " + port + ": is the board plugged in? " + WHERE_PORTS_ARE + ".";
    case Outcome::port_held:
#ifdef _WIN32
      return port +
             " is held by another program: close it and try again (the game with Vontrel loaded, "
             "the Arduino IDE's serial monitor, a cockpit tool).";
#else
      return port +
             " is held by another program: close it and try again (the game with Vontrel loaded, "
             "the Arduino IDE's serial monitor, a cockpit tool; brltty or ModemManager take "
             "USB-serial boards for their own: remove brltty, or tell ModemManager to leave the "
             "port alone).";
#endif
    case Outcome::port_refused:
#ifdef _WIN32
      return "Access to " + port + " was refused: another program may hold it.";
#else
      return "Access to " + port +
             " was refused: add yourself to the dialout group (sudo usermod -a -G dialout "
             "$USER), then log out and in again.";
#endif
    case Outcome::line_not_set:
      return port + " would not take " + std::to_string(baud) +
             " baud, 8N1: its driver cannot set the line. A CH340 clone needs the driver from "
             "the chip's maker on older Windows; unplug the board, plug it in again, and retry.";
    default:
      return {};
  }
}

std::string no_match_advice(const std::string& message) {
  if (message.rfind("No serial port matches", 0) != 0) {
    return message;  // several matched, and are named
  }
#ifdef _WIN32
  const char* example = "flash-cluster.cmd --port COM5";
#else
  const char* example = "--port /dev/ttyUSB0";
#endif
  return message + ": is the board plugged in? " + WHERE_PORTS_ARE +
         "; or name its port: " + example + ".";
}

}  // namespace vontrel::flash
