// The cycle as UDP datagrams, beside or instead of the serial port: for a phone showing the
// dashboard, a cluster on another machine, or a Wi-Fi cluster. Each cycle leaves as one
// datagram of its 77 bytes, exactly as on the wire; the reset frame as one of its own 16.
//
// The host's thread only hands a datagram over: a copy under a lock nobody holds for long, and
// no system call. A sender thread of ours puts it on the socket; the first send after a pause
// costs the system tens of microseconds, which the host then never pays. The sender wakes once
// a cycle, just after the host is due to have handed the next one over, judged by the gap
// between the last two: it stays out of the way of the host's own work in that cycle, which
// under Wine queues behind any other thread's call to the Wine server. A cycle that comes later
// than foreseen is looked for every few milliseconds. The sender sleeps when no cycle has come
// for a second, and the next one wakes it. Without a thread to be had, the host's thread sends
// itself, still without waiting.
//
// Sending never waits and never fails the host: a full socket drops that datagram, a refused
// one is told once, and its recovery once. The plug-in never listens on a socket.
#ifndef VONTREL_LINK_UDP_OUTPUT_H
#define VONTREL_LINK_UDP_OUTPUT_H

#include <array>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "dashboard/frame_format.h"
#include "os/os.h"

namespace vontrel {

// The value of the setting that turns UDP off, as an absent setting does.
inline constexpr char UDP_OFF[] = "none";

// How often the sender looks for a cycle that is later than foreseen, and after how many looks
// without one it sleeps until woken.
inline constexpr std::uint32_t UDP_POLL_MS = 5;
inline constexpr std::uint32_t UDP_IDLE_POLLS = 200;
// How long after the foreseen hand-over the sender wakes: time for the host to finish that
// cycle's writes to the port, and for the tick to move on.
inline constexpr std::uint32_t UDP_WAKE_MARGIN_MS = 3;
// Gaps between cycles longer than this (a pause, a stall) foresee nothing.
inline constexpr std::uint32_t UDP_LONGEST_GAP_MS = 250;

// "a.b.c.d:port" or "[v6]:port", the address numeric and the port 1 to 65535. False for
// anything else, and for a name, which would have to be looked up inside the host.
bool parse_udp_target(std::string_view text, os::udp_peer& peer);

enum class UdpEvent { none, failing, back };

class UdpOutput {
 public:
  UdpOutput() = default;
  ~UdpOutput() { close(); }
  UdpOutput(const UdpOutput&) = delete;
  UdpOutput& operator=(const UdpOutput&) = delete;

  // Closes what an earlier start-up opened, then opens a socket for `target` and starts the
  // sender. False with the reason for the host log; UDP is then off.
  bool open(const std::string& target, std::string& error);
  // Sends what is still handed over (the shut-down's reset frame), then stops the sender and
  // closes the socket: bounded by one look of the sender and one send that does not wait.
  void close() noexcept;
  bool active() const noexcept { return socket_ != os::invalid_socket; }
  const std::string& target() const noexcept { return target_; }

  // Hands the reset frame over, ahead of everything: a cycle not yet sent is dropped.
  void submit_reset() noexcept;
  // Hands one cycle (CYCLE_LENGTH bytes) over, made at the host's tick `now`; it replaces one
  // not yet sent.
  void submit_cycle(const std::uint8_t* cycle, std::uint32_t now) noexcept;

  // For the host's thread: the next change, in the order they happened.
  UdpEvent take_event() noexcept;

 private:
  static void thread_main(void* self) noexcept;
  void run() noexcept;
  // After sending the cycle made at `tick`: how long until the next one is due to be handed
  // over, with the margin.
  std::uint32_t rest_after(std::uint32_t tick) noexcept;
  // Wakes the sender if it sleeps for want of cycles.
  void wake_if_sleeping(bool sleeping) noexcept;
  // One datagram on the socket; true when it changed whether sending fails.
  bool send(const std::uint8_t* data, std::uint32_t length) noexcept;

  os::socket_handle socket_ = os::invalid_socket;
  os::udp_peer peer_{};
  std::string target_;
  os::thread_handle thread_ = os::invalid_thread;
  bool failing_ = false;  // the sender's own (the host's, without a sender)

  // Shared with the sender, under mutex_.
  std::mutex mutex_;
  std::condition_variable wake_;
  bool reset_pending_ = false;
  bool cycle_pending_ = false;
  bool sleeping_ = false;
  bool stop_ = false;
  std::uint32_t changes_ = 0;  // failing, back, failing, ...: odd while failing
  std::array<std::uint8_t, CYCLE_LENGTH> pending_{};
  std::uint32_t pending_tick_ = 0;

  std::uint32_t reported_changes_ = 0;  // the host's own

  // The sender's own.
  std::array<std::uint8_t, CYCLE_LENGTH> sending_{};
  std::uint32_t sent_tick_ = 0;
  bool have_sent_tick_ = false;
};

}  // namespace vontrel

#endif  // VONTREL_LINK_UDP_OUTPUT_H
