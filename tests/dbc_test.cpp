#include "can/dbc.h"

#include <gtest/gtest.h>

#include <string>

namespace vontrel::can {
namespace {

// tests/can/every_construct.dbc: a profile of our own with every construct that real-world
// files use (the NS_ list, value tables, comments over several lines, attributes of every
// scope, an environment variable, multiplexing, a CAN FD length, a float signal).
std::string every_construct() {
  return
#include "every_construct_dbc.h"
      ;
}

const Message* find(const Profile& profile, const std::string& name) {
  for (const Message& message : profile.messages) {
    if (message.name == name) {
      return &message;
    }
  }
  return nullptr;
}

TEST(dbc_test, every_construct_reads_as_the_file_writes_it) {
  const Profile profile = read_dbc(every_construct());
  EXPECT_EQ(profile.problems.size(), 0u) << describe(profile.problems.front());
  EXPECT_EQ(profile.bitrate, 500000u);
  ASSERT_EQ(profile.messages.size(), 4u);

  const Message* motor = find(profile, "Motor_1");
  ASSERT_NE(motor, nullptr);
  EXPECT_EQ(motor->id, 640u);
  EXPECT_FALSE(motor->extended);
  EXPECT_EQ(motor->length, 8u);
  EXPECT_EQ(motor->cycle_ms, 10u);
  EXPECT_EQ(motor->send_type, SendType::cyclic);  // the default, "Cyclic"
  EXPECT_EQ(motor->fill, 0x00);
  ASSERT_EQ(motor->signals.size(), 5u);
  const Signal& coolant = motor->signals[3];
  EXPECT_EQ(coolant.name, "Coolant");
  EXPECT_EQ(coolant.start_bit, 39u);
  EXPECT_EQ(coolant.length, 8u);
  EXPECT_EQ(coolant.byte_order, ByteOrder::motorola);
  EXPECT_FALSE(coolant.is_signed);
  EXPECT_DOUBLE_EQ(coolant.factor, 0.75);
  EXPECT_DOUBLE_EQ(coolant.offset, -48);
  EXPECT_DOUBLE_EQ(coolant.minimum, -48);
  EXPECT_DOUBLE_EQ(coolant.maximum, 143.25);
  EXPECT_EQ(coolant.unit, "degC");
  EXPECT_DOUBLE_EQ(coolant.start_value, 48);
  EXPECT_EQ(coolant.source, "water_c");
  const Signal& torque = motor->signals[4];
  EXPECT_TRUE(torque.is_signed);
  EXPECT_EQ(torque.byte_order, ByteOrder::motorola);
  EXPECT_EQ(torque.source, "const -12.5");
  EXPECT_EQ(motor->signals[2].source.substr(0, 24), "crc8 0x2F 0xFF 0xFF data");

  const Message* lamps = find(profile, "Lamps");
  ASSERT_NE(lamps, nullptr);
  EXPECT_EQ(lamps->length, 2u);
  EXPECT_EQ(lamps->cycle_ms, 500u);
  EXPECT_EQ(lamps->send_type, SendType::cyclic_and_on_change);  // index 3 of the ENUM
  EXPECT_DOUBLE_EQ(lamps->signals[0].minimum, 0);               // [0|0]: no range
  EXPECT_DOUBLE_EQ(lamps->signals[0].maximum, 0);

  const Message* ccvs1 = find(profile, "CCVS1");
  ASSERT_NE(ccvs1, nullptr);
  EXPECT_TRUE(ccvs1->extended);
  EXPECT_EQ(ccvs1->id, 0x18FEF100u);
  EXPECT_EQ(ccvs1->cycle_ms, 100u);
  EXPECT_EQ(ccvs1->fill, 0xFF);
  EXPECT_DOUBLE_EQ(ccvs1->signals[0].start_value, 65535);

  // A multiplexor, and a signal in each of two pages: they share bits, as pages do.
  const Message* multiplexed = find(profile, "Multiplexed");
  ASSERT_NE(multiplexed, nullptr);
  EXPECT_EQ(multiplexed->pages, (std::vector<std::uint32_t>{1, 2}));
  ASSERT_EQ(multiplexed->signals.size(), 3u);
  EXPECT_TRUE(multiplexed->signals[0].multiplexor);
  EXPECT_EQ(multiplexed->signals[0].page, -1);
  EXPECT_EQ(multiplexed->signals[1].page, 1);
  EXPECT_EQ(multiplexed->signals[2].page, 2);

  // Left out, each with its line: a CAN FD length, a float signal.
  ASSERT_EQ(profile.skipped.size(), 2u);
  EXPECT_EQ(profile.skipped[0].name, "Flexible");
  EXPECT_EQ(profile.skipped[0].line, 61u);
  EXPECT_EQ(profile.skipped[1].name, "Floats");
}

TEST(dbc_test, j1939_parameter_groups_by_frame_format_or_the_files_protocol) {
  const std::string messages =
      "BO_ 2566844672 CCVS1: 8 Vector__XXX\n"  // 29-bit
      "BO_ 2566844416 OTHER: 8 Vector__XXX\n"  // 29-bit
      "BO_ 256 CAR: 8 Vector__XXX\n"           // 11-bit
      "BA_DEF_ BO_ \"GenMsgCycleTime\" INT 0 65535;\nBA_DEF_DEF_ \"GenMsgCycleTime\" 100;\n";
  const std::string frame_format =
      "BA_DEF_ BO_ \"VFrameFormat\" ENUM \"StandardCAN\",\"ExtendedCAN\",\"reserved\","
      "\"J1939PG\";\n"
      "BA_DEF_DEF_ \"VFrameFormat\" \"ExtendedCAN\";\n";
  const std::string protocol =
      "BA_DEF_ \"ProtocolType\" STRING;\nBA_ \"ProtocolType\" \"J1939\";\n";
  // (the file's attributes, whether CCVS1, OTHER and CAR are J1939)
  const struct {
    std::string attributes;
    bool ccvs1, other, car;
  } cases[] = {
      {"", false, false, false},
      {protocol, true, true, false},
      {frame_format + "BA_ \"VFrameFormat\" BO_ 2566844672 3;\n", true, false, false},
      // A message's own frame format wins over the file's protocol.
      {protocol + frame_format + "BA_ \"VFrameFormat\" BO_ 2566844672 3;\n", true, false, false},
  };
  for (const auto& c : cases) {
    const Profile profile = read_dbc("VERSION \"\"\n" + messages + c.attributes);
    ASSERT_TRUE(profile.problems.empty()) << c.attributes;
    EXPECT_EQ(find(profile, "CCVS1")->j1939, c.ccvs1) << c.attributes;
    EXPECT_EQ(find(profile, "OTHER")->j1939, c.other) << c.attributes;
    EXPECT_EQ(find(profile, "CAR")->j1939, c.car) << c.attributes;
  }
}

TEST(dbc_test, crlf_line_ends_read_alike) {
  std::string crlf;
  for (const char c : every_construct()) {
    if (c == '\n') {
      crlf += '\r';
    }
    crlf += c;
  }
  const Profile lf = read_dbc(every_construct());
  const Profile other = read_dbc(crlf);
  ASSERT_EQ(other.messages.size(), lf.messages.size());
  EXPECT_TRUE(other.problems.empty());
  for (std::size_t i = 0; i < lf.messages.size(); ++i) {
    EXPECT_EQ(other.messages[i].name, lf.messages[i].name);
    EXPECT_EQ(other.messages[i].signals.size(), lf.messages[i].signals.size());
    EXPECT_EQ(other.messages[i].cycle_ms, lf.messages[i].cycle_ms);
  }
}

const std::string HEADER =
    "VERSION \"\"\n"
    "BA_DEF_ BO_ \"GenMsgCycleTime\" INT 0 65535;\n"
    "BA_DEF_ SG_ \"VontrelSource\" STRING ;\n"
    "BA_DEF_DEF_ \"GenMsgCycleTime\" 100;\n";  // four lines: a case's own begin on line 5

struct ProblemCase {
  const char* what;
  const char* text;     // after HEADER
  std::size_t line;     // of the first problem
  const char* problem;  // what its text says, in part
};

const ProblemCase PROBLEMS[] = {
    {"a signal past the message's length", "BO_ 1 M: 2 X\n SG_ A : 10|8@1+ (1,0) [0|0] \"\" X\n", 6,
     "reaches beyond the message's 2 bytes"},
    {"a Motorola signal past byte 0", "BO_ 1 M: 1 X\n SG_ A : 3|8@0+ (1,0) [0|0] \"\" X\n", 6,
     "reaches beyond"},
    {"overlapping signals",
     "BO_ 1 M: 8 X\n SG_ A : 0|8@1+ (1,0) [0|0] \"\" X\n SG_ B : 7|4@1+ (1,0) [0|0] \"\" X\n", 7,
     "signals A (bits 0-7) and B (bits 7-10) overlap"},
    {"a cycle time too short", "BO_ 1 M: 8 X\nBA_ \"GenMsgCycleTime\" BO_ 1 5;\n", 5,
     "cycle time (GenMsgCycleTime) of 5 ms"},
    {"an unknown source",
     "BO_ 1 M: 8 X\n SG_ A : 0|8@1+ (1,0) [0|0] \"\" X\nBA_ \"VontrelSource\" SG_ 1 A \"warp\";\n",
     7, "signal A: unknown source warp"},
    {"a typing error in a source",
     "BO_ 1 M: 8 X\n SG_ A : 0|8@1+ (1,0) [0|0] \"\" X\n"
     "BA_ \"VontrelSource\" SG_ 1 A \"engine_rmp\";\n",
     7, "unknown source engine_rmp; did you mean engine_rpm?"},
    {"a bare m", "BO_ 1 M: 8 X\n SG_ A m : 0|8@1+ (1,0) [0|0] \"\" X\n", 6,
     "a multiplexor is written M, a multiplexed signal m with its page (m0, m1, ...)"},
    {"a page without a multiplexor", "BO_ 1 M: 8 X\n SG_ A m1 : 0|8@1+ (1,0) [0|0] \"\" X\n", 6,
     "signal A is multiplexed (m1) in a message without a multiplexor (M)"},
    {"signals of one page overlap",
     "BO_ 1 M: 8 X\n SG_ P M : 0|8@1+ (1,0) [0|0] \"\" X\n SG_ A m1 : 8|8@1+ (1,0) [0|0] \"\" X\n"
     " SG_ B m1 : 12|8@1+ (1,0) [0|0] \"\" X\n",
     8, "signals A (bits 8-15) and B (bits 12-19) overlap"},
    {"a page's signal over the multiplexor",
     "BO_ 1 M: 8 X\n SG_ P M : 0|8@1+ (1,0) [0|0] \"\" X\n SG_ A m1 : 4|8@1+ (1,0) [0|0] \"\" X\n",
     7, "signals P (bits 0-7) and A (bits 4-11) overlap"},
    {"a page beyond its multiplexor",
     "BO_ 1 M: 8 X\n SG_ P M : 0|2@1+ (1,0) [0|0] \"\" X\n SG_ A m4 : 8|8@1+ (1,0) [0|0] \"\" X\n",
     6, "multiplexor P of 2 bits cannot carry page 4"},
    {"a counter beyond its bits",
     "BO_ 1 M: 8 X\n SG_ C : 0|4@1+ (1,0) [0|0] \"\" X\n"
     "BA_ \"VontrelSource\" SG_ 1 C \"counter 1 16\";\n",
     7, "a counter to 16 needs more than 4 bits"},
    {"checksum bytes beyond the message",
     "BO_ 1 M: 4 X\n SG_ S : 0|8@1+ (1,0) [0|0] \"\" X\n"
     "BA_ \"VontrelSource\" SG_ 1 S \"sum bytes 1-5\";\n",
     7, "the checksum's bytes reach beyond the message's 4 bytes"},
    {"a checksum over its own byte",
     "BO_ 1 M: 4 X\n SG_ S : 0|8@1+ (1,0) [0|0] \"\" X\n"
     "BA_ \"VontrelSource\" SG_ 1 S \"xor bytes 0-3\";\n",
     7, "signal S: a checksum's bytes may not take its own byte 0"},
    {"a checksum off a byte boundary",
     "BO_ 1 M: 8 X\n SG_ A : 4|8@1+ (1,0) [0|0] \"\" X\nBA_ \"VontrelSource\" SG_ 1 A \"xor\";\n",
     7, "a checksum takes 8 bits on a byte boundary"},
    {"a counter too wide for sixteen data bytes",
     "BO_ 1 M: 8 X\n SG_ C : 8|5@1+ (1,0) [0|0] \"\" X\n SG_ S : 0|8@1+ (1,0) [0|0] \"\" X\n"
     "BA_ \"VontrelSource\" SG_ 1 C \"counter\";\n"
     "BA_ \"VontrelSource\" SG_ 1 S \"crc8 0x2F 0xFF 0xFF data 1 2 3 4 5 6 7 8 9 10 11 12 13 14 "
     "15 16\";\n",
     8, "a counter of 5 bits runs past"},
    {"a standard identifier above 0x7FF", "BO_ 2048 M: 8 X\n", 5,
     "a standard identifier is 0 to 0x7FF"},
    {"a signal line cut short", "BO_ 1 M: 8 X\n SG_ A : 0|8@1+ (1,0)\n", 6,
     "SG_: expected [minimum|maximum]"},
    {"an unknown keyword", "WHAT_ 1 2 3;\n", 5, "unknown keyword \"WHAT_\""},
};

TEST(dbc_test, each_problem_with_its_line) {
  for (const ProblemCase& c : PROBLEMS) {
    SCOPED_TRACE(c.what);
    const Profile profile = read_dbc(HEADER + c.text);
    ASSERT_FALSE(profile.problems.empty());
    EXPECT_EQ(profile.problems[0].line, c.line) << profile.problems[0].text;
    EXPECT_NE(profile.problems[0].text.find(c.problem), std::string::npos)
        << profile.problems[0].text;
  }
}

TEST(dbc_test, a_byte_order_mark_and_cr_only_line_ends_read_as_the_file_means_them) {
  std::string cr_only;
  for (const char c : every_construct()) {
    cr_only += c == '\n' ? '\r' : c;
  }
  for (const std::string& text : {"\xEF\xBB\xBF" + every_construct(), cr_only}) {
    const Profile profile = read_dbc(text);
    EXPECT_TRUE(profile.problems.empty()) << describe(profile.problems.at(0));
    ASSERT_EQ(profile.messages.size(), 4u);
    EXPECT_EQ(profile.skipped.size(), 2u);
    EXPECT_EQ(find(profile, "Lamps")->line, read_dbc(every_construct()).messages[1].line);
  }
}

TEST(dbc_test, statements_in_any_order_and_each_name_once) {
  // A float signal declared before its message is still a float signal.
  const Profile floats = read_dbc(HEADER +
                                  "SIG_VALTYPE_ 7 P : 1;\nBO_ 7 F: 8 X\n"
                                  " SG_ P : 0|32@1+ (1,0) [0|0] \"\" X\n");
  EXPECT_TRUE(floats.messages.empty());
  ASSERT_EQ(floats.skipped.size(), 1u);
  EXPECT_EQ(floats.skipped[0].name, "F");
  // (the file after HEADER, the problem: both messages or the message and signal named)
  const struct {
    const char* text;
    const char* problem;
  } twice[] = {
      {"BO_ 256 A: 8 X\nBO_ 256 B: 8 X\n", "line 6: messages A (line 5) and B have one identifier"},
      {"BO_ 1 A: 8 X\nBO_ 2 A: 8 X\n", "line 6: two messages are named A (lines 5 and 6)"},
      {"BO_ 1 A: 8 X\n SG_ S : 0|8@1+ (1,0) [0|0] \"\" X\n SG_ S : 8|8@1+ (1,0) [0|0] \"\" X\n",
       "line 7: message A has two signals named S"},
  };
  for (const auto& c : twice) {
    const Profile profile = read_dbc(HEADER + c.text);
    ASSERT_EQ(profile.problems.size(), 1u) << c.text;
    EXPECT_EQ(describe(profile.problems[0]), c.problem);
  }
}

TEST(dbc_test, a_message_without_a_cycle_time_says_so) {
  const Profile profile = read_dbc("VERSION \"\"\nBO_ 1 M: 8 X\n");
  ASSERT_EQ(profile.problems.size(), 1u);
  EXPECT_EQ(describe(profile.problems[0]),
            "line 2: message M has no GenMsgCycleTime and the file no default");
}

TEST(dbc_test, a_multiplexor_with_nothing_under_it_is_an_ordinary_signal) {
  // As a car's engine unit declares one (a flag with no page signals): its message is sent.
  const Profile profile =
      read_dbc(HEADER + "BO_ 640 Motor_1: 8 X\n SG_ Flag M : 0|1@1+ (1,0) [0|0] \"\" X\n");
  ASSERT_EQ(profile.problems.size(), 0u);
  ASSERT_EQ(profile.messages.size(), 1u);
  EXPECT_FALSE(profile.messages[0].signals[0].multiplexor);
  EXPECT_TRUE(profile.messages[0].pages.empty());
}

TEST(dbc_test, extended_multiplexing_is_left_out_with_its_reason) {
  const Profile profile =
      read_dbc(HEADER +
               "BO_ 2 N: 8 X\n SG_ P M : 0|4@1+ (1,0) [0|0] \"\" X\n"
               " SG_ Q m1M : 4|4@1+ (1,0) [0|0] \"\" X\n SG_ A m2 : 8|8@1+ (1,0) [0|0] \"\" X\n"
               "BO_ 3 R: 8 X\n SG_ P M : 0|4@1+ (1,0) [0|0] \"\" X\n"
               " SG_ A m1 : 8|8@1+ (1,0) [0|0] \"\" X\n"
               "SG_MUL_VAL_ 3 A P 1-3;\n");
  EXPECT_TRUE(profile.problems.empty());
  EXPECT_TRUE(profile.messages.empty());
  ASSERT_EQ(profile.skipped.size(), 2u);
  EXPECT_NE(profile.skipped[0].why.find("extended multiplexing"), std::string::npos);
  EXPECT_EQ(profile.skipped[1].name, "R");
}

TEST(dbc_test, overlapping_signals_by_the_thousand_read_in_a_blink_and_ten_are_told) {
  // Every one of 8000 one-bit signals on bit 0: each overlaps the first; only ten are written.
  std::string text = HEADER + "BO_ 1 M: 8 X\n";
  for (int i = 0; i < 8000; ++i) {
    text.append(" SG_ S").append(std::to_string(i)).append(" : 0|1@1+ (1,0) [0|0] \"\" X\n");
  }
  const Profile profile = read_dbc(text);
  EXPECT_EQ(profile.problems.size(), MAX_PROBLEMS);
  EXPECT_EQ(profile.problems_not_kept, 7999u - MAX_PROBLEMS);
  EXPECT_EQ(profile.problems[0].text, "signals S0 (bit 0) and S1 (bit 0) overlap");
}

TEST(dbc_test, a_string_never_closed_ends_the_file_not_the_reader) {
  const Profile profile = read_dbc(HEADER + "BO_ 1 M: 8 X\nCM_ \"open\nBO_ 2 N: 8 X\n");
  EXPECT_TRUE(profile.problems.empty());
  ASSERT_EQ(profile.messages.size(), 1u);
  EXPECT_EQ(profile.messages[0].name, "M");
}

TEST(dbc_test, at_most_ten_problems_are_kept_and_the_rest_counted) {
  std::string text = HEADER;
  for (int i = 0; i < 25; ++i) {
    text.append("NONSENSE_").append(std::to_string(i)).append(";\n");
  }
  const Profile profile = read_dbc(text);
  EXPECT_EQ(profile.problems.size(), MAX_PROBLEMS);
  EXPECT_EQ(profile.problems_not_kept, 15u);
  EXPECT_EQ(describe(profile.problems[0]), "line 5: unknown keyword \"NONSENSE_0\"");
}

TEST(dbc_test, reading_goes_on_after_a_statement_that_does_not_read) {
  // A broken BO_ takes its SG_ lines with it, without a problem each; the next message reads.
  const Profile profile = read_dbc(HEADER +
                                   "BO_ x M: 8 X\n SG_ A : 0|8@1+ (1,0) [0|0] \"\" X\n"
                                   "BO_ 2 N: 8 X\n SG_ B : 0|8@1+ (1,0) [0|0] \"\" X\n");
  ASSERT_EQ(profile.problems.size(), 1u);
  EXPECT_EQ(profile.problems[0].line, 5u);
  ASSERT_EQ(profile.messages.size(), 1u);
  EXPECT_EQ(profile.messages[0].name, "N");
  EXPECT_EQ(profile.messages[0].signals.size(), 1u);
}

}  // namespace
}  // namespace vontrel::can
