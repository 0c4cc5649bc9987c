// The background link's writer: the host thread encodes a cycle and hands it over; one thread
// of ours puts it on the wire. A slow or stalled cluster then costs the host nothing.
//
// What goes out is what the synchronous link sends: the same frames in the same order, each
// its own write and flush. When the writer is still busy, a newer cycle replaces one that has
// not started; a cycle is never split, reordered or interleaved with another.
#ifndef VONTREL_LINK_BACKGROUND_WRITER_H
#define VONTREL_LINK_BACKGROUND_WRITER_H

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "dashboard/frame_format.h"
#include "os/os.h"
#include "serial/serial_port.h"

namespace vontrel {

enum class LinkEvent { none, lost, back };

class BackgroundWriter {
 public:
  BackgroundWriter() = default;
  ~BackgroundWriter();
  BackgroundWriter(const BackgroundWriter&) = delete;
  BackgroundWriter& operator=(const BackgroundWriter&) = delete;

  // Starts the writer on an open `port`, which belongs to the writer until stop(). With
  // `reconnect`, a failed write closes the port and the writer reopens `port_name` once a
  // second; after each reopen it sends nothing for `startup_delay_ms`, then the reset frame.
  // False when no thread could be started; the port is then untouched.
  bool start(SerialPort& port, const std::string& port_name, bool reconnect,
             std::uint32_t startup_delay_ms = 0, const std::string& avoid = std::string()) noexcept;
  bool running() const noexcept { return thread_ != os::invalid_thread; }

  // Queues the reset frame ahead of everything; a cycle not yet started is dropped.
  void submit_reset() noexcept;
  // Queues one cycle (CYCLE_LENGTH bytes), replacing one that has not started.
  void submit_cycle(const std::uint8_t* cycle) noexcept;

  // Lets what is queued leave, for at most `drain_ms`, then stops the writer and waits for it
  // (at most one bounded write longer).
  void stop(std::uint32_t drain_ms) noexcept;

  // For the host thread: the next change of the port in this run, in the order they happened.
  LinkEvent take_event() noexcept;

 private:
  static void thread_main(void* self) noexcept;
  void run() noexcept;
  bool write_frame(const std::uint8_t* data, std::uint32_t length) noexcept;
  bool write_cycle(const std::uint8_t* cycle) noexcept;
  void note_port(bool open, bool lost) noexcept;
  bool idle() const;  // with mutex_ held

  SerialPort* port_ = nullptr;
  std::string port_name_;
  std::string avoid_;  // a port `auto` never takes (the CAN adapter's)
  bool reconnect_ = false;
  std::uint32_t startup_delay_ms_ = 0;
  std::uint32_t last_reopen_tick_ = 0;  // the writer's own
  bool holding_ = false;                // the writer's own: reopened, within the delay
  os::thread_handle thread_ = os::invalid_thread;
  std::atomic<bool> stop_{false};

  // Shared with the host thread, under mutex_.
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  bool reset_pending_ = false;
  bool cycle_pending_ = false;
  bool busy_ = false;
  bool port_open_ = false;  // as the writer last left it; the port itself is the writer's
  std::uint32_t losses_ = 0;
  std::uint32_t returns_ = 0;
  std::uint32_t reported_losses_ = 0;
  std::uint32_t reported_returns_ = 0;
  std::array<std::uint8_t, CYCLE_LENGTH> pending_{};

  std::array<std::uint8_t, CYCLE_LENGTH> sending_{};  // the writer's own
};

}  // namespace vontrel

#endif  // VONTREL_LINK_BACKGROUND_WRITER_H
