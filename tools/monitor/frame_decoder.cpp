#include "tools/monitor/frame_decoder.h"

#include <algorithm>
#include <array>

namespace vontrel::monitor {

namespace {

constexpr std::uint8_t START = 0xFF;
constexpr std::uint8_t MARKER = 0x04;
constexpr std::size_t FRAME_LENGTH = 11;
constexpr std::size_t RESET_LENGTH = 16;
constexpr std::array<std::uint8_t, 7> CYCLE_IDS = {0x10, 0x20, 0x30, 0x31, 0x40, 0x50, 0x99};

bool known_id(std::uint8_t id) {
  return std::find(CYCLE_IDS.begin(), CYCLE_IDS.end(), id) != CYCLE_IDS.end();
}

bool all_zero(const std::uint8_t* bytes, std::size_t from, std::size_t to) {
  return std::all_of(bytes + from, bytes + to, [](std::uint8_t b) { return b == 0; });
}

// A packed BCD byte within [low, high]; the tens nibble runs up to 14 (0xA0 is 100).
bool bcd_within(std::uint8_t value, int low, int high) {
  const int tens = value >> 4;
  const int units = value & 0x0F;
  const int number = tens * 10 + units;
  return units <= 9 && number >= low && number <= high;
}

// The bytes every well-formed frame of this id must hold; empty when it holds them.
std::string malformation(std::uint8_t id, const std::uint8_t* f) {
  switch (id) {
    case 0x10:
      if (!bcd_within(f[3], 0, 23) || !bcd_within(f[4], 0, 59) || !bcd_within(f[5], 1, 31) ||
          !bcd_within(f[6], 1, 12) || !bcd_within(f[8], 0, 149) || f[7] != 0 || f[9] != 0 ||
          f[10] != 0) {
        return "clock frame with invalid BCD or non-zero padding";
      }
      return "";
    case 0x20:
      if (f[4] != 0 || f[6] != 0 || (f[9] != 0x0D && f[9] != 0x12) || f[10] > 1) {
        return "status frame with impossible bytes";
      }
      return "";
    case 0x30:
      if (f[3] != 0 || f[7] != 0x03 || f[8] != 0xBC || f[10] != 0) {
        return "engine frame without its fixed bytes 03 BC";
      }
      return "";
    case 0x31:
      return all_zero(f, 3, 11) ? "" : "blank frame that is not blank";
    case 0x40:
      return f[5] == 0 && f[6] == 0x25 && all_zero(f, 7, 11) ? ""
                                                             : "speed frame without its fixed 25";
    case 0x50:
      return all_zero(f, 6, 11) ? "" : "light frame with non-zero padding";
    case 0x99:
      return f[3] <= 1 && all_zero(f, 4, 11) ? "" : "debug frame with impossible bytes";
    default:
      return "unknown frame";
  }
}

}  // namespace

const char* frame_name(std::uint8_t id) {
  switch (id) {
    case 0x00:
      return "reset";
    case 0x10:
      return "clock";
    case 0x20:
      return "status";
    case 0x30:
      return "engine";
    case 0x31:
      return "blank";
    case 0x40:
      return "speed";
    case 0x50:
      return "light";
    case 0x99:
      return "debug";
    default:
      return "unknown";
  }
}

void FrameDecoder::feed(const std::uint8_t* data, std::size_t length,
                        std::vector<DecodedEvent>& events) {
  pending_.insert(pending_.end(), data, data + length);
  while (step(events)) {
  }
}

void FrameDecoder::finish(std::vector<DecodedEvent>& events) {
  if (!pending_.empty()) {
    emit_torn(pending_.size(), "stream ended inside a frame", events);
  }
}

void FrameDecoder::emit_torn(std::size_t length, const std::string& reason,
                             std::vector<DecodedEvent>& events) {
  DecodedEvent event;
  event.kind = EventKind::torn;
  event.bytes.assign(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(length));
  event.reason = reason;
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(length));
  expected_in_cycle_ = 0;
  events.push_back(std::move(event));
}

void FrameDecoder::emit_frame(std::size_t length, std::uint8_t id,
                              std::vector<DecodedEvent>& events) {
  DecodedEvent event;
  event.kind = id == 0 ? EventKind::reset : EventKind::frame;
  event.bytes.assign(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(length));
  event.id = id;
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(length));
  if (id != 0) {
    // Cycles are the seven frames in their order; any other order starts over.
    if (id == CYCLE_IDS[0]) {
      expected_in_cycle_ = 0;
      current_cycle_ = cycles_ + 1;
    }
    if (expected_in_cycle_ < CYCLE_IDS.size() && CYCLE_IDS[expected_in_cycle_] == id) {
      ++expected_in_cycle_;
      event.cycle = current_cycle_;
      if (expected_in_cycle_ == CYCLE_IDS.size()) {
        event.completes_cycle = true;
        cycles_ = current_cycle_;
        expected_in_cycle_ = 0;
      }
    } else {
      expected_in_cycle_ = 0;
    }
  } else {
    expected_in_cycle_ = 0;
  }
  events.push_back(std::move(event));
}

bool FrameDecoder::step(std::vector<DecodedEvent>& events) {
  if (pending_.empty()) {
    return false;
  }
  // Anything before the next FF 04 is not a frame.
  std::size_t start = 0;
  while (start + 1 < pending_.size() &&
         !(pending_[start] == START && pending_[start + 1] == MARKER)) {
    ++start;
  }
  if (start > 0) {
    const bool found = start + 1 < pending_.size();
    std::size_t skip = start;
    if (!found) {
      // No FF 04 yet; a trailing FF may still start the next frame.
      skip = pending_.back() == START ? pending_.size() - 1 : pending_.size();
    }
    if (skip > 0) {
      emit_torn(skip, "bytes between frames", events);
    }
    return found;
  }
  if (pending_.size() < 3) {
    return false;
  }
  const std::uint8_t id = pending_[2];
  if (id == 0x00) {
    if (pending_.size() < RESET_LENGTH) {
      return false;
    }
    if (!all_zero(pending_.data(), 2, RESET_LENGTH)) {
      emit_torn(2, "reset frame with non-zero bytes", events);
      return true;
    }
    emit_frame(RESET_LENGTH, 0, events);
    return true;
  }
  if (!known_id(id)) {
    DecodedEvent event;
    event.kind = EventKind::unknown;
    event.bytes.assign(pending_.begin(), pending_.begin() + 3);
    event.id = id;
    pending_.erase(pending_.begin(), pending_.begin() + 3);
    expected_in_cycle_ = 0;
    events.push_back(std::move(event));
    return true;
  }
  if (pending_.size() < FRAME_LENGTH) {
    return false;
  }
  const std::string wrong = malformation(id, pending_.data());
  if (!wrong.empty()) {
    // Most likely bytes were lost and the next frame's header fell into this one: skip the
    // header and look for the next FF 04.
    emit_torn(2, wrong, events);
    return true;
  }
  emit_frame(FRAME_LENGTH, id, events);
  return true;
}

}  // namespace vontrel::monitor
