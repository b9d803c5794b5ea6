// A loop device standing in for a stick, for the tests that need a real
// block device. Loop devices need root.
#pragma once

#include "platform/host/machine/host_tools.h"
#include "platform/host/machine/linux_disks.h"

#include <cstdint>
#include <filesystem>
#include <string>

namespace corvantix::test {

/// A loop device on an image, detached (its partitions first) at the end.
class LoopDevice {
public:
  LoopDevice(const std::filesystem::path &image, std::uint32_t sector = 512) {
    auto attached =
        emulation::run_tool({"losetup", "--find", "--show", "--sector-size",
                             std::to_string(sector), image.string()});
    if (attached.ok())
      node_ = attached.out.substr(0, attached.out.find('\n'));
    else
      error_ = attached.err;
    // A detached loop device keeps the partitions that partx gave it.
    if (ok())
      emulation::run_tool({"partx", "-d", node_});
  }
  ~LoopDevice() {
    if (node_.empty())
      return;
    emulation::run_tool({"partx", "-d", node_});
    emulation::run_tool({"losetup", "-d", node_});
    emulation::run_tool({"partx", "-d", node_});
  }
  LoopDevice(const LoopDevice &) = delete;
  LoopDevice &operator=(const LoopDevice &) = delete;

  bool ok() const { return !node_.empty(); }
  const std::string &error() const { return error_; }
  const std::string &node() const { return node_; }
  std::string partition(int number) const {
    return "/dev/" + emulation::partition_name(
                         std::filesystem::path(node_).filename().string(),
                         number);
  }

private:
  std::string node_, error_;
};

} // namespace corvantix::test
