// A scripted stand-in for the os layer, linked into the unit tests instead of the real one, to
// reach failures a real device cannot give on demand and to see every system call made.
// Every call holds one lock, so the background writer's thread and the test's share it
// without a race; a test touching the state while a writer runs takes the same lock.
#ifndef VONTREL_TESTS_FAKE_OS_H
#define VONTREL_TESTS_FAKE_OS_H

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "os/os.h"

namespace vontrel::fake_os {

struct State {
  // Script.
  bool open_fails = false;
  std::vector<std::string> open_fails_for;                              // names whose open fails
  vontrel::os::open_error open_error = vontrel::os::open_error::other;  // why, when it fails
  bool get_fails = false;
  bool set_fails = false;
  bool bounded_fails = false;
  bool write_fails = false;
  bool write_times_out = false;                // the cluster stopped reading: a write takes nothing
  std::vector<std::string> times_out_for;      // the same, for the ports opened by these names
  os::io_status output = os::io_status::done;  // what output_ready reports
  bool thread_fails = false;
  std::vector<std::uint8_t> input;   // what the device sends, taken by read_device
  std::vector<std::string> answers;  // each write adds the first to input, and drops it
  // A CAN adapter that answers each frame line written ("t", "T") with "z\r", but loses every
  // one of this many answers (0: none lost); frames_seen counts the frames it has seen.
  bool acknowledges_frames = false;
  int loses_every = 0;
  int frames_seen = 0;
  bool read_fails = false;
  bool socket_fails = false;
  os::io_status send = os::io_status::done;  // what each datagram's send reports
  os::line_settings reported{};              // what the "driver" reports
  std::optional<std::string> cwd = "/fake";  // nullopt: the query fails
  std::vector<os::port_info> ports;          // what the system's device records list
  std::uint32_t tick = 0;

  // Record.
  std::vector<std::string> calls;  // "open", "get", "set", "bounded", "write", "flush",
                                   // "ready", "close", "tick", "socket", "send",
                                   // "discard", "discard_output", "list_ports", "lines"
  std::vector<std::string> opened_names;
  std::optional<os::line_settings> applied;
  std::vector<std::vector<std::uint8_t>> writes;
  std::vector<std::string> written_to;  // the name each write's port was opened by
  int open_handles = 0;
  std::vector<std::vector<std::uint8_t>> datagrams;  // every one handed to the system
  int open_sockets = 0;
  std::uint64_t longest_sleep_us = 0;  // of every timer_sleep

  int count(const std::string& call) const;
  std::vector<std::uint8_t> written_bytes() const;
};

State& state();

// Held by every fake call.
std::mutex& record_mutex();

// Back to a fresh script and an empty record.
void reset();

// While held, writes wait, as on a stalled cluster (without the lock, so the test can go on).
void hold_writes(bool hold);

}  // namespace vontrel::fake_os

#endif  // VONTREL_TESTS_FAKE_OS_H
