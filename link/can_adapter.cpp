#include "link/can_adapter.h"

#include "can/encoder.h"
#include "can/j1939.h"

namespace vontrel {

namespace {

// No Lawicel reply is longer: a frame line of eight data bytes with a timestamp.
constexpr std::size_t LONGEST_REPLY = 1 + 8 + 1 + 16 + 4;
// A news queue nobody empties (a host that stopped calling) stays this small.
constexpr std::size_t NEWS_KEPT = 16;

int hex_digit(char c) noexcept {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

CanReply kind_of(const std::string& line) {
  if (line.empty()) {
    return CanReply::ok;
  }
  switch (line[0]) {
    case 'z':
      return line.size() == 1 ? CanReply::acknowledged : CanReply::foreign;
    case 'Z':
      // "Z" alone acknowledges a 29-bit frame; "Z0", "Z1" is the timestamp command.
      return line.size() == 1 ? CanReply::acknowledged : CanReply::echo;
    case 'V':
    case 'v':
      return CanReply::version;
    case 't':
    case 'T':
    case 'r':
    case 'R':
      return CanReply::frame;
    case 'F':
    case 'N':
      return CanReply::status;
    case 'C':
    case 'O':
    case 'L':
    case 'S':
    case 's':
    case 'M':
    case 'm':
    case 'A':
    case 'W':
    case 'X':
    case 'U':
    case 'Q':
    case 'P':
      return CanReply::echo;
    default:
      return CanReply::foreign;
  }
}

}  // namespace

void CanReplyReader::feed(const std::uint8_t* bytes, std::size_t count,
                          std::vector<Reply>& replies) {
  for (std::size_t i = 0; i < count; ++i) {
    const auto c = static_cast<char>(bytes[i]);
    if (c == '\a') {
      // A refusal ends whatever came before it on the line.
      if (!line_.empty()) {
        replies.push_back({kind_of(line_), line_});
        line_.clear();
      }
      replies.push_back({CanReply::refused, std::string()});
    } else if (c == '\r') {
      replies.push_back({kind_of(line_), line_});
      line_.clear();
    } else if (c == '\n') {
      // Another device's line end, or a CR a terminal's input translation turned into LF
      // before the port was set up: a line all the same.
      if (!line_.empty()) {
        replies.push_back({kind_of(line_), line_});
        line_.clear();
      }
    } else {
      line_.push_back(c);
      if (line_.size() > LONGEST_REPLY) {
        replies.push_back({CanReply::foreign, line_});
        line_.clear();
      }
    }
  }
}

void CanAdapter::opened(std::uint64_t now_us) noexcept {
  opened_us_ = now_us;
  expected_.clear();
  last_hand_shake_us_ = 0;
  commands_pending_ = false;
  answered_ = false;
  acknowledges_ = false;
  unacknowledged_since_us_ = 0;
  in_flight_ = 0;
  in_flight_first_ = 0;
  written_since_answer_ = 0;
  last_answer_us_ = 0;
  quickest_answer_us_ = ~std::uint64_t{0} / 2;
  answers_missing_ = 0;
  told_missing_ = false;
  last_missing_us_ = 0;
}

bool CanAdapter::read_replies(std::vector<CanReplyReader::Reply>& replies) noexcept {
  std::uint8_t buffer[256];
  for (;;) {
    std::uint32_t got = 0;
    if (port_.read(buffer, sizeof buffer, got) != os::io_status::done) {
      return false;
    }
    if (got == 0) {
      return true;
    }
    try {
      reader_.feed(buffer, got, replies);
    } catch (...) {
      // Out of memory for a reply: what was read is dropped, the adapter is read on.
    }
  }
}

bool CanAdapter::begin_hand_shake(char bitrate_command, std::uint64_t now_us) noexcept {
  last_hand_shake_us_ = now_us;
  expected_.clear();
  bitrate_command_ = bitrate_command;
  const std::uint8_t flush[] = {'\r'};
  if (port_.write(flush, sizeof flush, os::deadline_after(CAN_FLUSH_MS)) == os::io_status::failed) {
    return false;
  }
  // What the CR brings back (a BEL, from most) answers no command of ours: it is read before
  // the commands go.
  commands_pending_ = true;
  commands_due_us_ = now_us + std::uint64_t{CAN_FLUSH_MS} * 1000u;
  return true;
}

bool CanAdapter::step(std::uint64_t now_us) noexcept {
  if (!commands_pending_ || now_us < commands_due_us_) {
    return true;
  }
  commands_pending_ = false;
  if (!poll(now_us)) {
    return false;
  }
  try {
    expected_ = "CSOV";
  } catch (...) {
    expected_.clear();
  }
  expected_until_us_ = now_us + std::uint64_t{CAN_ANSWER_MS} * 1000u;
  const std::uint8_t commands[] = {
      'C', '\r', 'S', static_cast<std::uint8_t>(bitrate_command_), '\r', 'O', '\r', 'V', '\r'};
  return port_.write(commands, sizeof commands, os::deadline_after(CAN_FLUSH_MS)) !=
         os::io_status::failed;
}

bool CanAdapter::hand_shake_due(std::uint64_t now_us) const noexcept {
  return !answered_ && now_us - opened_us_ < std::uint64_t{CAN_SILENT_MS} * 1000u &&
         now_us - last_hand_shake_us_ >= std::uint64_t{CAN_RETRY_MS} * 1000u;
}

bool CanAdapter::poll(std::uint64_t now_us) noexcept {
  replies_.clear();
  const bool alive = read_replies(replies_);
  const std::uint64_t answers_before = last_answer_us_;
  for (const CanReplyReader::Reply& reply : replies_) {
    take(reply, now_us);
  }
  give_up_late(now_us, last_answer_us_ != answers_before);
  // A device that sends text, but no Lawicel reply, has had its line.
  if (!answered_ && !told_silent_ && !told_foreign_ &&
      now_us - opened_us_ >= std::uint64_t{CAN_SILENT_MS} * 1000u) {
    told_silent_ = true;
    tell(CanNews::silent);
  }
  if (acknowledges_ && unacknowledged_since_us_ != 0 && !told_unacknowledged_ &&
      now_us - unacknowledged_since_us_ >= std::uint64_t{CAN_UNACKNOWLEDGED_MS} * 1000u) {
    told_unacknowledged_ = true;
    tell(CanNews::unacknowledged);
  }
  // One that answers but acknowledges nothing may still tell of its bus by its flags; its
  // answer, or a BEL from one that has no "F", comes with the next poll.
  if (alive && answered_ && !acknowledges_ && unacknowledged_since_us_ != 0 &&
      now_us - status_asked_us_ >= std::uint64_t{CAN_STATUS_MS} * 1000u) {
    status_asked_us_ = now_us;
    const std::uint8_t ask[] = {'F', '\r'};
    return port_.write(ask, sizeof ask, os::deadline_after(CAN_FLUSH_MS)) != os::io_status::failed;
  }
  return alive;
}

void CanAdapter::sent(std::size_t count, std::uint64_t now_us) noexcept {
  if (count > 0 && unacknowledged_since_us_ == 0) {
    unacknowledged_since_us_ = now_us;
  }
  if (!acknowledges_) {
    return;
  }
  written_since_answer_ += count;
  for (std::size_t i = 0; i < count; ++i) {
    if (in_flight_ == IN_FLIGHT_KEPT) {
      // As many unanswered as are kept: the oldest is given up now.
      in_flight_first_ = (in_flight_first_ + 1) % IN_FLIGHT_KEPT;
      --in_flight_;
      ++answers_missing_;
      last_missing_us_ = now_us;
    }
    in_flight_us_[(in_flight_first_ + in_flight_) % IN_FLIGHT_KEPT] = now_us;
    ++in_flight_;
  }
}

bool CanAdapter::holding(std::size_t window, std::uint64_t now_us) const noexcept {
  // A slot's worth written since its last answer, and none for a while: it has stopped
  // reading. Answers that keep coming, however late or few, show an adapter that reads.
  return acknowledges_ && written_since_answer_ >= window &&
         now_us - last_answer_us_ >= std::uint64_t{CAN_ANSWER_LATE_MS} * 1000u;
}

void CanAdapter::answered_one(std::uint64_t now_us) noexcept {
  last_answer_us_ = now_us;
  written_since_answer_ = 0;
  if (in_flight_ > 0) {
    const std::uint64_t took = now_us - in_flight_us_[in_flight_first_];
    quickest_answer_us_ = took < quickest_answer_us_ ? took : quickest_answer_us_;
    in_flight_first_ = (in_flight_first_ + 1) % IN_FLIGHT_KEPT;
    --in_flight_;
  }
}

void CanAdapter::give_up_late(std::uint64_t now_us, bool answers_came) noexcept {
  const std::uint64_t before = answers_missing_;
  // Answers come in the frames' order: once answers come, a frame older than any answer
  // takes (the quickest seen, and CAN_ANSWER_LATE_MS more) has had its answer lost.
  const std::uint64_t overdue = quickest_answer_us_ + std::uint64_t{CAN_ANSWER_LATE_MS} * 1000u;
  while (answers_came && in_flight_ > 0 && now_us - in_flight_us_[in_flight_first_] > overdue) {
    ++answers_missing_;
    in_flight_first_ = (in_flight_first_ + 1) % IN_FLIGHT_KEPT;
    --in_flight_;
  }
  while (in_flight_ > 0 &&
         now_us - in_flight_us_[in_flight_first_] >= std::uint64_t{CAN_ANSWER_MS} * 1000u) {
    // Lost, when a later frame's answer came; one that answers nothing at all has stopped, or
    // nobody on the bus takes the frames, which is other news.
    if (last_answer_us_ > in_flight_us_[in_flight_first_]) {
      ++answers_missing_;
    }
    in_flight_first_ = (in_flight_first_ + 1) % IN_FLIGHT_KEPT;
    --in_flight_;
  }
  if (answers_missing_ != before) {
    last_missing_us_ = now_us;
  }
  if (answers_missing_ != 0 && !told_missing_ &&
      now_us - last_missing_us_ < std::uint64_t{CAN_ANSWERS_BACK_MS} * 1000u) {
    told_missing_ = true;
    tell(CanNews::answers_missing, std::to_string(answers_missing_));
  } else if (told_missing_ &&
             now_us - last_missing_us_ >= std::uint64_t{CAN_ANSWERS_BACK_MS} * 1000u &&
             unacknowledged_since_us_ == 0) {
    // Every answer for a while, and the last frame's among them.
    told_missing_ = false;
    tell(CanNews::answers_back, std::to_string(answers_missing_));
  }
}

void CanAdapter::take(const CanReplyReader::Reply& reply, std::uint64_t now_us) noexcept {
  // Only what shows the hand-shake was taken counts as an answer: a BEL for a frame sent
  // while a board was still in its bootloader does not.
  if (reply.kind == CanReply::acknowledged || reply.kind == CanReply::version ||
      reply.kind == CanReply::frame || reply.kind == CanReply::status) {
    answered_ = true;
  }
  // A hand-shake a bootloader ate is answered by nobody: what comes long after it (a BEL for
  // a frame sent before the channel opened) answers something else.
  if (!expected_.empty() && now_us > expected_until_us_) {
    expected_.clear();
  }
  const bool answers_command = reply.kind == CanReply::ok || reply.kind == CanReply::refused ||
                               reply.kind == CanReply::version;
  if (answers_command && !expected_.empty()) {
    answered_ = true;
    const char command = expected_[0];
    expected_.erase(0, 1);
    if (reply.kind == CanReply::refused && command == 'S') {
      tell(CanNews::refused_bitrate, std::string{'S', bitrate_command_});
    } else if (reply.kind == CanReply::refused && command == 'O') {
      tell(CanNews::refused_open, "O");
    } else if (reply.kind == CanReply::version && !told_version_ && reply.text.size() > 1) {
      told_version_ = true;
      tell(CanNews::version, reply.text);
    }
    return;
  }
  switch (reply.kind) {
    case CanReply::acknowledged:
      // Counted from the first acknowledgement: what went before may have met a closed
      // channel's BELs, taken for the hand-shake's answers.
      if (acknowledges_) {
        answered_one(now_us);
      } else {
        in_flight_ = 0;
        in_flight_first_ = 0;
        written_since_answer_ = 0;
        last_answer_us_ = now_us;
      }
      acknowledges_ = true;
      unacknowledged_since_us_ = 0;
      if (told_unacknowledged_) {
        told_unacknowledged_ = false;
        tell(CanNews::acknowledged);
      }
      break;
    case CanReply::version:
      if (!told_version_ && reply.text.size() > 1) {
        told_version_ = true;
        tell(CanNews::version, reply.text);
      }
      break;
    case CanReply::frame:
      ++frames_received_;
      take_frame(reply.text);
      break;
    case CanReply::foreign:
      if (!told_foreign_) {
        told_foreign_ = true;
        tell(CanNews::foreign);
      }
      break;
    case CanReply::status:
      take_status(reply.text);
      break;
    case CanReply::refused:  // a frame it could not queue, or a command it does not know
      answered_one(now_us);
      break;
    case CanReply::ok:
    case CanReply::echo:
      break;
  }
}

void CanAdapter::take_status(const std::string& text) noexcept {
  // "F" and two hex digits: bit 2 error warning, bit 5 error passive, bit 7 bus error, each
  // what a frame nobody acknowledges brings about, retried until the adapter gives up.
  const int high = text.size() == 3 && text[0] == 'F' ? hex_digit(text[1]) : -1;
  const int low = text.size() == 3 ? hex_digit(text[2]) : -1;
  if (high < 0 || low < 0) {
    return;
  }
  const bool errors = ((high << 4 | low) & 0xA4) != 0;
  if (errors && !told_unacknowledged_) {
    told_unacknowledged_ = true;
    tell(CanNews::unacknowledged);
  } else if (!errors && told_unacknowledged_) {
    told_unacknowledged_ = false;
    tell(CanNews::acknowledged);
  }
}

void CanAdapter::tell(CanNews news, std::string detail) noexcept {
  try {
    if (news_.size() < NEWS_KEPT) {
      news_.push_back({news, std::move(detail)});
    }
  } catch (...) {
    // Out of memory for a log line: the line is lost, nothing else.
  }
}

void CanAdapter::take_frame(const std::string& line) noexcept {
  std::uint32_t id = 0;
  bool extended = false;
  can::Data bytes{};
  std::size_t length = 0;
  // A Request: PGN 59904 (0xEA00) to a destination, the asked-for group in three bytes.
  if (!can::parse_slcan(line, id, extended, bytes, length) || !extended || length < 3 ||
      can::pgn_of(id) != can::PGN_REQUEST || request_count_ == REQUESTS_KEPT) {
    return;
  }
  requests_[request_count_++] = {can::requested_pgn(bytes),
                                 static_cast<std::uint8_t>((id >> 8) & 0xFF)};
}

bool CanAdapter::take_request(Request& request) noexcept {
  if (request_count_ == 0) {
    return false;
  }
  request = requests_[0];
  for (std::size_t i = 1; i < request_count_; ++i) {
    requests_[i - 1] = requests_[i];
  }
  --request_count_;
  return true;
}

bool CanAdapter::take_news(CanNews& news, std::string& detail) {
  if (news_.empty()) {
    return false;
  }
  news = news_.front().news;
  detail = std::move(news_.front().detail);
  news_.erase(news_.begin());
  return true;
}

}  // namespace vontrel
