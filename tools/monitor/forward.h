// --forward: what arrives leaves through a serial device unchanged, no faster than its line
// carries it, so a cluster hanging off this machine (a Raspberry Pi by the cockpit) sees what
// it would see from the plug-in itself.
//
// A thread of its own writes, so decoding and the dashboard never wait on the cluster. What
// waits for the line is kept to a few pieces: when the cluster takes nothing, the oldest give
// way and the newest go out once it reads again. A device that is not there yet (a board
// plugged in after the forwarder starts, at a Pi's boot) or goes away (a USB re-plug) is looked
// for once a second; one named by its USB identity (`usb:VID:PID`, `auto`) is found again
// wherever it comes back. Each change is told once on standard error. After every open nothing
// is passed on for the start-up delay, as the plug-in's startup_delay does: most boards reset
// when their port opens, and what reaches a bootloader still waiting is not the firmware's.
#ifndef VONTREL_TOOLS_MONITOR_FORWARD_H
#define VONTREL_TOOLS_MONITOR_FORWARD_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/monitor/input.h"
#include "tools/monitor/options.h"

namespace vontrel::monitor {

// Pieces waiting for the line: about a fifth of a second of cycles.
inline constexpr std::size_t FORWARD_QUEUE = 4;
// How often a device that went away is looked for again.
inline constexpr std::chrono::milliseconds FORWARD_REOPEN_INTERVAL{1000};

class Forwarder {
 public:
  // `wanted` as the player wrote it: a device ("/dev/ttyUSB0", "COM4") or an identity. The
  // first look is made here, so that what is wrong is said before anything arrives.
  // `avoid`: the port of the player's CAN adapter, which `auto` never takes (an Arduino-based
  // adapter is a board `auto` would take for the cluster's).
  Forwarder(std::string wanted, bool crtscts, std::chrono::milliseconds startup_delay,
            std::string avoid = {});
  ~Forwarder();  // stops the writer, at most one bounded write later
  Forwarder(const Forwarder&) = delete;
  Forwarder& operator=(const Forwarder&) = delete;

  // Queues the bytes for the line without waiting; the oldest piece gives way to them when
  // the queue is full.
  void pass(const std::uint8_t* data, std::size_t length);

 private:
  void run();
  void write_out(const std::vector<std::uint8_t>& piece);
  void reopen();

  std::unique_ptr<Input> device_;  // the writer's own; null while the device is gone
  std::string wanted_;
  std::string name_;  // the device last opened, or `wanted_` before the first
  bool crtscts_;
  std::chrono::milliseconds startup_delay_;
  std::string avoid_;
  bool had_device_ = false;  // ever opened: it comes "back", not "there"
  bool told_gone_ = false;
  std::string waiting_for_;  // why the device cannot be opened, as last told
  Clock::time_point line_free_{};
  Clock::time_point next_reopen_{};
  bool failing_ = false;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::vector<std::uint8_t>> queue_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace vontrel::monitor

#endif  // VONTREL_TOOLS_MONITOR_FORWARD_H
