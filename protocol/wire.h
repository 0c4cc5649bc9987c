// The wire between the plug-in and the cluster, in one place: the envelope, the ids and
// lengths, the order of a cycle, the reset frame, the bytes every frame must hold, the lamp
// bits and the scales with their inverses. The plug-in's encoders, vontrel-monitor and the
// reference firmware all build on this file, so it is written for the smallest of them:
// C++14 for avr-g++, no standard library, nothing allocated.
#ifndef VONTREL_PROTOCOL_WIRE_H
#define VONTREL_PROTOCOL_WIRE_H

#include <stdint.h>

namespace vontrel {

constexpr uint8_t FRAME_START = 0xFF;
constexpr uint8_t FRAME_MARKER = 0x04;
constexpr uint32_t FRAME_LENGTH = 11;        // FF 04 id + eight payload bytes
constexpr uint32_t RESET_FRAME_LENGTH = 16;  // FF 04 + fourteen zero bytes

constexpr uint8_t FRAME_ID_RESET = 0x00;
constexpr uint8_t FRAME_ID_CLOCK = 0x10;
constexpr uint8_t FRAME_ID_STATUS = 0x20;
constexpr uint8_t FRAME_ID_ENGINE = 0x30;
constexpr uint8_t FRAME_ID_BLANK = 0x31;
constexpr uint8_t FRAME_ID_SPEED = 0x40;
constexpr uint8_t FRAME_ID_LIGHT = 0x50;
constexpr uint8_t FRAME_ID_DEBUG = 0x99;

// The order in which every cycle sends its frames.
constexpr uint8_t CYCLE_FRAME_IDS[] = {
    FRAME_ID_CLOCK, FRAME_ID_STATUS, FRAME_ID_ENGINE, FRAME_ID_BLANK,
    FRAME_ID_SPEED, FRAME_ID_LIGHT,  FRAME_ID_DEBUG,
};
constexpr uint32_t FRAMES_PER_CYCLE = sizeof(CYCLE_FRAME_IDS);
constexpr uint32_t CYCLE_LENGTH = FRAMES_PER_CYCLE * FRAME_LENGTH;

// Clears the cluster: sent at start-up, at shut-down and whenever a lost port comes back.
constexpr uint8_t RESET_FRAME[RESET_FRAME_LENGTH] = {FRAME_START, FRAME_MARKER};

// Status frame (0x20).
constexpr uint8_t STATUS_PARKING_BRAKE = 0x20;   // byte 3
constexpr uint8_t STATUS_LIGHTS_PARKING = 0x09;  // byte 3, else STATUS_LIGHTS_NONE
constexpr uint8_t STATUS_LIGHTS_NONE = 0x01;
constexpr uint8_t STATUS_BATTERY_WARNING = 0x08;    // byte 5
constexpr uint8_t STATUS_POWER_OFF = 0x10;          // byte 5: electrics and engine off
constexpr uint8_t STATUS_POWER_ELECTRICS = 0xC0;    // byte 5: electrics on, engine off
constexpr uint8_t STATUS_POWER_RUNNING = 0x40;      // byte 5: electrics on, engine on
constexpr uint8_t STATUS_POWER_ENGINE_ONLY = 0x00;  // byte 5: engine on without electrics
constexpr uint8_t STATUS_FUEL_WARNING = 0x02;       // byte 7
constexpr uint8_t STATUS_ELECTRICS_ON = 0x0D;       // byte 9, else STATUS_ELECTRICS_OFF
constexpr uint8_t STATUS_ELECTRICS_OFF = 0x12;
constexpr uint8_t STATUS_CRUISE_CONTROL = 0x01;  // byte 10

// Engine frame (0x30).
constexpr uint8_t ENGINE_OIL_PRESSURE = 0x80;  // byte 4
constexpr uint8_t ENGINE_AIR_PRESSURE = 0x40;  // byte 4
constexpr uint8_t ENGINE_STOPPED = 0x10;       // byte 4: electrics on, engine off
constexpr uint8_t ENGINE_WEAR = 0x10;          // byte 5: a part 15 % worn or more
constexpr uint8_t ENGINE_FIXED_7 = 0x03;       // byte 7
constexpr uint8_t ENGINE_FIXED_8 = 0xBC;       // byte 8
constexpr uint8_t SPEED_FIXED_6 = 0x25;        // speed frame byte 6

// Light frame (0x50).
constexpr uint8_t LIGHT_HIGH_BEAM = 0x10;      // byte 4
constexpr uint8_t LIGHT_PARKING = 0x60;        // byte 4
constexpr uint8_t LIGHT_RIGHT_BLINKER = 0x20;  // byte 5
constexpr uint8_t LIGHT_LEFT_BLINKER = 0x40;   // byte 5

// Debug frame (0x99), byte 3.
constexpr uint8_t DEBUG_ON = 0x01;

// Scales, as the plug-in multiplies by them.
constexpr double SPEED_SCALE = 9.4;          // speed value per km/h
constexpr double RPM_SCALE = 0.032;          // rpm byte per rpm
constexpr double WATER_SCALE = 0.75;         // gauge steps per degree
constexpr double WATER_ORIGIN_C = 30.0;      // the degrees at which the gauge reads...
constexpr double WATER_ORIGIN_GAUGE = 75.0;  // ...this

// The plug-in sends speed as trunc(|km/h| x 9.4) in 16 bits, rpm as trunc(rpm x 0.032)
// and the water gauge as trunc((whole degrees - 30) x 0.75 + 75), each in its low bits. The
// inverses below are what a cluster shows.
constexpr uint16_t speed_kmh_tenths(uint16_t speed_value) {
  return static_cast<uint16_t>(static_cast<uint32_t>(speed_value) * 100u / 94u);
}
constexpr uint16_t engine_rpm(uint8_t rpm_byte) {
  return static_cast<uint16_t>(rpm_byte * 125u / 4u);  // / 0.032
}
constexpr int16_t water_celsius(uint8_t gauge) {
  return static_cast<int16_t>(30 + (static_cast<int16_t>(gauge) - 75) * 4 / 3);
}

// A packed BCD byte as the plug-in writes it (the tens nibble runs up to 14, so 0xA0 is 100);
// -1 when it is no BCD byte.
constexpr int16_t from_bcd(uint8_t value) {
  return (value & 0x0F) > 9 ? static_cast<int16_t>(-1)
                            : static_cast<int16_t>((value >> 4) * 10 + (value & 0x0F));
}

bool is_cycle_frame_id(uint8_t id);

// Why a run of bytes formed no frame. A frame of a cycle id that does not hold the bytes every
// such frame must hold (fixed bytes, valid BCD, zero padding) is torn: bytes were lost on the
// way and the next frame's header fell into it.
enum class Torn : uint8_t {
  none,
  between_frames,  // bytes before the next FF 04
  stream_ended,    // the stream ended inside a frame
  reset_not_zero,
  clock,
  status,
  engine,
  blank,
  speed,
  light,
  debug,
};

// Torn::none when the frame (of a cycle id) is well formed, else which frame it failed as.
Torn frame_malformation(const uint8_t* frame);

// For tools: what a Torn says, in words (protocol/names.cpp; the firmware keeps its RAM).
const char* torn_reason(Torn torn);

}  // namespace vontrel

#endif  // VONTREL_PROTOCOL_WIRE_H
