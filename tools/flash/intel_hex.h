// Intel hex, as avr-objcopy writes a firmware and as the Arduino tools pass it around: records of
// ":" length, address, type, data and checksum, two hex digits a byte. Read strictly, since a
// wrong byte here ends up in a player's flash: every checksum, record type and address is held
// to the format before anything is sent to a board.
#ifndef VONTREL_TOOLS_FLASH_INTEL_HEX_H
#define VONTREL_TOOLS_FLASH_INTEL_HEX_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vontrel::flash {

// A program image from address 0: unwritten bytes are 0xFF, as an erased flash reads.
struct Image {
  std::vector<std::uint8_t> bytes;
};

// The image in `text`, or empty with `why` naming the line and what is wrong with it. Images
// reach at most `limit` bytes; a record beyond it is refused as not meant for this chip.
bool parse_hex(const std::string& text, Image& image, std::string& why,
               std::size_t limit = 0x10000);

// No hex file for a 32 KiB chip comes near this (16-byte records make about 92 KB of it; 8-byte
// ones about 119 KB).
constexpr std::size_t MAX_HEX_FILE_BYTES = std::size_t{128} * 1024;

enum class HexFile : std::uint8_t { read, unreadable, too_large };

// The text of the firmware file at `path`: only a plain file, and never more than
// MAX_HEX_FILE_BYTES of it (a device such as /dev/zero, or a pipe, would be read for ever).
HexFile read_hex_file(const std::string& path, std::string& text, std::string& why);

// `bytes` from address 0 as Intel hex: 16 data bytes a record, then the end record. Trailing
// erased bytes (0xFF) are left out, as a fresh chip holds them anyway.
std::string to_hex(const std::vector<std::uint8_t>& bytes);

}  // namespace vontrel::flash

#endif  // VONTREL_TOOLS_FLASH_INTEL_HEX_H
