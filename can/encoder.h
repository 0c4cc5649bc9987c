// One CAN message of a profile made from the snapshot: pure, as the cluster's frame encoders
// are. The sender keeps each message's count of sends, its page and the drive's running
// totals, and passes them in.
//
// A value becomes the signal's raw value by its factor and offset, rounded to nearest, clamped
// to the signal's range (unless the file gives [0|0], "no range") and to what its bits hold. A
// value the host gives as NaN, or does not have yet, sends the start value. Bits no signal
// covers carry the message's fill byte. Checksums come last, over every other byte.
#ifndef VONTREL_CAN_ENCODER_H
#define VONTREL_CAN_ENCODER_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "can/dbc.h"
#include "can/sources.h"
#include "telemetry/telemetry_state.h"

namespace vontrel::can {

using Data = std::array<std::uint8_t, 8>;

// A message with each signal's source read (in the order of its signals). False, with `why`,
// for a source that does not read; read_dbc has already reported those as problems.
bool prepare_sources(const Message& message, std::vector<Source>& sources, std::string& why);

// The pages a multiplexed message is sent in, in turn: the multiplexor's own constant alone
// where it has one, else every page the file gives signals for, rising. Empty for a message
// without pages.
std::vector<std::uint32_t> pages_to_send(const Message& message,
                                         const std::vector<Source>& sources);

// What one send of a message carries beyond the snapshot.
struct Send {
  std::uint32_t number = 0;  // sends of this message before this one: its counter's step
  std::uint32_t page = 0;    // for a multiplexed message: the multiplexor's value
  const RunningTotals* totals = nullptr;
  // Per signal of the message, the running total its last send carried (NaN before the first):
  // a cluster tells a step from a wrap of its counter only while the step is under half the
  // counter's range, so a larger one goes out in parts, the rest carried to the next sends.
  // Null: the whole total at once.
  const double* totals_sent = nullptr;
  // Where this send's are kept (may be the same array); null to only look.
  double* totals_sending = nullptr;
};

// The message's first `message.length` data bytes (the rest of `Data` is 0).
Data encode(const Message& message, const std::vector<Source>& sources, const TelemetryState& state,
            const Send& send) noexcept;

// A counter's value on the send numbered `number`: its range over and over.
std::uint64_t counter_value(const Signal& signal, const Source& source,
                            std::uint32_t number) noexcept;

// The checksum forms, over `bytes` in order; for crc8, `data` (if any) is taken in after them.
std::uint8_t xor8(const std::uint8_t* bytes, std::size_t count) noexcept;
std::uint8_t sum8(const std::uint8_t* bytes, std::size_t count) noexcept;
std::uint8_t crc8(const std::uint8_t* bytes, std::size_t count, std::uint8_t polynomial,
                  std::uint8_t initial, std::uint8_t final_xor, const std::uint8_t* data,
                  std::size_t data_count) noexcept;

// A raw value into the message's bits, as the signal lays it out, and back out of them.
void put_raw(const Signal& signal, std::uint64_t raw, Data& bytes) noexcept;
std::uint64_t get_raw(const Signal& signal, const Data& bytes) noexcept;
// A raw value read back in the signal's physical units (signed ones sign-extended).
double physical(const Signal& signal, std::uint64_t raw) noexcept;

// The checksum a message's frame should carry in `checksum`'s byte, as `source` computes it
// over the frame's bytes and, as it says, its identifier and length; a CRC's data byte is the
// one for the frame's own counter value, `counter`.
struct FrameOf {
  std::uint32_t id = 0;
  bool extended = false;
  std::size_t length = 0;
};
std::uint8_t checksum_of(const Signal& checksum, const Source& source, const Data& bytes,
                         const FrameOf& frame, std::uint64_t counter) noexcept;

// The adapter's line for one frame (Lawicel): "t" and three hex digits of an 11-bit identifier,
// or "T" and eight of a 29-bit one, the length, the data in hex, CR. Returns the line's length;
// `line` holds at least SLCAN_LINE bytes.
inline constexpr std::size_t SLCAN_LINE = 1 + 8 + 1 + 2 * 8 + 1;
std::size_t slcan_line(std::uint32_t id, bool extended, const Data& bytes, std::size_t length,
                       char* line) noexcept;

// One frame from a USB-CAN adapter (Lawicel): "t" with three hex digits of identifier, or "T"
// with eight, then the length and the data in hex, and four hex digits of timestamp where the
// adapter is in its timestamp mode. False for anything else (replies, remote frames, noise).
bool parse_slcan(std::string_view line, std::uint32_t& id, bool& extended, Data& bytes,
                 std::size_t& length) noexcept;

}  // namespace vontrel::can

#endif  // VONTREL_CAN_ENCODER_H
