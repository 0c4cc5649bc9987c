// What this cluster is built from: the display and the needles. Change the two choices here
// (in the Arduino IDE this file is a tab of the sketch) or with -D on the compiler's command
// line, which is how the avr preset builds every variant. docs/firmware.md has the wiring of
// each.
#ifndef VONTREL_FIRMWARE_CONFIG_H
#define VONTREL_FIRMWARE_CONFIG_H

// The 16x2 text display.
#define VONTREL_DISPLAY_PARALLEL 0  // six wires: its DB4-DB7 on A0-A3, RS on A4, E on A5
#define VONTREL_DISPLAY_I2C 1       // a PCF8574 backpack: SDA on A4, SCL on A5
#ifndef VONTREL_DISPLAY
#define VONTREL_DISPLAY VONTREL_DISPLAY_PARALLEL
#endif
// The backpack's address: 0x27 with a PCF8574, 0x3F with a PCF8574A.
#ifndef VONTREL_I2C_ADDRESS
#define VONTREL_I2C_ADDRESS 0x27
#endif

// The speed and rpm needles.
#define VONTREL_NEEDLES_PWM 0       // a duty on D9 and D10: moving-coil meters and the like
#define VONTREL_NEEDLES_X27 1       // X27.168-type steppers on four pins each, driven directly
#define VONTREL_NEEDLES_STEP_DIR 2  // steppers through a VID6606-type driver: step and direction
#ifndef VONTREL_NEEDLES
#define VONTREL_NEEDLES VONTREL_NEEDLES_PWM
#endif
// Steps from the needle's stop to full scale: 315 degrees at 1/3 degree a step driven directly,
// at 1/12 degree a microstep through a VID6606. Less for a dial with a shorter arc.
#ifndef VONTREL_NEEDLE_STEPS
#if VONTREL_NEEDLES == VONTREL_NEEDLES_STEP_DIR
#define VONTREL_NEEDLE_STEPS 3780
#else
#define VONTREL_NEEDLE_STEPS 945
#endif
#endif

// The needles' positions in the tables below run from 0 to this: the PWM duty's top, or the
// steps to full scale.
#if VONTREL_NEEDLES == VONTREL_NEEDLES_PWM
#define VONTREL_NEEDLE_FULL 9999
#else
#define VONTREL_NEEDLE_FULL VONTREL_NEEDLE_STEPS
#endif

// The speed dial in km/h (0) or mph (1): the unit of the speed table's values. The wire always
// carries km/h; the firmware converts.
#ifndef VONTREL_SPEED_MPH
#define VONTREL_SPEED_MPH 0
#endif

// Each dial's calibration: up to 16 points of {value on the dial, needle position}, values
// rising. Between two points the needle follows a straight line; below the first point and
// beyond the last it rests at theirs. Values may have decimals (12.5); positions are whole:
//   speed and rpm: the PWM duty on D9/D10 (0-9999), or a stepper's steps from its stop (0 to
//     VONTREL_NEEDLE_STEPS);
//   fuel and water: the PWM duty on D6/D5 (0-255).
// A table out of order, or a position beyond its needle's range, stops the build with a message
// naming the point. docs/firmware.md shows how to find the points of a salvaged gauge.
#ifndef VONTREL_SPEED_POINTS
#if VONTREL_SPEED_MPH
#define VONTREL_SPEED_POINTS            \
  {0, 0}, {                             \
    150 / 1.609344, VONTREL_NEEDLE_FULL \
  }  // 0-93.2 mph
#else
#define VONTREL_SPEED_POINTS \
  {0, 0}, {                  \
    150, VONTREL_NEEDLE_FULL \
  }  // 0-150 km/h
#endif
#endif
#ifndef VONTREL_RPM_POINTS
#define VONTREL_RPM_POINTS    \
  {0, 0}, {                   \
    3000, VONTREL_NEEDLE_FULL \
  }  // 0-3000 rpm
#endif
#ifndef VONTREL_FUEL_POINTS
#define VONTREL_FUEL_POINTS \
  {0, 0}, {                 \
    100, 255                \
  }  // 0-100 % of the tank
#endif
#ifndef VONTREL_WATER_POINTS
#define VONTREL_WATER_POINTS \
  {40, 0}, {                 \
    130, 255                 \
  }  // 40-130 degrees C
#endif

#if VONTREL_NEEDLES == VONTREL_NEEDLES_X27 && VONTREL_DISPLAY != VONTREL_DISPLAY_I2C
#error \
    "X27 steppers driven directly need A0-A3, which the parallel display takes: use the I2C display with them"
#endif

#endif  // VONTREL_FIRMWARE_CONFIG_H
