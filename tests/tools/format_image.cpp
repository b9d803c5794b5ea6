// corvantix_format_image: runs the drive formatter on a disk image through
// the emulated machine, as the product runs it on a USB stick. For the
// outside judges (fsck.fat, mtools, QEMU) and the benchmark.
//
//   corvantix_format_image [--sector-size N] <image>
//
// The image becomes disk 1 (\\.\PhysicalDrive1) with letter E. Exit status
// 0 on success; otherwise the Win32 code is printed and the status is 1.
#include "disk/formatter.h"
#include "platform/host/machine/machine.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace emulation = corvantix::emulation;

int main(int argc, char **argv) {
  std::uint32_t sector_size = 512;
  int arg = 1;
  if (argc == 4 && std::string(argv[1]) == "--sector-size") {
    sector_size = std::uint32_t(std::strtoul(argv[2], nullptr, 10));
    arg = 3;
  }
  if (arg != argc - 1) {
    std::fprintf(stderr, "usage: %s [--sector-size N] <image>\n", argv[0]);
    return 2;
  }
  std::filesystem::path image = argv[arg];
  if (!std::filesystem::is_regular_file(image)) {
    std::fprintf(stderr, "%s: no such image\n", argv[arg]);
    return 2;
  }

  emulation::DiskConfig system;
  system.image = "/dev/null"; // a disk 0 that is never opened
  system.interface_type = "IDE";
  emulation::DiskConfig stick;
  stick.image = image;
  stick.letter = 'E';
  stick.sector_size = sector_size;
  auto state = std::filesystem::temp_directory_path() /
               ("corvantix-format-" + std::to_string(getpid()));
  emulation::Machine::install(std::make_unique<emulation::Machine>(
      std::vector<emulation::DiskConfig>{system, stick}, state));

  DWORD code = CreatePartitionAndFormatFAT32("\\\\.\\PhysicalDrive1", 'E');
  std::uint64_t written = 0;
  for (const auto &write : emulation::Machine::current().writes())
    written += write.size;
  emulation::Machine::install(nullptr);
  if (code) {
    std::printf("error %u\n", unsigned(code));
    return 1;
  }
  std::printf("written %llu\n", static_cast<unsigned long long>(written));
  return 0;
}
