// The plug-in's byte stream as events for the monitor to show, decoded by the same decoder
// the reference firmware runs (protocol/decoder.h).
#ifndef VONTREL_TOOLS_MONITOR_FRAME_DECODER_H
#define VONTREL_TOOLS_MONITOR_FRAME_DECODER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/decoder.h"

namespace vontrel::monitor {

enum class EventKind {
  frame,    // one of the seven cycle frames, well formed
  reset,    // FF 04 and fourteen zeros
  unknown,  // FF 04 and an id no cluster knows
  torn,     // bytes that do not form a whole, well-formed frame
};

struct DecodedEvent {
  EventKind kind = EventKind::frame;
  std::vector<std::uint8_t> bytes;  // the frame, or the bytes skipped
  std::uint8_t id = 0;
  std::string reason;            // for torn frames
  std::uint64_t cycle = 0;       // frames: the cycle they belong to (1-based), 0 if none
  bool completes_cycle = false;  // frames: this debug frame closed a whole cycle
};

const char* frame_name(std::uint8_t id);

class FrameDecoder final : private DecodeListener {
 public:
  FrameDecoder() = default;
  FrameDecoder(const FrameDecoder&) = delete;
  FrameDecoder& operator=(const FrameDecoder&) = delete;
  ~FrameDecoder() = default;

  // Feeds bytes as they arrive; complete events are appended to `events`.
  void feed(const std::uint8_t* data, std::size_t length, std::vector<DecodedEvent>& events);
  // The end of the stream: whatever is left is a torn frame.
  void finish(std::vector<DecodedEvent>& events);

  std::uint64_t cycles() const { return decoder_.cycles(); }
  const Decoder& decoder() const { return decoder_; }

 private:
  void decoded(Decoded kind, const std::uint8_t* bytes, std::uint8_t length) override;
  void skipped(std::uint8_t byte) override;
  void run_ended(Torn reason) override;

  Decoder decoder_{this};
  std::vector<std::uint8_t> skipped_;
  std::vector<DecodedEvent>* events_ = nullptr;
};

}  // namespace vontrel::monitor

#endif  // VONTREL_TOOLS_MONITOR_FRAME_DECODER_H
