// The Arduino bootloaders' side of STK500 version 1: the few commands Optiboot (Uno, new Nano,
// 115200 baud) and ATmegaBOOT (old-bootloader Nano clones, 57600) answer, and nothing more.
// Every command ends with CRC_EOP (0x20); the bootloader answers STK_INSYNC (0x14), any data,
// then STK_OK (0x10). Pages are 128 bytes at word addresses, as an ATmega328P's flash has them.
#ifndef VONTREL_TOOLS_FLASH_STK500_H
#define VONTREL_TOOLS_FLASH_STK500_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vontrel::flash {

// The serial line to the board, as the protocol needs it; the real one is over the os layer,
// the tests' is scripted.
class Line {
 public:
  virtual ~Line() = default;
  // False when the line is gone (a board unplugged).
  virtual bool write(const std::uint8_t* data, std::size_t size) = 0;
  enum class Read { got, timed_out, gone };
  virtual Read read(std::uint8_t& byte, std::uint32_t milliseconds) = 0;
  // Drops whatever has come in and nobody read.
  virtual void discard_input() = 0;
  // DTR and RTS together (true: asserted); false when the line has no lines to switch.
  virtual bool switch_lines(bool asserted) = 0;
  virtual void pause(std::uint32_t milliseconds) = 0;
};

namespace stk {
constexpr std::uint8_t GET_SYNC = 0x30;
constexpr std::uint8_t ENTER_PROGMODE = 0x50;
constexpr std::uint8_t LEAVE_PROGMODE = 0x51;
constexpr std::uint8_t LOAD_ADDRESS = 0x55;
constexpr std::uint8_t PROG_PAGE = 0x64;
constexpr std::uint8_t READ_PAGE = 0x74;
constexpr std::uint8_t READ_SIGN = 0x75;
constexpr std::uint8_t CRC_EOP = 0x20;
constexpr std::uint8_t INSYNC = 0x14;
constexpr std::uint8_t OK = 0x10;
constexpr std::uint8_t FAILED = 0x11;
constexpr std::uint8_t NOSYNC = 0x15;
constexpr std::uint8_t MEMORY_FLASH = 'F';
}  // namespace stk

constexpr std::size_t PAGE_BYTES = 128;

enum class Answer {
  ok,
  no_answer,    // nothing within the wait
  out_of_sync,  // something other than the answer's frame: a lost byte, a sketch, line noise
  failed,       // the bootloader answered STK_FAILED
  gone,         // the line itself failed
};

// One bootloader session over a line. Each call sends one command and reads its whole answer.
class Bootloader {
 public:
  explicit Bootloader(Line& line, std::uint32_t answer_ms = 1000) : line_(line), wait_(answer_ms) {}

  Answer sync(std::uint32_t wait_ms);
  Answer read_signature(std::uint8_t signature[3]);
  Answer enter_programming();
  Answer leave_programming();
  // `word` is the flash address in 16-bit words, as the bootloaders take it.
  Answer load_address(std::uint16_t word);
  Answer program_page(const std::uint8_t* page);  // PAGE_BYTES
  Answer read_page(std::uint8_t* page);           // PAGE_BYTES

  // Bytes that came when an answer was due and were no part of one, the first 64: what a
  // sketch prints, or noise at the wrong rate.
  const std::vector<std::uint8_t>& stray() const { return stray_; }
  void forget_stray() { stray_.clear(); }

 private:
  Answer exchange(const std::vector<std::uint8_t>& command, std::uint8_t* data, std::size_t size,
                  std::uint32_t wait_ms);
  void keep_stray(std::uint8_t byte);

  Line& line_;
  std::uint32_t wait_;
  std::vector<std::uint8_t> stray_;
};

}  // namespace vontrel::flash

#endif  // VONTREL_TOOLS_FLASH_STK500_H
