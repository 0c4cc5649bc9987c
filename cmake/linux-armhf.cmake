# 32-bit Raspberry Pi OS on an ARMv7 Pi (2, 3, 4 and 5; the Pi 1 and Zero are ARMv6, which
# Debian's armhf leaves out).
set(VONTREL_PI_TRIPLE arm-linux-gnueabihf)
set(VONTREL_PI_ARCH armhf)
set(VONTREL_PI_QEMU arm)
set(VONTREL_PI_FLAGS "-march=armv7-a -mfpu=vfpv3-d16 -mfloat-abi=hard")
include(${CMAKE_CURRENT_LIST_DIR}/linux-arm.cmake)
