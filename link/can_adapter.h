// The USB-CAN adapter's side of the line, in the Lawicel ("slcan") protocol: the hand-shake,
// what the adapter answers, and the frames it passes on from the bus. The schedule of our
// messages lives in link/can_output.h; this only knows the adapter.
//
// Adapters differ, and a player only sees a dark cluster, so each difference ends in one line
// for the host's log:
//   - a board that resets when its port opens (an Arduino with a Lawicel sketch) ignores what
//     comes during its bootloader's two seconds: while nothing has answered, the hand-shake is
//     sent again, until three seconds after the open;
//   - a BEL after the bit rate or the open is a refusal; the version command's answer names
//     the firmware; text that is no Lawicel reply is another device on that port;
//   - an adapter that never answers (the CANable's slcan firmware) is fine: frames go out from
//     the first second, and the log says they are sent blind;
//   - an adapter that acknowledges each frame ("z", "Z") and stops, or answers frames with BEL,
//     or whose status flags ("F") tell of bus errors, has nobody on the bus taking them;
//   - an adapter that loses answers (its receive buffer overflowed) is not waited for: an
//     answer that has not come within CAN_ANSWER_MS is given up and counted, and frames go on.
// Every hand-shake begins with a bare CR, which ends whatever half-line an earlier write left.
#ifndef VONTREL_LINK_CAN_ADAPTER_H
#define VONTREL_LINK_CAN_ADAPTER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "serial/serial_port.h"

namespace vontrel {

// A reply of the adapter, sorted.
enum class CanReply : std::uint8_t {
  ok,            // CR: the command was taken
  refused,       // BEL
  acknowledged,  // "z" or "Z": a frame of ours went out
  version,       // "V" and the firmware's version
  frame,         // a frame from the bus ("t", "T", "r", "R")
  status,        // "F" and the status flags, "N" and a serial number
  echo,          // a Lawicel command: a firmware that echoes, or another host on the line
  foreign,       // a line that is no Lawicel reply: another device on this port
};

// Splits the adapter's bytes into replies. A line ends at CR, or at LF (another device's line
// ends, or a CR the terminal translated before the port was set up); a BEL is a reply of its
// own; a line longer than any reply is foreign.
class CanReplyReader {
 public:
  struct Reply {
    CanReply kind;
    std::string text;  // the line without its CR
  };
  // Adds what came; each reply completed by it is appended to `replies`.
  void feed(const std::uint8_t* bytes, std::size_t count, std::vector<Reply>& replies);

 private:
  std::string line_;
};

// What the host's log hears, once each (acknowledged after unacknowledged, and so on).
enum class CanNews : std::uint8_t {
  refused_bitrate,
  refused_open,
  version,  // detail: the firmware's answer
  foreign,  // answers, but not as a CAN adapter
  silent,   // answers nothing: frames are sent blind
  unacknowledged,
  acknowledged,
  answers_missing,  // detail: how many so far
  answers_back,     // detail: how many went missing in all
};

// How long the bare CR is given to bring back whatever it does, how long an adapter may stay
// silent before it is taken as one that never answers, and how often it is asked again
// meanwhile.
inline constexpr std::uint32_t CAN_FLUSH_MS = 30;
// The answers to the hand-shake's commands come within this, or not at all.
inline constexpr std::uint32_t CAN_ANSWER_MS = 250;
inline constexpr std::uint32_t CAN_SILENT_MS = 3000;
inline constexpr std::uint32_t CAN_RETRY_MS = 700;
// Frames sent without an acknowledgement, by an adapter that acknowledges, for this long:
// nobody on the bus takes them.
inline constexpr std::uint32_t CAN_UNACKNOWLEDGED_MS = 1000;
// An answer to a frame that has not come in this long is late: the adapter may have stopped
// reading (FTDI-based adapters hold what they send for their 16 ms latency timer, so an
// answer a slot late is no sign of that).
inline constexpr std::uint32_t CAN_ANSWER_LATE_MS = 50;
// Answers missing are news once, and answers back again once they have all come for this long.
inline constexpr std::uint32_t CAN_ANSWERS_BACK_MS = 2000;
// An adapter that answers but does not acknowledge frames is asked for its status flags ("F")
// this often while frames go out: a bus error or error-passive flag is the same news.
inline constexpr std::uint32_t CAN_STATUS_MS = 1000;

class CanAdapter {
 public:
  explicit CanAdapter(SerialPort& port) noexcept : port_(port) {}

  // A freshly opened port: the silence is counted from `now_us`.
  void opened(std::uint64_t now_us) noexcept;

  // The hand-shake: a bare CR now, and a moment later, once whatever it brings back has come,
  // close ("C": an adapter left open refuses a new bit rate), the bit rate, open ("O") and the
  // version ("V") in one write, by step. Nothing waits: the sender's messages go on between
  // the two. Their answers are read as they come, in order, by poll. False when the port
  // failed.
  bool begin_hand_shake(char bitrate_command, std::uint64_t now_us) noexcept;
  // Writes the hand-shake's commands once their moment has come. False when the port failed.
  bool step(std::uint64_t now_us) noexcept;
  // Whether the commands are still to be written, and when.
  bool hand_shaking() const noexcept { return commands_pending_; }
  std::uint64_t commands_due_us() const noexcept { return commands_due_us_; }

  // Whether the hand-shake should go again: an adapter that has answered nothing yet, in the
  // first seconds after its port opened (a bootloader ate the last one).
  bool hand_shake_due(std::uint64_t now_us) const noexcept;

  // Reads whatever came, never waiting. False when the port failed.
  bool poll(std::uint64_t now_us) noexcept;

  // `count` frames of ours were written at `now_us`.
  void sent(std::size_t count, std::uint64_t now_us) noexcept;

  // Whether `window` frames or more are written since the last answer of an adapter that
  // answers each (z, Z or BEL), and that answer is CAN_ANSWER_LATE_MS old: it has stopped
  // reading, and more lines would only wait in the line's buffer to come out stale when it
  // reads again. One that loses answers, or answers late, still answers: never held.
  bool holding(std::size_t window, std::uint64_t now_us) const noexcept;

  // Answers to frames given up since the open: lost by the adapter, or never sent.
  std::uint64_t answers_missing() const noexcept { return answers_missing_; }

  // The next news for the host's log, in order; false when there is none.
  bool take_news(CanNews& news, std::string& detail);

  std::uint64_t frames_received() const noexcept { return frames_received_; }

  // A J1939 Request (PGN 59904) another node sent: the parameter group it asks for, and
  // whom (255: every node).
  struct Request {
    std::uint32_t pgn;
    std::uint8_t destination;
  };
  // The requests that came since the last call, oldest first; false when there is none.
  bool take_request(Request& request) noexcept;

 private:
  bool read_replies(std::vector<CanReplyReader::Reply>& replies) noexcept;
  void take(const CanReplyReader::Reply& reply, std::uint64_t now_us) noexcept;
  void tell(CanNews news, std::string detail = std::string()) noexcept;
  void take_frame(const std::string& line) noexcept;
  void take_status(const std::string& text) noexcept;

  SerialPort& port_;
  // The commands of the last hand-shake still to be answered, first first.
  std::string expected_;
  std::uint64_t expected_until_us_ = 0;
  char bitrate_command_ = '5';
  CanReplyReader reader_;
  std::vector<CanReplyReader::Reply> replies_;
  std::uint64_t opened_us_ = 0;
  std::uint64_t last_hand_shake_us_ = 0;
  bool commands_pending_ = false;
  std::uint64_t commands_due_us_ = 0;
  bool answered_ = false;  // anything at all since the open
  bool told_silent_ = false;
  bool told_foreign_ = false;
  bool told_version_ = false;
  // Whether this adapter acknowledges our frames (z, Z), and since when frames went out with
  // no acknowledgement (a BEL for a frame it could not queue is none).
  bool acknowledges_ = false;
  std::uint64_t unacknowledged_since_us_ = 0;  // 0: the last frame was acknowledged
  // When each frame not yet answered was written, oldest first (a ring): answers come in
  // the order of the frames.
  static constexpr std::size_t IN_FLIGHT_KEPT = 256;
  std::uint64_t in_flight_us_[IN_FLIGHT_KEPT] = {};
  std::size_t in_flight_first_ = 0;
  std::size_t in_flight_ = 0;
  std::uint64_t last_answer_us_ = 0;      // the last z, Z or BEL
  std::size_t written_since_answer_ = 0;  // frames written since it
  void answered_one(std::uint64_t now_us) noexcept;
  void give_up_late(std::uint64_t now_us, bool answers_came) noexcept;
  std::uint64_t quickest_answer_us_ = ~std::uint64_t{0} / 2;  // none yet: nothing is overdue
  std::uint64_t answers_missing_ = 0;
  bool told_missing_ = false;
  std::uint64_t last_missing_us_ = 0;
  bool told_unacknowledged_ = false;
  std::uint64_t status_asked_us_ = 0;
  std::uint64_t frames_received_ = 0;
  static constexpr std::size_t REQUESTS_KEPT = 16;
  Request requests_[REQUESTS_KEPT] = {};
  std::size_t request_count_ = 0;

  struct Told {
    CanNews news;
    std::string detail;
  };
  std::vector<Told> news_;
};

}  // namespace vontrel

#endif  // VONTREL_LINK_CAN_ADAPTER_H
