#include "protocol/wire.h"

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

const char* frame_malformation(const uint8_t* f) {
  switch (f[2]) {
    case FRAME_ID_CLOCK:
      return bcd_within(f[3], 0, 23) && bcd_within(f[4], 0, 59) && bcd_within(f[5], 1, 31) &&
                     bcd_within(f[6], 1, 12) && bcd_within(f[8], 0, 149) && f[7] == 0 &&
                     f[9] == 0 && f[10] == 0
                 ? nullptr
                 : "clock frame with invalid BCD or non-zero padding";
    case FRAME_ID_STATUS:
      return f[4] == 0 && f[6] == 0 &&
                     (f[9] == STATUS_ELECTRICS_ON || f[9] == STATUS_ELECTRICS_OFF) && f[10] <= 1
                 ? nullptr
                 : "status frame with impossible bytes";
    case FRAME_ID_ENGINE:
      return f[3] == 0 && f[7] == ENGINE_FIXED_7 && f[8] == ENGINE_FIXED_8 && f[10] == 0
                 ? nullptr
                 : "engine frame without its fixed bytes 03 BC";
    case FRAME_ID_BLANK:
      return zero_from(f, 3) ? nullptr : "blank frame that is not blank";
    case FRAME_ID_SPEED:
      return f[5] == 0 && f[6] == SPEED_FIXED_6 && zero_from(f, 7)
                 ? nullptr
                 : "speed frame without its fixed 25";
    case FRAME_ID_LIGHT:
      return zero_from(f, 6) ? nullptr : "light frame with non-zero padding";
    case FRAME_ID_DEBUG:
      return f[3] <= DEBUG_ON && zero_from(f, 4) ? nullptr : "debug frame with impossible bytes";
    default:
      return "unknown frame";
  }
}

}  // namespace vontrel
