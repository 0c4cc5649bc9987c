# 64-bit Raspberry Pi OS (Pi 3, 4 and 5).
set(VONTREL_PI_TRIPLE aarch64-linux-gnu)
set(VONTREL_PI_ARCH arm64)
set(VONTREL_PI_QEMU aarch64)
set(VONTREL_PI_FLAGS "")
include(${CMAKE_CURRENT_LIST_DIR}/linux-arm.cmake)
