// The speed and rpm needles, whichever kind config.h chooses: a PWM duty on Timer1, or two
// stepper motors moved by Timer1's interrupt with their speed and acceleration limited.
#ifndef VONTREL_FIRMWARE_NEEDLES_H
#define VONTREL_FIRMWARE_NEEDLES_H

#include <stdint.h>

namespace vontrel {
namespace needles {

void start();
// Steppers: drives both needles back against their stops, so that the firmware knows where
// they are; returns once they are there (about a second). Nothing to do for PWM needles.
void home();
// Where the needles should stand, 0 to VONTREL_NEEDLE_FULL: the PWM duty, or a stepper's steps
// from its stop. Steppers move there at their own pace; this never waits.
void set(uint16_t speed, uint16_t rpm);

}  // namespace needles
}  // namespace vontrel

#endif  // VONTREL_FIRMWARE_NEEDLES_H
