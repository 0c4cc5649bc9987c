# The Raspberry Pi builds: Debian's cross compilers, and Debian 11's C library for the Pi's
# system (scripts/sysroot arm64 or armhf), so that the tools run on Raspberry Pi OS bullseye
# (glibc 2.31) and every later one. As in the x86-64 release, the C++ runtime is linked in
# statically and libgcc_s stays shared. VONTREL_PI_TRIPLE and VONTREL_PI_ARCH come from the
# preset (cmake/linux-arm64.cmake, cmake/linux-armhf.cmake).
set(CMAKE_SYSTEM_NAME Linux)
set(VONTREL_SYSROOT ${CMAKE_CURRENT_LIST_DIR}/../build/sysroot-glibc2.31-${VONTREL_PI_ARCH})
if(NOT EXISTS ${VONTREL_SYSROOT}/.complete)
  message(FATAL_ERROR "run scripts/sysroot ${VONTREL_PI_ARCH} first: ${VONTREL_SYSROOT} is missing")
endif()
set(CMAKE_SYSROOT ${VONTREL_SYSROOT})
set(CMAKE_C_COMPILER ${VONTREL_PI_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VONTREL_PI_TRIPLE}-g++)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpversion OUTPUT_VARIABLE gcc_major
                OUTPUT_STRIP_TRAILING_WHITESPACE)
string(REGEX MATCH "^[0-9]+" gcc_major "${gcc_major}")

# The sysroot has no C++ headers: the cross compiler's own, as it was built with them.
set(cxx_headers /usr/${VONTREL_PI_TRIPLE}/include/c++/${gcc_major})
set(CMAKE_CXX_FLAGS_INIT
    "${VONTREL_PI_FLAGS} -nostdinc++ -isystem ${cxx_headers} -isystem ${cxx_headers}/${VONTREL_PI_TRIPLE}")
set(CMAKE_C_FLAGS_INIT "${VONTREL_PI_FLAGS}")
set(vontrel_sysroot_libs
    "-B${VONTREL_SYSROOT}/usr/lib/${VONTREL_PI_TRIPLE} -L${VONTREL_SYSROOT}/usr/lib/${VONTREL_PI_TRIPLE} -L${VONTREL_SYSROOT}/lib/${VONTREL_PI_TRIPLE}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${vontrel_sysroot_libs} -static-libstdc++ -pthread")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${vontrel_sysroot_libs} -static-libstdc++ -pthread")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The tests run the tools on this machine through qemu-user, on the sysroot's own loader.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${VONTREL_PI_QEMU};-L;${VONTREL_SYSROOT})

set(VONTREL_GLIBC_FLOOR ON CACHE BOOL "Build for glibc 2.31")
set(VONTREL_PI ON CACHE BOOL "Only the tools for a Raspberry Pi by the cockpit")
