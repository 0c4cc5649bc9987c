// J1939's network management, as far as a sender standing in for a truck's units needs it:
// the parameter group of an identifier, and the address claim each unit sends before its
// messages. A cluster that checks for its engine at power-up looks for the engine's claim.
#ifndef VONTREL_CAN_J1939_H
#define VONTREL_CAN_J1939_H

#include <cstdint>

#include "can/encoder.h"

namespace vontrel::can {

inline constexpr std::uint32_t PGN_REQUEST = 59904;          // 0xEA00, to an address or all
inline constexpr std::uint32_t PGN_ADDRESS_CLAIMED = 60928;  // 0xEE00
inline constexpr std::uint8_t NULL_ADDRESS = 0xFE;           // "cannot claim"
inline constexpr std::uint8_t GLOBAL_ADDRESS = 0xFF;         // every unit

// The parameter group of a 29-bit identifier: below 240 the group's low byte is its
// destination, no part of the group.
std::uint32_t pgn_of(std::uint32_t id) noexcept;

// The address claim from `address`: priority 6, to every unit.
constexpr std::uint32_t address_claim_id(std::uint8_t address) noexcept {
  return 0x18EEFF00u | address;
}

// The NAME we claim `address` with: not arbitrary-address capable, industry group 1
// (on-highway), vehicle system 0, manufacturer code 0, the identity number the address itself,
// and the function of the unit J1939 prefers at that address (engine #1 and #2, transmission
// #1 and #2, brakes, retarders, cruise control, instrument cluster, trip recorder, body
// controller, pneumatic system controller; the tachograph at 0xEE as a trip recorder); 255 for
// any other address.
std::uint64_t name_for(std::uint8_t address) noexcept;

// A NAME as the claim's eight data bytes, least significant first, and back.
Data name_bytes(std::uint64_t name) noexcept;
std::uint64_t name_of(const Data& bytes) noexcept;

// The parameter group a Request (PGN 59904) asks for: its first three data bytes.
constexpr std::uint32_t requested_pgn(const Data& bytes) noexcept {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2] & 0x03) << 16;
}

// The function of a NAME, and what it is in words; nullptr for one this table does not know.
constexpr std::uint8_t function_of(std::uint64_t name) noexcept {
  return static_cast<std::uint8_t>(name >> 40);
}
const char* function_name(std::uint8_t function) noexcept;

}  // namespace vontrel::can

#endif  // VONTREL_CAN_J1939_H
