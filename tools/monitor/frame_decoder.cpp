#include "tools/monitor/frame_decoder.h"

#include "protocol/wire.h"

namespace vontrel::monitor {

const char* frame_name(std::uint8_t id) {
  switch (id) {
    case FRAME_ID_RESET:
      return "reset";
    case FRAME_ID_CLOCK:
      return "clock";
    case FRAME_ID_STATUS:
      return "status";
    case FRAME_ID_ENGINE:
      return "engine";
    case FRAME_ID_BLANK:
      return "blank";
    case FRAME_ID_SPEED:
      return "speed";
    case FRAME_ID_LIGHT:
      return "light";
    case FRAME_ID_DEBUG:
      return "debug";
    default:
      return "unknown";
  }
}

void FrameDecoder::feed(const std::uint8_t* data, std::size_t length,
                        std::vector<DecodedEvent>& events) {
  events_ = &events;
  for (std::size_t i = 0; i < length; ++i) {
    decoder_.push(data[i]);
  }
  events_ = nullptr;
}

void FrameDecoder::finish(std::vector<DecodedEvent>& events) {
  events_ = &events;
  decoder_.finish();
  events_ = nullptr;
}

void FrameDecoder::decoded(Decoded kind, const std::uint8_t* bytes, std::uint8_t length) {
  DecodedEvent event;
  event.kind = kind == Decoded::frame   ? EventKind::frame
               : kind == Decoded::reset ? EventKind::reset
                                        : EventKind::unknown;
  event.bytes.assign(bytes, bytes + length);
  event.id = bytes[2];
  if (kind == Decoded::frame) {
    event.completes_cycle = decoder_.cycle_completed();
    if (event.completes_cycle) {
      event.cycle = decoder_.cycles();
    } else if (decoder_.in_cycle()) {
      event.cycle = decoder_.cycles() + 1;
    }
  }
  events_->push_back(std::move(event));
}

void FrameDecoder::skipped(std::uint8_t byte) {
  skipped_.push_back(byte);
}

void FrameDecoder::run_ended(Torn reason) {
  DecodedEvent event;
  event.kind = EventKind::torn;
  event.bytes.swap(skipped_);
  event.reason = torn_reason(reason);
  events_->push_back(std::move(event));
}

}  // namespace vontrel::monitor
