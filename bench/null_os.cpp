// An os layer whose port swallows every byte at once: what the benchmarks measure is the
// plug-in's own work on the host's thread, not the cluster's.
#include <atomic>

#include "os/os.h"

namespace vontrel::os {

std::atomic<std::uint32_t> bench_tick{100000};

device_handle open_device(const char* /*name*/) noexcept {
  return 7;
}
bool get_line_settings(device_handle /*device*/, line_settings& /*settings*/) noexcept {
  return true;
}
bool set_line_settings(device_handle /*device*/, const line_settings& /*settings*/) noexcept {
  return true;
}
bool write_device(device_handle /*device*/, const std::uint8_t* /*data*/,
                  std::uint32_t /*length*/) noexcept {
  return true;
}
bool flush_device(device_handle /*device*/) noexcept {
  return true;
}
void close_device(device_handle /*device*/) noexcept {}
bool use_bounded_io(device_handle /*device*/) noexcept {
  return true;
}
io_status write_device_bounded(device_handle /*device*/, const std::uint8_t* /*data*/,
                               std::uint32_t length, std::uint32_t& written,
                               std::uint32_t /*timeout_ms*/) noexcept {
  written += length;
  return io_status::done;
}
io_status output_drained(device_handle /*device*/) noexcept {
  return io_status::done;
}
void sleep_ms(std::uint32_t /*milliseconds*/) noexcept {}
thread_handle start_thread(void (* /*entry*/)(void*), void* /*argument*/) noexcept {
  return invalid_thread;
}
void join_thread(thread_handle /*thread*/) noexcept {}
std::uint32_t tick_ms() noexcept {
  return bench_tick.load(std::memory_order_relaxed);
}
bool current_directory(std::string& directory) {
  directory = ".";
  return true;
}

}  // namespace vontrel::os
