// The cycle as UDP datagrams, beside or instead of the serial port: for a phone showing the
// dashboard, a cluster on another machine, or a Wi-Fi cluster. Each cycle leaves as one
// datagram of its 77 bytes, exactly as on the wire; the reset frame as one of its own 16.
//
// The host's thread only hands a datagram over: a copy under a lock nobody holds for long, and
// no system call. A sender thread of ours puts it on the socket; the first send after a pause
// costs the system tens of microseconds, which the host then never pays. The sender wakes once
// a cycle, just after the host is due to have handed the next one over, judged by the gap
// between the host's last two hand-overs: it stays out of the way of the host's own work in
// that cycle, which under Wine queues behind any other thread's call to the Wine server. A cycle
// that comes later than foreseen is looked for every few milliseconds. After a slow frame of
// the host's the foreseen gap is too long once: a second cycle handed over while the first
// still waits wakes the sender, which sends both, so no cycle is lost to its timing. The sender
// sleeps when no cycle has come for a second, and the next one wakes it. Without a thread to be
// had, the host's thread sends itself, still without waiting.
//
// Sending never waits and never fails the host: a full socket drops that datagram, a refused
// one is told, and its recovery, at most once in UDP_REPORT_INTERVAL_MS (a target that
// refuses every other datagram would otherwise fill the host's log). The plug-in never
// listens on a socket.
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
// The host's log hears of failing and working sends at most this often.
inline constexpr std::uint32_t UDP_REPORT_INTERVAL_MS = 10000;
// A setting's value shown in the host's log is cut after this many characters.
inline constexpr std::size_t UDP_SHOWN_TARGET = 64;

// "a.b.c.d:port", "[v6]:port" or "[v6%interface]:port", the address numeric and the port 1
// to 65535. False for anything else, with why for the host's log: a name would have to be
// looked up inside the host, a link-local address without its interface leaves by whichever
// the system picks, and an IPv4 address in IPv6 form does not reach IPv4 hosts everywhere.
bool parse_udp_target(std::string_view text, os::udp_peer& peer, std::string& why);

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

  // For the host's thread at tick `now`: whether sending started failing or works again
  // since the last line told, at most once in UDP_REPORT_INTERVAL_MS.
  UdpEvent take_event(std::uint32_t now) noexcept;

 private:
  static void thread_main(void* self) noexcept;
  void run() noexcept;
  // After sending the cycle made at `tick`, `gap` after the one before it: how long until the
  // next one is due to be handed over, with the margin.
  static std::uint32_t rest_after(std::uint32_t tick, std::uint32_t gap) noexcept;
  // One datagram on the socket; whether sending fails now, given whether it did (a full
  // buffer changes nothing).
  bool send(const std::uint8_t* data, std::uint32_t length, bool failing) noexcept;

  os::socket_handle socket_ = os::invalid_socket;
  os::udp_peer peer_{};
  std::string target_;
  os::thread_handle thread_ = os::invalid_thread;

  struct HandedCycle {
    std::array<std::uint8_t, CYCLE_LENGTH> bytes{};
    std::uint32_t tick = 0;
    std::uint32_t gap = 0;  // since the hand-over before it; 0 for the first
  };

  // Shared with the sender, under mutex_.
  std::mutex mutex_;
  std::condition_variable wake_;
  bool reset_pending_ = false;
  // Oldest first. Two: the one the sender was foreseen to take, and one more that wakes it.
  std::array<HandedCycle, 2> handed_{};
  std::size_t handed_count_ = 0;
  bool sleeping_ = false;
  bool stop_ = false;
  bool sends_failing_ = false;

  // The host's own.
  std::uint32_t handed_tick_ = 0;
  bool have_handed_ = false;
  bool told_failing_ = false;
  std::uint32_t told_tick_ = 0;
  bool have_told_ = false;

  // The sender's own.
  HandedCycle sending_{};
};

}  // namespace vontrel

#endif  // VONTREL_LINK_UDP_OUTPUT_H
