# avr-gcc for the reference firmware: an ATmega328P at 16 MHz (Arduino Uno/Nano class).
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR avr)
set(CMAKE_C_COMPILER avr-gcc)
set(CMAKE_CXX_COMPILER avr-g++)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

set(VONTREL_FIRMWARE ON CACHE BOOL "Build only the cluster firmware")
set(VONTREL_AVR_MCU atmega328p CACHE STRING "The microcontroller")
set(VONTREL_AVR_F_CPU 16000000 CACHE STRING "Its clock in Hz")
