// An os layer whose port swallows every byte at once: what the benchmarks measure is the
// plug-in's own work on the host's thread, not the cluster's.
#include <atomic>

#include "os/os.h"

namespace vontrel::os {

std::atomic<std::uint32_t> bench_tick{100000};

device_handle open_device(const char* /*name*/, open_error* /*why*/) noexcept {
  return 7;
}
bool get_line_settings(device_handle /*device*/, line_settings& /*settings*/) noexcept {
  return true;
}
bool set_line_settings(device_handle /*device*/, const line_settings& /*settings*/) noexcept {
  return true;
}
bool use_bounded_io(device_handle /*device*/) noexcept {
  return true;
}
deadline deadline_after(std::uint32_t milliseconds) noexcept {
  return milliseconds;
}
io_status write_device(device_handle /*device*/, const std::uint8_t* /*data*/, std::uint32_t length,
                       std::uint32_t& written, deadline /*until*/) noexcept {
  written += length;
  return io_status::done;
}
io_status flush_device(device_handle /*device*/, deadline /*until*/) noexcept {
  return io_status::done;
}
io_status output_ready(device_handle /*device*/) noexcept {
  return io_status::done;
}
void discard_input(device_handle /*device*/) noexcept {}
io_status read_device(device_handle /*device*/, std::uint8_t* /*buffer*/, std::uint32_t /*size*/,
                      std::uint32_t& got) noexcept {
  got = 0;
  return io_status::done;
}
void discard_output(device_handle /*device*/) noexcept {}
void close_device(device_handle /*device*/) noexcept {}
std::uint64_t now_us() noexcept {
  return std::uint64_t{bench_tick.load(std::memory_order_relaxed)} * 1000u;
}
timer_handle open_timer() noexcept {
  return 1;
}
void timer_sleep(timer_handle /*timer*/, std::uint64_t /*microseconds*/) noexcept {}
void close_timer(timer_handle /*timer*/) noexcept {}
void release_runtime() noexcept {}
thread_handle start_thread(void (* /*entry*/)(void*), void* /*argument*/) noexcept {
  return invalid_thread;
}
void join_thread(thread_handle /*thread*/) noexcept {}
bool list_serial_ports(std::vector<port_info>& ports, const std::string& /*root*/) noexcept {
  ports.clear();
  return true;
}
std::uint32_t tick_ms() noexcept {
  return bench_tick.load(std::memory_order_relaxed);
}
bool current_directory(std::string& directory) {
  directory = ".";
  return true;
}

}  // namespace vontrel::os
