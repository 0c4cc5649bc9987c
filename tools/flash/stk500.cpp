#include "tools/flash/stk500.h"

namespace vontrel::flash {

namespace {

// 22 ms at 115200 baud.
constexpr int STRAY_DRAIN_BYTES = 256;

}  // namespace

void Bootloader::keep_stray(std::uint8_t byte) {
  if (stray_.size() < 64) {
    stray_.push_back(byte);
  }
}

Answer Bootloader::exchange(const std::vector<std::uint8_t>& command, std::uint8_t* data,
                            std::size_t size, std::uint32_t wait_ms) {
  if (!line_.write(command.data(), command.size())) {
    return Answer::gone;
  }
  std::uint8_t byte = 0;
  switch (line_.read(byte, wait_ms)) {
    case Line::Read::gone:
      return Answer::gone;
    case Line::Read::timed_out:
      return Answer::no_answer;
    case Line::Read::got:
      break;
  }
  if (byte != stk::INSYNC) {
    // Whatever else came with it belongs to the same stray answer, as far as a pause; but a
    // sketch that prints without pause never leaves one, so no more than a few lines of it.
    keep_stray(byte);
    for (int more = 0; more < STRAY_DRAIN_BYTES && line_.read(byte, 20) == Line::Read::got;
         ++more) {
      keep_stray(byte);
    }
    return Answer::out_of_sync;
  }
  for (std::size_t i = 0; i < size; ++i) {
    const Line::Read got = line_.read(data[i], wait_ms);
    if (got != Line::Read::got) {
      return got == Line::Read::gone ? Answer::gone : Answer::out_of_sync;
    }
  }
  const Line::Read got = line_.read(byte, wait_ms);
  if (got != Line::Read::got) {
    return got == Line::Read::gone ? Answer::gone : Answer::out_of_sync;
  }
  if (byte == stk::OK) {
    return Answer::ok;
  }
  if (byte == stk::FAILED) {
    return Answer::failed;
  }
  keep_stray(byte);
  return Answer::out_of_sync;
}

Answer Bootloader::sync(std::uint32_t wait_ms) {
  return exchange({stk::GET_SYNC, stk::CRC_EOP}, nullptr, 0, wait_ms);
}

Answer Bootloader::read_signature(std::uint8_t signature[3]) {
  return exchange({stk::READ_SIGN, stk::CRC_EOP}, signature, 3, wait_);
}

Answer Bootloader::enter_programming() {
  return exchange({stk::ENTER_PROGMODE, stk::CRC_EOP}, nullptr, 0, wait_);
}

Answer Bootloader::leave_programming() {
  return exchange({stk::LEAVE_PROGMODE, stk::CRC_EOP}, nullptr, 0, wait_);
}

Answer Bootloader::load_address(std::uint16_t word) {
  return exchange({stk::LOAD_ADDRESS, static_cast<std::uint8_t>(word & 0xFF),
                   static_cast<std::uint8_t>(word >> 8), stk::CRC_EOP},
                  nullptr, 0, wait_);
}

Answer Bootloader::program_page(const std::uint8_t* page) {
  std::vector<std::uint8_t> command = {stk::PROG_PAGE, 0, static_cast<std::uint8_t>(PAGE_BYTES),
                                       stk::MEMORY_FLASH};
  command.insert(command.end(), page, page + PAGE_BYTES);
  command.push_back(stk::CRC_EOP);
  return exchange(command, nullptr, 0, wait_);
}

Answer Bootloader::read_page(std::uint8_t* page) {
  return exchange(
      {stk::READ_PAGE, 0, static_cast<std::uint8_t>(PAGE_BYTES), stk::MEMORY_FLASH, stk::CRC_EOP},
      page, PAGE_BYTES, wait_);
}

}  // namespace vontrel::flash
