// How long a backup and a restore of a full stick take, and how much memory
// they need: Folder::copy between the stick's FAT file system (an emulated
// stick, the image of a 256 MiB FAT32 stick) and the temporary folder,
// beside `mcopy -s` of the same tree out of and into the same image, and
// the memory of ResourceFile::save for files of growing size; then what
// the read-back of a restore and the capacity check before a format cost.
//
// Usage: corvantix_pipeline_bench [work folder]   (default: /var/tmp, on
// disk: in tmpfs a flush costs nothing and hides what a real stick pays)
// Each measured operation runs in a child process of its own, so that its
// peak resident memory is its own.
#include "disk/capacity.h"
#include "pipeline/folder.h"
#include "pipeline/resource_file.h"
#include "platform/filesystem.h"
#include "platform/host/win32/dos_attributes.h"
#include "platform/host/machine/host_tools.h"
#include "platform/host/machine/machine.h"
#include "strings/error.h"
#include "strings/res.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
  double cpu_seconds; ///< user and system: the rest is waiting
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
  auto cpu = [](const timeval &t) { return double(t.tv_sec) + t.tv_usec / 1e6; };
  return {seconds, usage.ru_maxrss,
          WIFEXITED(status) && WEXITSTATUS(status) == 0,
          cpu(usage.ru_utime) + cpu(usage.ru_stime)};
}

constexpr std::uint64_t kPartition = 2048 * 512; // as the shop stick has it

std::string on_stick(const fs::path &image) {
  return image.string() + "@@" + std::to_string(kPartition);
}

bool mcopy(std::vector<std::string> args) {
  args.insert(args.begin(), "mcopy");
  emulation::ToolResult result = emulation::run_tool(args);
  if (!result.ok())
    std::fprintf(stderr, "%s", result.err.c_str());
  return result.ok();
}

// The stick as a format leaves it: an empty FAT32 file system.
void empty_stick(const fs::path &image) {
  emulation::run_tool({"mkfs.fat", "-F", "32", "--offset", "2048", "--mbr=n",
                       "-n", "USB STICK", "-i", "5A17C0DE", image.string()});
}

// The tree's top entries, as `mcopy -s` takes them.
std::vector<std::string> top_entries(const fs::path &folder) {
  std::vector<std::string> entries;
  for (const auto &entry : fs::directory_iterator(folder))
    entries.push_back(entry.path().string());
  return entries;
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
  std::printf("  %-38s %8.3f s %8.3f s %9ld KiB%s\n", what, m.seconds,
              m.cpu_seconds, m.peak_kib, m.ok ? "" : "  FAILED");
}

} // namespace

int main(int argc, char **argv) {
  Res::init_for("en-US");
  fs::path base = argc > 1 ? fs::path(argv[1]) : fs::path("/var/tmp");
  fs::path work = base / ("corvantix-bench-" + std::to_string(getpid()));
  fs::create_directories(work);
  fs::path tree = work / "tree";
  std::uint64_t bytes = make_stick(tree);
  std::printf("Stick: 2,004 files, %.1f MiB, on a 256 MiB FAT32 stick image "
              "in %s\n",
              double(bytes) / (1 << 20), work.c_str());
  std::printf("  %-40s %8s %10s %13s\n", "", "time", "CPU", "peak memory");

  emulation::DiskConfig config;
  config.image = work / "stick.img";
  config.new_size = 256 << 20;
  config.letter = 'E';
  emulation::Machine::install(
      std::make_unique<emulation::Machine>(std::vector{config}, work / "state"));
  fs::path image = config.image;
  std::vector<std::string> put = {"-s", "-m", "-i", on_stick(image)};
  for (const std::string &entry : top_entries(tree))
    put.push_back(entry);
  put.push_back("::/");

  // The best of three rounds of each: the machine's other work only slows.
  // Each round copies out into folders of its own, and nothing is deleted
  // before the end: on ext4 without a journal a new inode passes over,
  // reading each, those freed in the last minutes, so creating files after
  // deleting thousands would cost either route up to a millisecond a file.
  double best[4] = {1e9, 1e9, 1e9, 1e9};
  for (int round = 1; round <= 3; ++round) {
    std::printf("Round %d\n", round);
    fs::path out_folder = work / ("mcopy-out-" + std::to_string(round));
    fs::path backup_folder = work / ("backup-" + std::to_string(round));
    fs::create_directories(out_folder);
    fs::create_directories(backup_folder);
    empty_stick(image);
    mcopy(put);
    Measure out = in_child([&] {
      return mcopy({"-s", "-m", "-n", "-i", on_stick(image), "::/*",
                    out_folder.string() + "/"});
    });
    row("mcopy -s out of the image", out);
    Measure backup =
        in_child([&] { return folder_copy("E:\\", backup_folder); });
    row("Folder::copy backup (stick -> temp)", backup);

    empty_stick(image);
    Measure in = in_child([&] { return mcopy(put); });
    row("mcopy -s into the image", in);
    empty_stick(image);
    Measure restore =
        in_child([&] { return folder_copy(backup_folder, "E:\\"); });
    row("Folder::copy restore (temp -> stick)", restore);
    Measure verify = in_child([&] {
      try {
        Folder(backup_folder.string()).verify("E:\\");
        return true;
      } catch (...) {
        return false;
      }
    });
    row("Folder::verify read-back (stick vs temp)", verify);
    const Measure *measured[4] = {&out, &backup, &in, &restore};
    for (int i = 0; i < 4; ++i)
      best[i] = std::min(best[i], measured[i]->seconds);
  }
  std::printf("Best of three: mcopy -s out %.3f s, backup %.3f s (%.2fx); "
              "mcopy -s in %.3f s, restore %.3f s (%.2fx)\n"
              "Backup and restore against mcopy -s out and in: %.2fx\n",
              best[0], best[1], best[1] / best[0], best[2], best[3],
              best[3] / best[2], (best[1] + best[3]) / (best[0] + best[2]));
  emulation::Machine::install(nullptr);

  // The capacity check before a format, on new sparse sticks.
  std::printf("Capacity check (%zu sectors probed on 2 TiB)\n",
              CapacityProbes(std::uint64_t(1) << 32).size());
  for (std::uint64_t gib : {32, 2048}) {
    emulation::DiskConfig stick;
    stick.image = work / "big.img";
    stick.new_size = gib << 30;
    stick.new_image_formatted = false;
    stick.letter = 'E';
    emulation::Machine::install(
        std::make_unique<emulation::Machine>(std::vector{stick}, work / "state"));
    Measure m = in_child([] {
      std::uint64_t kept = 0;
      return CheckDiskCapacity("\\\\.\\PhysicalDrive0", 'E', kept) == 0;
    });
    char what[64];
    std::snprintf(what, sizeof what, "%5llu GiB stick", (unsigned long long)gib);
    row(what, m);
    emulation::Machine::install(nullptr);
    fs::remove(stick.image);
  }

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
