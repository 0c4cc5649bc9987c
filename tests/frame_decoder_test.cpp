#include "tools/monitor/frame_decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/frame_bytes.h"

namespace vontrel::monitor {
namespace {

using testing::Bytes;
using testing::hex;

const std::string reset = "FF 04 00 00 00 00 00 00 00 00 00 00 00 00 00 00";
const std::string cycle =
    "FF 04 10 00 00 01 01 00 01 00 00 FF 04 20 01 00 10 00 00 00 12 00 "
    "FF 04 30 00 00 00 34 03 BC 00 00 FF 04 31 00 00 00 00 00 00 00 00 "
    "FF 04 40 FF 04 00 25 00 00 00 00 FF 04 50 FF 00 00 00 00 00 00 00 "
    "FF 04 99 01 00 00 00 00 00 00 00";

// A compact trace of what the decoder saw: "R" reset, "F10" frame, "U77" unknown, "T" torn,
// "|" a completed cycle.
std::string trace(const std::vector<DecodedEvent>& events) {
  std::string text;
  char id[4];
  for (const auto& event : events) {
    switch (event.kind) {
      case EventKind::reset:
        text += "R ";
        break;
      case EventKind::frame:
        std::snprintf(id, sizeof id, "%02X", event.id);
        text += std::string("F") + id + (event.completes_cycle ? "| " : " ");
        break;
      case EventKind::unknown:
        std::snprintf(id, sizeof id, "%02X", event.id);
        text += std::string("U") + id + " ";
        break;
      case EventKind::torn:
        text += "T ";
        break;
    }
  }
  return text;
}

std::string decode(const Bytes& bytes, std::size_t chunk = 0) {
  FrameDecoder decoder;
  std::vector<DecodedEvent> events;
  if (chunk == 0) {
    decoder.feed(bytes.data(), bytes.size(), events);
  } else {
    for (std::size_t i = 0; i < bytes.size(); i += chunk) {
      decoder.feed(bytes.data() + i, std::min(chunk, bytes.size() - i), events);
    }
  }
  decoder.finish(events);
  return trace(events);
}

TEST(frame_decoder_test, whole_stream_in_any_chunking) {
  const Bytes stream = hex(reset + " " + cycle + " " + cycle + " " + reset);
  const std::string expected = "R F10 F20 F30 F31 F40 F50 F99| F10 F20 F30 F31 F40 F50 F99| R ";
  for (std::size_t chunk : {0u, 1u, 2u, 7u, 11u, 64u}) {
    EXPECT_EQ(decode(stream, chunk), expected) << "chunk " << chunk;
  }
}

TEST(frame_decoder_test, payload_bytes_that_look_like_a_header_are_payload) {
  // The speed frame above carries FF 04 as its speed value.
  EXPECT_EQ(decode(hex(cycle)), "F10 F20 F30 F31 F40 F50 F99| ");
}

TEST(frame_decoder_test, lost_bytes_make_one_torn_frame_and_it_resynchronises) {
  Bytes stream = hex(cycle + " " + cycle);
  stream.erase(stream.begin() + 25, stream.begin() + 28);  // three bytes of the engine frame
  const std::string got = decode(stream);
  EXPECT_NE(got.find('T'), std::string::npos) << got;
  EXPECT_EQ(got.substr(got.size() - 29), "F10 F20 F30 F31 F40 F50 F99| ") << got;
  EXPECT_EQ(got.find("F30 F31"), got.rfind("F30 F31")) << "first cycle is not complete";
}

TEST(frame_decoder_test, unknown_ids_and_noise_are_reported_and_skipped) {
  EXPECT_EQ(decode(hex("12 34 FF 04 77 " + reset)), "T U77 R ");
  EXPECT_EQ(decode(hex("FF 04 10 00")), "T ");
  EXPECT_EQ(decode(hex("FF")), "T ");
  EXPECT_EQ(decode(hex("FF 04 00 00 01 00 00 00 00 00 00 00 00 00 00 00 " + reset)), "T T R ");
}

TEST(frame_decoder_test, frames_out_of_order_do_not_make_a_cycle) {
  const Bytes frames = hex(cycle);
  Bytes swapped(frames.begin() + 11, frames.begin() + 22);  // status first
  swapped.insert(swapped.end(), frames.begin(), frames.begin() + 11);
  swapped.insert(swapped.end(), frames.begin() + 22, frames.end());
  EXPECT_EQ(decode(swapped), "F20 F10 F30 F31 F40 F50 F99 ");
}

TEST(frame_decoder_test, malformed_frames_are_torn) {
  EXPECT_EQ(decode(hex("FF 04 30 00 00 00 34 03 BD 00 00")), "T T ");  // no 03 BC
  EXPECT_EQ(decode(hex("FF 04 10 24 00 01 01 00 01 00 00")), "T T ");  // hour 24 is no BCD hour
  EXPECT_EQ(decode(hex("FF 04 20 00 00 10 00 00 00 12 00")), "T T ");  // no lights' 0x01
  EXPECT_EQ(decode(hex("FF 04 20 01 00 20 00 00 00 12 00")), "T T ");  // 0x20 is no power state
}

}  // namespace
}  // namespace vontrel::monitor
