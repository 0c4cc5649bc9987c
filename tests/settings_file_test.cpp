// Our tools' writes into a player's Vontrel.txt, each read back the way the plug-in reads it.
#include "settings/settings_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "settings/settings.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace vontrel {
namespace {

const std::vector<SettingEdit> flashed = {{"comport", "str", "usb:1A86:7523", false},
                                          {"startup_delay", "int", "1500", true}};

// ASCII text as Notepad's "Unicode" (UTF-16, little-endian) or "Unicode big endian" writes it.
std::string utf16(const std::string& ascii, bool little) {
  std::string out = little ? "\xFF\xFE" : "\xFE\xFF";
  for (char c : ascii) {
    out += little ? std::string{c, '\0'} : std::string{'\0', c};
  }
  return out;
}

std::string padding(std::size_t bytes) {
  std::string out;
  while (out.size() < bytes) {
    out += "# a long note the player keeps in the file\n";
  }
  return out;
}

TEST(settings_file_test, edits_keep_every_other_line_and_read_back_as_the_plugin_reads) {
  const std::string big = padding(70 * 1024);
  const struct {
    const char* name;
    std::string before;
    std::string after;  // empty: only read back
  } cases[] = {
      {"new file", "", "comport str usb:1A86:7523\nstartup_delay int 1500\n"},
      {"comment and other lines kept",
       "# mine\ncomport str COM3        the serial port\ndebug_mode bool 1\n",
       "# mine\ncomport str usb:1A86:7523        the serial port\ndebug_mode bool 1\n"
       "startup_delay int 1500\n"},
      {"line ends kept", "startup_delay int 0\r\ncomport str COM3\r\n",
       "startup_delay int 1500\r\ncomport str usb:1A86:7523\r\n"},
      {"a bare key finished, a longer key and a note left",
       "comport_old str X\ncomport is where the cluster is\ncomport\n",
       "comport_old str X\ncomport is where the cluster is\ncomport str usb:1A86:7523\n"
       "startup_delay int 1500\n"},
      {"every line of a key written twice",
       "comport str COM3\nudp_target str 127.0.0.1:5555\ncomport str COM4 second\n",
       "comport str usb:1A86:7523\nudp_target str 127.0.0.1:5555\n"
       "comport str usb:1A86:7523 second\nstartup_delay int 1500\n"},
      {"a key with the wrong type word", "startup_delay str 2000\n",
       "startup_delay int 1500\ncomport str usb:1A86:7523\n"},
      {"UTF-8 mark kept, not taken for a key",
       "\xEF\xBB\xBF"
       "comport str COM3\n",
       "\xEF\xBB\xBF"
       "comport str usb:1A86:7523\nstartup_delay int 1500\n"},
      {"UTF-16 little-endian", utf16("comport str COM3\r\n", true),
       utf16("comport str usb:1A86:7523\r\nstartup_delay int 1500\r\n", true)},
      {"UTF-16 big-endian", utf16("x int 1\n", false),
       utf16("x int 1\ncomport str usb:1A86:7523\nstartup_delay int 1500\n", false)},
      {"a longer delay the player set is kept", "startup_delay int 2500   my board is slow\n",
       "startup_delay int 2500   my board is slow\ncomport str usb:1A86:7523\n"},
      {"past 64 KiB the new lines go first", big + "comport str COM3\n",
       "comport str usb:1A86:7523\nstartup_delay int 1500\n" + big + "comport str usb:1A86:7523\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const SettingsEdited edited = edit_settings(c.before, flashed);
    ASSERT_EQ(edited.refused, "");
    EXPECT_EQ(edited.bytes, c.after);
    Settings read;
    read.load_bytes(edited.bytes);
    EXPECT_EQ(read.get_string("comport", "COM3"), "usb:1A86:7523");
    EXPECT_GE(read.get_int("startup_delay", 0), 1500);
  }
}

TEST(settings_file_test, says_what_it_changed_and_kept) {
  const SettingsEdited edited =
      edit_settings("comport str COM3\nstartup_delay int 2500 slow board\n", flashed);
  EXPECT_EQ(edited.notes, (std::vector<std::string>{"comport COM3 changed to usb:1A86:7523",
                                                    "startup_delay 2500 kept: longer than the "
                                                    "1500 needed here"}));
  const SettingsEdited lowered = edit_settings("startup_delay int 500\n", flashed);
  EXPECT_EQ(lowered.notes, (std::vector<std::string>{"comport str usb:1A86:7523 added",
                                                     "startup_delay 500 changed to 1500"}));
}

TEST(settings_file_test, refuses_a_value_the_plugin_would_not_read) {
  // A value of two words: the plug-in takes only the first.
  const SettingsEdited edited = edit_settings("", {{"comport", "str", "COM 5", false}});
  EXPECT_NE(edited.refused, "");
  EXPECT_EQ(edited.bytes, "");
}

#ifndef _WIN32

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

void put(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

class settings_file_on_disk : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "vontrel-settings-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    folder = pattern;
    ::chmod(folder.c_str(), 0755);
    path = folder + "/Vontrel.txt";
  }
  void TearDown() override {
    const std::string command = "rm -rf '" + folder + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
  }
  std::string folder, path;
};

TEST_F(settings_file_on_disk, what_may_be_written_and_what_is_left_alone) {
  const std::string mine = "udp_target str 127.0.0.1:5555\ncomport str COM3   my cluster\n";
  const std::string written =
      "udp_target str 127.0.0.1:5555\ncomport str usb:1A86:7523   my cluster\n"
      "startup_delay int 1500\n";
  const struct {
    const char* name;
    void (*make)(const std::string& folder, const std::string& path, const std::string& text);
    bool writes;
    const char* reason;           // in the refusal
    const char* fresh = nullptr;  // what a file started afresh holds
  } cases[] = {
      {"missing: started", [](const std::string&, const std::string&, const std::string&) {}, true,
       "", "comport str usb:1A86:7523\nstartup_delay int 1500\n"},
      {"plain file",
       [](const std::string&, const std::string& p, const std::string& t) { put(p, t); }, true, ""},
      {"read-only file",
       [](const std::string&, const std::string& p, const std::string& t) {
         put(p, t);
         ::chmod(p.c_str(), 0444);
       },
       false, "read-only"},
      {"folder",
       [](const std::string&, const std::string& p, const std::string&) {
         ::mkdir(p.c_str(), 0755);
       },
       false, "folder"},
      {"pipe",
       [](const std::string&, const std::string& p, const std::string&) {
         ::mkfifo(p.c_str(), 0644);
       },
       false, "pipe"},
      {"link to a link in a circle",
       [](const std::string&, const std::string& p, const std::string&) {
         EXPECT_EQ(::symlink("Vontrel.txt", p.c_str()), 0);
       },
       false, "circle"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    c.make(folder, path, mine);
    std::vector<std::string> notes;
    std::string why;
    const bool ok = write_settings_file(path, flashed, notes, why);
    EXPECT_EQ(ok, c.writes) << why;
    if (c.writes) {
      EXPECT_EQ(slurp(path), c.fresh != nullptr ? c.fresh : written);
    } else {
      EXPECT_NE(why.find(c.reason), std::string::npos) << why;
      EXPECT_NE(why.find("Nothing written"), std::string::npos) << why;
    }
    struct stat status {};
    EXPECT_NE(::lstat((path + ".new").c_str(), &status), 0) << "a .new file left behind";
  }
  // The read-only file and the folder are as they were.
  TearDown();
  SetUp();
  put(path, mine);
  ::chmod(path.c_str(), 0444);
  std::vector<std::string> notes;
  std::string why;
  EXPECT_FALSE(write_settings_file(path, flashed, notes, why));
  EXPECT_EQ(slurp(path), mine);
  struct stat status {};
  ASSERT_EQ(::stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0444u);
}

TEST_F(settings_file_on_disk, writes_through_a_link_into_its_target_keeping_permissions) {
  ::mkdir((folder + "/game").c_str(), 0755);
  const std::string target = folder + "/game/Vontrel.txt";
  put(target, "comport str COM3\n");
  ::chmod(target.c_str(), 0600);
  ASSERT_EQ(::symlink("game/Vontrel.txt", path.c_str()), 0);
  std::vector<std::string> notes;
  std::string why;
  ASSERT_TRUE(write_settings_file(path, flashed, notes, why)) << why;
  struct stat status {};
  ASSERT_EQ(::lstat(path.c_str(), &status), 0);
  EXPECT_TRUE(S_ISLNK(status.st_mode));
  EXPECT_EQ(slurp(target), "comport str usb:1A86:7523\nstartup_delay int 1500\n");
  ASSERT_EQ(::stat(target.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  ASSERT_FALSE(notes.empty());
  EXPECT_NE(notes[0].find("through the link"), std::string::npos);
}

TEST_F(settings_file_on_disk, a_file_this_user_cannot_read_is_never_replaced) {
  const std::string mine = "comport str COM3\nudp_target str 127.0.0.1:5555\n";
  put(path, mine);
  ::chmod(path.c_str(), 0600);
  ::chmod(folder.c_str(), 0777);
  // Root reads any file: the write is then tried as nobody, whose folder this is too.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
      ::_exit(2);
    }
    std::vector<std::string> notes;
    std::string why;
    const bool ok = write_settings_file(path, flashed, notes, why);
    ::_exit(!ok && why.find("cannot be read (Permission denied)") != std::string::npos ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(slurp(path), mine);
  struct stat file {};
  ASSERT_EQ(::stat(path.c_str(), &file), 0);
  EXPECT_EQ(file.st_mode & 0777, 0600u);
}

#endif

}  // namespace
}  // namespace vontrel
