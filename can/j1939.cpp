#include "can/j1939.h"

namespace vontrel::can {

namespace {

struct Unit {
  std::uint8_t address;
  std::uint8_t function;
  std::uint8_t instance;  // the function's: engine #2 is the second engine
};
// J1939's preferred addresses and the NAME function of the unit at each.
constexpr Unit UNITS[] = {{0x00, 0, 0},  {0x01, 0, 1},  {0x03, 3, 0},  {0x04, 3, 1},  {0x0B, 9, 0},
                          {0x0F, 12, 0}, {0x10, 13, 0}, {0x11, 14, 0}, {0x17, 19, 0}, {0x18, 20, 0},
                          {0x21, 26, 0}, {0x30, 36, 0}, {0xEE, 20, 0}};

struct Function {
  std::uint8_t code;
  const char* name;
};
constexpr Function FUNCTIONS[] = {{0, "engine"},
                                  {3, "transmission"},
                                  {9, "brakes"},
                                  {12, "engine retarder"},
                                  {13, "driveline retarder"},
                                  {14, "cruise control"},
                                  {19, "instrument cluster"},
                                  {20, "trip recorder"},
                                  {26, "body controller"},
                                  {36, "pneumatic system controller"}};

constexpr std::uint64_t INDUSTRY_GROUP = 1;
constexpr std::uint8_t NO_FUNCTION = 255;

}  // namespace

std::uint32_t pgn_of(std::uint32_t id) noexcept {
  std::uint32_t pgn = (id >> 8) & 0x3FFFF;
  if (((pgn >> 8) & 0xFF) < 240) {
    pgn &= 0x3FF00;
  }
  return pgn;
}

std::uint64_t name_for(std::uint8_t address) noexcept {
  std::uint64_t function = NO_FUNCTION;
  std::uint64_t instance = 0;
  for (const Unit& unit : UNITS) {
    if (unit.address == address) {
      function = unit.function;
      instance = unit.instance;
    }
  }
  // Identity number in bits 0-20, manufacturer code 21-31 (0), ECU instance 32-34 (0),
  // function instance 35-39, function 40-47, vehicle system 49-55 (0), its instance 56-59
  // (0), industry group 60-62, arbitrary-address capable 63 (0).
  return std::uint64_t{address} | instance << 35 | function << 40 | INDUSTRY_GROUP << 60;
}

Data name_bytes(std::uint64_t name) noexcept {
  Data bytes{};
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(name >> (8 * i));
  }
  return bytes;
}

std::uint64_t name_of(const Data& bytes) noexcept {
  std::uint64_t name = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    name |= std::uint64_t{bytes[i]} << (8 * i);
  }
  return name;
}

const char* function_name(std::uint8_t function) noexcept {
  for (const Function& known : FUNCTIONS) {
    if (known.code == function) {
      return known.name;
    }
  }
  return nullptr;
}

}  // namespace vontrel::can
