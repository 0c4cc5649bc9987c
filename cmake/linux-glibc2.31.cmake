# The Linux release: this machine's g++, but Debian 11's C library (scripts/sysroot unpacks it),
# so the library and the tools load on glibc 2.31 and every later system. The C++ runtime is
# GCC's own, linked in statically; libgcc_s stays shared, since every system has it and GCC's
# static unwinder would need a newer glibc.
set(VONTREL_SYSROOT ${CMAKE_CURRENT_LIST_DIR}/../build/sysroot-glibc2.31)
if(NOT EXISTS ${VONTREL_SYSROOT}/.complete)
  message(FATAL_ERROR "run scripts/sysroot first: ${VONTREL_SYSROOT} is missing")
endif()
set(CMAKE_SYSROOT ${VONTREL_SYSROOT})
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
execute_process(COMMAND g++ -dumpversion OUTPUT_VARIABLE gcc_major OUTPUT_STRIP_TRAILING_WHITESPACE)
string(REGEX MATCH "^[0-9]+" gcc_major "${gcc_major}")

# The sysroot has no C++ headers: GCC's own, as it was built with them.
set(CMAKE_CXX_FLAGS_INIT
    "-nostdinc++ -isystem /usr/include/c++/${gcc_major} -isystem /usr/include/x86_64-linux-gnu/c++/${gcc_major}")
set(vontrel_sysroot_libs
    "-B${VONTREL_SYSROOT}/usr/lib/x86_64-linux-gnu -L${VONTREL_SYSROOT}/usr/lib/x86_64-linux-gnu -L${VONTREL_SYSROOT}/lib/x86_64-linux-gnu")
# glibc 2.31 keeps the threads in libpthread, which the static C++ runtime needs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "${vontrel_sysroot_libs} -static-libstdc++ -pthread")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${vontrel_sysroot_libs} -static-libstdc++ -pthread")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

set(VONTREL_GLIBC_FLOOR ON CACHE BOOL "Build for glibc 2.31")
