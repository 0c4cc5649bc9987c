// The monitor's cluster: decodes what arrives, keeps the counts, and shows it on the terminal,
// as JSON lines or on the dashboard page.
#ifndef VONTREL_TOOLS_MONITOR_MONITOR_H
#define VONTREL_TOOLS_MONITOR_MONITOR_H

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "tools/common/terminal.h"
#include "tools/monitor/dashboard.h"
#include "tools/monitor/frame_decoder.h"
#include "tools/monitor/input.h"
#include "tools/monitor/options.h"
#include "tools/web/web_server.h"

namespace vontrel::monitor {

void print_json(const nlohmann::json& object);

class Monitor {
 public:
  Monitor(const Options& options, std::string source)
      : options_(options),
        source_(std::move(source)),
        terminal_(vontrel::tools::output_is_terminal()) {}

  void consume(const std::uint8_t* data, std::size_t length);
  // One datagram holds one cycle or one reset frame, whole: anything else is torn, and no
  // datagram is joined to the next. True when it decoded cleanly.
  bool consume_datagram(const std::uint8_t* data, std::size_t length);

  void show_on(vontrel::web::DashboardServer* server) { web_ = server; }

  // Hands the dashboard what the cluster shows, at most every 50 ms (its push rate).
  void publish(bool now = false);

  void finish();

  void report_line(const nlohmann::json& line);

  void summary(double seconds);

  bool errors() const { return counters_.unknown != 0 || counters_.torn != 0; }

 private:
  double rate(double seconds) const;

  void report();

  static std::string id_hex(std::uint8_t id);

  // The rate over the last second, not since the start: a paused host shows 0, not an average.
  void note_cycle();

  double recent_rate(Clock::time_point now);

  // Bytes arrive but none makes a frame: most likely the wrong baud rate or a loose wire.
  void check_signal(std::size_t length);

  void show_dashboard();

  const Options& options_;
  std::string source_;
  bool terminal_;
  FrameDecoder decoder_;
  Dashboard dashboard_;
  Counters counters_;
  std::vector<DecodedEvent> events_;
  nlohmann::json last_line_;
  std::deque<Clock::time_point> recent_cycles_;
  bool valid_in_read_ = false;
  std::optional<Clock::time_point> noise_since_;
  bool hinted_ = false;
  vontrel::web::DashboardServer* web_ = nullptr;
  Clock::time_point last_publish_{};
};

}  // namespace vontrel::monitor

#endif  // VONTREL_TOOLS_MONITOR_MONITOR_H
