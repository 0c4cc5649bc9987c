// Recordings: what arrived and when, for --file to replay at its own pace.
#ifndef VONTREL_TOOLS_MONITOR_RECORDER_H
#define VONTREL_TOOLS_MONITOR_RECORDER_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/monitor/dashboard.h"

namespace vontrel::monitor {

// A recording: this first line, then one line per read, "<seconds since the start> <bytes in
// hex>", for example "0.051234 FF 04 10 00 00 01 01 00 01 00 00". A recording of datagrams
// says so at the end of its first line, and each of its lines is one datagram, replayed as
// one (an empty one too).
inline constexpr char CAPTURE_HEADER[] = "# vontrel capture 1";
inline constexpr char CAPTURE_DATAGRAMS[] = ", one datagram a line";

// The longest line a recording of ours holds is one read of 4096 bytes, some 12 KiB of text;
// anything much longer is not a recording, and is refused before it fills the memory.
inline constexpr std::size_t LONGEST_CAPTURE_LINE = std::size_t{64} * 1024;
// A time past this (about four months) is no recording's either, and would overflow the clock.
inline constexpr double LONGEST_CAPTURE_SECONDS = 1e7;

// Every failure is reported: a capture lost to a full disk must not look saved.
class Recorder {
 public:
  bool open(const std::string& path, bool datagrams) {
    file_ = std::fopen(path.c_str(), "w");
    if (file_ == nullptr) {
      return false;
    }
    std::fprintf(file_, "%s: <seconds since the start> <bytes in hex>%s\n", CAPTURE_HEADER,
                 datagrams ? CAPTURE_DATAGRAMS : "");
    return std::fflush(file_) == 0;
  }
  ~Recorder() { close(); }
  Recorder() = default;
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  bool write(double seconds, const std::uint8_t* data, std::size_t length) {
    if (file_ == nullptr) {
      return true;
    }
    const int written =
        std::fprintf(file_, "%.6f %s\n", seconds,
                     hex_of(std::vector<std::uint8_t>(data, data + length)).c_str());
    // Flushed each time: a capture that ends with Ctrl-C keeps every line.
    return written >= 0 && std::fflush(file_) == 0;
  }

  bool close() {
    std::FILE* file = file_;
    file_ = nullptr;
    return file == nullptr || std::fclose(file) == 0;
  }

 private:
  std::FILE* file_ = nullptr;
};

}  // namespace vontrel::monitor

#endif  // VONTREL_TOOLS_MONITOR_RECORDER_H
