// The real disks of a Linux machine, for an emulated machine that stands on
// them: the USB disks that sysfs shows, their partitions and FAT file
// systems, drive letters as Windows would give them, and the block-device
// calls the raw layer needs (geometry, mounts, re-reading the partition
// table). The roots of sysfs and /dev are parameters, so that tests run on
// trees they build.
//
// Only a disk on a USB bus is ever offered: SATA, NVMe, virtio, MMC and
// removable non-USB disks are left alone, as are disks without a medium and
// read-only ones.
#pragma once

#include "platform/host/machine/machine.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvantix::emulation {

/// A block device's major:minor, as sysfs `dev` files and mountinfo give it.
struct DeviceNumber {
  unsigned major = 0, minor = 0;
  bool operator==(const DeviceNumber &) const = default;
};

/// "8:17" as a device number; nullopt for anything else.
std::optional<DeviceNumber> parse_device_number(std::string_view text);

struct LinuxPartition {
  std::string name; ///< kernel name and /dev node name: sdb1, mmcblk0p1
  int number = 0;   ///< 1 for the first partition of the table
  DeviceNumber device;
  std::uint64_t offset = 0; ///< bytes from the start of the disk
  std::uint64_t size = 0;   ///< bytes
};

struct LinuxDisk {
  std::string name;           ///< as under /sys/block: sdb
  std::filesystem::path node; ///< its device node: /dev/sdb
  DeviceNumber device;
  bool usb = false;       ///< the device path passes through a USB bus
  bool read_only = false;
  std::uint64_t size = 0;          ///< bytes; 0 without a medium
  std::uint32_t sector_size = 512; ///< logical
  std::string model;               ///< vendor and model, trimmed
  std::string pnp_id;              ///< USBSTOR\DISK&VEN_...&PROD_...&REV_...\...
  std::vector<LinuxPartition> partitions; ///< by number
  /// Devices stacked on the disk or its partitions (device mapper, md):
  /// what is mounted from them keeps the disk busy too.
  std::vector<DeviceNumber> holders;
  bool first_partition_fat = false;
  char letter = 0; ///< 0: no drive letter

  /// Partition number 1, if the table has one.
  const LinuxPartition *first_partition() const;
};

/// Where sysfs and the device nodes are.
struct LinuxRoots {
  std::filesystem::path sys = "/sys";
  std::filesystem::path dev = "/dev";
};

/// The kernel's name of partition `number` of disk `disk`: sdb1, but
/// mmcblk0p1, nvme0n1p1 and loop0p1 when the disk's name ends in a digit.
std::string partition_name(const std::string &disk, int number);

/// The whole disk whose sysfs folder is `block_dir` (such as
/// /sys/block/sdb), described whatever its bus; nullopt when it is not a
/// whole disk.
std::optional<LinuxDisk> describe_disk(const std::filesystem::path &block_dir,
                                       const LinuxRoots &roots = {});

/// The whole disk behind the block device node `node` (/dev/sdb), looked up
/// by its device number under <sys>/dev/block; nullopt when `node` is not a
/// block device or not a whole disk.
std::optional<LinuxDisk> describe_block_device(const std::filesystem::path &node,
                                               const LinuxRoots &roots = {});

/// The USB disks with a medium that can be written, in the kernel's name
/// order (sdb before sdc before sdaa), with drive letters given as
/// assign_drive_letters does.
std::vector<LinuxDisk> find_usb_disks(const LinuxRoots &roots = {});

/// Gives E:, F:, ... in order to the disks, as Windows mounts new sticks
/// (A: to D: and the letters in `taken` are never given): a stick whose
/// file system Windows cannot read gets one too, as a RAW volume.
void assign_drive_letters(std::vector<LinuxDisk> &disks,
                          std::string_view taken = "");

/// The disk as the machine's disk: backed by its device node, never made,
/// with its model, letter and sector size; its interface is "USB" only
/// for a disk on a USB bus ("SCSI" otherwise, which the inventory never
/// lists).
DiskConfig disk_config_of(const LinuxDisk &disk);

/// What a machine description's `usb` line stands for: the machine's real
/// USB disks, each backed by its device node, with interface "USB"; the
/// letters in `taken` belong to other disks of the description.
std::vector<DiskConfig> usb_machine(const LinuxRoots &roots = {},
                                    std::string_view taken = "");
/// Whether a machine description line, split into words, is a `usb` line
/// (the caller refuses further words on it).
bool is_usb_line(const std::vector<std::string> &words);
/// Whether CORVANTIX_MACHINE's value is `usb`, the short form of a
/// description file with the one line `usb`.
bool is_usb_machine_name(std::string_view value);

// The raw layer's calls on block devices. They never throw; a result other
// than 0 (ERROR_SUCCESS) is a Win32 error code.

/// The Win32 error code that Windows gives where Linux gives `error`.
std::uint32_t win32_error_of(int error);

/// The device's size in bytes (BLKGETSIZE64).
std::uint32_t block_device_size(int fd, std::uint64_t &bytes);
/// Whether `path` names a block device.
bool is_block_device(const std::filesystem::path &path);
/// The size in bytes of the block device `path`; 0 for anything else, or
/// when the device has no medium (a loop device whose file is gone, a
/// stick pulled).
std::uint64_t block_device_size(const std::filesystem::path &path);
/// The device's logical sector size (BLKSSZGET).
std::uint32_t logical_sector_size(int fd, std::uint32_t &bytes);

/// A field as mountinfo writes it, read back: space, tab, newline and
/// backslash are three octal digits after a backslash there.
std::string mountinfo_field(std::string_view text);

/// The mount points in `mountinfo` (the text of /proc/self/mountinfo) of
/// the file systems on any of `devices`, or mounted from one of the device
/// nodes `sources` (btrfs, for one, shows a device number of its own), in
/// mountinfo order.
std::vector<std::string> mount_points_of(std::string_view mountinfo,
                                         const std::vector<DeviceNumber> &devices,
                                         const std::vector<std::string> &sources = {});
/// The same for the disk, its partitions and the devices stacked on them;
/// sources are their nodes under /dev.
std::vector<std::string> mount_points_on(const LinuxDisk &disk,
                                         std::string_view mountinfo);
/// The swap areas in `swaps` (the text of /proc/swaps) on the disk, its
/// partitions or the devices stacked on them, as /proc/swaps names them.
std::vector<std::string> swap_areas_on(const LinuxDisk &disk,
                                       std::string_view swaps);
/// Frees the disk of Linux's mounts before this program takes it, as
/// Windows' volume lock dismounts a volume that no program holds open: the
/// mount points on it in `mountinfo` are unmounted by `unmount` (0, or the
/// errno of umount2), the last mounted first. Nothing is unmounted while a
/// swap area in `swaps` is on it. Empty when the disk is free; otherwise
/// the message naming the swap area or the mount points still mounted.
std::string release_disk(const LinuxDisk &disk, std::string_view mountinfo,
                         std::string_view swaps,
                         const std::function<int(const std::string &)> &unmount);
/// The text of a mountinfo file; empty when it cannot be read.
std::string read_mountinfo(const std::filesystem::path &file =
                               "/proc/self/mountinfo");

/// Makes Linux read the partition table of the whole disk `disk_node`
/// again (BLKRRPART; `partx -u` and `partx -a` where the kernel refuses,
/// as for loop devices or a disk with a busy partition) and waits, at most
/// `limit`, until the node `partition_node` exists. ERROR_NOT_READY when
/// it does not come.
std::uint32_t reread_partition_table(const std::filesystem::path &disk_node,
                                     const std::filesystem::path &partition_node,
                                     std::chrono::milliseconds limit);

/// The message for a disk that is refused because Linux has mounted a
/// partition of it: names `disk` and the mount points, and says to unmount.
std::string mounted_disk_message(const std::string &disk,
                                 const std::vector<std::string> &mount_points);

} // namespace corvantix::emulation
