// Puts a firmware image on an Arduino-class board through its bootloader, reads it back, or
// reads what the board holds: the bootloader found by resetting the board and trying its
// rates, the chip checked before anything is written, and every failure in words a player can
// act on. Pure of the system: the port comes in as a Port, time as its clock.
#ifndef VONTREL_TOOLS_FLASH_FLASHER_H
#define VONTREL_TOOLS_FLASH_FLASHER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tools/flash/intel_hex.h"
#include "tools/flash/stk500.h"

namespace vontrel::flash {

// Why a port would not open at a rate.
enum class OpenProblem { none, no_such_port, held, refused, line_not_set, other };

// Opens the line to the board: closing the one before, which on most boards resets them.
class Port {
 public:
  virtual ~Port() = default;
  virtual std::unique_ptr<Line> open(std::uint32_t baud, OpenProblem& problem) = 0;
  virtual std::uint64_t now_ms() = 0;
  virtual const std::string& name() const = 0;
};

enum class Outcome {
  done,
  differs,  // --verify: the board holds something else
  port_missing,
  port_held,
  port_refused,
  line_not_set,  // the driver would not take the rate
  no_bootloader,
  sketch_talking,  // printable answers: the reset never reached the chip
  wrong_chip,
  too_large,
  broke_off,         // mid-write: the bootloader is still there, a second run finishes
  reads_back_wrong,  // written, but a page reads back otherwise
  lost,              // the board stopped answering outside a write
};

struct Report {
  Outcome outcome = Outcome::done;
  std::string message;  // what the player reads; empty when all went well
  std::uint32_t baud = 0;
  std::string bootloader;  // "Optiboot" or "ATmegaBOOT", by the rate that answered
  std::size_t room = 0;    // bytes the bootloader leaves to the firmware
  std::uint8_t signature[3] = {};
  std::size_t pages = 0;            // pages written (or read, or compared)
  std::size_t page = 0;             // with broke_off, reads_back_wrong, differs: which (from 1)
  std::vector<std::uint8_t> flash;  // with read(): what the board's flash holds
};

// Timings a real board needs; the tests shorten none of them but count them on their own clock.
struct Timings {
  std::uint32_t reset_released_ms = 250;  // DTR and RTS released before the pulse
  std::uint32_t reset_pulse_ms = 50;
  std::uint32_t after_reset_ms = 50;  // the bootloader's own start, before the first sync
  std::uint32_t sync_wait_ms = 200;
  int syncs_per_reset = 4;  // Optiboot waits about 1 s after a reset, ATmegaBOOT less
  int resets_per_rate = 2;
  std::uint32_t press_reset_ms = 10000;  // for a board whose port cannot reset it
  std::uint32_t answer_ms = 1000;
};

// Progress and notes as the work goes: `phase` "write", "verify" or "read".
struct Events {
  std::function<void(const std::string& phase, std::size_t done, std::size_t total)> progress;
  std::function<void(const std::string& kind, const std::string& text)> note;
};

// The port's own failures (missing, held, refused, a line it will not set), in words that name
// what to close or change; empty for any other outcome.
std::string port_message(Outcome outcome, const std::string& port, std::uint32_t baud);
// "No serial port matches auto" with what to do about it.
std::string no_match_advice(const std::string& message);

class Flasher {
 public:
  Flasher(Port& port, Events events, std::uint32_t forced_baud = 0, Timings timings = {});

  Report write(const Image& image);
  Report verify(const Image& image);
  Report read();

 private:
  bool connect(Report& report);
  bool reset_and_sync(std::uint32_t baud, Report& report);
  bool try_sync(Report& report);
  bool reopen(std::uint32_t baud, Report& report);
  // A step again after the exchange fell out of step: back in sync, or (a bootloader that
  // reset itself into the sketch) the board reset and the session taken up again.
  Answer with_retry(Report& report, const std::function<Answer()>& step);
  // A step on one page (its address loaded first), with the retries above.
  Answer at_page(std::size_t page, Report& report, const std::function<Answer()>& step);
  bool compare(const Image& image, const std::string& phase, Report& report);
  void leave();
  // After a reset inside the retries another board answered (a reopened path may lead to
  // another): the report says so, and true; nothing more may be written.
  bool another_board(Report& report) const;

  Port& port_;
  Events events_;
  std::uint32_t forced_baud_;
  Timings timings_;
  bool lines_ = false;  // DTR and RTS switch
  bool signature_known_ = false;
  bool another_board_ = false;
  std::uint8_t answered_[3] = {};  // the signature another board gave
  std::unique_ptr<Line> line_;
  std::unique_ptr<Bootloader> bootloader_;
};

// Where the bootloaders that answer at each rate leave the firmware room, and the chips a
// signature names. "ATmega328P" for 1E 95 0F.
std::size_t room_under(std::uint32_t baud);
std::string chip_named(const std::uint8_t signature[3]);

}  // namespace vontrel::flash

#endif  // VONTREL_TOOLS_FLASH_FLASHER_H
