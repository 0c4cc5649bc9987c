// For the Linux release, linked against glibc 2.31: GCC 12's static C++ runtime asks the C
// library two things that only later versions answer. Answered here, inside our own binary,
// the loader never looks for them, and the library loads on glibc 2.31.
#include <unistd.h>

#include <cstdint>

extern "C" {

// glibc 2.32: whether the process has one thread, to skip atomic operations. "No" is always
// safe, and the host runs many threads anyway.
char __libc_single_threaded = 0;  // NOLINT: the C library's own name

// glibc 2.36: random numbers (std::random_device). getentropy has been there since 2.25.
std::uint32_t arc4random() {
  std::uint32_t value = 0;
  if (getentropy(&value, sizeof value) != 0) {
    value = 0x9E3779B9u;  // no entropy to be had: nothing of ours depends on it
  }
  return value;
}

}  // extern "C"
