// Where each needle stands for the wire's values, through the calibration tables of config.h.
#ifndef VONTREL_FIRMWARE_DIALS_H
#define VONTREL_FIRMWARE_DIALS_H

#include <stdint.h>

namespace vontrel {
namespace dials {

// Each table's points in flash: the value in a unit fine enough to take the wire's steps
// exactly (speed: 1/94 km/h, a tenth of the wire's unit, whichever unit the table was written
// in; rpm: a quarter; fuel: a percent; water: a third of a degree), and the needle's position.
// vontrel-cluster reads them back from the firmware's symbols vontrel_speed_dial, _rpm_, _fuel_ and
// _water_dial.
struct Point {
  int32_t at;
  uint16_t position;
};

// Positions: PWM duty or stepper steps for speed and rpm, PWM duty for fuel and water.
uint16_t speed(uint16_t speed_value);
uint16_t rpm(uint8_t rpm_byte);
uint8_t fuel(uint8_t percent);
uint8_t water(uint8_t gauge);

}  // namespace dials
}  // namespace vontrel

#endif  // VONTREL_FIRMWARE_DIALS_H
