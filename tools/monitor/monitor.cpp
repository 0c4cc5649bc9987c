#include "tools/monitor/monitor.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "protocol/wire.h"
#include "tools/common/json_text.h"
#include "tools/web/dashboard_state.h"

namespace vontrel::monitor {

void print_json(const nlohmann::json& object) {
  std::fputs(vontrel::tools::json_text(object).c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void Monitor::consume(const std::uint8_t* data, std::size_t length) {
  counters_.bytes += length;
  events_.clear();
  decoder_.feed(data, length, events_);
  report();
  check_signal(length);
  publish();
}

bool Monitor::consume_datagram(const std::uint8_t* data, std::size_t length) {
  counters_.bytes += length;
  events_.clear();
  if (length == vontrel::CYCLE_LENGTH || length == vontrel::RESET_FRAME_LENGTH) {
    decoder_.feed(data, length, events_);
    decoder_.finish(events_);
  } else {
    DecodedEvent torn;
    torn.kind = EventKind::torn;
    torn.bytes.assign(data, data + length);
    torn.reason =
        "a datagram of " + std::to_string(length) + " bytes is no whole cycle or reset frame";
    events_.push_back(std::move(torn));
  }
  const bool clean = std::all_of(events_.begin(), events_.end(), [](const DecodedEvent& event) {
    return event.kind != EventKind::torn && event.kind != EventKind::unknown;
  });
  report();
  check_signal(length);
  publish();
  return clean;
}

void Monitor::publish(bool now) {
  if (web_ == nullptr) {
    return;
  }
  const Clock::time_point at = Clock::now();
  if (!now && at - last_publish_ < vontrel::web::PUSH_INTERVAL) {
    return;
  }
  last_publish_ = at;
  const vontrel::Decoder& decoder = decoder_.decoder();
  vontrel::web::DashboardState state;
  state.source = source_;
  state.cycles = counters_.cycles;
  state.cycles_per_second = recent_rate(at);
  // A whole cycle within the last second, and none of it cleared since by a reset frame.
  state.signal = state.cycles_per_second > 0 && !dashboard_.cleared;
  state.torn = counters_.torn;
  state.unknown = counters_.unknown;
  state.resets = counters_.resets;
  web_->publish(
      vontrel::tools::json_text(vontrel::web::from_cluster_state(decoder.state(), state)));
}

void Monitor::finish() {
  events_.clear();
  decoder_.finish(events_);
  report();
}

void Monitor::report_line(const nlohmann::json& line) {
  if (line.is_null() || line == last_line_) {
    return;
  }
  last_line_ = line;
  if (options_.json) {
    print_json(line);
  } else if (!options_.quiet && !terminal_) {
    std::printf("line: %s\n", vontrel::tools::json_text(line).c_str());
  }
}

void Monitor::summary(double seconds) {
  counters_.cycles_per_second = rate(seconds);
  if (options_.json) {
    print_json({{"event", "summary"},
                {"cycles", counters_.cycles},
                {"frames", counters_.frames},
                {"resets", counters_.resets},
                {"unknown", counters_.unknown},
                {"torn", counters_.torn},
                {"bytes", counters_.bytes},
                {"seconds", seconds},
                {"cycles_per_second", counters_.cycles_per_second}});
  } else {
    std::printf(
        "%llu cycles, %llu frames, %llu resets, %llu unknown, %llu torn, %llu bytes in "
        "%.1f s\n",
        static_cast<unsigned long long>(counters_.cycles),
        static_cast<unsigned long long>(counters_.frames),
        static_cast<unsigned long long>(counters_.resets),
        static_cast<unsigned long long>(counters_.unknown),
        static_cast<unsigned long long>(counters_.torn),
        static_cast<unsigned long long>(counters_.bytes), seconds);
  }
  std::fflush(stdout);
}

double Monitor::rate(double seconds) const {
  return seconds > 0.0 ? static_cast<double>(counters_.cycles) / seconds : 0.0;
}

void Monitor::report() {
  // Each event's JSON only where it is printed: a bridge with --quiet passes cycles on without
  // building text for nobody.
  const bool printing = options_.json || (!options_.quiet && !terminal_);
  for (const DecodedEvent& event : events_) {
    switch (event.kind) {
      case EventKind::frame:
        ++counters_.frames;
        update_dashboard(dashboard_, event.bytes);
        dashboard_.cleared = false;
        valid_in_read_ = true;
        if (event.completes_cycle) {
          // This cycle's own number: one read may hold several cycles.
          counters_.cycles = event.cycle;
          note_cycle();
          show_dashboard();
        }
        break;
      case EventKind::reset:
        ++counters_.resets;
        valid_in_read_ = true;
        // As the cluster would: the reset frame clears every needle and lamp.
        dashboard_ = Dashboard{};
        show_dashboard();
        break;
      case EventKind::unknown:
        ++counters_.unknown;
        break;
      case EventKind::torn:
        ++counters_.torn;
        break;
    }
    if (!printing || (!options_.json && event.kind == EventKind::frame)) {
      continue;
    }
    nlohmann::json object = {{"hex", hex_of(event.bytes)}};
    switch (event.kind) {
      case EventKind::frame:
        object["event"] = "frame";
        object["id"] = event.id;
        object["name"] = frame_name(event.id);
        object["id_hex"] = id_hex(event.id);
        object["cycle"] = event.cycle;
        object["fields"] =
            event.bytes.size() < 11 ? nlohmann::json::object() : frame_fields(dashboard_, event.id);
        break;
      case EventKind::reset:
        object["event"] = "reset";
        break;
      case EventKind::unknown:
        object["event"] = "unknown";
        object["id"] = event.id;
        object["id_hex"] = id_hex(event.id);
        break;
      case EventKind::torn:
        object["event"] = "torn";
        object["reason"] = event.reason;
        break;
    }
    if (options_.json) {
      print_json(object);
    } else {
      std::printf("%s %s%s%s\n", object["event"].get<std::string>().c_str(),
                  object["hex"].get<std::string>().c_str(), event.reason.empty() ? "" : ": ",
                  event.reason.c_str());
    }
  }
}

std::string Monitor::id_hex(std::uint8_t id) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", id);
  return text;
}

void Monitor::note_cycle() {
  const Clock::time_point now = Clock::now();
  recent_cycles_.push_back(now);
  counters_.cycles_per_second = recent_rate(now);
}

double Monitor::recent_rate(Clock::time_point now) {
  while (!recent_cycles_.empty() && now - recent_cycles_.front() > std::chrono::seconds(1)) {
    recent_cycles_.pop_front();
  }
  return static_cast<double>(recent_cycles_.size());
}

void Monitor::check_signal(std::size_t length) {
  const Clock::time_point now = Clock::now();
  if (valid_in_read_ || length == 0) {
    valid_in_read_ = false;
    noise_since_.reset();
    hinted_ = false;
    return;
  }
  if (!noise_since_) {
    noise_since_ = now;
  } else if (!hinted_ && now - *noise_since_ >= std::chrono::seconds(1)) {
    hinted_ = true;
    const char* hint =
        "no valid frame in a second of bytes: check that the line runs at 115200 baud 8N1, "
        "and the wiring";
    if (options_.json) {
      print_json({{"event", "hint"}, {"text", hint}});
    } else {
      std::printf("%s\n", hint);
      std::fflush(stdout);
    }
  }
}

void Monitor::show_dashboard() {
  if (options_.json || options_.quiet) {
    return;
  }
  if (terminal_) {
    // Home the cursor and redraw the panel over itself.
    std::printf("\x1b[H\x1b[2J%s", dashboard_panel(dashboard_, counters_, source_).c_str());
  } else {
    std::printf("%s\n", dashboard_line(dashboard_, counters_).c_str());
  }
  std::fflush(stdout);
}

}  // namespace vontrel::monitor
