// The wire format shared by every frame: envelope, lengths, ids and the cycle's timing.
#ifndef VONTREL_DASHBOARD_FRAME_FORMAT_H
#define VONTREL_DASHBOARD_FRAME_FORMAT_H

#include <array>
#include <cstddef>
#include <cstdint>

namespace vontrel {

inline constexpr std::size_t FRAME_BUFFER_SIZE = 720;
inline constexpr std::uint32_t FRAME_LENGTH = 11;        // 0xFF 0x04 id + eight payload bytes
inline constexpr std::uint32_t RESET_FRAME_LENGTH = 16;  // 0xFF 0x04 + fourteen zero bytes
inline constexpr std::uint32_t SEND_INTERVAL_MS = 50;

inline constexpr std::uint8_t FRAME_START = 0xFF;
inline constexpr std::uint8_t FRAME_MARKER = 0x04;

inline constexpr std::uint8_t FRAME_ID_CLOCK = 0x10;
inline constexpr std::uint8_t FRAME_ID_STATUS = 0x20;
inline constexpr std::uint8_t FRAME_ID_ENGINE = 0x30;
inline constexpr std::uint8_t FRAME_ID_BLANK = 0x31;
inline constexpr std::uint8_t FRAME_ID_SPEED = 0x40;
inline constexpr std::uint8_t FRAME_ID_LIGHT = 0x50;
inline constexpr std::uint8_t FRAME_ID_DEBUG = 0x99;

// Clears the cluster: sent at start-up, at shut-down and whenever a lost port comes back.
inline constexpr std::array<std::uint8_t, RESET_FRAME_LENGTH> RESET_FRAME = {FRAME_START,
                                                                             FRAME_MARKER};

// The order in which every cycle sends its frames.
inline constexpr std::uint8_t CYCLE_FRAME_IDS[] = {
    FRAME_ID_CLOCK, FRAME_ID_STATUS, FRAME_ID_ENGINE, FRAME_ID_BLANK,
    FRAME_ID_SPEED, FRAME_ID_LIGHT,  FRAME_ID_DEBUG,
};
inline constexpr std::size_t FRAMES_PER_CYCLE = sizeof(CYCLE_FRAME_IDS);
inline constexpr std::size_t CYCLE_LENGTH = FRAMES_PER_CYCLE * FRAME_LENGTH;

}  // namespace vontrel

#endif  // VONTREL_DASHBOARD_FRAME_FORMAT_H
