// A cluster's CAN messages on its bus, through a USB-CAN adapter that speaks the Lawicel
// ("slcan") protocol on a serial port: the messages of a profile (a DBC file, can/dbc.h), or
// the built-in J1939 profile for a cluster taken from a truck or J1939 gauges.
//
// A thread of ours owns the adapter. It opens the port, closes the channel, sets the bit rate
// and opens it again ("C", "S5", "O"), then sends each message at its own interval from the
// latest snapshot, whatever the host's frame rate: a cluster drops its needles or raises a
// fault when a message stops, so the schedule goes on while the game is paused. A message
// sent "on change" also goes out at once when what it carries changes, no sooner after the
// last such send than its least gap. The adapter's replies are never waited for and never
// left to pile up. A lost adapter (unplugged) is opened again once a second, with the same
// hand-shake.
//
// The host's thread only copies the snapshot under a lock nobody holds for long: no system
// call, no wait on the adapter.
#ifndef VONTREL_LINK_CAN_OUTPUT_H
#define VONTREL_LINK_CAN_OUTPUT_H

#include <bitset>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "can/dbc.h"
#include "can/encoder.h"
#include "can/sources.h"
#include "link/can_adapter.h"
#include "os/os.h"
#include "serial/serial_port.h"
#include "settings/settings.h"
#include "telemetry/telemetry_state.h"

namespace vontrel {

// The value of can_port that leaves CAN off, as no line does.
inline constexpr char CAN_OFF[] = "none";

// One message of the profile as the sender sends it.
struct CanMessage {
  can::Message message;
  std::vector<can::Source> sources;  // by signal
  std::uint32_t id = 0;              // a source address from the settings in its low byte
  std::uint32_t interval_ms = 0;     // 0: not sent
  std::vector<std::uint32_t> pages;  // a multiplexed message's, one a send in turn; else empty
};

struct CanSettings {
  std::string port = CAN_OFF;
  std::string profile;  // the profile's file; empty for the built-in J1939 profile
  std::uint32_t bitrate = 250000;
  char bitrate_command = '5';  // the adapter's S0 to S8
  // The serial rate, for an adapter behind a USB-UART bridge (an Arduino sketch built for
  // 500000 baud); USB-CDC adapters take any.
  std::uint32_t baud = SERIAL_BAUD_RATE;
  std::vector<CanMessage> messages;
};

// Files beyond this are no profile of a cluster's messages: the read stops, CAN stays off.
inline constexpr std::size_t CAN_PROFILE_MAX_BYTES = can::MAX_PROFILE_BYTES;

// Reads can_port, can_bitrate, can_profile (a DBC file, relative to the folder of the settings
// file at `settings_path`) and each message's can_<message>_ms and can_<message>_source, by the
// message's name in lower case. Every unknown can_ key, value it cannot use and problem of the
// profile adds one line for the host's log to `complaints` (the message's default is kept).
// False when CAN stays off: no port, a bit rate the adapter does not have, a profile that
// cannot be read or has problems (each with its line).
bool read_can_settings(const Settings& settings, const std::string& settings_path, CanSettings& can,
                       std::vector<std::string>& complaints);

// How often a lost adapter is looked for again.
inline constexpr std::uint32_t CAN_REOPEN_INTERVAL_MS = 1000;
// The longest the sender sleeps at a time, so that a stop is noticed soon.
inline constexpr std::uint32_t CAN_LONGEST_SLEEP_MS = 20;
// An adapter that takes none of our lines for this long is given up and opened again.
inline constexpr std::uint32_t CAN_STALL_MS = 1000;

enum class CanEvent { none, lost, back };

class CanOutput {
 public:
  CanOutput() = default;
  ~CanOutput() { close(); }
  CanOutput(const CanOutput&) = delete;
  CanOutput& operator=(const CanOutput&) = delete;

  // Closes what an earlier start-up opened, then starts the sender for `settings`. False when
  // no thread could be had; CAN is then off.
  bool open(const CanSettings& settings);
  // Stops the sender, which closes the channel ("C") and the port: bounded by one write.
  void close() noexcept;
  bool active() const noexcept { return thread_ != os::invalid_thread; }
  const std::string& port_name() const noexcept { return settings_.port; }

  // The host's thread: the latest snapshot, for the next messages.
  void submit(const TelemetryState& state) noexcept;

  // The host's thread: the next change of the adapter, in the order they happened.
  CanEvent take_event() noexcept;
  // Why the adapter was last lost: the port's error, or empty when it stopped answering.
  std::string why_lost() const;
  // The host's thread: the next thing the adapter told, for the log.
  bool take_news(CanNews& news, std::string& detail);

 private:
  static void thread_main(void* self) noexcept;
  void run() noexcept;
  bool stopping() noexcept;
  bool hand_shake() noexcept;
  // Sends every message due at `now_us`, and those sent on a change that changed; the time of
  // the next.
  std::uint64_t send_due(std::uint64_t now_us) noexcept;
  bool write_lines(const char* text, std::size_t length) noexcept;
  void note(bool open, const std::string& why = std::string()) noexcept;
  // The adapter is gone or stalled: closed, told, and looked for again a moment later.
  void lose(std::uint64_t now_us) noexcept;
  // Another node's Request for a message we send brings it forward to now.
  void answer_requests(std::uint64_t now_us) noexcept;
  void pass_news() noexcept;

  CanSettings settings_;
  SerialPort port_;  // the sender's own
  CanAdapter adapter_{port_};
  os::thread_handle thread_ = os::invalid_thread;

  // Shared with the sender, under mutex_.
  mutable std::mutex mutex_;
  TelemetryState latest_{};
  std::uint64_t submitted_ = 0;  // snapshots handed over
  bool stop_ = false;
  std::uint32_t changes_ = 0;  // lost, back, lost, ...: odd while lost
  std::string why_lost_;
  struct Told {
    CanNews news;
    std::string detail;
  };
  std::deque<Told> news_;
  static constexpr std::size_t NEWS_KEPT = 16;

  std::uint32_t reported_ = 0;  // the host's own

  // The sender's own, by message.
  struct Schedule {
    std::uint64_t due_us = 0;
    std::uint64_t change_allowed_us = 0;  // the least gap after a send brought forward
    std::uint32_t counter = 0;            // for the next send
    std::size_t page = 0;                 // into the message's pages, for the next send
    bool sent = false;                    // since the adapter was opened
    can::Data last{};                     // as sent, with the counter of that send
    std::uint32_t last_page = 0;          // the page of that send
    std::vector<double> totals_sent;      // per signal: the running total last sent (NaN: none)
  };
  std::vector<Schedule> schedules_;
  // The drive's distance and fuel used, for the running totals a car's cluster reads: kept
  // from the sender's start to its stop, across reopened adapters.
  can::RunningTotals totals_;
  std::uint64_t totals_seen_ = 0;  // the snapshots they have taken in
  // The J1939 addresses our messages come from, each claimed after every hand-shake and when
  // another node asks for the claims.
  std::vector<std::uint8_t> claims_;
  std::bitset<256> claim_due_;
  std::size_t window_ = 0;              // one slot: every message and claim once
  std::uint64_t blocked_since_us_ = 0;  // the adapter has not taken our last lines since
  std::uint64_t next_open_us_ = 0;
  std::vector<char> text_;  // one line per message at most, sized at open
};

}  // namespace vontrel

#endif  // VONTREL_LINK_CAN_OUTPUT_H
