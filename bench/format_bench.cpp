// Formats sparse images of 4 GB, 32 GB and 2 TiB with the drive formatter
// (through the emulated machine) and with `mkfs.fat -F 32` (partition at the
// same offset), each in a child process, and prints side by side: the bytes
// written, the bytes the image then occupies, the wall time and the peak
// memory of the process. Then the emulated machine's mount and dismount of
// a 256 MiB stick as sold.
//
//   corvantix_format_bench [folder for the images]
#include "disk/boot_records.h"
#include "disk/formatter.h"
#include "platform/host/machine/machine.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

namespace fs = std::filesystem;
namespace emulation = corvantix::emulation;

namespace {

struct Measure {
  std::uint64_t written = 0; ///< bytes the process wrote (handed to write)
  std::uint64_t stored = 0;  ///< bytes the image occupies afterwards
  double seconds = 0;
  double peak_mib = 0;
  bool ok = false;
};

std::uint64_t allocated(const fs::path &file) {
  struct stat info;
  return stat(file.c_str(), &info) == 0 ? std::uint64_t(info.st_blocks) * 512
                                        : 0;
}

// The bytes a finished (not yet reaped) process handed to write calls.
std::uint64_t written_by(pid_t pid) {
  std::ifstream io("/proc/" + std::to_string(pid) + "/io");
  std::string key;
  std::uint64_t value;
  while (io >> key >> value)
    if (key == "wchar:")
      return value;
  return 0;
}

// Runs `child` in a child process; its exit status 0 means success.
Measure measure(const fs::path &image, const std::function<int()> &child) {
  Measure m;
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0)
    _exit(child());
  siginfo_t info{};
  waitid(P_PID, pid, &info, WEXITED | WNOWAIT);
  m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                            start).count();
  m.written = written_by(pid);
  int status;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  m.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  m.peak_mib = usage.ru_maxrss / 1024.0;
  m.stored = allocated(image);
  return m;
}

fs::path blank(const fs::path &folder, std::uint64_t size) {
  fs::path image = folder / "bench.img";
  fs::remove(image);
  std::ofstream(image).close();
  fs::resize_file(image, size);
  return image;
}

// In the child: the formatter on disk 1 of a machine made of the image. What
// it handed to WriteFile, and the buffer size it computed, go to `report`.
int format_with_corvantix(const fs::path &image, const fs::path &report) {
  emulation::DiskConfig none, stick;
  none.image = "/dev/null";
  none.interface_type = "IDE";
  stick.image = image;
  stick.letter = 'E';
  emulation::Machine::install(std::make_unique<emulation::Machine>(
      std::vector<emulation::DiskConfig>{none, stick},
      image.parent_path() / ("state-" + std::to_string(getpid()))));
  DWORD code = CreatePartitionAndFormatFAT32("\\\\.\\PhysicalDrive1", 'E');
  std::uint64_t requested = 0;
  for (const auto &write : emulation::Machine::current().writes())
    requested += write.size;
  const BOOT_RECORD_FAT32 &b = BootRecord;
  std::uint64_t buffer =
      (std::uint64_t(b.BPB_NumFATs) * b.BPB_FATSz32 + 3 * b.BPB_SecPerClus +
       b.BPB_RsvdSecCnt) * 512;
  std::ofstream(report) << requested << ' ' << buffer << '\n';
  emulation::Machine::install(nullptr);
  return code == 0 ? 0 : 1;
}

int format_with_mkfs(const fs::path &image) {
  if (!std::freopen("/dev/null", "w", stdout))
    return 126;
  execlp("mkfs.fat", "mkfs.fat", "-F", "32", "--offset", "32", "-h", "32",
         "--mbr=n", image.c_str(), static_cast<char *>(nullptr));
  execl("/usr/sbin/mkfs.fat", "mkfs.fat", "-F", "32", "--offset", "32", "-h",
        "32", "--mbr=n", image.c_str(), static_cast<char *>(nullptr));
  return 127;
}

void row(const char *tool, const Measure &m) {
  std::printf("  %-10s %15llu %15llu %10.3f %10.1f %s\n", tool,
              static_cast<unsigned long long>(m.written),
              static_cast<unsigned long long>(m.stored), m.seconds, m.peak_mib,
              m.ok ? "" : "FAILED");
}

double seconds_of(const std::function<void()> &work) {
  auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                       start).count();
}

void mount_and_dismount(const fs::path &folder) {
  emulation::DiskConfig stick;
  stick.image = folder / "shop.img";
  stick.new_size = 256 << 20;
  stick.letter = 'E';
  emulation::Machine machine({stick}, folder / "state");
  emulation::Disk &disk = machine.disks()[0];
  machine.dismount(disk);
  double mount = seconds_of([&] { machine.mount(disk); });
  double dismount = seconds_of([&] { machine.dismount(disk); });
  std::printf("256 MiB stick as sold: mount %.3f s, dismount %.3f s\n", mount,
              dismount);
}

} // namespace

int main(int argc, char **argv) {
  fs::path folder = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path();
  folder /= "corvantix-bench-" + std::to_string(getpid());
  fs::create_directories(folder);
  // stdout goes to children too: flush before each fork.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  const std::pair<const char *, std::uint64_t> sizes[] = {
      {"4 GB", 4000000000},
      {"32 GB", 32000000000},
      {"2 TiB", std::uint64_t(1) << 41},
  };
  std::printf("  %-10s %15s %15s %10s %10s\n", "tool", "bytes written",
              "bytes stored", "seconds", "peak MiB");
  for (auto [name, size] : sizes) {
    std::printf("%s (%llu bytes)\n", name,
                static_cast<unsigned long long>(size));
    fs::path report = folder / "report.txt";
    fs::path image = blank(folder, size);
    Measure ours = measure(image, [&] { return format_with_corvantix(image, report); });
    std::uint64_t requested = 0, buffer = 0;
    std::ifstream(report) >> requested >> buffer;
    ours.written = requested; // what the formatter handed to WriteFile
    row("corvantix", ours);
    std::printf("  %-10s WriteFile got %llu bytes = buffer %llu + 512: %s\n",
                "", static_cast<unsigned long long>(requested),
                static_cast<unsigned long long>(buffer),
                requested == buffer + 512 ? "yes" : "NO");

    image = blank(folder, size);
    row("mkfs.fat", measure(image, [&] { return format_with_mkfs(image); }));
    fs::remove(image);
  }
  mount_and_dismount(folder);
  fs::remove_all(folder);
  return 0;
}
