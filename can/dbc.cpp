#include "can/dbc.h"

#include "can/dbc_checks.h"
#include "can/dbc_tokens.h"
#include "can/sources.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <map>
#include <optional>
#include <set>
#include <tuple>
#include <utility>

namespace vontrel::can {

namespace {

using dbc::is_keyword;
using dbc::number;
using dbc::Token;
using dbc::Tokenizer;
using dbc::whole;

enum class Scope : std::uint8_t { network, node, message, signal, environment };

struct AttributeValue {
  std::size_t line = 0;
  std::string text;  // a string's text, or a number as written
  bool quoted = false;
};

struct AttributeDefinition {
  Scope scope = Scope::network;
  std::vector<std::string> enum_values;  // for ENUM
  std::optional<AttributeValue> fallback;
};

// ---- The reader -------------------------------------------------------------------------

constexpr std::uint32_t EXTENDED_FLAG = 0x80000000u;
constexpr std::uint32_t CYCLE_MS_SHORTEST = 10;
constexpr std::uint32_t CYCLE_MS_LONGEST = 60000;

class Reader {
 public:
  explicit Reader(std::string_view text) : tokens_(text) {}

  Profile read() {
    while (peek().kind != Token::Kind::end) {
      statement();
    }
    apply_attributes();
    check();
    return std::move(profile_);
  }

 private:
  // The token `ahead` of the next one (0 or 1: the reader looks no further).
  const Token& peek(std::size_t ahead = 0) const {
    while (ahead_ <= ahead) {
      next_[ahead_++] = tokens_.next();
    }
    return next_[ahead];
  }
  Token take() {
    const Token token = peek();
    next_[0] = next_[1];
    --ahead_;
    return token;
  }
  bool take_mark(char mark) {
    if (peek().kind == Token::Kind::mark && peek().text[0] == mark) {
      take();
      return true;
    }
    return false;
  }
  // The start of the next statement: a keyword at the start of a line, or the end.
  bool at_statement() const {
    const Token& token = peek();
    return token.kind == Token::Kind::end ||
           (token.line_start && token.kind == Token::Kind::word && is_keyword(token.text));
  }
  // A keyword by itself on a line: only in the NS_ list, where some tools do not indent.
  bool alone_on_its_line() const {
    return peek().kind == Token::Kind::word && is_keyword(peek().text) &&
           peek(1).line != peek().line;
  }
  // Past the statement's ';', or to the next statement where the ';' is missing.
  void skip_statement() {
    while (!at_statement()) {
      if (take_mark(';')) {
        return;
      }
      take();
    }
  }
  void skip_line(std::size_t line) {
    while (peek().kind != Token::Kind::end && peek().line == line && !at_statement()) {
      take();
    }
  }

  // Whether another problem is still kept: past the tenth, problems are counted, not written.
  bool keeping() const { return profile_.problems.size() < MAX_PROBLEMS; }
  void problem(std::size_t line, std::string text) { add_problem(profile_, line, std::move(text)); }
  // A statement that does not read as its keyword says: one problem, then the next statement.
  void syntax(std::size_t line, std::string_view keyword, std::string_view expected) {
    std::string text(keyword);
    text.append(": expected ").append(expected);
    if (peek().kind == Token::Kind::end) {
      text += " before the end of the file";
    } else {
      text.append(", found \"").append(peek().text).append("\"");
    }
    problem(line, std::move(text));
    skip_statement();
  }

  void statement() {
    const Token& first = take();
    const std::size_t line = first.line;
    if (first.kind != Token::Kind::word) {
      problem(line,
              "expected a keyword such as BO_ or SG_, found \"" + std::string(first.text) + "\"");
      skip_statement();
      return;
    }
    const std::string_view keyword = first.text;
    if (keyword == "NS_") {
      // New symbols: the keywords the file may use, one to an indented line after "NS_ :".
      take_mark(':');
      while (peek().kind != Token::Kind::end &&
             (peek().line == line || peek().indented || alone_on_its_line())) {
        take();
      }
    } else if (keyword == "VERSION" || keyword == "BS_" || keyword == "BU_") {
      skip_line(line);
    } else if (keyword == "BO_") {
      message(line);
    } else if (keyword == "SG_") {
      signal(line);
    } else if (keyword == "BA_DEF_") {
      attribute_definition(line);
    } else if (keyword == "BA_DEF_DEF_") {
      attribute_default(line);
    } else if (keyword == "BA_") {
      attribute(line);
    } else if (keyword == "SIG_VALTYPE_") {
      value_type(line);
    } else if (keyword == "SG_MUL_VAL_") {
      // SG_MUL_VAL_ <id> <signal> <multiplexor> <ranges>: pages by ranges of values.
      if (const std::optional<std::uint64_t> id = whole(peek().text)) {
        extended_multiplexing_.insert(*id);
      }
      skip_statement();
    } else if (is_keyword(keyword)) {
      skip_statement();  // comments, value tables, environment variables, ...: for CAN tools
    } else {
      problem(line, "unknown keyword \"" + std::string(keyword) + "\"");
      skip_statement();
    }
  }

  // BO_ <id> <name>: <length> <sender>
  void message(std::size_t line) {
    current_ = nullptr;
    lost_message_ = true;
    const std::optional<std::uint64_t> id = whole(peek().text);
    if (peek().kind != Token::Kind::word || !id || *id > 0xFFFFFFFFu) {
      syntax(line, "BO_", "the message's identifier");
      return;
    }
    take();
    if (peek().kind != Token::Kind::word) {
      syntax(line, "BO_", "the message's name");
      return;
    }
    const std::string_view name = take().text;
    if (!take_mark(':')) {
      syntax(line, "BO_", "':' after the name");
      return;
    }
    const std::optional<std::uint64_t> length = whole(peek().text);
    if (peek().kind != Token::Kind::word || !length || *length > 64) {
      syntax(line, "BO_", "the message's length in bytes");
      return;
    }
    take();
    skip_line(line);  // the sending node
    lost_message_ = false;
    const auto raw_id = static_cast<std::uint32_t>(*id);
    // Vector's tools park signals of no message in this pseudo-message.
    if (name == "VECTOR__INDEPENDENT_SIG_MSG") {
      lost_message_ = true;
      return;
    }
    RawMessage& raw = messages_.emplace_back();
    raw.raw_id = raw_id;
    raw.message.name = std::string(name);
    raw.message.line = line;
    raw.message.extended = (raw_id & EXTENDED_FLAG) != 0;
    raw.message.id = raw_id & 0x1FFFFFFFu;
    raw.message.length = static_cast<std::uint32_t>(*length);
    if (!raw.message.extended && raw.message.id > 0x7FF) {
      problem(line, "message " + raw.message.name + ": a standard identifier is 0 to 0x7FF");
    }
    current_ = &raw;
  }

  // SG_ <name> [M|m<n>] : <start>|<length>@<order><sign> (<factor>,<offset>) [<min>|<max]
  //     "<unit>" <receivers>
  void signal(std::size_t line) {
    if (peek().kind != Token::Kind::word) {
      syntax(line, "SG_", "the signal's name");
      return;
    }
    Signal signal;
    signal.name = std::string(take().text);
    signal.line = line;
    bool nested = false;
    if (peek().kind == Token::Kind::word) {
      // "M" the multiplexor, "m3" a signal of page 3, "m3M" both (nested multiplexing).
      const std::string_view mark = take().text;
      std::string_view digits = mark.size() > 1 && mark[0] == 'm' ? mark.substr(1) : "";
      nested = !digits.empty() && digits.back() == 'M';
      if (nested) {
        digits.remove_suffix(1);
      }
      const std::optional<std::uint64_t> page = whole(digits);
      if (mark == "M") {
        signal.multiplexor = true;
      } else if (page && *page <= 0xFFFFFFFFu &&
                 digits.find_first_not_of("0123456789") == std::string_view::npos) {
        signal.page = static_cast<std::int64_t>(*page);
      } else if (mark == "m") {
        problem(line, "SG_ " + signal.name +
                          ": a multiplexor is written M, a multiplexed signal m with its page "
                          "(m0, m1, ...), not a bare m");
        skip_statement();
        return;
      } else {
        syntax(line, "SG_", "':' after the signal's name (or M, or m and a page)");
        return;
      }
    }
    const std::optional<std::uint64_t> start = take_mark(':') ? whole(peek().text) : std::nullopt;
    if (!start || *start > 511) {
      syntax(line, "SG_", "the start bit after ':'");
      return;
    }
    take();
    const std::optional<std::uint64_t> length = take_mark('|') ? whole(peek().text) : std::nullopt;
    if (!length || *length > 512) {
      syntax(line, "SG_", "the length in bits after '|'");
      return;
    }
    take();
    if (!take_mark('@')) {
      syntax(line, "SG_", "'@' and the byte order");
      return;
    }
    std::string order(peek().kind == Token::Kind::word ? take().text : std::string_view{});
    if (order.size() == 1 && peek().kind == Token::Kind::word &&
        (peek().text == "+" || peek().text == "-")) {
      order += take().text;
    }
    if (order.size() != 2 || (order[0] != '0' && order[0] != '1') ||
        (order[1] != '+' && order[1] != '-')) {
      syntax(line, "SG_", "the byte order and sign (1+, 1-, 0+ or 0-)");
      return;
    }
    signal.start_bit = static_cast<std::uint32_t>(*start);
    signal.length = static_cast<std::uint32_t>(*length);
    signal.byte_order = order[0] == '1' ? ByteOrder::intel : ByteOrder::motorola;
    signal.is_signed = order[1] == '-';
    if (!pair('(', ',', ')', signal.factor, signal.offset)) {
      syntax(line, "SG_", "(factor,offset)");
      return;
    }
    if (!pair('[', '|', ']', signal.minimum, signal.maximum)) {
      syntax(line, "SG_", "[minimum|maximum]");
      return;
    }
    if (peek().kind == Token::Kind::string) {
      signal.unit = std::string(take().text);
    }
    skip_line(line);  // the receiving nodes
    if (current_ == nullptr) {
      if (!lost_message_) {
        problem(line, "signal " + signal.name + " stands under no message (BO_)");
      }
      return;
    }
    current_->nested = current_->nested || nested;
    current_->message.signals.push_back(std::move(signal));
  }

  // A number as a word of its own, taken.
  std::optional<double> take_number() {
    const std::optional<double> value =
        peek().kind == Token::Kind::word ? number(peek().text) : std::nullopt;
    if (value) {
      take();
    }
    return value;
  }

  // (a,b) or [a|b].
  bool pair(char open, char between, char close, double& first, double& second) {
    std::optional<double> a;
    std::optional<double> b;
    if (take_mark(open) && (a = take_number()) && take_mark(between) && (b = take_number()) &&
        take_mark(close)) {
      first = *a;
      second = *b;
      return true;
    }
    return false;
  }

  std::optional<Scope> scope() {
    const std::string_view word = peek().kind == Token::Kind::word ? peek().text : "";
    std::optional<Scope> found;
    if (word == "BU_") {
      found = Scope::node;
    } else if (word == "BO_") {
      found = Scope::message;
    } else if (word == "SG_") {
      found = Scope::signal;
    } else if (word == "EV_") {
      found = Scope::environment;
    }
    if (found) {
      take();
    }
    return found;
  }

  // BA_DEF_ [BU_|BO_|SG_|EV_] "<name>" INT|HEX|FLOAT <min> <max> | STRING | ENUM "a","b";
  void attribute_definition(std::size_t line) {
    AttributeDefinition definition;
    definition.scope = scope().value_or(Scope::network);
    if (peek().kind != Token::Kind::string) {
      syntax(line, "BA_DEF_", "the attribute's name in quotes");
      return;
    }
    const std::string name(take().text);
    const std::string_view type = peek().kind == Token::Kind::word ? take().text : "";
    if (type == "ENUM") {
      while (peek().kind == Token::Kind::string) {
        definition.enum_values.emplace_back(take().text);
        if (!take_mark(',')) {
          break;
        }
      }
    } else if (type != "INT" && type != "HEX" && type != "FLOAT" && type != "STRING") {
      syntax(line, "BA_DEF_", "INT, HEX, FLOAT, STRING or ENUM");
      return;
    }
    skip_statement();
    AttributeDefinition& kept = definitions_[name];
    definition.fallback = kept.fallback;  // a default may come first
    kept = std::move(definition);
  }

  std::optional<AttributeValue> attribute_value(std::size_t line) {
    const Token token = peek();  // a copy: take() moves the next token into its place
    if (token.kind != Token::Kind::word && token.kind != Token::Kind::string) {
      return std::nullopt;
    }
    take();
    return AttributeValue{line, std::string(token.text), token.kind == Token::Kind::string};
  }

  // BA_DEF_DEF_ "<name>" <value>;
  void attribute_default(std::size_t line) {
    if (peek().kind != Token::Kind::string) {
      syntax(line, "BA_DEF_DEF_", "the attribute's name in quotes");
      return;
    }
    const std::string name(take().text);
    std::optional<AttributeValue> value = attribute_value(line);
    if (!value) {
      syntax(line, "BA_DEF_DEF_", "the default value");
      return;
    }
    skip_statement();
    definitions_[name].fallback = std::move(value);
  }

  // BA_ "<name>" [BU_ <node> | BO_ <id> | SG_ <id> <signal> | EV_ <variable>] <value>;
  void attribute(std::size_t line) {
    if (peek().kind != Token::Kind::string) {
      syntax(line, "BA_", "the attribute's name in quotes");
      return;
    }
    const std::string name(take().text);
    const std::optional<Scope> where = scope();
    std::optional<std::uint64_t> id;
    std::string signal;
    if (where == Scope::message || where == Scope::signal) {
      id = whole(peek().text);
      if (peek().kind != Token::Kind::word || !id) {
        syntax(line, "BA_", "the message's identifier");
        return;
      }
      take();
    }
    if (where == Scope::signal || where == Scope::node || where == Scope::environment) {
      if (peek().kind != Token::Kind::word) {
        syntax(line, "BA_", "a name");
        return;
      }
      signal = std::string(take().text);
    }
    std::optional<AttributeValue> value = attribute_value(line);
    if (!value) {
      syntax(line, "BA_", "the attribute's value");
      return;
    }
    skip_statement();
    if (!where) {
      network_values_[name] = std::move(*value);
    } else if (where == Scope::message) {
      message_values_[{name, *id}] = std::move(*value);
    } else if (where == Scope::signal) {
      signal_values_[{name, *id, signal}] = std::move(*value);
    }
  }

  // SIG_VALTYPE_ <id> <signal> : 1|2;  IEEE floats, which the sender does not encode.
  void value_type(std::size_t line) {
    const std::optional<std::uint64_t> id = whole(peek().text);
    if (peek().kind != Token::Kind::word || !id) {
      syntax(line, "SIG_VALTYPE_", "the message's identifier");
      return;
    }
    take();
    const std::string_view signal = peek().kind == Token::Kind::word ? take().text : "";
    take_mark(':');
    const std::string_view type = peek().kind == Token::Kind::word ? peek().text : "";
    skip_statement();
    if (type == "1" || type == "2") {
      // Applied once every message is read: the statement may come before its BO_.
      float_signals_.emplace(*id, std::string(signal));
    }
  }

  // An attribute's value for one message or signal, else its default; an ENUM's index as its
  // text.
  std::optional<AttributeValue> lookup(const std::string& name,
                                       const std::optional<AttributeValue>& set) const {
    std::optional<AttributeValue> value = set;
    const auto definition = definitions_.find(name);
    if (!value && definition != definitions_.end()) {
      value = definition->second.fallback;
    }
    if (value && !value->quoted && definition != definitions_.end() &&
        !definition->second.enum_values.empty()) {
      const std::optional<std::uint64_t> index = whole(value->text);
      if (index && *index < definition->second.enum_values.size()) {
        value->text = definition->second.enum_values[static_cast<std::size_t>(*index)];
        value->quoted = true;
      }
    }
    return value;
  }
  std::optional<AttributeValue> for_network(const char* name) const {
    const auto found = network_values_.find(name);
    return lookup(name, found == network_values_.end()
                            ? std::nullopt
                            : std::optional<AttributeValue>(found->second));
  }
  std::optional<AttributeValue> for_message(const char* name, std::uint32_t raw_id) const {
    const auto found = message_values_.find({name, raw_id});
    return lookup(name, found == message_values_.end()
                            ? std::nullopt
                            : std::optional<AttributeValue>(found->second));
  }
  std::optional<AttributeValue> for_signal(const char* name, std::uint32_t raw_id,
                                           const std::string& signal) const {
    const auto found = signal_values_.find({name, raw_id, signal});
    return lookup(name, found == signal_values_.end()
                            ? std::nullopt
                            : std::optional<AttributeValue>(found->second));
  }

  template <typename Whole>
  bool whole_attribute(const std::optional<AttributeValue>& value, const char* what,
                       std::uint64_t largest, Whole& out) {
    if (!value) {
      return false;
    }
    const std::optional<double> as_number = number(value->text);
    const std::optional<std::uint64_t> as_whole = whole(value->text);
    if (as_whole && *as_whole <= largest) {
      out = static_cast<Whole>(*as_whole);
      return true;
    }
    if (as_number && *as_number >= 0 && *as_number <= static_cast<double>(largest) &&
        std::floor(*as_number) == *as_number) {
      out = static_cast<Whole>(*as_number);
      return true;
    }
    problem(value->line, std::string(what) + " \"" + value->text +
                             "\" is no whole number from 0 to " + std::to_string(largest));
    return false;
  }

  void apply_attributes() {
    if (const std::optional<AttributeValue> rate = for_network("Baudrate")) {
      whole_attribute(rate, "Baudrate", 1000000, profile_.bitrate);
    }
    const std::optional<AttributeValue> protocol = for_network("ProtocolType");
    const bool j1939_file = protocol && protocol->text == "J1939";
    for (RawMessage& raw : messages_) {
      Message& message = raw.message;
      const std::optional<AttributeValue> format = for_message("VFrameFormat", raw.raw_id);
      message.j1939 = message.extended && (format ? format->text == "J1939PG" : j1939_file);
      const std::optional<AttributeValue> cycle = for_message("GenMsgCycleTime", raw.raw_id);
      raw.cycle_given = cycle.has_value();
      whole_attribute(cycle, "GenMsgCycleTime", 0xFFFFFFFFu, message.cycle_ms);
      whole_attribute(for_message("GenMsgDelayTime", raw.raw_id), "GenMsgDelayTime", 60000,
                      message.delay_ms);
      if (const std::optional<AttributeValue> type = for_message("GenMsgSendType", raw.raw_id)) {
        // Vector's names for "cyclic, and at once on a change" carry one of these words.
        std::string lower = type->text;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
        if (lower.find("change") != std::string::npos ||
            lower.find("spontan") != std::string::npos ||
            lower.find("onwrite") != std::string::npos) {
          message.send_type = SendType::cyclic_and_on_change;
        }
      }
      whole_attribute(for_message("VontrelFill", raw.raw_id), "VontrelFill", 0xFF, message.fill);
      for (Signal& signal : message.signals) {
        if (const std::optional<AttributeValue> start =
                for_signal("GenSigStartValue", raw.raw_id, signal.name)) {
          if (const std::optional<double> value = number(start->text)) {
            signal.start_value = *value;
          } else if (const std::optional<std::uint64_t> hex = whole(start->text)) {
            signal.start_value = static_cast<double>(*hex);
          } else {
            problem(start->line, "GenSigStartValue of " + signal.name + " is no number: \"" +
                                     start->text + "\"");
          }
        }
        if (const std::optional<AttributeValue> source =
                for_signal("VontrelSource", raw.raw_id, signal.name)) {
          signal.source = source->text;
          signal.source_line = source->line;
        }
      }
    }
  }

  void check() {
    check_names(messages_, profile_);
    for (RawMessage& raw : messages_) {
      Message& message = raw.message;
      for (const Signal& signal : message.signals) {
        raw.floats = raw.floats || float_signals_.count({raw.raw_id, signal.name}) != 0;
      }
      if (message.length > 8) {
        profile_.skipped.push_back({message.line, message.name,
                                    "a CAN FD message of " + std::to_string(message.length) +
                                        " bytes; the adapter sends classic CAN, 8 bytes at most"});
        continue;
      }
      if (raw.nested || extended_multiplexing_.count(raw.raw_id) != 0) {
        profile_.skipped.push_back(
            {message.line, message.name,
             "extended multiplexing (SG_MUL_VAL_, a multiplexed multiplexor) is not sent"});
        continue;
      }
      if (raw.floats) {
        profile_.skipped.push_back(
            {message.line, message.name, "floating-point signals (SIG_VALTYPE_) are not sent"});
        continue;
      }
      if (!raw.cycle_given) {
        problem(message.line,
                "message " + message.name + " has no GenMsgCycleTime and the file no default");
      } else if (message.cycle_ms < CYCLE_MS_SHORTEST || message.cycle_ms > CYCLE_MS_LONGEST) {
        problem(message.line, "message " + message.name + ": a cycle time (GenMsgCycleTime) of " +
                                  std::to_string(message.cycle_ms) +
                                  " ms; the sender takes 10 to 60000 ms");
      }
      if (read_pages(message, profile_)) {
        check_overlaps(message, profile_);
      }
      check_sources(message, profile_);
      profile_.messages.push_back(std::move(message));
    }
  }

  mutable Tokenizer tokens_;
  mutable Token next_[2];
  mutable std::size_t ahead_ = 0;  // tokens read into next_
  Profile profile_;
  std::vector<RawMessage> messages_;  // BO_ in file order
  RawMessage* current_ = nullptr;     // the last of them, while its SG_ lines follow
  bool lost_message_ = false;         // a BO_ that did not read: its SG_ lines go with it
  std::set<std::uint64_t> extended_multiplexing_;                  // messages named by SG_MUL_VAL_
  std::set<std::pair<std::uint64_t, std::string>> float_signals_;  // by SIG_VALTYPE_
  std::map<std::string, AttributeDefinition> definitions_;
  std::map<std::string, AttributeValue> network_values_;
  std::map<std::pair<std::string, std::uint64_t>, AttributeValue> message_values_;
  std::map<std::tuple<std::string, std::uint64_t, std::string>, AttributeValue> signal_values_;
};

}  // namespace

Profile read_dbc(std::string_view text) {
  // Notepad saves UTF-8 with a byte-order mark: no part of the file.
  constexpr std::string_view BYTE_ORDER_MARK = "\xEF\xBB\xBF";
  if (text.substr(0, BYTE_ORDER_MARK.size()) == BYTE_ORDER_MARK) {
    text.remove_prefix(BYTE_ORDER_MARK.size());
  }
  return Reader(text).read();
}

std::string describe(const Problem& problem) {
  return "line " + std::to_string(problem.line) + ": " + problem.text;
}

}  // namespace vontrel::can
