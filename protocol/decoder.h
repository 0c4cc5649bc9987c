// The reference decoder of the plug-in's byte stream, as a cluster's firmware runs it: one
// byte at a time, nothing allocated, a fixed few dozen bytes of state. It finds FF 04, takes
// the frame's length from its id, checks the bytes every frame of that id must hold, and after
// anything it cannot make sense of resynchronises on the next FF 04 (payload bytes may hold
// FF 04 too, so a header is only looked for outside a frame).
#ifndef VONTREL_PROTOCOL_DECODER_H
#define VONTREL_PROTOCOL_DECODER_H

#include <stdint.h>

#include "wire.h"

namespace vontrel {

// The lamps the frames carry, as bits of ClusterState::lamps, in the order of LAMP_NAMES.
enum Lamp : uint16_t {
  LAMP_PARKING_BRAKE = 1u << 0,
  LAMP_PARKING_LIGHTS = 1u << 1,
  LAMP_BATTERY = 1u << 2,
  LAMP_ELECTRICS = 1u << 3,
  LAMP_ENGINE_STOPPED = 1u << 4,  // electrics on with the engine off
  LAMP_FUEL = 1u << 5,
  LAMP_CRUISE_CONTROL = 1u << 6,
  LAMP_OIL_PRESSURE = 1u << 7,
  LAMP_AIR_PRESSURE = 1u << 8,
  LAMP_WEAR = 1u << 9,
  LAMP_HIGH_BEAM = 1u << 10,
  LAMP_LEFT_BLINKER = 1u << 11,
  LAMP_RIGHT_BLINKER = 1u << 12,
};
constexpr uint8_t LAMP_COUNT = 13;
// For tools (protocol/names.cpp): the firmware keeps its RAM for the wire.
extern const char* const LAMP_NAMES[LAMP_COUNT];

// What the cluster shows, as the last frames of each id left it. Cleared by a reset frame.
struct ClusterState {
  uint16_t speed_value = 0;  // km/h x 9.4; speed_kmh_tenths() turns it into a reading
  uint8_t rpm_byte = 0;      // engine_rpm() turns it into rpm
  uint8_t water_gauge = 0;   // water_celsius() turns it into degrees
  uint8_t fuel_percent = 0;
  uint16_t lamps = 0;  // Lamp bits
  uint8_t hours = 0, minutes = 0, day = 0, month = 0;
  uint8_t year = 0;  // 0 from year 150 on
  bool debug = false;
};

enum class Decoded : uint8_t {
  frame,    // a well-formed cycle frame, folded into the state
  reset,    // the reset frame: the state is cleared
  unknown,  // FF 04 and an id no cluster knows (three bytes skipped)
};

// Told of everything in the order it was decoded, for a tool that shows the stream. The
// firmware needs none: it reads the state and the counts.
class DecodeListener {
 public:
  // `bytes` hold the frame (or the three header bytes of an unknown one) for this call only.
  virtual void decoded(Decoded kind, const uint8_t* bytes, uint8_t length) = 0;
  // A byte that forms no frame; a run of them ends with run_ended, saying why.
  virtual void skipped(uint8_t byte) = 0;
  virtual void run_ended(Torn reason) = 0;

 protected:
  ~DecodeListener() = default;
};

class Decoder {
 public:
  explicit Decoder(DecodeListener* listener = nullptr) : listener_(listener) {}

  // One byte off the wire.
  void push(uint8_t byte);
  // The end of the stream: what is held is a torn frame.
  void finish();

  const ClusterState& state() const { return state_; }
  // True from the frame that closed a whole cycle (seven frames in their order) until the
  // next frame.
  bool cycle_completed() const { return cycle_completed_; }
  // True while the frames since the last clock frame are a cycle in the making.
  bool in_cycle() const { return next_in_cycle_ > 0; }
  // The fewest bytes still to come before a cycle can complete: the rest of the cycle in the
  // making, or a whole one. A cluster that sleeps between bytes wakes its main loop when that
  // many have come, not a tick later.
  uint8_t bytes_to_cycle() const;

  uint32_t cycles() const { return cycles_; }
  uint32_t frames() const { return frames_; }
  uint32_t resets() const { return resets_; }
  uint32_t unknown() const { return unknown_; }
  uint32_t torn() const { return torn_; }  // runs of bytes that formed no frame

 private:
  void take(uint8_t byte);
  void skip(uint8_t byte);
  void end_run(Torn reason);
  void reject_held(Torn reason);
  void accept(Decoded kind, uint8_t length);
  void apply(const uint8_t* frame);

  DecodeListener* listener_;
  ClusterState state_{};
  uint8_t held_[RESET_FRAME_LENGTH] = {};
  uint8_t held_length_ = 0;
  // Bytes of a rejected frame, looked through again for the next header.
  uint8_t replay_[RESET_FRAME_LENGTH] = {};
  uint8_t replay_length_ = 0;
  bool in_run_ = false;
  uint8_t next_in_cycle_ = 0;
  bool cycle_completed_ = false;
  uint32_t cycles_ = 0, frames_ = 0, resets_ = 0, unknown_ = 0, torn_ = 0;
};

}  // namespace vontrel

#endif  // VONTREL_PROTOCOL_DECODER_H
