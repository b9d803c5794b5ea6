// Times what a person waits for in the device list: UsbList::build on
// emulated machines of 1, 4 and 16 sticks as sold (plus a system disk), and
// the platform work of one device refresh (disable, enable, dismount and
// mount through mtools), its fixed two-second wait left out.
//
//   corvantix_discovery_bench [folder for the images]
#include "device/pnp_device.h"
#include "device/usb_disk.h"
#include "platform/host/win32/kernel32_control.h"
#include "platform/host/machine/machine.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

namespace fs = std::filesystem;
namespace emulation = corvantix::emulation;

namespace {

using Clock = std::chrono::steady_clock;

double milliseconds_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void install(const fs::path &folder, int sticks) {
  std::vector<emulation::DiskConfig> disks(1);
  disks[0].image = folder / "system.img";
  disks[0].new_size = 64 << 20;
  disks[0].new_image_formatted = false;
  disks[0].interface_type = "IDE";
  for (int i = 0; i < sticks; ++i) {
    emulation::DiskConfig stick;
    stick.image = folder / ("stick" + std::to_string(i) + ".img");
    stick.new_size = 64 << 20;
    stick.letter = char('E' + i);
    disks.push_back(stick);
  }
  emulation::Machine::install(
      std::make_unique<emulation::Machine>(disks, folder / "state"));
}

} // namespace

int main(int argc, char **argv) {
  fs::path folder = argc > 1 ? fs::path(argv[1])
                             : fs::temp_directory_path() / "corvantix-bench";
  fs::create_directories(folder);
  emulation::use_virtual_clock(true);

  std::printf("%-8s %14s %14s %16s\n", "sticks", "build (ms)", "listed",
              "refresh (ms)");
  for (int sticks : {1, 4, 16}) {
    install(folder, sticks);
    corvantix::UsbList list;
    constexpr int kRuns = 50;
    auto start = Clock::now();
    for (int run = 0; run < kRuns; ++run)
      list.build();
    double build = milliseconds_since(start) / kRuns;

    corvantix::CPNPDevice device(
        emulation::Machine::current().disks()[1].pnp_id.c_str());
    start = Clock::now();
    int refreshed = device.Refresh();
    double refresh = milliseconds_since(start);
    std::printf("%-8d %14.3f %14zu %13.1f%s\n", sticks, build,
                list.disks.size(), refresh, refreshed == 0 ? "" : " (failed)");
  }
  emulation::Machine::install(nullptr);
  fs::remove_all(folder);
  return 0;
}
