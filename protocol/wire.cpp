#include "wire.h"

namespace vontrel {

namespace {

bool zero_from(const uint8_t* frame, uint8_t from) {
  for (uint8_t i = from; i < FRAME_LENGTH; ++i) {
    if (frame[i] != 0) {
      return false;
    }
  }
  return true;
}

bool bcd_within(uint8_t value, int16_t low, int16_t high) {
  const int16_t number = from_bcd(value);
  return number >= low && number <= high;
}

}  // namespace

bool is_cycle_frame_id(uint8_t id) {
  for (const uint8_t cycle_id : CYCLE_FRAME_IDS) {
    if (cycle_id == id) {
      return true;
    }
  }
  return false;
}

Torn frame_malformation(const uint8_t* f) {
  bool good = false;
  Torn kind = Torn::none;
  switch (f[2]) {
    case FRAME_ID_CLOCK:
      good = bcd_within(f[3], 0, 23) && bcd_within(f[4], 0, 59) && bcd_within(f[5], 1, 31) &&
             bcd_within(f[6], 1, 12) && bcd_within(f[8], 0, 149) && f[7] == 0 && f[9] == 0 &&
             f[10] == 0;
      kind = Torn::clock;
      break;
    case FRAME_ID_STATUS: {
      // Byte 3 always carries the lights' 0x01; byte 5 one power state and the battery bit.
      const uint8_t lights = static_cast<uint8_t>(f[3] & ~STATUS_PARKING_BRAKE);
      const uint8_t power = static_cast<uint8_t>(f[5] & ~STATUS_BATTERY_WARNING);
      good = (lights == STATUS_LIGHTS_PARKING || lights == STATUS_LIGHTS_NONE) && f[4] == 0 &&
             (power == STATUS_POWER_OFF || power == STATUS_POWER_ELECTRICS ||
              power == STATUS_POWER_RUNNING || power == STATUS_POWER_ENGINE_ONLY) &&
             f[6] == 0 && (f[9] == STATUS_ELECTRICS_ON || f[9] == STATUS_ELECTRICS_OFF) &&
             f[10] <= 1;
    }
      kind = Torn::status;
      break;
    case FRAME_ID_ENGINE:
      good = f[3] == 0 && f[7] == ENGINE_FIXED_7 && f[8] == ENGINE_FIXED_8 && f[10] == 0;
      kind = Torn::engine;
      break;
    case FRAME_ID_BLANK:
      good = zero_from(f, 3);
      kind = Torn::blank;
      break;
    case FRAME_ID_SPEED:
      good = f[5] == 0 && f[6] == SPEED_FIXED_6 && zero_from(f, 7);
      kind = Torn::speed;
      break;
    case FRAME_ID_LIGHT:
      good = zero_from(f, 6);
      kind = Torn::light;
      break;
    case FRAME_ID_DEBUG:
      good = f[3] <= DEBUG_ON && zero_from(f, 4);
      kind = Torn::debug;
      break;
    default:
      kind = Torn::between_frames;
      break;
  }
  return good ? Torn::none : kind;
}

}  // namespace vontrel
