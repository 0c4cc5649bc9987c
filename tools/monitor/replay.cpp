#include "tools/monitor/replay.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "tools/monitor/recorder.h"

namespace vontrel::monitor {

int replay(Monitor& monitor, const Options& options, Input& input, std::string pending,
           Clock::time_point start) {
  const auto out_of_time = [&] {
    return options.duration > 0.0 &&
           Clock::now() - start >= std::chrono::duration<double>(options.duration);
  };
  const auto refuse = [](std::size_t line_number, const char* why) {
    std::fprintf(stderr, "vontrel-monitor: line %zu of the recording %s\n", line_number, why);
    return exit_io;
  };
  const std::string_view first_line(pending.data(), std::min(pending.find('\n'), pending.size()));
  const bool datagrams = first_line.find(CAPTURE_DATAGRAMS) != std::string_view::npos;
  std::vector<std::uint8_t> chunk(std::size_t{64} * 1024);
  std::size_t line_number = 0;
  std::size_t position = 0;
  bool ended = false;
  while (!stop_requested && !out_of_time()) {
    std::size_t end = pending.find('\n', position);
    if (end == std::string::npos && !ended) {
      if (pending.size() - position > LONGEST_CAPTURE_LINE) {
        return refuse(line_number + 1, "is too long for a recording");
      }
      const long n = input.read(chunk.data(), chunk.size(), -1);
      if (n < 0) {
        ended = true;
      } else if (n > 0) {
        pending.erase(0, position);
        position = 0;
        pending.append(reinterpret_cast<const char*>(chunk.data()), static_cast<std::size_t>(n));
      }
      continue;  // 0: interrupted, so look at the stop first
    }
    if (end == std::string::npos) {
      if (position >= pending.size()) {
        break;
      }
      end = pending.size();  // the last line has no line end
    }
    ++line_number;
    if (end - position > LONGEST_CAPTURE_LINE) {
      return refuse(line_number, "is too long for a recording");
    }
    const std::string line = pending.substr(position, end - position);
    position = end + 1;
    if (line.empty() || line[0] == '#' || line == "\r") {
      continue;
    }
    char* rest = nullptr;
    const double seconds = std::strtod(line.c_str(), &rest);
    std::vector<std::uint8_t> bytes;
    bool good = rest != line.c_str() && seconds >= 0.0;
    for (const char* p = rest; good && *p != '\0';) {
      while (*p == ' ' || *p == '\r') {
        ++p;
      }
      if (*p == '\0') {
        break;
      }
      char* after = nullptr;
      const unsigned long value = std::strtoul(p, &after, 16);
      good = after == p + 2 && value <= 0xFF;
      bytes.push_back(static_cast<std::uint8_t>(value));
      p = after;
    }
    if (!good) {
      return refuse(line_number, "is not \"<seconds> <hex bytes>\"");
    }
    if (!std::isfinite(seconds) || seconds > LONGEST_CAPTURE_SECONDS) {
      return refuse(line_number, "has a time no recording reaches");
    }
    if (!options.fast) {
      const Clock::time_point due =
          start + std::chrono::duration_cast<Clock::duration>(
                      std::chrono::duration<double>(seconds / options.speed));
      // In steps, so that the dashboard sees a pause in the recording as one.
      while (Clock::now() < due && !stop_requested && !out_of_time()) {
        std::this_thread::sleep_until(std::min(due, Clock::now() + std::chrono::milliseconds(50)));
        monitor.publish();
      }
      if (stop_requested || out_of_time()) {
        break;
      }
    }
    if (datagrams) {
      monitor.consume_datagram(bytes.data(), bytes.size());
    } else {
      monitor.consume(bytes.data(), bytes.size());
    }
  }
  return 0;
}

}  // namespace vontrel::monitor
