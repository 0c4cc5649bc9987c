#include "tools/flash/intel_hex.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "os/os.h"

namespace vontrel::flash {

namespace {

int nibble(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  return -1;
}

std::string at_line(int number, const std::string& what) {
  return "line " + std::to_string(number) + ": " + what;
}

}  // namespace

bool parse_hex(const std::string& text, Image& image, std::string& why, std::size_t limit) {
  image.bytes.clear();
  std::uint32_t base = 0;  // from extended segment (02) or linear (04) address records
  bool ended = false;
  bool any = false;
  int number = 0;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      end = text.size();
    }
    std::string line = text.substr(start, end - start);
    start = end + 1;
    ++number;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
      line.pop_back();
    }
    if (line.empty()) {
      continue;
    }
    if (ended) {
      why = at_line(number, "a record after the end record");
      return false;
    }
    if (line[0] != ':' || line.size() < 11 || line.size() % 2 == 0) {
      why = at_line(number, "not an Intel hex record");
      return false;
    }
    std::vector<std::uint8_t> record;
    for (std::size_t i = 1; i + 1 < line.size(); i += 2) {
      const int high = nibble(line[i]);
      const int low = nibble(line[i + 1]);
      if (high < 0 || low < 0) {
        why = at_line(number, "not an Intel hex record");
        return false;
      }
      record.push_back(static_cast<std::uint8_t>(high << 4 | low));
    }
    const std::size_t length = record[0];
    if (record.size() != length + 5) {
      why = at_line(number, "the record's length says " + std::to_string(length) +
                                " bytes, it holds " + std::to_string(record.size() - 5));
      return false;
    }
    unsigned sum = 0;
    for (const std::uint8_t byte : record) {
      sum += byte;
    }
    if ((sum & 0xFFu) != 0) {
      why = at_line(number, "bad checksum");
      return false;
    }
    const std::uint32_t address = static_cast<std::uint32_t>(record[1] << 8 | record[2]);
    const std::uint8_t type = record[3];
    const std::uint8_t* data = record.data() + 4;
    switch (type) {
      case 0x00: {
        // Summed in 64 bits: a base near the top of the 32-bit range must not wrap a record's
        // bytes round to the bottom of the chip.
        const std::uint64_t at = std::uint64_t{base} + address;
        if (at + length > limit) {
          char where[64];
          std::snprintf(where, sizeof where, "data at 0x%llX, beyond the chip's 0x%X bytes",
                        static_cast<unsigned long long>(at + length - 1),
                        static_cast<unsigned>(limit));
          why = at_line(number, where);
          return false;
        }
        const auto first = static_cast<std::size_t>(at);  // within the chip, so it fits
        if (image.bytes.size() < first + length) {
          image.bytes.resize(first + length, 0xFF);
        }
        for (std::size_t i = 0; i < length; ++i) {
          image.bytes[first + i] = data[i];
        }
        any = any || length > 0;
        break;
      }
      case 0x01:
        ended = true;
        break;
      case 0x02:
      case 0x04:
        if (length != 2) {
          why = at_line(number, "an address record of " + std::to_string(length) + " bytes");
          return false;
        }
        base = static_cast<std::uint32_t>(data[0] << 8 | data[1]) << (type == 0x02 ? 4 : 16);
        break;
      case 0x03:
      case 0x05:
        break;  // a start address: a reset on the chip starts where it starts
      default:
        why = at_line(number, "unknown record type " + std::to_string(type));
        return false;
    }
  }
  if (!ended) {
    why = number == 0 ? "empty" : "the end record is missing";
    return false;
  }
  if (!any) {
    why = "holds no data";
    return false;
  }
  return true;
}

std::string to_hex(const std::vector<std::uint8_t>& bytes) {
  std::size_t size = bytes.size();
  while (size > 0 && bytes[size - 1] == 0xFF) {
    --size;
  }
  std::string text;
  char record[64];
  for (std::size_t at = 0; at < size; at += 16) {
    const std::size_t length = size - at < 16 ? size - at : 16;
    unsigned sum = static_cast<unsigned>(length + (at >> 8 & 0xFF) + (at & 0xFF));
    int written = std::snprintf(record, sizeof record, ":%02X%04X00", static_cast<unsigned>(length),
                                static_cast<unsigned>(at & 0xFFFF));
    for (std::size_t i = 0; i < length; ++i) {
      written += std::snprintf(record + written, sizeof record - static_cast<std::size_t>(written),
                               "%02X", bytes[at + i]);
      sum += bytes[at + i];
    }
    std::snprintf(record + written, sizeof record - static_cast<std::size_t>(written), "%02X\n",
                  (0x100 - (sum & 0xFF)) & 0xFF);
    text += record;
  }
  text += ":00000001FF\n";
  return text;
}

HexFile read_hex_file(const std::string& path, std::string& text, std::string& why) {
  switch (os::kind_of_file(path)) {
    case os::file_kind::missing:
      why = "there is no such file";
      return HexFile::unreadable;
    case os::file_kind::directory:
      why = "it is a folder";
      return HexFile::unreadable;
    case os::file_kind::device:
    case os::file_kind::other:
      why = "it is a device or a pipe, not a file";
      return HexFile::unreadable;
    case os::file_kind::regular:
      break;
  }
  struct closer {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
  };
  std::unique_ptr<std::FILE, closer> file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    why = std::strerror(errno);
    return HexFile::unreadable;
  }
  text.clear();
  char chunk[4096];
  for (std::size_t n = 0; (n = std::fread(chunk, 1, sizeof chunk, file.get())) > 0;) {
    text.append(chunk, n);
    if (text.size() > MAX_HEX_FILE_BYTES) {
      why = "it is larger than " + std::to_string(MAX_HEX_FILE_BYTES / 1024) +
            " KiB, and no Intel hex file for a 32 KiB chip is";
      text.clear();
      return HexFile::too_large;
    }
  }
  if (std::ferror(file.get()) != 0) {
    why = "reading it failed";
    return HexFile::unreadable;
  }
  return HexFile::read;
}

}  // namespace vontrel::flash
