// A fresh emulated machine for one test, with helpers to look at and
// prepare the disk images underneath it.
#pragma once

#include "platform/host/win32/kernel32_control.h"
#include "platform/host/machine/machine.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace corvantix::test {

namespace fs = std::filesystem;

inline constexpr std::uint64_t kMiB = 1 << 20;

class EmulatedDisks : public ::testing::Test {
protected:
  void SetUp() override {
    const char *base = std::getenv("CORVANTIX_TEST_TMP");
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::path(base && *base ? base : fs::temp_directory_path().c_str()) /
           (std::string("disks-") + info->test_suite_name() + "-" +
            info->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }

  void TearDown() override {
    emulation::Machine::install(nullptr);
    emulation::set_local_time(nullptr);
    fs::remove_all(dir_);
  }

  /// A USB stick with letter E: a shop-formatted one of `size` bytes, or
  /// (blank) a sparse image of zeros.
  static emulation::DiskConfig stick(const fs::path &image, std::uint64_t size,
                                     bool blank = false) {
    emulation::DiskConfig config;
    config.image = image;
    config.new_size = size;
    config.new_image_formatted = !blank;
    config.letter = 'E';
    return config;
  }

  /// Installs a machine of a system disk (PhysicalDrive0) and `disk`
  /// (PhysicalDrive1).
  emulation::Machine &machine_with(emulation::DiskConfig disk) {
    emulation::DiskConfig system;
    system.image = dir_ / "system.img";
    system.new_size = 1 << 20;
    system.new_image_formatted = false;
    system.interface_type = "IDE";
    std::vector<emulation::DiskConfig> disks = {system, disk};
    emulation::Machine::install(
        std::make_unique<emulation::Machine>(disks, dir_ / "state"));
    return emulation::Machine::current();
  }

  static std::string read(const fs::path &image, std::uint64_t offset,
                          std::size_t size) {
    std::ifstream in(image, std::ios::binary);
    in.seekg(std::streamoff(offset));
    std::string data(size, '\0');
    in.read(data.data(), std::streamsize(size));
    data.resize(std::size_t(in.gcount()));
    return data;
  }

  static void write(const fs::path &image, std::uint64_t offset,
                    const std::string &data) {
    std::fstream out(image, std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(std::streamoff(offset));
    out.write(data.data(), std::streamsize(data.size()));
  }

  /// 512 bytes that no format writes.
  static std::string pattern(int seed) {
    std::string sector(512, '\0');
    for (int i = 0; i < 512; ++i)
      sector[i] = char(0x5A ^ (i * 7 + seed));
    return sector;
  }

  /// Bytes the image really occupies on the host disk.
  static std::uint64_t allocated(const fs::path &image) {
    struct stat info;
    return stat(image.c_str(), &info) == 0 ? std::uint64_t(info.st_blocks) * 512
                                           : 0;
  }

  const fs::path &dir() const { return dir_; }

private:
  fs::path dir_;
};

} // namespace corvantix::test
