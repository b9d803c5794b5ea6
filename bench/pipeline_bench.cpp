// How long a backup and a restore of a full stick take, and how much memory
// they need: Folder::copy against `cp -a` of the same tree, and the memory
// of ResourceFile::save for files of growing size.
//
// Usage: corvantix_pipeline_bench [work folder]   (default: $TMPDIR or /tmp)
// Each measured operation runs in a child process of its own, so that its
// peak resident memory is its own.
#include "pipeline/folder.h"
#include "pipeline/resource_file.h"
#include "platform/filesystem.h"
#include "platform/host/dos_attributes.h"
#include "strings/error.h"
#include "strings/res.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <streambuf>

namespace fs = std::filesystem;
using namespace corvantix;

namespace {

struct Measure {
  double seconds;
  long peak_kib;
  bool ok;
};

// Runs `work` in a child process: its wall time and peak resident memory.
Measure in_child(const std::function<bool()> &work) {
  sync(); // no writes of the last operation left to slow this one
  auto start = std::chrono::steady_clock::now();
  pid_t child = fork();
  if (child == 0)
    _exit(work() ? 0 : 1);
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  double seconds = std::chrono::duration<double>(
                       std::chrono::steady_clock::now() - start)
                       .count();
  return {seconds, usage.ru_maxrss,
          WIFEXITED(status) && WEXITSTATUS(status) == 0};
}

bool run_cp(const fs::path &from, const fs::path &to) {
  pid_t child = fork();
  if (child == 0) {
    std::string source = (from / ".").string();
    execlp("cp", "cp", "-a", source.c_str(), to.c_str(), (char *)nullptr);
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool folder_copy(const fs::path &from, const fs::path &to) {
  try {
    Folder(from.string()).copy(to.string());
    return true;
  } catch (...) {
    std::fprintf(stderr, "%s\n", describe_chain(std::current_exception()).c_str());
    return false;
  }
}

// 2,000 small files in 40 folders, some hidden or read-only, and four
// large ones: 100 MiB in all.
std::uint64_t make_stick(const fs::path &root) {
  std::mt19937 random(2011);
  std::uint64_t total = 0;
  std::vector<char> data(25 << 20);
  for (char &c : data)
    c = char(random());
  for (int i = 0; i < 2000; ++i) {
    fs::path dir = root / ("DIR" + std::to_string(i % 40)) /
                   (i % 3 ? "SUB" : "");
    fs::create_directories(dir);
    std::size_t size = 512 + random() % 3584;
    fs::path file = dir / ("FILE" + std::to_string(i) + ".DAT");
    std::ofstream(file, std::ios::binary).write(data.data() + i, std::streamsize(size));
    if (i % 50 == 0)
      emulation::set_dos_attributes(file, i % 100 ? emulation::kDosHidden
                                                  : emulation::kDosReadOnly);
    total += size;
  }
  std::uint64_t large = ((100ull << 20) - total) / 4;
  for (int i = 0; i < 4; ++i) {
    std::ofstream(root / ("LARGE" + std::to_string(i) + ".BIN"),
                  std::ios::binary)
        .write(data.data() + i, std::streamsize(large));
    total += large;
  }
  return total;
}

// Endless generated data, `size` bytes of it; nothing is kept.
class GeneratedBuf : public std::streambuf {
public:
  explicit GeneratedBuf(std::uint64_t size) : left_(size) {}

protected:
  std::streamsize xsgetn(char *out, std::streamsize count) override {
    auto n = std::streamsize(std::min<std::uint64_t>(left_, std::uint64_t(count)));
    for (std::streamsize i = 0; i < n; ++i)
      out[i] = char(i * 31);
    left_ -= std::uint64_t(n);
    return n;
  }
  int_type underflow() override { return traits_type::eof(); }

private:
  std::uint64_t left_;
};

class GeneratedStream : public std::istream {
public:
  explicit GeneratedStream(std::uint64_t size) : std::istream(nullptr), buf_(size) {
    rdbuf(&buf_);
  }

private:
  GeneratedBuf buf_;
};

void remove_tree(const fs::path &path) {
  std::error_code ignored;
  for (auto it = fs::recursive_directory_iterator(path, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored))
    emulation::set_dos_attributes(it->path(), 0);
  fs::remove_all(path, ignored);
}

void row(const char *what, const Measure &m) {
  std::printf("  %-38s %8.3f s %9ld KiB%s\n", what, m.seconds, m.peak_kib,
              m.ok ? "" : "  FAILED");
}

} // namespace

int main(int argc, char **argv) {
  Res::init_for("en-US");
  fs::path base = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path();
  fs::path work = base / ("corvantix-bench-" + std::to_string(getpid()));
  fs::create_directories(work);
  fs::path stick = work / "stick";
  std::uint64_t bytes = make_stick(stick);
  std::printf("Stick: 2,004 files, %.1f MiB, in %s\n", double(bytes) / (1 << 20),
              work.c_str());
  std::printf("  %-38s %10s %13s\n", "", "time", "peak memory");

  for (int round = 1; round <= 3; ++round) {
    std::printf("Round %d\n", round);
    for (const char *name : {"cp", "backup", "restore"})
      remove_tree(work / name);
    fs::create_directories(work / "cp");
    fs::create_directories(work / "backup");
    fs::create_directories(work / "restore");
    row("cp -a (stick -> copy)",
        in_child([&] { return run_cp(stick, work / "cp"); }));
    row("Folder::copy backup (stick -> temp)",
        in_child([&] { return folder_copy(stick, work / "backup"); }));
    row("Folder::copy restore (temp -> stick)",
        in_child([&] { return folder_copy(work / "backup", work / "restore"); }));
  }
  for (const char *name : {"cp", "backup", "restore"})
    remove_tree(work / name);

  std::printf("ResourceFile::save\n");
  for (std::uint64_t mib : {1, 16, 256}) {
    Measure m = in_child([&] {
      try {
        ResourceFile file("BIG.BIN", std::make_unique<GeneratedStream>(mib << 20));
        file.save(work.string());
        return fs::file_size(work / "BIG.BIN") == mib << 20;
      } catch (...) {
        return false;
      }
    });
    char what[64];
    std::snprintf(what, sizeof what, "%4llu MiB file", (unsigned long long)mib);
    row(what, m);
  }
  Measure idle = in_child([] { return true; });
  row("(a child that does nothing)", idle);
  remove_tree(work);
  return 0;
}
