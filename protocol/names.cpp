// Words for what the decoder reports, for the tools that show it.
#include "decoder.h"

namespace vontrel {

const char* const LAMP_NAMES[LAMP_COUNT] = {
    "parking_brake", "parking_lights", "battery",       "electrics",    "engine_stopped",
    "fuel",          "cruise_control", "oil_pressure",  "air_pressure", "wear",
    "high_beam",     "left_blinker",   "right_blinker",
};

const char* torn_reason(Torn torn) {
  switch (torn) {
    case Torn::none:
      return "";
    case Torn::between_frames:
      return "bytes between frames";
    case Torn::stream_ended:
      return "stream ended inside a frame";
    case Torn::reset_not_zero:
      return "reset frame with non-zero bytes";
    case Torn::clock:
      return "clock frame with invalid BCD or non-zero padding";
    case Torn::status:
      return "status frame with impossible bytes";
    case Torn::engine:
      return "engine frame without its fixed bytes 03 BC";
    case Torn::blank:
      return "blank frame that is not blank";
    case Torn::speed:
      return "speed frame without its fixed 25";
    case Torn::light:
      return "light frame with non-zero padding";
    case Torn::debug:
      return "debug frame with impossible bytes";
  }
  return "";
}

}  // namespace vontrel
