// The files on an emulated stick as an outside judge sees them: mtools on
// the image, never the code under test. Tests put the user's files on a
// stick with it and look at what a run left there.
#pragma once

#include "platform/host/win32/dos_attributes.h"
#include "platform/host/machine/host_tools.h"
#include "platform/host/machine/machine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>

namespace corvantix::test {

namespace fs = std::filesystem;

/// One file as the user sees it: contents, attributes and time.
struct FileState {
  std::string bytes;
  std::uint8_t attributes;
  fs::file_time_type modified;
  bool operator==(const FileState &) const = default;
};

/// Every file below a folder, by its path relative to it.
using TreeState = std::map<std::string, FileState>;

inline std::string slurp(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

/// The files below a host folder, with the attributes that matter to the
/// user (read-only, hidden, system).
inline TreeState tree_state(const fs::path &root) {
  TreeState state;
  for (const auto &entry : fs::recursive_directory_iterator(root))
    if (entry.is_regular_file() &&
        entry.path().filename() != emulation::kSideRecord)
      state[fs::relative(entry.path(), root).generic_string()] = {
          slurp(entry.path()),
          std::uint8_t(emulation::dos_attributes(entry.path()) &
                       (emulation::kDosReadOnly | emulation::kDosHidden |
                        emulation::kDosSystem)),
          fs::last_write_time(entry.path())};
  return state;
}

class StickFiles {
public:
  StickFiles(fs::path image, std::uint64_t offset)
      : image_(image.string() + "@@" + std::to_string(offset)) {}

  /// The mounted volume of `letter` on the current machine.
  static StickFiles of(char letter = 'E') {
    emulation::Machine &machine = emulation::Machine::current();
    emulation::Disk *disk = machine.disk_by_letter(letter);
    EXPECT_TRUE(disk && disk->mounted) << letter << ": is not mounted";
    return disk ? StickFiles(disk->config.image, disk->volume_offset)
                : StickFiles("/nonexistent", 0);
  }

  emulation::ToolResult run(const std::string &tool,
                            std::vector<std::string> args) const {
    args.insert(args.begin(), {tool, "-i", image_});
    return emulation::run_tool(args);
  }

  /// A file ('/'-separated path) with these bytes and attributes and a
  /// fixed, even time; missing folders are made.
  void put(const std::string &path, const std::string &bytes,
           std::uint8_t attributes = emulation::kDosArchive) const {
    mkdir(parent(path));
    fs::path file = scratch() / "put";
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
    fs::last_write_time(file, fs::file_time_type(std::chrono::seconds(
                                  1300000000 + 2 * bytes.size())));
    auto copied = run("mcopy", {"-m", "-D", "oO", file.string(), "::/" + path});
    EXPECT_TRUE(copied.ok()) << path << ": " << copied.err;
    set_attributes(path, attributes);
    fs::remove_all(file.parent_path());
  }

  void set_attributes(const std::string &path, std::uint8_t bits) const {
    run("mattrib", {bits & emulation::kDosArchive ? "+a" : "-a",
                    bits & emulation::kDosReadOnly ? "+r" : "-r",
                    bits & emulation::kDosSystem ? "+s" : "-s",
                    bits & emulation::kDosHidden ? "+h" : "-h", "::/" + path});
  }

  /// A folder and its parents.
  void mkdir(const std::string &path) const {
    std::string made;
    std::istringstream parts(path);
    std::string part;
    while (std::getline(parts, part, '/'))
      if (!part.empty()) {
        made += (made.empty() ? "" : "/") + part;
        run("mmd", {"::/" + made});
      }
  }

  bool exists(const std::string &path) const {
    return run("mdir", {"-a", "::/" + path}).ok();
  }

  bool is_folder(const std::string &path) const {
    auto listed = run("mdir", {"-a", "::/" + path});
    return listed.ok() && listed.out.find("\n.    ") != std::string::npos;
  }

  std::string read(const std::string &path) const {
    return run("mtype", {"::/" + path}).out;
  }

  /// The kDos* bits of an entry, as mattrib shows them.
  std::uint8_t attributes(const std::string &path) const {
    std::string line = run("mattrib", {"::/" + path}).out;
    std::uint8_t bits = 0;
    for (char c : line.substr(0, line.find("::")))
      bits |= c == 'A'   ? emulation::kDosArchive
              : c == 'R' ? emulation::kDosReadOnly
              : c == 'H' ? emulation::kDosHidden
              : c == 'S' ? emulation::kDosSystem
                         : 0;
    return bits;
  }

  /// `mdir -/ -a` of the whole volume: long names at the end of a line.
  std::string listing() const { return run("mdir", {"-/", "-a", "::/"}).out; }

  /// Every file on the stick, copied out by mtools.
  TreeState state() const {
    fs::path out = scratch() / "state";
    fs::create_directories(out);
    run("mcopy", {"-s", "-m", "-n", "::/*", out.string() + "/"});
    std::istringstream lines(run("mattrib", {"-/", "::/*"}).out);
    std::string line;
    while (std::getline(lines, line)) {
      std::size_t at = line.find("::/");
      if (at == std::string::npos)
        continue;
      std::uint8_t bits = 0;
      for (char c : line.substr(0, at))
        bits |= c == 'R'   ? emulation::kDosReadOnly
                : c == 'H' ? emulation::kDosHidden
                : c == 'S' ? emulation::kDosSystem
                           : 0;
      fs::path host = out / line.substr(at + 3);
      if (fs::is_regular_file(host))
        emulation::set_dos_attributes(host, bits);
    }
    TreeState state = tree_state(out);
    fs::remove_all(out.parent_path());
    return state;
  }

private:
  static std::string parent(const std::string &path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash);
  }

  static fs::path scratch() {
    static std::atomic<int> counter{0};
    return fs::temp_directory_path() /
           ("stick-files-" + std::to_string(getpid()) + "-" +
            std::to_string(counter++));
  }

  std::string image_;
};

} // namespace corvantix::test
