// The DBC reader's tokens: words, numbers, strings and marks, each with its line and whether
// it starts one. Within can/ only.
#ifndef VONTREL_CAN_DBC_TOKENS_H
#define VONTREL_CAN_DBC_TOKENS_H

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

namespace vontrel::can::dbc {

struct Token {
  enum class Kind : std::uint8_t { word, string, mark, end };
  Kind kind = Kind::end;
  std::string_view text;
  std::size_t line = 0;
  bool line_start = false;  // the first token on its line
  bool indented = false;    // its line starts with white space
};

inline bool word_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '.' || c == '+' || c == '-';
}

// Words (names, numbers, "1+"), strings without their quotes (they may span lines), and single
// marks (: ; | @ ( ) [ ] ,). A // comment runs to the end of its line.
// LF, CRLF, and the CR alone of old Mac editors, each end a line: true at the character that
// does.
inline bool line_end(std::string_view text, std::size_t i) {
  return text[i] == '\n' || (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'));
}

// Tokens one at a time, as the reader asks for them: a whole file's at once took about 40
// bytes of memory for each byte of a file of marks, 160 MB and more for the 4 MiB the plug-in
// reads; one at a time, the file itself is most of the peak.
class Tokenizer {
 public:
  explicit Tokenizer(std::string_view text) : text_(text) {}

  // The next token; at the end, the end token again and again.
  Token next() {
    while (i_ < text_.size()) {
      const char c = text_[i_];
      if (line_end(text_, i_)) {
        ++line_;
        at_line_start_ = true;
        indented_ = false;
        ++i_;
        continue;
      }
      if (c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f') {  // \r of a CRLF
        indented_ = indented_ || at_line_start_;
        ++i_;
        continue;
      }
      Token token;
      token.line = line_;
      token.line_start = at_line_start_;
      token.indented = indented_;
      at_line_start_ = false;
      if (c == '/' && i_ + 1 < text_.size() && text_[i_ + 1] == '/') {
        while (i_ < text_.size() && !line_end(text_, i_)) {
          ++i_;
        }
        at_line_start_ = token.line_start;
        continue;
      }
      if (c == '"') {
        const std::size_t start = ++i_;
        while (i_ < text_.size() && text_[i_] != '"') {
          if (text_[i_] == '\\' && i_ + 1 < text_.size()) {
            ++i_;
          }
          if (line_end(text_, i_)) {
            ++line_;
          }
          ++i_;
        }
        token.kind = Token::Kind::string;
        token.text = text_.substr(start, i_ - start);
        if (i_ < text_.size()) {
          ++i_;  // the closing quote; an unclosed string runs to the end of the file
        }
      } else if (word_char(c)) {
        const std::size_t start = i_;
        while (i_ < text_.size() && word_char(text_[i_])) {
          ++i_;
        }
        token.kind = Token::Kind::word;
        token.text = text_.substr(start, i_ - start);
      } else {
        token.kind = Token::Kind::mark;
        token.text = text_.substr(i_, 1);
        ++i_;
      }
      return token;
    }
    Token end;
    end.line = line_;
    end.line_start = true;
    return end;
  }

 private:
  std::string_view text_;
  std::size_t i_ = 0;
  std::size_t line_ = 1;
  bool at_line_start_ = true;
  bool indented_ = false;
};

// Every statement's first word. A statement without its closing ';' ends where the next one
// begins at the start of a line.
inline constexpr std::string_view KEYWORDS[] = {"VERSION",
                                                "NS_",
                                                "BS_",
                                                "BU_",
                                                "BO_",
                                                "SG_",
                                                "CM_",
                                                "VAL_TABLE_",
                                                "VAL_",
                                                "BA_DEF_",
                                                "BA_DEF_DEF_",
                                                "BA_",
                                                "BO_TX_BU_",
                                                "SIG_VALTYPE_",
                                                "EV_",
                                                "ENVVAR_DATA_",
                                                "SGTYPE_",
                                                "SGTYPE_VAL_",
                                                "SIG_GROUP_",
                                                "SIG_TYPE_REF_",
                                                "BA_DEF_REL_",
                                                "BA_REL_",
                                                "BA_DEF_DEF_REL_",
                                                "SG_MUL_VAL_",
                                                "CAT_DEF_",
                                                "CAT_",
                                                "FILTER",
                                                "BA_DEF_SGTYPE_",
                                                "BA_SGTYPE_",
                                                "BU_SG_REL_",
                                                "BU_EV_REL_",
                                                "BU_BO_REL_",
                                                "NS_DESC_",
                                                "SIGTYPE_VALTYPE_"};

inline bool is_keyword(std::string_view word) {
  return std::find(std::begin(KEYWORDS), std::end(KEYWORDS), word) != std::end(KEYWORDS);
}

// ---- Numbers ----------------------------------------------------------------------------

inline std::optional<double> number(std::string_view text) {
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
  }
  double value = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (result.ec != std::errc{} || result.ptr != text.data() + text.size() ||
      !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

inline std::optional<std::uint64_t> whole(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  std::uint64_t value = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || result.ec != std::errc{} || result.ptr != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

}  // namespace vontrel::can::dbc

#endif  // VONTREL_CAN_DBC_TOKENS_H
