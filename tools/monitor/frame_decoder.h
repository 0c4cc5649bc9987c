// Splits the plug-in's byte stream into frames, the way a cluster's firmware would: find
// FF 04, read the id, take the frame's length, check its fixed bytes, and resynchronise on
// the next FF 04 after anything it cannot make sense of.
#ifndef VONTREL_TOOLS_MONITOR_FRAME_DECODER_H
#define VONTREL_TOOLS_MONITOR_FRAME_DECODER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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

class FrameDecoder {
 public:
  // Feeds bytes as they arrive; complete events are appended to `events`.
  void feed(const std::uint8_t* data, std::size_t length, std::vector<DecodedEvent>& events);
  // The end of the stream: whatever is left is a torn frame.
  void finish(std::vector<DecodedEvent>& events);

  std::uint64_t cycles() const { return cycles_; }

 private:
  void emit_frame(std::size_t length, std::uint8_t id, std::vector<DecodedEvent>& events);
  void emit_torn(std::size_t length, const std::string& reason, std::vector<DecodedEvent>& events);
  bool step(std::vector<DecodedEvent>& events);

  std::vector<std::uint8_t> pending_;
  std::size_t expected_in_cycle_ = 0;  // index of the next frame of a cycle in order
  std::uint64_t cycles_ = 0;
  std::uint64_t current_cycle_ = 0;
};

}  // namespace vontrel::monitor

#endif  // VONTREL_TOOLS_MONITOR_FRAME_DECODER_H
