#include "link/can_output.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <limits>
#include <memory>

#include "can/builtin_profile.h"
#include "can/bus_load.h"
#include "can/j1939.h"
#include "os/os.h"
#include "serial/port_identity.h"

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
constexpr std::int64_t LOWEST_BAUD = 300;
constexpr std::int64_t HIGHEST_BAUD = 4000000;
// One write of the adapter's lines may take this long: a stalled adapter is given up as lost.
constexpr std::uint32_t CAN_WRITE_MS = 50;

std::string lower(std::string text) {
  for (char& c : text) {
    c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  }
  return text;
}

// The names a message answers to in the settings file: its name in lower case, and without
// its underscores ("efl_p1" and "eflp1"). The built-in profile's DD1 was DD before J1939
// renamed it, and settings files written then say so.
std::vector<std::string> keys_of(const can::Message& message, bool builtin) {
  std::vector<std::string> keys{lower(message.name)};
  std::string bare = keys[0];
  bare.erase(std::remove(bare.begin(), bare.end(), '_'), bare.end());
  if (bare != keys[0]) {
    keys.push_back(bare);
  }
  if (builtin && message.name == "DD1") {
    keys.emplace_back("dd");
  }
  return keys;
}

bool is_absolute(const std::string& path) {
  return (!path.empty() && (path[0] == '/' || path[0] == '\\')) ||
         (path.size() >= 2 && path[1] == ':');
}

// The profile's file beside the settings file, unless it names a path of its own.
std::string profile_path(const std::string& name, const std::string& settings_path) {
  if (is_absolute(name)) {
    return name;
  }
  const std::size_t end = settings_path.find_last_of("/\\");
  if (end == std::string::npos) {
    return name;
  }
  std::string path = settings_path.substr(0, end + 1);
  path.append(name);
  return path;
}

enum class FileRead { done, missing, too_large, not_a_file };

FileRead read_file(const std::string& path, std::string& text) {
  // Asked before it is opened: a FIFO would hold the host's start-up until something writes
  // to it, and a device (a serial port behind COM8, /dev/zero) would be taken or read for ever.
  switch (os::kind_of_file(path)) {
    case os::file_kind::regular:
      break;
    case os::file_kind::missing:
      return FileRead::missing;
    default:
      return FileRead::not_a_file;
  }
  struct Closer {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
  };
  const std::unique_ptr<std::FILE, Closer> file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    return FileRead::missing;
  }
  text.clear();
  char buffer[4096];
  while (const std::size_t got = std::fread(buffer, 1, sizeof buffer, file.get())) {
    if (text.size() + got > CAN_PROFILE_MAX_BYTES) {
      return FileRead::too_large;
    }
    text.append(buffer, got);
  }
  return std::ferror(file.get()) != 0 ? FileRead::missing : FileRead::done;
}

// What a profile's path names instead of a file, in the player's words.
const char* not_a_file_words(os::file_kind kind) {
  switch (kind) {
    case os::file_kind::directory:
      return "a folder";
    case os::file_kind::device:
      return "a device";
    default:
      return "a pipe";
  }
}

// The profile's messages with their sources read, or false with its problems told.
bool load_profile(const std::string& path, bool builtin, std::vector<CanMessage>& messages,
                  std::uint32_t& bitrate, std::vector<std::string>& complaints) {
  std::string text;
  if (builtin) {
    text = can::builtin_profile_text();
  } else if (const FileRead read = read_file(path, text); read != FileRead::done) {
    complaints.push_back(read == FileRead::too_large
                             ? "CAN output off, the CAN profile is larger than 4 MiB: " + path
                         : read == FileRead::not_a_file
                             ? "CAN output off, the CAN profile is " +
                                   std::string(not_a_file_words(os::kind_of_file(path))) +
                                   ", not a file: " + path
                             : "CAN output off, the CAN profile can not be read: " + path);
    return false;
  }
  const can::Profile profile = can::read_dbc(text);
  if (!profile.problems.empty()) {
    complaints.push_back("CAN output off, the CAN profile has problems: " + path);
    for (const can::Problem& problem : profile.problems) {
      complaints.push_back("CAN profile " + can::describe(problem));
    }
    if (profile.problems_not_kept > 0) {
      complaints.push_back("More problems in the CAN profile, not shown: " +
                           std::to_string(profile.problems_not_kept));
    }
    return false;
  }
  for (const can::Skipped& skipped : profile.skipped) {
    std::string line = "CAN profile message ";
    line.append(skipped.name)
        .append(" (line ")
        .append(std::to_string(skipped.line))
        .append(") not sent: ")
        .append(skipped.why);
    complaints.push_back(std::move(line));
  }
  messages.clear();
  for (const can::Message& message : profile.messages) {
    CanMessage sent;
    std::string why;
    if (!can::prepare_sources(message, sent.sources, why)) {
      complaints.push_back("CAN output off, the CAN profile has problems: " + path);
      complaints.push_back("CAN profile line " + std::to_string(message.line) + ": " + why);
      return false;
    }
    sent.message = message;
    sent.id = message.id;
    sent.interval_ms = message.cycle_ms;
    sent.pages = can::pages_to_send(message, sent.sources);
    messages.push_back(std::move(sent));
  }
  if (messages.empty()) {
    complaints.push_back("CAN output off, the CAN profile has no message to send: " + path);
    return false;
  }
  bitrate = profile.bitrate;
  return true;
}

// A CAN number as a player writes it: decimal, or hexadecimal with 0x, as every J1939 table
// writes source addresses. False for anything else.
bool read_number(const std::string& text, std::int64_t& value) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char* begin = text.data() + (hex ? 2 : 0);
  const char* end = text.data() + text.size();
  const auto result = std::from_chars(begin, end, value, hex ? 16 : 10);
  return begin != end && result.ec == std::errc{} && result.ptr == end;
}

// The value of an int line of the settings file, if there is one; `complaints` gets a line
// for text that is no number.
bool number_setting(const Settings& settings, const std::string& key, std::int64_t& value,
                    std::vector<std::string>& complaints) {
  const std::string* text = settings.get_int_text(key);
  if (text == nullptr) {
    return false;
  }
  if (!read_number(*text, value)) {
    std::string complaint = "CAN setting " + key;
    complaint.append(" ").append(*text).append(
        " ignored: not a number (decimal, or hexadecimal with 0x)");
    complaints.push_back(std::move(complaint));
    return false;
  }
  return true;
}

bool bitrate_command(std::int64_t bitrate, char& command) {
  for (const Bitrate& known : BITRATES) {
    if (known.bits_per_second == bitrate) {
      command = known.command;
      return true;
    }
  }
  return false;
}

}  // namespace

bool read_can_settings(const Settings& settings, const std::string& settings_path, CanSettings& can,
                       std::vector<std::string>& complaints) {
  can = CanSettings{};
  can.port = settings.get_string("can_port", CAN_OFF);
  // "none" in any case leaves CAN off, as comport's does: never a file of that name.
  const bool off = lower(can.port) == CAN_OFF;
  const std::string profile_name = settings.get_string("can_profile", "");
  const bool builtin = profile_name.empty();
  can.profile = builtin ? std::string() : profile_path(profile_name, settings_path);
  // The built-in profile is read with CAN off too, so that its messages' keys are checked; a
  // profile file is not: a large one would cost the host's start-up for nothing. Problems are
  // only worth a line when it is to be sent.
  std::vector<std::string> profile_complaints;
  std::uint32_t profile_bitrate = 0;
  const bool loaded = (builtin || !off) &&
                      load_profile(builtin ? std::string("built-in J1939 profile") : can.profile,
                                   builtin, can.messages, profile_bitrate, profile_complaints);

  struct Key {
    std::string name;
    CanMessage* message;
    bool interval;
  };
  std::vector<Key> message_keys;
  for (CanMessage& message : can.messages) {
    for (const std::string& name : keys_of(message.message, builtin)) {
      message_keys.push_back({"can_" + name + "_ms", &message, true});
      message_keys.push_back({"can_" + name + "_source", &message, false});
    }
  }
  for (const auto& [key, type] : settings.keys_with_prefix("can_")) {
    const bool general =
        key == "can_port" || key == "can_bitrate" || key == "can_profile" || key == "can_baud";
    const std::string& wanted_key = key;  // a lambda may not name a structured binding
    const bool known = general || std::any_of(message_keys.begin(), message_keys.end(),
                                              [&](const Key& k) { return k.name == wanted_key; });
    // Without the profile's messages there is nothing to hold a message's key against.
    if (!known && loaded) {
      complaints.push_back("Unknown CAN setting, ignored: " + key);
    } else if (const char* wanted = key == "can_port" || key == "can_profile" ? "str" : "int";
               known && type != wanted) {
      std::string complaint = "CAN setting " + key;
      complaint.append(" is ").append(wanted).append(", not ").append(type).append(": ignored");
      complaints.push_back(std::move(complaint));
    }
  }
  for (const Key& key : message_keys) {
    std::int64_t value = 0;
    if (!number_setting(settings, key.name, value, complaints)) {
      continue;
    }
    const std::string& text = *settings.get_int_text(key.name);
    if (key.interval) {
      if (value == 0 || (value >= SHORTEST_INTERVAL_MS && value <= LONGEST_INTERVAL_MS)) {
        key.message->interval_ms = static_cast<std::uint32_t>(value);
      } else {
        complaints.push_back("CAN setting " + key.name + " " + text +
                             " ignored: 0 turns the message off, else 10 to 60000 ms");
      }
    } else if (!key.message->message.extended) {
      complaints.push_back("CAN setting " + key.name + " ignored: " + key.message->message.name +
                           " has an 11-bit identifier, without a source address");
    } else if (value >= 0 && value <= LAST_SOURCE) {
      key.message->id =
          (key.message->message.id & ~std::uint32_t{0xFF}) | static_cast<std::uint32_t>(value);
      // A checksum over the identifier takes the one on the bus.
      key.message->message.id = key.message->id;
    } else {
      complaints.push_back("CAN setting " + key.name + " " + text +
                           " ignored: a source address is 0 to 253");
    }
  }
  if (std::int64_t baud = 0; number_setting(settings, "can_baud", baud, complaints)) {
    if (baud >= LOWEST_BAUD && baud <= HIGHEST_BAUD) {
      can.baud = static_cast<std::uint32_t>(baud);
    } else {
      complaints.push_back("CAN setting can_baud " + *settings.get_int_text("can_baud") +
                           " ignored: a serial rate is 300 to 4000000 baud");
    }
  }
  if (off) {
    return false;
  }
  complaints.insert(complaints.end(), profile_complaints.begin(), profile_complaints.end());
  if (!loaded) {
    return false;
  }
  const bool from_profile = profile_bitrate != 0;
  std::int64_t bitrate = from_profile ? std::int64_t{profile_bitrate} : 250000;
  const bool set = number_setting(settings, "can_bitrate", bitrate, complaints);
  if (bitrate_command(bitrate, can.bitrate_command)) {
    can.bitrate = static_cast<std::uint32_t>(bitrate);
    // What the messages ask of the bus, with the intervals the settings gave them.
    can::BusLoad load;
    for (const CanMessage& message : can.messages) {
      load.add(message.message.extended, message.message.length, message.interval_ms);
    }
    const double share = load.share(can.bitrate);
    if (share > 1.0) {
      complaints.push_back("CAN output off, " + can::bus_load_text(share, can.bitrate));
      return false;
    }
    if (share > can::BUS_LOAD_WARNING) {
      complaints.push_back("CAN warning: " + can::bus_load_text(share, can.bitrate));
    }
    return true;
  }
  std::string complaint = set || !from_profile
                              ? "CAN output off, can_bitrate is not one of "
                              : "CAN output off, the CAN profile's Baudrate is not one of ";
  complaint.append("10000, 20000, 50000, 100000, 125000, 250000, 500000, 800000 or 1000000: ");
  complaint.append(set ? *settings.get_int_text("can_bitrate") : std::to_string(bitrate));
  complaints.push_back(std::move(complaint));
  return false;
}

bool CanOutput::open(const CanSettings& settings) {
  close();
  settings_ = settings;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = false;
    changes_ = 0;
    why_lost_.clear();
    news_.clear();
  }
  reported_ = 0;
  schedules_.assign(settings_.messages.size(), Schedule{});
  for (std::size_t i = 0; i < schedules_.size(); ++i) {
    schedules_[i].totals_sent.assign(settings_.messages[i].message.signals.size(),
                                     std::numeric_limits<double>::quiet_NaN());
  }
  totals_ = can::RunningTotals{};
  totals_seen_ = 0;
  claims_.clear();
  for (const CanMessage& message : settings_.messages) {
    const auto source = static_cast<std::uint8_t>(message.id & 0xFF);
    if (message.message.j1939 && message.interval_ms > 0 && source < can::NULL_ADDRESS &&
        std::find(claims_.begin(), claims_.end(), source) == claims_.end()) {
      claims_.push_back(source);
    }
  }
  claim_due_.reset();
  window_ = claims_.size();
  for (const CanMessage& message : settings_.messages) {
    window_ += message.interval_ms > 0 ? 1 : 0;
  }
  text_.assign((settings_.messages.size() + claims_.size()) * can::SLCAN_LINE, '\0');
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
  ++submitted_;
}

std::string CanOutput::why_lost() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return why_lost_;
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

void CanOutput::pass_news() noexcept {
  CanNews news{};
  std::string detail;
  while (adapter_.take_news(news, detail)) {
    std::lock_guard<std::mutex> lock(mutex_);
    try {
      if (news_.size() < NEWS_KEPT) {
        news_.push_back({news, std::move(detail)});
      }
    } catch (...) {
      // Out of memory for the line: it is lost, nothing else.
    }
  }
}

bool CanOutput::take_news(CanNews& news, std::string& detail) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (news_.empty()) {
    return false;
  }
  news = news_.front().news;
  detail = std::move(news_.front().detail);
  news_.pop_front();
  return true;
}

void CanOutput::note(bool open, const std::string& why) noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!open) {
    try {
      why_lost_ = why;
    } catch (...) {
      why_lost_.clear();
    }
  }
  // Odd while lost: a change of state is one more.
  const bool lost = changes_ % 2 == 1;
  if (open == lost) {
    ++changes_;
  }
}

bool CanOutput::write_lines(const char* text, std::size_t length) noexcept {
  return port_.write(reinterpret_cast<const std::uint8_t*>(text),
                     static_cast<std::uint32_t>(length),
                     os::deadline_after(CAN_WRITE_MS)) == os::io_status::done;
}

std::uint64_t CanOutput::send_due(std::uint64_t now_us) noexcept {
  TelemetryState state;
  std::uint64_t submitted = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    state = latest_;
    submitted = submitted_;
  }
  // Nothing was handed over yet: the snapshot is all zero, not a truck at the zero mark.
  if (submitted > 0) {
    totals_.advance(state, now_us, submitted != totals_seen_);
    totals_seen_ = submitted;
  }
  // A message is stale the moment a newer one exists: while the adapter has not taken the
  // last lines, this slot's are not queued behind them. An adapter that takes nothing for a
  // second is given up: what it did not take is dropped, and it is opened again.
  const bool queue_full = port_.output_ready() == os::io_status::timed_out;
  // An adapter that answers each frame and has answered none of the last slot's for a while
  // has stopped reading: nothing more is written until it answers (or its answers are given
  // up as lost), so at most one slot comes out stale.
  const bool blocked = queue_full || adapter_.holding(window_, now_us);
  if (!queue_full) {
    blocked_since_us_ = 0;
  } else if (blocked_since_us_ == 0) {
    blocked_since_us_ = now_us;
  } else if (now_us - blocked_since_us_ >= std::uint64_t{CAN_STALL_MS} * 1000u) {
    port_.discard_output();
    lose(now_us);
    return now_us;
  }
  std::size_t length = 0;
  std::size_t frames = 0;
  // A unit claims its address before its messages go.
  for (const std::uint8_t address : claims_) {
    if (claim_due_[address] && !blocked && !adapter_.hand_shaking()) {
      claim_due_[address] = false;
      length += can::slcan_line(can::address_claim_id(address), true,
                                can::name_bytes(can::name_for(address)), 8, text_.data() + length);
      ++frames;
    }
  }
  std::uint64_t next_us = now_us + std::uint64_t{CAN_LONGEST_SLEEP_MS} * 1000u;
  for (std::size_t i = 0; i < settings_.messages.size(); ++i) {
    const CanMessage& message = settings_.messages[i];
    Schedule& schedule = schedules_[i];
    if (message.interval_ms == 0) {
      continue;
    }
    const std::uint64_t interval_us = std::uint64_t{message.interval_ms} * 1000u;
    const bool due = now_us >= schedule.due_us;
    // Encoded again with the last send's counter and page, an unchanged message is the same
    // bytes.
    const bool changed = !due && !blocked && schedule.sent &&
                         message.message.send_type == can::SendType::cyclic_and_on_change &&
                         now_us >= schedule.change_allowed_us &&
                         can::encode(message.message, message.sources, state,
                                     {schedule.counter - 1, schedule.last_page, &totals_,
                                      schedule.totals_sent.data(), nullptr}) != schedule.last;
    if (due) {
      // On schedule from the last due time; after a stall, from now, never in a burst.
      schedule.due_us = now_us - schedule.due_us < interval_us ? schedule.due_us + interval_us
                                                               : now_us + interval_us;
    } else if (changed) {
      schedule.due_us = now_us + interval_us;
      schedule.change_allowed_us = now_us + std::uint64_t{message.message.delay_ms} * 1000u;
    }
    if ((due && !blocked) || changed) {
      // A multiplexed message goes page by page, as the unit that owns it sends it.
      schedule.last_page = message.pages.empty() ? 0 : message.pages[schedule.page];
      schedule.page = message.pages.empty() ? 0 : (schedule.page + 1) % message.pages.size();
      schedule.last = can::encode(message.message, message.sources, state,
                                  {schedule.counter, schedule.last_page, &totals_,
                                   schedule.totals_sent.data(), schedule.totals_sent.data()});
      ++schedule.counter;
      schedule.sent = true;
      length += can::slcan_line(message.id, message.message.extended, schedule.last,
                                message.message.length, text_.data() + length);
      ++frames;
    }
    next_us = std::min(next_us, schedule.due_us);
  }
  if (length > 0 && !write_lines(text_.data(), length)) {
    lose(now_us);
  } else {
    adapter_.sent(frames, now_us);
  }
  return next_us;
}

bool CanOutput::stopping() noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  return stop_;
}

void CanOutput::answer_requests(std::uint64_t now_us) noexcept {
  CanAdapter::Request request{};
  while (adapter_.take_request(request)) {
    if (request.pgn == can::PGN_ADDRESS_CLAIMED) {
      for (const std::uint8_t address : claims_) {
        if (request.destination == can::GLOBAL_ADDRESS || request.destination == address) {
          claim_due_[address] = true;
        }
      }
      continue;
    }
    for (std::size_t i = 0; i < settings_.messages.size(); ++i) {
      const CanMessage& message = settings_.messages[i];
      if (!message.message.extended || message.interval_ms == 0) {
        continue;
      }
      const auto source = static_cast<std::uint8_t>(message.id & 0xFF);
      if (can::pgn_of(message.id) == request.pgn &&
          (request.destination == can::GLOBAL_ADDRESS || request.destination == source)) {
        schedules_[i].due_us = now_us;  // at once, then on its schedule from there
      }
    }
  }
}

void CanOutput::lose(std::uint64_t now_us) noexcept {
  port_.close();
  note(false);
  next_open_us_ = now_us + std::uint64_t{CAN_REOPEN_INTERVAL_MS} * 1000u;
}

void CanOutput::run() noexcept {
  next_open_us_ = 0;
  const os::timer_handle timer = os::open_timer();
  while (!stopping()) {
    const std::uint64_t now_us = os::now_us();
    std::uint64_t wake_us = now_us + std::uint64_t{CAN_LONGEST_SLEEP_MS} * 1000u;
    if (!port_.is_open() && now_us >= next_open_us_) {
      next_open_us_ = now_us + std::uint64_t{CAN_REOPEN_INTERVAL_MS} * 1000u;
      std::string error;
      try {
        // An adapter named by its USB identity is looked for again at every try: re-plugged
        // into another socket, it has another name.
        std::string device;
        const bool found = find_port(settings_.port, device, error);
        bool opened = found && port_.open(device.c_str(), error, settings_.baud);
        if (opened) {
          adapter_.opened(now_us);
          blocked_since_us_ = 0;
          opened = adapter_.begin_hand_shake(settings_.bitrate_command, now_us);
        }
        if (!opened && found) {
          port_.close();
          if (const char* why = port_.why_not_open()) {
            error.append(": ").append(why);
          }
        }
        note(opened, error);
        if (opened) {
          // Every address claimed and every message once the channel is open, then each on
          // its schedule.
          claim_due_.set();
          for (Schedule& schedule : schedules_) {
            schedule.due_us = adapter_.commands_due_us();
            schedule.sent = false;
          }
        }
      } catch (...) {
        // Out of memory for the error text: try again at the next look.
      }
    }
    if (port_.is_open()) {
      const std::uint64_t polled_us = os::now_us();
      bool alive = adapter_.poll(polled_us);
      if (alive && !adapter_.hand_shaking() && adapter_.hand_shake_due(polled_us)) {
        // A board whose bootloader ate the hand-shake ate the claims with it. The messages
        // keep their schedule meanwhile: a cluster that is listening drops a needle at a gap.
        claim_due_.set();
        alive = adapter_.begin_hand_shake(settings_.bitrate_command, polled_us);
      }
      if (!alive) {
        lose(polled_us);
      }
      answer_requests(polled_us);
      pass_news();
    }
    if (port_.is_open()) {
      // One moment for both: the hand-shake's commands go before any message due with them.
      const std::uint64_t sent_us = os::now_us();
      if (!adapter_.step(sent_us)) {
        lose(sent_us);
      } else {
        wake_us = send_due(sent_us);
        if (adapter_.hand_shaking()) {
          wake_us = std::min(wake_us, adapter_.commands_due_us());
        }
      }
    }
    // At most CAN_LONGEST_SLEEP_MS at a time, so that a stop is seen soon.
    const std::uint64_t after_us = os::now_us();
    if (wake_us > after_us) {
      os::timer_sleep(timer, wake_us - after_us);
    }
  }
  os::close_timer(timer);
  if (port_.is_open()) {
    const char close_channel[] = {'\r', 'C', '\r'};
    write_lines(close_channel, sizeof close_channel);
    port_.close();
  }
}

}  // namespace vontrel
