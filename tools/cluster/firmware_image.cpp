#include "tools/cluster/firmware_image.h"

#include <elf.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace vontrel::cluster {

namespace {

constexpr std::uint32_t AVR_DATA_OFFSET = 0x800000;  // how the AVR linker tells RAM apart
// The ATmega328P's internal RAM, which the health record must lie in.
constexpr std::uint32_t RAM_START = 0x100;
constexpr std::uint32_t RAM_END = 0x8FF;
constexpr std::uint32_t FLASH_SIZE = 0x8000;
constexpr int MOST_POINTS = 16;
constexpr std::size_t POINT_BYTES = 6;
constexpr std::uint32_t DIAL_BYTES = 1 + MOST_POINTS * POINT_BYTES;

bool within(const std::vector<char>& file, std::size_t offset, std::size_t size) {
  return offset <= file.size() && size <= file.size() - offset;
}

template <typename T>
bool read_at(const std::vector<char>& file, std::size_t offset, T& out) {
  if (offset > file.size() || file.size() - offset < sizeof(T)) {
    return false;
  }
  std::memcpy(&out, file.data() + offset, sizeof(T));
  return true;
}

}  // namespace

std::optional<FirmwareImage> inspect(const std::string& path, std::string& why) {
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) {
    why = "the firmware " + path + " is a directory (an .elf built by the avr preset is expected)";
    return std::nullopt;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    why = "cannot open the firmware " + path;
    return std::nullopt;
  }
  const std::vector<char> file((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
  Elf32_Ehdr header{};
  if (!read_at(file, 0, header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
      header.e_ident[EI_CLASS] != ELFCLASS32 || header.e_machine != EM_AVR) {
    why = path + " is no AVR firmware (an .elf built by the avr preset is expected)";
    return std::nullopt;
  }
  static constexpr const char* DIAL_NAMES[DIALS] = {"vontrel_speed_dial", "vontrel_rpm_dial",
                                                    "vontrel_fuel_dial", "vontrel_water_dial"};
  FirmwareImage image;
  bool found = false;
  for (std::size_t i = 0; i < header.e_shnum; ++i) {
    Elf32_Shdr symbols{};
    if (!read_at(file, header.e_shoff + i * header.e_shentsize, symbols)) {
      break;
    }
    if (symbols.sh_type != SHT_SYMTAB || symbols.sh_entsize != sizeof(Elf32_Sym) ||
        !within(file, symbols.sh_offset, symbols.sh_size)) {
      continue;
    }
    Elf32_Shdr names{};
    if (!read_at(file, header.e_shoff + symbols.sh_link * header.e_shentsize, names) ||
        !within(file, names.sh_offset, names.sh_size)) {
      break;
    }
    for (std::size_t s = 0; s < symbols.sh_size / sizeof(Elf32_Sym); ++s) {
      Elf32_Sym symbol{};
      if (!read_at(file, symbols.sh_offset + s * sizeof(Elf32_Sym), symbol) ||
          symbol.st_name >= names.sh_size) {
        continue;
      }
      const char* name = file.data() + names.sh_offset + symbol.st_name;
      const std::size_t room = names.sh_size - symbol.st_name;
      if (strnlen(name, room) == room) {
        continue;
      }
      if (std::strcmp(name, "vontrel_health") == 0) {
        // The simulator reads the record straight out of the chip's RAM.
        if (symbol.st_value < AVR_DATA_OFFSET + RAM_START ||
            symbol.st_value + health::SIZE - 1 > AVR_DATA_OFFSET + RAM_END) {
          why = path + " places its health record outside the ATmega328P's RAM";
          return std::nullopt;
        }
        image.health = static_cast<std::uint16_t>(symbol.st_value - AVR_DATA_OFFSET);
        found = true;
      }
      for (int dial = 0; dial < DIALS; ++dial) {
        // A table lies in the program's flash; one said to lie elsewhere is not read.
        if (std::strcmp(name, DIAL_NAMES[dial]) == 0 &&
            symbol.st_value + DIAL_BYTES <= FLASH_SIZE) {
          image.dials[dial] = static_cast<std::uint16_t>(symbol.st_value);
        }
      }
    }
  }
  if (!found) {
    why = path + " is an AVR firmware but not Vontrel's cluster firmware (no vontrel_health)";
    return std::nullopt;
  }
  for (const auto& dial : image.dials) {
    if (!dial) {
      why = path +
            " is a Vontrel cluster firmware without its dials' tables (built from an "
            "older source?)";
      return std::nullopt;
    }
  }
  return image;
}

std::optional<DialTable> parse_dial(const std::uint8_t* bytes) {
  const int count = bytes[0];
  if (count == 0 || count > MOST_POINTS) {
    return std::nullopt;
  }
  DialTable table;
  for (std::size_t i = 0; i < static_cast<std::size_t>(count); ++i) {
    const std::uint8_t* point = bytes + 1 + i * POINT_BYTES;
    const auto at = static_cast<std::int32_t>(
        static_cast<std::uint32_t>(point[0]) | static_cast<std::uint32_t>(point[1]) << 8 |
        static_cast<std::uint32_t>(point[2]) << 16 | static_cast<std::uint32_t>(point[3]) << 24);
    const int position = point[4] | point[5] << 8;
    table.points.emplace_back(at, position);
  }
  return table;
}

double DialTable::value_at(double position) const {
  for (std::size_t i = 1; i < points.size(); ++i) {
    const auto [from, from_position] = points[i - 1];
    const auto [to, to_position] = points[i];
    if (std::min(from_position, to_position) <= position &&
        position <= std::max(from_position, to_position)) {
      return from_position == to_position
                 ? from
                 : from + (position - from_position) * (to - from) / (to_position - from_position);
    }
  }
  // Beyond every segment: the end point whose position is nearest.
  const auto nearest = std::min_element(points.begin(), points.end(), [&](auto a, auto b) {
    return std::abs(a.second - position) < std::abs(b.second - position);
  });
  return nearest->first;
}

}  // namespace vontrel::cluster
