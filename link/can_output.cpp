#include "link/can_output.h"

#include <algorithm>

namespace vontrel {

namespace {

struct Bitrate {
  std::int32_t bits_per_second;
  char command;
};
constexpr Bitrate BITRATES[] = {{10000, '0'},  {20000, '1'},  {50000, '2'},
                                {100000, '3'}, {125000, '4'}, {250000, '5'},
                                {500000, '6'}, {800000, '7'}, {1000000, '8'}};

constexpr std::int32_t SHORTEST_INTERVAL_MS = 10;
constexpr std::int32_t LONGEST_INTERVAL_MS = 60000;
constexpr std::int32_t LAST_SOURCE = 253;  // 254 is "no address", 255 "every unit"
// One write of the adapter's lines may take this long: a stalled adapter is given up as lost.
constexpr std::uint32_t CAN_WRITE_MS = 50;

std::string key_of(const j1939::MessageInfo& message, const char* what) {
  return std::string("can_") + message.key + "_" + what;
}

bool known_key(const std::string& key) {
  if (key == "can_port" || key == "can_bitrate") {
    return true;
  }
  for (const j1939::MessageInfo& message : j1939::MESSAGES) {
    if (key == key_of(message, "ms") || key == key_of(message, "source")) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool read_can_settings(const Settings& settings, CanSettings& can,
                       std::vector<std::string>& complaints) {
  can = CanSettings{};
  for (const auto& [key, type] : settings.keys_with_prefix("can_")) {
    if (!known_key(key)) {
      complaints.push_back("Unknown CAN setting, ignored: " + key);
    } else if (const char* wanted = key == "can_port" ? "str" : "int"; type != wanted) {
      std::string complaint = "CAN setting " + key;
      complaint.append(" is ").append(wanted).append(", not ").append(type).append(": ignored");
      complaints.push_back(std::move(complaint));
    }
  }
  for (std::size_t i = 0; i < j1939::MESSAGE_COUNT; ++i) {
    const j1939::MessageInfo& message = j1939::MESSAGES[i];
    CanMessageSettings& chosen = can.messages[i];
    chosen = {message.interval_ms, message.source};
    const std::int32_t ms = settings.get_int(key_of(message, "ms"), -1);
    if (ms == 0 || (ms >= SHORTEST_INTERVAL_MS && ms <= LONGEST_INTERVAL_MS)) {
      chosen.interval_ms = static_cast<std::uint32_t>(ms);
    } else if (ms != -1) {
      complaints.push_back("CAN setting " + key_of(message, "ms") + " " + std::to_string(ms) +
                           " ignored: 0 turns the message off, else 10 to 60000 ms");
    }
    const std::int32_t source = settings.get_int(key_of(message, "source"), -1);
    if (source >= 0 && source <= LAST_SOURCE) {
      chosen.source = static_cast<std::uint8_t>(source);
    } else if (source != -1) {
      complaints.push_back("CAN setting " + key_of(message, "source") + " " +
                           std::to_string(source) + " ignored: a source address is 0 to 253");
    }
  }
  can.port = settings.get_string("can_port", CAN_OFF);
  if (can.port == CAN_OFF) {
    return false;
  }
  const std::int32_t bitrate = settings.get_int("can_bitrate", 250000);
  for (const Bitrate& known : BITRATES) {
    if (known.bits_per_second == bitrate) {
      can.bitrate = static_cast<std::uint32_t>(bitrate);
      can.bitrate_command = known.command;
      return true;
    }
  }
  complaints.push_back(
      "CAN output off, can_bitrate is not one of 10000, 20000, 50000, 100000, "
      "125000, 250000, 500000, 800000 or 1000000: " +
      std::to_string(bitrate));
  return false;
}

bool CanOutput::open(const CanSettings& settings) {
  close();
  settings_ = settings;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = false;
    changes_ = 0;
  }
  reported_ = 0;
  dm1_known_ = false;
  thread_ = os::start_thread(thread_main, this);
  return thread_ != os::invalid_thread;
}

void CanOutput::close() noexcept {
  if (thread_ == os::invalid_thread) {
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  os::join_thread(thread_);
  thread_ = os::invalid_thread;
}

void CanOutput::submit(const TelemetryState& state) noexcept {
  if (thread_ == os::invalid_thread) {
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  latest_ = state;
}

CanEvent CanOutput::take_event() noexcept {
  std::uint32_t changes = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    changes = changes_;
  }
  if (reported_ == changes) {
    return CanEvent::none;
  }
  ++reported_;
  return reported_ % 2 == 1 ? CanEvent::lost : CanEvent::back;
}

void CanOutput::thread_main(void* self) noexcept {
  static_cast<CanOutput*>(self)->run();
}

void CanOutput::note(bool open) noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  // Odd while lost: a change of state is one more.
  const bool lost = changes_ % 2 == 1;
  if (open == lost) {
    ++changes_;
  }
}

bool CanOutput::write_lines(const char* text, std::size_t length) noexcept {
  // What the adapter answered (CR, BEL, z, Z) is of no use to us: drop it, so it never piles
  // up in the driver. Some firmwares answer nothing at all.
  port_.discard_input();
  return port_.write(reinterpret_cast<const std::uint8_t*>(text),
                     static_cast<std::uint32_t>(length),
                     os::deadline_after(CAN_WRITE_MS)) == os::io_status::done;
}

bool CanOutput::hand_shake() noexcept {
  // Close first: an adapter left open by an earlier run refuses a new bit rate.
  const char lines[] = {'C', '\r', 'S', settings_.bitrate_command, '\r', 'O', '\r'};
  return write_lines(lines, sizeof lines);
}

std::uint64_t CanOutput::send_due(std::uint64_t now_us) noexcept {
  TelemetryState state;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    state = latest_;
  }
  char text[j1939::MESSAGE_COUNT * j1939::SLCAN_LINE];
  std::size_t length = 0;
  std::uint64_t next_us = now_us + std::uint64_t{CAN_LONGEST_SLEEP_MS} * 1000u;
  const std::uint8_t lamps = j1939::dm1_lamps(state);
  for (std::size_t i = 0; i < j1939::MESSAGE_COUNT; ++i) {
    const j1939::MessageInfo& message = j1939::MESSAGES[i];
    const CanMessageSettings& chosen = settings_.messages[i];
    if (chosen.interval_ms == 0) {
      continue;
    }
    const bool lamps_changed =
        message.message == j1939::Message::dm1 && dm1_known_ && lamps != dm1_sent_;
    if (now_us >= due_us_[i] || lamps_changed) {
      const std::uint64_t interval_us = std::uint64_t{chosen.interval_ms} * 1000u;
      // On schedule from the last due time; after a stall, from now, never in a burst.
      due_us_[i] =
          now_us - due_us_[i] < interval_us ? due_us_[i] + interval_us : now_us + interval_us;
      if (lamps_changed) {
        due_us_[i] = now_us + interval_us;
      }
      length += j1939::slcan_frame(j1939::identifier(message.priority, message.pgn, chosen.source),
                                   j1939::encode(message.message, state), text + length);
      if (message.message == j1939::Message::dm1) {
        dm1_sent_ = lamps;
        dm1_known_ = true;
      }
    }
    next_us = std::min(next_us, due_us_[i]);
  }
  if (length > 0 && !write_lines(text, length)) {
    port_.close();
    note(false);
  }
  return next_us;
}

bool CanOutput::stopping() noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  return stop_;
}

void CanOutput::run() noexcept {
  std::uint64_t next_try_us = 0;
  const os::timer_handle timer = os::open_timer();
  while (!stopping()) {
    const std::uint64_t now_us = os::now_us();
    std::uint64_t wake_us = now_us + std::uint64_t{CAN_LONGEST_SLEEP_MS} * 1000u;
    if (!port_.is_open() && now_us >= next_try_us) {
      next_try_us = now_us + std::uint64_t{CAN_REOPEN_INTERVAL_MS} * 1000u;
      std::string error;
      try {
        const bool opened = port_.open(settings_.port.c_str(), error) && hand_shake();
        if (!opened) {
          port_.close();
        }
        note(opened);
        if (opened) {
          due_us_.fill(now_us);  // every message at once, then on its schedule
          dm1_known_ = false;
        }
      } catch (...) {
        // Out of memory for the error text: try again at the next look.
      }
    }
    if (port_.is_open()) {
      wake_us = send_due(now_us);
    }
    // At most CAN_LONGEST_SLEEP_MS at a time, so that a stop is seen soon.
    const std::uint64_t after_us = os::now_us();
    if (wake_us > after_us) {
      os::timer_sleep(timer, wake_us - after_us);
    }
  }
  os::close_timer(timer);
  if (port_.is_open()) {
    const char close_channel[] = {'C', '\r'};
    write_lines(close_channel, sizeof close_channel);
    port_.close();
  }
}

}  // namespace vontrel
