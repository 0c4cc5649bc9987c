// A cluster's CAN messages as a player describes them: a DBC file, the format every CAN tool
// reads and writes. The reader is pure (the file's text in, tables out) and never gives up on a
// file: what it cannot use it reports with the file's line number, and reading goes on at the
// next statement, so a player sees every problem of a profile at once.
//
// Besides the messages and signals it keeps what sending them needs: each message's cycle time
// (GenMsgCycleTime), send type (GenMsgSendType) and least gap (GenMsgDelayTime), each signal's
// start value (GenSigStartValue) and what feeds it (VontrelSource, a string attribute of the
// signal), the message's fill byte (VontrelFill) and the bus's bit rate (Baudrate). Comments and
// value tables are read past: CAN tools keep them, the sender has no use for them.
#ifndef VONTREL_CAN_DBC_H
#define VONTREL_CAN_DBC_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vontrel::can {

enum class ByteOrder : std::uint8_t { intel, motorola };
enum class SendType : std::uint8_t { cyclic, cyclic_and_on_change };

struct Signal {
  std::string name;
  std::size_t line = 0;
  std::uint32_t start_bit = 0;  // as the file writes it (Motorola: the most significant bit)
  std::uint32_t length = 0;
  ByteOrder byte_order = ByteOrder::intel;
  bool is_signed = false;
  double factor = 1.0;
  double offset = 0.0;
  double minimum = 0.0;  // [0|0], "no range", reads as 0 and 0
  double maximum = 0.0;
  std::string unit;
  double start_value = 0.0;  // raw, as Vector's tools write GenSigStartValue
  std::string source;        // VontrelSource, empty when none (can/sources.h reads it)
  std::size_t source_line = 0;
  bool multiplexor = false;  // M: its value names the page a frame carries
  std::int64_t page = -1;    // mN: sent in page N only; -1 in every page
};

struct Message {
  std::string name;
  std::size_t line = 0;
  std::uint32_t id = 0;  // without the extended flag
  bool extended = false;
  std::uint32_t length = 0;
  std::uint32_t cycle_ms = 0;  // 0 when the file gives none
  SendType send_type = SendType::cyclic;
  // GenMsgDelayTime: the least time between two sends a change may bring forward (DM1's once a
  // second, so a flickering lamp does not flood the bus); 0 when the file gives none.
  std::uint32_t delay_ms = 0;
  std::uint8_t fill = 0x00;
  // A J1939 parameter group (VFrameFormat "J1939PG", or a file whose ProtocolType is "J1939"):
  // its sender's address is claimed on the bus.
  bool j1939 = false;
  std::vector<Signal> signals;
  // A multiplexed message's pages: each multiplexor value the file gives signals for, rising.
  // Empty for a message without a multiplexor, or one whose multiplexor has none under it.
  std::vector<std::uint32_t> pages;
};

// A message the sender leaves out, and why (nested multiplexing, a CAN FD length).
struct Skipped {
  std::size_t line = 0;
  std::string name;
  std::string why;
};

struct Problem {
  std::size_t line = 0;
  std::string text;
};

struct Profile {
  std::vector<Message> messages;
  std::vector<Skipped> skipped;
  std::vector<Problem> problems;  // at most MAX_PROBLEMS
  std::size_t problems_not_kept = 0;
  std::uint32_t bitrate = 0;  // Baudrate, 0 when the file gives none
};

inline constexpr std::size_t MAX_PROBLEMS = 10;

// Files beyond this are no profile of a cluster's messages: they are not read.
inline constexpr std::size_t MAX_PROFILE_BYTES = std::size_t{4} * 1024 * 1024;

// Reads a DBC file's text: LF, CRLF or CR line ends, with or without a UTF-8 byte-order mark,
// any statement order. Checks what the sender needs: the syntax, signals that overlap or reach
// past their message, cycle times, sources it knows, counters and checksums with the room they
// need, and identifiers and names used once.
Profile read_dbc(std::string_view text);

// The bit after `position` (byte * 8 + bit, bit 0 the least significant) as the signal runs:
// Intel upwards, Motorola down within a byte and on to the next byte's most significant bit.
inline std::int64_t next_bit(const Signal& signal, std::int64_t position) noexcept {
  if (signal.byte_order == ByteOrder::intel) {
    return position + 1;
  }
  return position % 8 == 0 ? position + 15 : position - 1;
}

// How a problem reads in the host's log and in vontrel-monitor: "line 12: ...".
std::string describe(const Problem& problem);

}  // namespace vontrel::can

#endif  // VONTREL_CAN_DBC_H
