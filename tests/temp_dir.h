// A fresh directory per test, removed afterwards.
#ifndef VONTREL_TESTS_TEMP_DIR_H
#define VONTREL_TESTS_TEMP_DIR_H

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

namespace vontrel::testing {

class TempDir {
 public:
  TempDir() {
    static std::atomic<int> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ = std::filesystem::temp_directory_path() /
            ("vontrel-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

  // Writes `content` byte for byte (no line-end translation) and returns the file's path.
  std::string write(const std::string& name, const std::string& content) const {
    const auto file = path_ / name;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << content;
    return file.string();
  }

 private:
  std::filesystem::path path_;
};

}  // namespace vontrel::testing

#endif  // VONTREL_TESTS_TEMP_DIR_H
