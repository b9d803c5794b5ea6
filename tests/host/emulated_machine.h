// A fresh emulated machine for one test: disks in a folder of their own,
// the virtual clock on, and the machine taken down afterwards.
#pragma once

#include "platform/host/win32/kernel32_control.h"
#include "platform/host/machine/machine.h"
#include "platform/host/win32/pnp_control.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <unistd.h>

namespace corvantix::test {

namespace fs = std::filesystem;

class TempFolder {
public:
  TempFolder() {
    static std::atomic<int> counter{0};
    const char *base = std::getenv("CORVANTIX_TEST_TMP");
    fs::path root = base && *base ? fs::path(base) : fs::temp_directory_path();
    fs::create_directories(root);
    path_ = root / ("machine-" + std::to_string(getpid()) + "-" +
                    std::to_string(counter++));
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~TempFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder &) = delete;
  TempFolder &operator=(const TempFolder &) = delete;
  const fs::path &path() const { return path_; }

private:
  fs::path path_;
};

class EmulatedMachineTest : public ::testing::Test {
protected:
  void SetUp() override {
    emulation::use_virtual_clock(true);
    emulation::reset_sleep_count();
    emulation::reset_pnp();
    emulation::force_wow64(std::nullopt);
    emulation::hide_is_wow64_process(false);
  }

  void TearDown() override {
    emulation::Machine::install(nullptr);
    EXPECT_EQ(emulation::open_device_info_sets(), 0u)
        << "a device information set was not destroyed";
    emulation::use_virtual_clock(false);
  }

  /// A stick of `size` bytes; blank (no partition table) unless `shop`.
  emulation::DiskConfig stick(const std::string &name, char letter = 'E',
                              emulation::NodeBehaviour behaviour =
                                  emulation::NodeBehaviour::Normal,
                              std::uint64_t size = 1 << 20,
                              bool shop = false) {
    emulation::DiskConfig disk;
    disk.image = folder_.path() / (name + ".img");
    disk.new_size = size;
    disk.new_image_formatted = shop;
    disk.model = "Corvantix " + name;
    disk.letter = letter;
    disk.behaviour = behaviour;
    return disk;
  }

  emulation::Machine &install(std::vector<emulation::DiskConfig> disks) {
    emulation::Machine::install(std::make_unique<emulation::Machine>(
        std::move(disks), folder_.path() / "state"));
    return emulation::Machine::current();
  }

  /// The only disk of a machine made of one stick with this behaviour.
  emulation::Disk &one_stick(emulation::NodeBehaviour behaviour) {
    return install({stick("stick", 'E', behaviour)}).disks().front();
  }

  TempFolder folder_;
};

} // namespace corvantix::test
