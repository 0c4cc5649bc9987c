// The flasher's pieces against the format and the bootloaders' protocol: Intel hex records,
// each STK500 command's bytes, and a whole upload over a scripted line that answers as an
// Arduino bootloader does, with the faults a real line has.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/fake_os.h"
#include "tools/flash/flasher.h"
#include "tools/flash/intel_hex.h"
#include "tools/flash/serial_line.h"
#include "tools/flash/stk500.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

using namespace vontrel::flash;
using Bytes = std::vector<std::uint8_t>;

TEST(intel_hex_test, reads_records_into_an_image_erased_between_them) {
  Image image;
  std::string why;
  // Two bytes at 0, one at 4 (ASCII "AB" then "C"); an extended linear address of 0 and a
  // start address record change nothing.
  ASSERT_TRUE(
      parse_hex(":020000040000FA\n:020000020000FC\n:0400000541424344ED\n"
                ":0200000041427B\r\n:0100040043B8\n:00000001FF\n",
                image, why))
      << why;
  EXPECT_EQ(image.bytes, (Bytes{0x41, 0x42, 0xFF, 0xFF, 0x43}));
}

TEST(intel_hex_test, refuses_what_is_no_record_with_its_line) {
  const struct {
    const char* text;
    const char* why;
  } cases[] = {
      {":0200000041427C\n:00000001FF\n", "line 1: bad checksum"},
      {":0300000041427B\n:00000001FF\n", "line 1: the record's length says 3 bytes, it holds 2"},
      {"0200000041427B\n:00000001FF\n", "line 1: not an Intel hex record"},
      {":02000000414G7B\n:00000001FF\n", "line 1: not an Intel hex record"},
      {":0200000041427B\n:00000007F9\n", "line 2: unknown record type 7"},
      {":0200000041427B\n", "the end record is missing"},
      {":00000001FF\n:0200000041427B\n", "line 2: a record after the end record"},
      {":00000001FF\n", "holds no data"},
      {"", "empty"},
      {":027FFF004142FD\n:00000001FF\n", "line 1: data at 0x8000, beyond the chip's 0x8000 bytes"},
      // 16 bytes at 0xFFFFFFF8, past the top of a 32-bit address: never the chip's bottom.
      {":02000004FFFFFC\n:10FFF800000102030405060708090A0B0C0D0E0F81\n:00000001FF\n",
       "line 2: data at 0x100000007, beyond the chip's 0x8000 bytes"},
  };
  for (const auto& c : cases) {
    Image image;
    std::string why;
    EXPECT_FALSE(parse_hex(c.text, image, why, 0x8000)) << c.text;
    EXPECT_EQ(why, c.why) << c.text;
  }
}

#ifndef _WIN32
TEST(intel_hex_test, reads_only_a_plain_file_of_a_size_a_chip_can_hold) {
  const std::string folder = ::testing::TempDir();
  const std::string fifo = folder + "vontrel-flash-fifo";
  const std::string large = folder + "vontrel-flash-large.hex";
  const std::string fine = folder + "vontrel-flash-fine.hex";
  std::remove(fifo.c_str());
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::ofstream(large, std::ios::binary) << std::string(MAX_HEX_FILE_BYTES + 1, ':');
  std::ofstream(fine, std::ios::binary) << ":00000001FF\n";
  const struct {
    std::string path;
    HexFile result;
    const char* why;
  } cases[] = {
      {"/dev/zero", HexFile::unreadable, "a device or a pipe"},  // would fill the memory
      {fifo, HexFile::unreadable, "a device or a pipe"},         // would wait for a writer
      {folder, HexFile::unreadable, "a folder"},
      {folder + "no-such.hex", HexFile::unreadable, "no such file"},
      {large, HexFile::too_large, "larger than 128 KiB"},
      {fine, HexFile::read, ""},
  };
  for (const auto& c : cases) {
    std::string text;
    std::string why;
    EXPECT_EQ(read_hex_file(c.path, text, why), c.result) << c.path;
    EXPECT_NE(why.find(c.why), std::string::npos) << c.path << ": " << why;
  }
  std::remove(fifo.c_str());
  std::remove(large.c_str());
  std::remove(fine.c_str());
}
#endif

TEST(intel_hex_test, what_it_writes_reads_back_the_same_without_trailing_erased_bytes) {
  Bytes bytes(40);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(i * 7);
  }
  bytes.insert(bytes.end(), 100, 0xFF);
  const std::string text = to_hex(bytes);
  EXPECT_EQ(text.substr(0, 44), ":1000000000070E151C232A31383F464D545B6269A8\n");
  EXPECT_EQ(text.substr(text.size() - 12), ":00000001FF\n");
  Image image;
  std::string why;
  ASSERT_TRUE(parse_hex(text, image, why)) << why;
  EXPECT_EQ(image.bytes, Bytes(bytes.begin(), bytes.begin() + 40));
}

// A bootloader on the far end of the line, answering STK500 as the Arduino bootloaders do: in
// sync only after a reset, at its own rate, for as long as it is fed.
class ScriptedBoard : public Line {
 public:
  struct Faults {
    std::uint32_t rate = 115200;
    Bytes signature = {0x1E, 0x95, 0x0F};
    int resets_unanswered = 0;   // resets before one starts the bootloader
    int nosync_on_page = -1;     // this page's first write is answered STK_NOSYNC
    int lose_byte_of_page = -1;  // one byte of this page's first write never arrives
    int dead_from_page = -1;     // from this page on, nothing answers
    std::string sketch;          // when not empty: no bootloader, a sketch printing this
    bool endless = false;        // the sketch prints it every 5 ms, whether asked or not
    int another_from_reset = 0;  // from this reset on (1: the first), another board answers
    bool lines = true;           // DTR and RTS can be switched
  };

  explicit ScriptedBoard(const Faults& faults) : faults_(faults), flash_(32768, 0xFF) {}

  // The port's side: each open is at a rate, and closes the line before.
  std::uint32_t rate = 0;
  Bytes written;  // everything the flasher sent, in order
  std::vector<std::string> lines;
  std::uint64_t clock_ms = 0;

  bool write(const std::uint8_t* data, std::size_t size) override {
    written.insert(written.end(), data, data + size);
    for (std::size_t i = 0; i < size; ++i) {
      take(data[i]);
    }
    return true;
  }
  Read read(std::uint8_t& byte, std::uint32_t milliseconds) override {
    if (faults_.endless && answers_.empty()) {
      clock_ms += 5;
      if (clock_ms > 120000) {
        return Read::gone;  // a flasher that never ends: cut off, not hung
      }
      answers_.insert(answers_.end(), faults_.sketch.begin(), faults_.sketch.end());
    }
    if (answers_.empty()) {
      clock_ms += milliseconds;
      return Read::timed_out;
    }
    byte = answers_.front();
    answers_.pop_front();
    return Read::got;
  }
  void discard_input() override { answers_.clear(); }
  bool switch_lines(bool asserted) override {
    lines.push_back(asserted ? "assert" : "release");
    if (!faults_.lines) {
      return false;
    }
    if (asserted) {
      reset();
    }
    return true;
  }
  void pause(std::uint32_t milliseconds) override {
    clock_ms += milliseconds;
    lines.push_back("pause " + std::to_string(milliseconds));
  }
  void opened() {
    if (!faults_.lines) {
      reset();  // it resets when its port opens
    }
  }

  const Bytes& flash() const { return flash_; }
  int pages_written = 0;

 private:
  void reset() {
    command_.clear();
    if (++resets_ == faults_.another_from_reset) {
      faults_.signature = {0x1E, 0x95, 0x14};  // an ATmega328 (no P) behind the same path
    }
    in_bootloader_ = faults_.sketch.empty() && faults_.resets_unanswered-- <= 0;
  }
  void answer(const Bytes& bytes) {
    if (rate != faults_.rate) {
      for (const std::uint8_t byte : bytes) {
        answers_.push_back(static_cast<std::uint8_t>(~byte));  // noise at the wrong rate
      }
      return;
    }
    answers_.insert(answers_.end(), bytes.begin(), bytes.end());
  }
  void take(std::uint8_t byte) {
    if (!faults_.sketch.empty()) {
      answers_.insert(answers_.end(), faults_.sketch.begin(), faults_.sketch.end());
      return;
    }
    if (!in_bootloader_ || rate != faults_.rate) {
      return;
    }
    if (faults_.dead_from_page >= 0 && page_now() >= faults_.dead_from_page && !command_.empty() &&
        command_[0] == stk::PROG_PAGE) {
      in_bootloader_ = false;
      return;
    }
    if (!command_.empty() && command_[0] == stk::PROG_PAGE && command_.size() == 40 &&
        page_now() == faults_.lose_byte_of_page && !lost_) {
      lost_ = true;
      return;  // a byte the line dropped
    }
    command_.push_back(byte);
    const std::size_t length = command_[0] == stk::LOAD_ADDRESS ? 4
                               : command_[0] == stk::PROG_PAGE  ? 4 + 128 + 1
                               : command_[0] == stk::READ_PAGE  ? 5
                                                                : 2;
    if (command_.size() < length) {
      return;
    }
    Bytes command;
    command.swap(command_);
    if (command.back() != stk::CRC_EOP) {
      // Out of step: Optiboot lets its watchdog reset the chip, which then starts the sketch.
      in_bootloader_ = false;
      return;
    }
    switch (command[0]) {
      case stk::LOAD_ADDRESS:
        address_ = static_cast<std::size_t>(command[1] | command[2] << 8) * 2;
        answer({stk::INSYNC, stk::OK});
        break;
      case stk::PROG_PAGE:
        if (page_now() == faults_.nosync_on_page && !refused_) {
          refused_ = true;
          answer({stk::NOSYNC});
          break;
        }
        for (std::size_t i = 0; i < 128; ++i) {
          flash_[address_ + i] = command[4 + i];
        }
        ++pages_written;
        answer({stk::INSYNC, stk::OK});
        break;
      case stk::READ_PAGE: {
        Bytes reply = {stk::INSYNC};
        reply.insert(reply.end(), flash_.begin() + static_cast<std::ptrdiff_t>(address_),
                     flash_.begin() + static_cast<std::ptrdiff_t>(address_ + 128));
        reply.push_back(stk::OK);
        answer(reply);
        break;
      }
      case stk::READ_SIGN:
        answer({stk::INSYNC, faults_.signature[0], faults_.signature[1], faults_.signature[2],
                stk::OK});
        break;
      default:  // GET_SYNC, ENTER_PROGMODE, LEAVE_PROGMODE
        answer({stk::INSYNC, stk::OK});
        break;
    }
  }
  int page_now() const { return static_cast<int>(address_ / 128); }

  Faults faults_;
  Bytes flash_;
  Bytes command_;
  std::deque<std::uint8_t> answers_;
  std::size_t address_ = 0;
  bool in_bootloader_ = false;
  bool lost_ = false;
  bool refused_ = false;
  int resets_ = 0;
};

// The port to the scripted board: every open hands out a line to the same board.
class ScriptedPort : public Port {
 public:
  explicit ScriptedPort(ScriptedBoard& board) : board_(board) {}
  std::unique_ptr<Line> open(std::uint32_t baud, OpenProblem& problem) override {
    problem = OpenProblem::none;
    board_.rate = baud;
    ++opens;
    board_.opened();
    return std::make_unique<Forward>(board_);
  }
  std::uint64_t now_ms() override { return board_.clock_ms; }
  const std::string& name() const override { return name_; }
  int opens = 0;

 private:
  struct Forward : Line {
    explicit Forward(ScriptedBoard& to) : board(to) {}
    bool write(const std::uint8_t* d, std::size_t n) override { return board.write(d, n); }
    Read read(std::uint8_t& b, std::uint32_t ms) override { return board.read(b, ms); }
    void discard_input() override { board.discard_input(); }
    bool switch_lines(bool a) override { return board.switch_lines(a); }
    void pause(std::uint32_t ms) override { board.pause(ms); }
    ScriptedBoard& board;
  };
  ScriptedBoard& board_;
  std::string name_ = "COM5";
};

TEST(stk500_test, each_command_leaves_as_its_bytes_and_reads_its_whole_answer) {
  ScriptedBoard::Faults faults;
  ScriptedBoard board(faults);
  board.rate = 115200;
  board.switch_lines(true);
  Bootloader bootloader(board);
  std::uint8_t page[128];
  for (std::size_t i = 0; i < 128; ++i) {
    page[i] = static_cast<std::uint8_t>(i);
  }
  std::uint8_t signature[3] = {};
  std::uint8_t back[128] = {};
  Bytes program = {0x64, 0x00, 0x80, 0x46};
  program.insert(program.end(), page, page + 128);
  program.push_back(0x20);
  const struct {
    std::function<Answer()> call;
    Bytes sent;
  } cases[] = {
      {[&] { return bootloader.sync(200); }, {0x30, 0x20}},
      {[&] { return bootloader.read_signature(signature); }, {0x75, 0x20}},
      {[&] { return bootloader.enter_programming(); }, {0x50, 0x20}},
      {[&] { return bootloader.load_address(0x1234); }, {0x55, 0x34, 0x12, 0x20}},
      {[&] { return bootloader.program_page(page); }, program},
      {[&] { return bootloader.read_page(back); }, {0x74, 0x00, 0x80, 0x46, 0x20}},
      {[&] { return bootloader.leave_programming(); }, {0x51, 0x20}},
  };
  for (const auto& c : cases) {
    board.written.clear();
    EXPECT_EQ(c.call(), Answer::ok);
    EXPECT_EQ(board.written, c.sent);
  }
  EXPECT_EQ(Bytes(signature, signature + 3), (Bytes{0x1E, 0x95, 0x0F}));
  EXPECT_EQ(Bytes(back, back + 128), Bytes(page, page + 128));
}

Image sample_image(std::size_t size) {
  Image image;
  for (std::size_t i = 0; i < size; ++i) {
    image.bytes.push_back(static_cast<std::uint8_t>(i * 13 + 5));
  }
  return image;
}

struct Upload {
  Report report;
  ScriptedBoard board;
  int opens = 0;
};

Upload upload(const ScriptedBoard::Faults& faults, const Image& image) {
  Upload result{{}, ScriptedBoard(faults), 0};
  ScriptedPort port(result.board);
  Flasher flasher(port, {});
  result.report = flasher.write(image);
  result.opens = port.opens;
  return result;
}

TEST(flasher_test, an_upload_reaches_the_flash_in_whole_pages_whatever_the_line_does) {
  const Image image = sample_image(1000);  // 7 whole pages and a part, erased beyond it
  Bytes expected = image.bytes;
  expected.resize(std::size_t{8} * 128, 0xFF);
  ScriptedBoard::Faults plain;
  ScriptedBoard::Faults old_bootloader;
  old_bootloader.rate = 57600;
  ScriptedBoard::Faults late;
  late.resets_unanswered = 1;
  ScriptedBoard::Faults out_of_sync;
  out_of_sync.nosync_on_page = 3;
  ScriptedBoard::Faults lost_byte;
  lost_byte.lose_byte_of_page = 2;
  ScriptedBoard::Faults no_lines;
  no_lines.lines = false;
  const struct {
    const char* what;
    ScriptedBoard::Faults faults;
    std::uint32_t baud;
    const char* bootloader;
  } cases[] = {
      {"Optiboot", plain, 115200, "Optiboot"},
      {"ATmegaBOOT after 115200 failed", old_bootloader, 57600, "ATmegaBOOT"},
      {"a reset the board missed", late, 115200, "Optiboot"},
      {"a page answered out of sync", out_of_sync, 115200, "Optiboot"},
      {"a byte lost mid-page", lost_byte, 115200, "Optiboot"},
      {"a port without DTR, reopened", no_lines, 115200, "Optiboot"},
  };
  for (const auto& c : cases) {
    const Upload done = upload(c.faults, image);
    EXPECT_EQ(done.report.outcome, Outcome::done) << c.what << ": " << done.report.message;
    EXPECT_EQ(done.report.baud, c.baud) << c.what;
    EXPECT_EQ(done.report.bootloader, c.bootloader) << c.what;
    EXPECT_EQ(done.report.pages, 8u) << c.what;
    EXPECT_EQ(
        Bytes(done.board.flash().begin(), done.board.flash().begin() + std::ptrdiff_t{8} * 128),
        expected)
        << c.what;
  }
}

TEST(flasher_test, resets_the_board_as_its_auto_reset_expects) {
  const Upload done = upload({}, sample_image(128));
  ASSERT_GE(done.board.lines.size(), 6u);
  EXPECT_EQ(Bytes(done.board.written.begin(), done.board.written.begin() + 2), (Bytes{0x30, 0x20}));
  const std::vector<std::string> reset(done.board.lines.begin(), done.board.lines.begin() + 6);
  EXPECT_EQ(reset, (std::vector<std::string>{"release", "release", "pause 250", "assert",
                                             "pause 50", "release"}));
}

TEST(flasher_test, refuses_before_writing_and_says_why) {
  ScriptedBoard::Faults atmega168;
  atmega168.signature = {0x1E, 0x94, 0x06};
  ScriptedBoard::Faults sketch;
  sketch.sketch = "temp=21.5\r\n";
  ScriptedBoard::Faults silent;
  silent.resets_unanswered = 1000;
  ScriptedBoard::Faults old_bootloader;
  old_bootloader.rate = 57600;
  ScriptedBoard::Faults silent_without_lines = silent;
  silent_without_lines.lines = false;
  ScriptedBoard::Faults printing = sketch;
  printing.endless = true;
  ScriptedBoard::Faults printing_without_lines = printing;
  printing_without_lines.lines = false;
  const struct {
    const char* what;
    ScriptedBoard::Faults faults;
    std::size_t size;
    Outcome outcome;
    const char* says;
  } cases[] = {
      {"another chip", atmega168, 256, Outcome::wrong_chip,
       "The board's chip is an ATmega168 (signature 1E 94 06), not the ATmega328P"},
      {"a sketch", sketch, 256, Outcome::sketch_talking, "answers with text (\"temp=21.5"},
      {"no bootloader", silent, 256, Outcome::no_bootloader,
       "No bootloader answered on COM5 at 115200 or 57600 baud"},
      {"too large for ATmegaBOOT", old_bootloader, 30721, Outcome::too_large,
       "The firmware is 30721 bytes; the ATmegaBOOT bootloader leaves 30720 for it"},
      {"no bootloader, nothing to reset it", silent_without_lines, 256, Outcome::no_bootloader,
       "No bootloader answered"},
      {"a sketch printing without pause", printing, 256, Outcome::sketch_talking,
       "answers with text (\"temp=21.5"},
      {"a sketch printing without pause, nothing to reset it", printing_without_lines, 256,
       Outcome::sketch_talking, "answers with text (\"temp=21.5"},
  };
  for (const auto& c : cases) {
    const Upload done = upload(c.faults, sample_image(c.size));
    EXPECT_EQ(done.report.outcome, c.outcome) << c.what;
    EXPECT_NE(done.report.message.find(c.says), std::string::npos)
        << c.what << ": " << done.report.message;
    EXPECT_EQ(done.board.pages_written, 0) << c.what;
    EXPECT_LT(done.board.clock_ms, 15000u) << c.what;  // the press-reset wait, and a little
  }
}

TEST(flasher_test, a_port_without_lines_is_tried_for_the_press_of_a_reset_button) {
  ScriptedBoard::Faults faults;
  faults.lines = false;
  faults.resets_unanswered = 1000;
  Upload done = upload(faults, sample_image(128));
  EXPECT_GE(done.board.clock_ms, 10000u);
  EXPECT_LT(done.board.clock_ms, 15000u);
  EXPECT_GT(done.opens, 4);  // each open is a chance for a board that resets on it
}

TEST(flasher_test, an_upload_that_breaks_off_names_its_page_and_a_second_run_finishes) {
  ScriptedBoard::Faults faults;
  faults.dead_from_page = 5;
  ScriptedBoard board(faults);
  ScriptedPort port(board);
  const Image image = sample_image(2000);  // 16 pages
  Report report = Flasher(port, {}).write(image);
  EXPECT_EQ(report.outcome, Outcome::broke_off);
  EXPECT_EQ(report.page, 6u);
  EXPECT_EQ(report.message,
            "The board stopped answering while page 6 of 16 (flash address 0x0280) was being "
            "written. It still has its bootloader: run the same command again to finish.");
}

TEST(flasher_test, a_board_that_answers_otherwise_after_a_reset_gets_nothing_more) {
  // Page 3 falls out of step, Optiboot's watchdog starts the sketch, and the reset that brings
  // a bootloader back finds another board behind the path.
  ScriptedBoard::Faults faults;
  faults.lose_byte_of_page = 2;
  faults.another_from_reset = 2;
  const Upload done = upload(faults, sample_image(1000));
  EXPECT_EQ(done.report.outcome, Outcome::wrong_chip);
  EXPECT_NE(
      done.report.message.find("not the one this began with (signature 1E 95 14, not 1E 95 0F)"),
      std::string::npos)
      << done.report.message;
  EXPECT_EQ(done.board.pages_written, 2);  // pages 1 and 2, before the reset
}

TEST(flasher_test, verify_and_read_write_nothing) {
  ScriptedBoard board({});
  ScriptedPort port(board);
  const Image image = sample_image(300);
  ASSERT_EQ(Flasher(port, {}).write(image).outcome, Outcome::done);
  const int written = board.pages_written;
  EXPECT_EQ(Flasher(port, {}).verify(image).outcome, Outcome::done);
  Image other = image;
  other.bytes[200] ^= 1;
  const Report differs = Flasher(port, {}).verify(other);
  EXPECT_EQ(differs.outcome, Outcome::differs);
  EXPECT_EQ(differs.page, 2u);
  const Report read = Flasher(port, {}).read();
  EXPECT_EQ(read.flash.size(), 32256u);
  EXPECT_EQ(Bytes(read.flash.begin(), read.flash.begin() + 300), image.bytes);
  EXPECT_EQ(board.pages_written, written);
}

TEST(flasher_test, a_port_the_system_says_is_in_use_is_named_as_held) {
  // Windows refuses a second opener of a COM port (ERROR_ACCESS_DENIED), Linux's lock says
  // EBUSY: the os layer's "held", whatever the system.
  vontrel::fake_os::reset();
  vontrel::fake_os::state().open_fails = true;
  vontrel::fake_os::state().open_error = vontrel::os::open_error::held;
  SerialPort port("COM5");
  const Report report = Flasher(port, {}).write(sample_image(128));
  vontrel::fake_os::reset();
  EXPECT_EQ(report.outcome, Outcome::port_held);
  const std::string said = port_message(report.outcome, "COM5", report.baud);
  EXPECT_EQ(said.rfind("COM5 is held by another program: close it and try again (the game with "
                       "Vontrel loaded, the Arduino IDE's serial monitor, a cockpit tool",
                       0),
            0u)
      << said;
}

TEST(flasher_test, no_board_found_says_what_to_do) {
  const std::string said = no_match_advice("No serial port matches auto");
  EXPECT_EQ(said.rfind("No serial port matches auto: is the board plugged in? ", 0), 0u) << said;
#ifdef _WIN32
  EXPECT_NE(said.find("list-ports.cmd"), std::string::npos) << said;
  EXPECT_NE(said.find("CH340"), std::string::npos) << said;
  EXPECT_NE(said.find("flash-cluster.cmd --port COM5"), std::string::npos) << said;
#else
  EXPECT_NE(said.find("--list-ports"), std::string::npos) << said;
  EXPECT_NE(said.find("--port /dev/ttyUSB0"), std::string::npos) << said;
#endif
  // Several matches are named already, with what tells them apart.
  EXPECT_EQ(no_match_advice("Several serial ports match auto: COM3, COM4"),
            "Several serial ports match auto: COM3, COM4");
}

}  // namespace
