// Any byte stream, in any chunking, through the monitor's decoder: every byte is accounted for
// exactly once, and every frame it reports has its length and envelope.
#include <cstdint>
#include <vector>

#include "tools/monitor/frame_decoder.h"

namespace {
void require(bool condition) {
  if (!condition) {
    __builtin_trap();
  }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vontrel::monitor;
  if (size == 0) {
    return 0;
  }
  const std::size_t chunk = 1 + data[0] % 32;
  ++data;
  --size;
  FrameDecoder decoder;
  std::vector<DecodedEvent> events;
  for (std::size_t offset = 0; offset < size; offset += chunk) {
    decoder.feed(data + offset, std::min(chunk, size - offset), events);
  }
  decoder.finish(events);

  std::vector<std::uint8_t> seen;
  for (const auto& event : events) {
    if (event.kind == EventKind::frame || event.kind == EventKind::reset) {
      require(event.bytes.size() == (event.kind == EventKind::reset ? 16u : 11u));
      require(event.bytes[0] == 0xFF && event.bytes[1] == 0x04);
    }
    require(!event.bytes.empty());
    seen.insert(seen.end(), event.bytes.begin(), event.bytes.end());
  }
  require(seen == std::vector<std::uint8_t>(data, data + size));
  return 0;
}
