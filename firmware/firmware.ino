// The Vontrel reference cluster as an Arduino sketch: open this folder in the Arduino IDE,
// choose Arduino Uno or Nano (ATmega328P) and press Upload. Nothing else to install.
//
// The firmware is in main.cpp, lcd.cpp and the wire decoder under src/protocol/; it has a
// main() of its own and uses no Arduino library (not even Serial), so this file stays empty.
// docs/firmware.md has the wiring, the parts and the options in config.h.
