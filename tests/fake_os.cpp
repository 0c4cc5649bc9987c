#include "tests/fake_os.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace vontrel::fake_os {

State& state() {
  static State the_state;
  return the_state;
}

std::mutex& record_mutex() {
  static std::mutex the_mutex;
  return the_mutex;
}

namespace {
std::mutex gate_mutex;
std::condition_variable gate_opened;
bool writes_held = false;

void wait_for_gate() {
  std::unique_lock<std::mutex> lock(gate_mutex);
  gate_opened.wait(lock, [] { return !writes_held; });
}
}  // namespace

void hold_writes(bool hold) {
  {
    std::lock_guard<std::mutex> lock(gate_mutex);
    writes_held = hold;
  }
  gate_opened.notify_all();
}

void reset() {
  std::lock_guard<std::mutex> lock(record_mutex());
  state() = State{};
}

int State::count(const std::string& call) const {
  return static_cast<int>(std::count(calls.begin(), calls.end(), call));
}

std::vector<std::uint8_t> State::written_bytes() const {
  std::vector<std::uint8_t> bytes;
  for (const auto& write : writes) {
    bytes.insert(bytes.end(), write.begin(), write.end());
  }
  return bytes;
}

}  // namespace vontrel::fake_os

namespace vontrel::os {

using fake_os::state;
using record = std::lock_guard<std::mutex>;
constexpr device_handle fake_handle = 42;

device_handle open_device(const char* name, open_error* why) noexcept {
  const record lock(fake_os::record_mutex());
  state().calls.emplace_back("open");
  state().opened_names.emplace_back(name);
  const auto& failing = state().open_fails_for;
  if (state().open_fails || std::find(failing.begin(), failing.end(), name) != failing.end()) {
    if (why != nullptr) {
      *why = state().open_error;
    }
    return invalid_device;
  }
  ++state().open_handles;
  // Each open its own handle, so that the writes tell the ports apart.
  return fake_handle + static_cast<device_handle>(state().opened_names.size()) - 1;
}

bool get_line_settings(device_handle /*device*/, line_settings& settings) noexcept {
  const record lock(fake_os::record_mutex());
  state().calls.emplace_back("get");
  if (state().get_fails) {
    return false;
  }
  settings = state().reported;
  return true;
}

bool set_line_settings(device_handle /*device*/, const line_settings& settings) noexcept {
  const record lock(fake_os::record_mutex());
  state().calls.emplace_back("set");
  if (state().set_fails) {
    return false;
  }
  state().applied = settings;
  return true;
}

bool use_bounded_io(device_handle /*device*/) noexcept {
  const record lock(fake_os::record_mutex());
  state().calls.emplace_back("bounded");
  return !state().bounded_fails;
}

deadline deadline_after(std::uint32_t milliseconds) noexcept {
  return milliseconds;
}

timer_handle open_timer() noexcept {
  return 1;
}

void timer_sleep(timer_handle /*timer*/, std::uint64_t microseconds) noexcept {
  {
    const std::lock_guard<std::mutex> lock(fake_os::record_mutex());
    fake_os::state().longest_sleep_us = std::max(fake_os::state().longest_sleep_us, microseconds);
  }
  std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
}

void close_timer(timer_handle /*timer*/) noexcept {}

// The real clock: a schedule's waits are real ones.
std::uint64_t now_us() noexcept {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

namespace {

// Whether the port behind `device` is one the script stalls.
bool stalls(device_handle device) {
  const auto index = static_cast<std::size_t>(device - fake_handle);
  const auto& stalled = state().times_out_for;
  return index < state().opened_names.size() &&
         std::find(stalled.begin(), stalled.end(), state().opened_names[index]) != stalled.end();
}

}  // namespace

io_status write_device(device_handle device, const std::uint8_t* data, std::uint32_t length,
                       std::uint32_t& written, deadline /*until*/) noexcept {
  fake_os::wait_for_gate();
  const record lock(fake_os::record_mutex());
  state().calls.emplace_back("write");
  state().writes.emplace_back(data, data + length);
  const auto index = static_cast<std::size_t>(device - fake_handle);
  state().written_to.push_back(index < state().opened_names.size() ? state().opened_names[index]
                                                                   : "?");
  // The device answers each write with the next scripted answer, if any.
  if (!state().answers.empty()) {
    state().input.insert(state().input.end(), state().answers.front().begin(),
                         state().answers.front().end());
    state().answers.erase(state().answers.begin());
  }
  if (state().acknowledges_frames) {
    bool line_start = true;
    for (std::uint32_t i = 0; i < length; ++i) {
      if (line_start && (data[i] == 't' || data[i] == 'T')) {
        ++state().frames_seen;
        if (state().loses_every == 0 || state().frames_seen % state().loses_every != 0) {
          state().input.push_back('z');
          state().input.push_back('\r');
        }
      }
      line_start = data[i] == '\r';
    }
  }
  if (state().write_fails) {
    return io_status::failed;
  }
  if (state().write_times_out || stalls(device)) {
    return io_status::timed_out;
  }
  written += length;
  return io_status::done;
}

io_status flush_device(device_handle device, deadline /*until*/) noexcept {
  const record lock(fake_os::record_mutex());
  state().calls.emplace_back("flush");
  return state().write_times_out || stalls(device) ? io_status::timed_out : io_status::done;
}

io_status output_ready(device_handle device) noexcept {
  const record lock(fake_os::record_mutex());
  state().calls.emplace_back("ready");
  return stalls(device) ? io_status::timed_out : state().output;
}

void discard_input(device_handle /*device*/) noexcept {
  const record lock(fake_os::record_mutex());
  state().calls.emplace_back("discard");
}

// A pseudo-terminal's answer: no DTR or RTS to switch.
bool set_control_lines(device_handle /*device*/, bool /*dtr*/, bool /*rts*/) noexcept {
  const record lock(fake_os::record_mutex());
  state().calls.emplace_back("lines");
  return false;
}

io_status read_device(device_handle /*device*/, std::uint8_t* buffer, std::uint32_t size,
                      std::uint32_t& got) noexcept {
  const record lock(fake_os::record_mutex());
  std::vector<std::uint8_t>& input = state().input;
  got = static_cast<std::uint32_t>(std::min<std::size_t>(size, input.size()));
  std::copy(input.begin(), input.begin() + got, buffer);
  input.erase(input.begin(), input.begin() + got);
  return state().read_fails ? io_status::failed : io_status::done;
}

void discard_output(device_handle /*device*/) noexcept {
  const record lock(fake_os::record_mutex());
  state().calls.emplace_back("discard_output");
}

void close_device(device_handle /*device*/) noexcept {
  const record lock(fake_os::record_mutex());
  state().calls.emplace_back("close");
  --state().open_handles;
}

std::uint32_t tick_ms() noexcept {
  const record lock(fake_os::record_mutex());
  state().calls.emplace_back("tick");
  return state().tick;
}

bool list_serial_ports(std::vector<port_info>& ports, const std::string& /*root*/) noexcept {
  const record lock(fake_os::record_mutex());
  state().calls.emplace_back("list_ports");
  ports = state().ports;
  return true;
}

bool current_directory(std::string& directory) {
  const record lock(fake_os::record_mutex());
  if (!state().cwd) {
    return false;
  }
  directory = *state().cwd;
  return true;
}

// Numeric-looking text is an address here; the real reading is the system's.
bool make_udp_peer(const char* address, std::uint16_t port, udp_peer& peer) noexcept {
  const std::string text(address);
  if (text.empty() || text.size() >= sizeof peer.native ||
      text.find_first_not_of("0123456789abcdefABCDEF.:") != std::string::npos) {
    return false;
  }
  peer = udp_peer{};
  std::memcpy(peer.native, text.data(), text.size());
  peer.length = port;
  return true;
}

// The fake's peers keep their text: its start tells the kind, as the address would.
peer_kind kind_of(const udp_peer& peer) noexcept {
  const std::string text(reinterpret_cast<const char*>(peer.native));
  if (text.find(':') == std::string::npos) {
    return peer_kind::ipv4;
  }
  if (text.rfind("::ffff:", 0) == 0) {
    return peer_kind::ipv4_mapped;
  }
  return text.rfind("fe80:", 0) == 0 ? peer_kind::ipv6_link_local : peer_kind::ipv6;
}

// Interfaces "eth0" and number 2 exist here.
bool set_udp_scope(udp_peer& /*peer*/, const char* scope) noexcept {
  const std::string name(scope);
  return name == "eth0" || name == "2";
}

socket_handle open_udp(const udp_peer& /*peer*/) noexcept {
  const record lock(fake_os::record_mutex());
  state().calls.emplace_back("socket");
  if (state().socket_fails) {
    return invalid_socket;
  }
  ++state().open_sockets;
  return 43;
}

io_status send_datagram(socket_handle /*socket*/, const udp_peer& /*peer*/,
                        const std::uint8_t* data, std::uint32_t length) noexcept {
  const record lock(fake_os::record_mutex());
  state().calls.emplace_back("send");
  state().datagrams.emplace_back(data, data + length);
  return state().send;
}

void close_udp(socket_handle socket) noexcept {
  if (socket != invalid_socket) {
    const record lock(fake_os::record_mutex());
    --state().open_sockets;
  }
}

void release_runtime() noexcept {}

// The handle is the std::thread itself. A fake: an allocation failure may end the test run.
thread_handle start_thread(void (*entry)(void*), void* argument) noexcept {
  {
    const record lock(fake_os::record_mutex());
    if (state().thread_fails) {
      return invalid_thread;
    }
  }
  // NOLINTNEXTLINE(bugprone-unhandled-exception-at-new): see above.
  return reinterpret_cast<thread_handle>(new std::thread(entry, argument));
}

void join_thread(thread_handle thread) noexcept {
  // NOLINTNEXTLINE(performance-no-int-to-ptr): the handle was made from this pointer.
  auto* running = reinterpret_cast<std::thread*>(thread);
  running->join();
  delete running;
}

}  // namespace vontrel::os
