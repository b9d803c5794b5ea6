// A fresh folder for one test, deleted with everything in it afterwards.
#pragma once

#include "platform/filesystem.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

namespace corvantix::test {

class Scratch {
public:
  Scratch() {
    static std::atomic<int> counter{0};
    const char *base = std::getenv("CORVANTIX_TEST_TMP");
    std::filesystem::path root =
        base && *base ? std::filesystem::path(base)
                      : std::filesystem::temp_directory_path();
    std::error_code ignored;
    for (;;) {
      dir_ = root / ("cx-" + std::to_string(std::random_device{}()) + "-" +
                     std::to_string(counter++));
      std::filesystem::create_directories(root, ignored);
      if (std::filesystem::create_directory(dir_, ignored))
        break;
    }
  }

  ~Scratch() {
    auto &fs = platform::native_file_system();
    std::error_code ignored;
    for (auto it = std::filesystem::recursive_directory_iterator(dir_, ignored);
         it != std::filesystem::recursive_directory_iterator();
         it.increment(ignored)) {
      try {
        fs.set_attributes(it->path().string(), platform::kAttributeNormal);
      } catch (...) {
      }
    }
    std::filesystem::remove_all(dir_, ignored);
  }

  Scratch(const Scratch &) = delete;
  Scratch &operator=(const Scratch &) = delete;

  /// The full path of `relative` inside the scratch folder.
  std::string path(const std::string &relative = "") const {
    return relative.empty() ? dir_.string()
                            : (dir_ / std::filesystem::path(relative))
                                  .make_preferred()
                                  .string();
  }

  /// Writes a file, creating its folders.
  std::string write(const std::string &relative, const std::string &bytes) const {
    std::filesystem::path file = path(relative);
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << bytes;
    return file.string();
  }

private:
  std::filesystem::path dir_;
};

inline std::string read_file(const std::string &path) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace corvantix::test
