#include "settings/settings.h"

#include <gtest/gtest.h>

#include <ostream>

#include <string>

#include "tests/temp_dir.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace vontrel {
namespace {

using testing::TempDir;

Settings from_line(const std::string& line) {
  Settings settings;
  settings.parse_line(line);
  return settings;
}

TEST(settings_test, missing_file_loads_nothing_and_getters_fall_back) {
  TempDir dir;
  Settings settings;
  EXPECT_FALSE(settings.load((dir.path() / "absent.txt").string()));
  EXPECT_EQ(settings.get_string("comport", "COM3"), "COM3");
  EXPECT_TRUE(settings.get_bool("debug_mode", true));
}

TEST(settings_test, empty_file_loads_and_getters_fall_back) {
  TempDir dir;
  Settings settings;
  EXPECT_TRUE(settings.load(dir.write("empty.txt", "")));
  EXPECT_EQ(settings.get_string("comport", "COM3"), "COM3");
  EXPECT_TRUE(settings.get_bool("debug_mode", true));
  EXPECT_EQ(settings.get_int("n", 5), 5);
  EXPECT_EQ(settings.get_float("f", 2.5f), 2.5f);
}

TEST(settings_test, directory_in_place_of_file_does_not_hang_or_crash) {
  TempDir dir;
  Settings settings;
  // Reading a directory either fails to open or reads nothing; both leave the defaults.
  settings.load(dir.path().string());
  EXPECT_EQ(settings.get_string("comport", "COM3"), "COM3");
}

struct IntCase {
  const char* line;
  std::int32_t expected;
};

// Prints the case by its line: the default byte dump would read the struct's padding.
void PrintTo(const IntCase& c, std::ostream* out) {
  *out << c.line;
}

class settings_int_test : public ::testing::TestWithParam<IntCase> {};

TEST_P(settings_int_test, reads_as_far_as_the_number_goes) {
  EXPECT_EQ(from_line(GetParam().line).get_int("n", -99), GetParam().expected) << GetParam().line;
}

INSTANTIATE_TEST_SUITE_P(values, settings_int_test,
                         ::testing::Values(IntCase{"n int 42", 42}, IntCase{"n int -7", -7},
                                           IntCase{"n int +8", 8}, IntCase{"n int 3.9", 3},
                                           IntCase{"n int 12abc", 12}, IntCase{"n int 0x10", 0},
                                           IntCase{"n int 2147483647", 2147483647},
                                           IntCase{"n int -2147483648", -2147483647 - 1},
                                           // Unreadable or out of range: a determined zero.
                                           IntCase{"n int 2147483648", 0}, IntCase{"n int abc", 0},
                                           IntCase{"n int", 0}, IntCase{"n int -", 0}));

struct FloatCase {
  const char* line;
  float expected;
};

void PrintTo(const FloatCase& c, std::ostream* out) {
  *out << c.line;
}

class settings_float_test : public ::testing::TestWithParam<FloatCase> {};

TEST_P(settings_float_test, reads_a_decimal_number_with_a_point) {
  EXPECT_EQ(from_line(GetParam().line).get_float("f", -99.0f), GetParam().expected)
      << GetParam().line;
}

INSTANTIATE_TEST_SUITE_P(
    values, settings_float_test,
    ::testing::Values(FloatCase{"f flt 2.5", 2.5f}, FloatCase{"f flt -0.25", -0.25f},
                      FloatCase{"f flt 1,5", 1.0f}, FloatCase{"f flt 1e3", 1000.0f},
                      FloatCase{"f flt 1.5E-1x", 0.15f}, FloatCase{"f flt 7e", 7.0f},
                      FloatCase{"f flt .5", 0.5f}, FloatCase{"f flt 3.", 3.0f},
                      // Unreadable or beyond the float range: a determined zero.
                      FloatCase{"f flt inf", 0.0f}, FloatCase{"f flt nan", 0.0f},
                      FloatCase{"f flt 1e99", 0.0f}, FloatCase{"f flt x", 0.0f},
                      FloatCase{"f flt", 0.0f}));

struct BoolCase {
  const char* line;
  bool expected;
};

void PrintTo(const BoolCase& c, std::ostream* out) {
  *out << c.line;
}

class settings_bool_test : public ::testing::TestWithParam<BoolCase> {};

TEST_P(settings_bool_test, reads_only_zero_and_one) {
  // The default true shows that the entry exists even when it reads false.
  EXPECT_EQ(from_line(GetParam().line).get_bool("b", true), GetParam().expected) << GetParam().line;
}

INSTANTIATE_TEST_SUITE_P(values, settings_bool_test,
                         ::testing::Values(BoolCase{"b bool 1", true}, BoolCase{"b bool 0", false},
                                           BoolCase{"b bool 2", false},
                                           BoolCase{"b bool true", false},
                                           BoolCase{"b bool yes", false},
                                           BoolCase{"b bool", false}));

TEST(settings_test, string_value_is_one_word_and_trailing_text_is_ignored) {
  EXPECT_EQ(from_line("comport str COM7 the cluster on the left").get_string("comport", "COM3"),
            "COM7");
  EXPECT_EQ(from_line("comport str COM 7").get_string("comport", "COM3"), "COM");
  EXPECT_EQ(from_line("  \tcomport \t str\t\\\\.\\COM10").get_string("comport", "COM3"),
            "\\\\.\\COM10");
}

TEST(settings_test, string_without_value_stores_empty_text_not_the_default) {
  EXPECT_EQ(from_line("comport str").get_string("comport", "COM3"), "");
}

TEST(settings_test, type_words_and_keys_are_exact) {
  for (const char* line : {"comport STR COM7", "comport Str COM7", "comport string COM7",
                           "Comport str COM7", "comport", "", "   ", "a free text line"}) {
    EXPECT_EQ(from_line(line).get_string("comport", "COM3"), "COM3") << line;
  }
}

TEST(settings_test, stores_are_independent_per_type) {
  Settings settings;
  settings.parse_line("key int 5");
  settings.parse_line("key str five");
  EXPECT_EQ(settings.get_int("key", 0), 5);
  EXPECT_EQ(settings.get_string("key", "none"), "five");
  EXPECT_FALSE(settings.get_bool("key", false));
}

TEST(settings_test, later_line_for_the_same_key_wins) {
  Settings settings;
  settings.parse_line("comport str COM4");
  settings.parse_line("comport str COM5");
  EXPECT_EQ(settings.get_string("comport", "COM3"), "COM5");
}

TEST(settings_test, file_with_crlf_line_ends_and_no_final_line_end) {
  TempDir dir;
  Settings settings;
  ASSERT_TRUE(settings.load(dir.write("Vontrel.txt", "comport str COM9\r\ndebug_mode bool 0")));
  EXPECT_EQ(settings.get_string("comport", "COM3"), "COM9");
  EXPECT_FALSE(settings.get_bool("debug_mode", true));
}

TEST(settings_test, byte_order_mark_is_skipped_and_a_partial_one_is_kept) {
  TempDir dir;
  Settings settings;
  ASSERT_TRUE(settings.load(dir.write("bom.txt",
                                      "\xEF\xBB\xBF"
                                      "comport str COM9\ndebug_mode bool 0\n")));
  EXPECT_EQ(settings.get_string("comport", "COM3"), "COM9");
  EXPECT_FALSE(settings.get_bool("debug_mode", true));

  ASSERT_TRUE(settings.load(dir.write("partial.txt",
                                      "\xEF\xBB"
                                      "comport str COM4\n")));
  EXPECT_EQ(settings.get_string("\xEF\xBB"
                                "comport",
                                "none"),
            "COM4");
}

// What Notepad writes for "UTF-16" (little-endian) and "UTF-16 BE": its mark, then the text.
std::string utf16_file(std::u16string_view text, bool little_endian) {
  std::string bytes = little_endian ? "\xFF\xFE" : "\xFE\xFF";
  for (const char16_t unit : text) {
    const char high = static_cast<char>(unit >> 8);
    const char low = static_cast<char>(unit & 0xFF);
    bytes += little_endian ? std::string{low, high} : std::string{high, low};
  }
  return bytes;
}

TEST(settings_test, utf16_in_either_byte_order_reads_as_its_utf8_twin) {
  // A truck emoji (a surrogate pair) and an e-acute in values, CRLF line ends, no final one.
  const std::u16string_view text =
      u"comport str COM9\r\nstartup_delay int 2000\r\nname str \U0001F69A\r\nplace str "
      u"caf\u00E9\r\ndebug_mode bool 0";
  for (const bool little_endian : {true, false}) {
    SCOPED_TRACE(little_endian ? "little-endian" : "big-endian");
    TempDir dir;
    Settings settings;
    ASSERT_TRUE(settings.load(dir.write("Vontrel.txt", utf16_file(text, little_endian))));
    EXPECT_EQ(settings.get_string("comport", "COM3"), "COM9");
    EXPECT_EQ(settings.get_int("startup_delay", 0), 2000);
    EXPECT_EQ(settings.get_string("name", ""), "\xF0\x9F\x9A\x9A");
    EXPECT_EQ(settings.get_string("place", ""), "caf\xC3\xA9");
    EXPECT_FALSE(settings.get_bool("debug_mode", true));
  }
}

TEST(settings_test, utf16_broken_surrogates_and_an_odd_byte_read_as_replacement_characters) {
  TempDir dir;
  Settings settings;
  // A lone high surrogate, a lone low one, then an odd last byte.
  std::string bytes = utf16_file(u"a str x", true) + std::string("\x00\xD8", 2) +
                      utf16_file(u"\nb str y", true).substr(2) + std::string("\x00\xDC", 2) +
                      utf16_file(u"\nc str z", true).substr(2) + "!";
  ASSERT_TRUE(settings.load(dir.write("broken.txt", bytes)));
  EXPECT_EQ(settings.get_string("a", ""), "x\xEF\xBF\xBD");
  EXPECT_EQ(settings.get_string("b", ""), "y\xEF\xBF\xBD");
  EXPECT_EQ(settings.get_string("c", ""), "z\xEF\xBF\xBD");
}

TEST(settings_test, second_load_merges_into_the_first) {
  TempDir dir;
  Settings settings;
  ASSERT_TRUE(settings.load(dir.write("a.txt", "comport str COM4\ndebug_mode bool 0\n")));
  ASSERT_TRUE(settings.load(dir.write("b.txt", "comport str COM5\n")));
  EXPECT_EQ(settings.get_string("comport", "COM3"), "COM5");
  EXPECT_FALSE(settings.get_bool("debug_mode", true));
}

#if defined(_WIN32)
TEST(settings_test, file_held_open_by_an_editor_is_still_read) {
  TempDir dir;
  const std::string path = dir.write("Vontrel.txt", "comport str COM8\n");
  // An editor holds the file open for writing and lets others read and write it.
  const HANDLE editor =
      ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(editor, INVALID_HANDLE_VALUE);
  Settings settings;
  EXPECT_TRUE(settings.load(path));
  EXPECT_EQ(settings.get_string("comport", "COM3"), "COM8");
  ::CloseHandle(editor);
}
#endif

TEST(settings_test, binary_noise_is_read_without_harm) {
  TempDir dir;
  std::string noise("\x00\x1A\xFF\n\r\x01 str \x00", 11);
  noise += "\ncomport str COM6\n";
  Settings settings;
  ASSERT_TRUE(settings.load(dir.write("noise.txt", noise)));
  EXPECT_EQ(settings.get_string("comport", "COM3"), "COM6");
}

TEST(settings_test, a_nul_ends_the_line_in_the_store_as_in_the_log) {
  // Notepad's UTF-16 with a stray U+0000: the port's name must not carry what follows it.
  Settings settings;
  settings.parse_line(std::string("comport str none\0junk", 21));
  settings.parse_line(std::string("debug_mode bool\0 1", 18));
  settings.parse_line(
      std::string("startup_delay int 25\0"
                  "00",
                  22));
  EXPECT_EQ(settings.get_string("comport", "COM3"), "none");
  EXPECT_FALSE(settings.get_bool("debug_mode", true));  // its value came after the NUL
  EXPECT_EQ(settings.get_int("startup_delay", 0), 25);
}

TEST(settings_test, a_huge_file_is_read_only_as_far_as_the_limit_and_whole_lines) {
  // A settings file of junk lines past 64 KiB: what lies beyond is never read, and the line
  // the limit cuts through stores nothing rather than a value cut short.
  TempDir dir;
  const std::string line = "can_junk_0000 int 1\n";  // 20 bytes
  std::string text = "comport str COM6\n";
  while (text.size() + line.size() < 64 * 1024 - 30) {
    text += line;
  }
  text += std::string(64 * 1024 - 6 - text.size() - 1, '#') + "\n";  // free text
  text += "cut str abcdefghij\n";  // starts 6 bytes before the 64 KiB mark
  text += "later str x\n";
  Settings settings;
  ASSERT_TRUE(settings.load(dir.write("huge.txt", text)));
  EXPECT_TRUE(settings.cut_short());
  EXPECT_EQ(settings.get_string("comport", "COM3"), "COM6");
  EXPECT_EQ(settings.get_string("cut", "absent"), "absent");
  EXPECT_EQ(settings.get_string("later", "absent"), "absent");

  Settings small;
  ASSERT_TRUE(small.load(dir.write("small.txt", "comport str COM7\n")));
  EXPECT_FALSE(small.cut_short());
}

}  // namespace
}  // namespace vontrel
