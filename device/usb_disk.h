// One USB disk that carries a drive letter, and the list of such disks
// found in the machine's disk inventory.
#pragma once

#include "strings/error.h"

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

class VolumeLock;

namespace corvantix {

class Inventory;

/// A failure found before anything on the stick changed.
class UnchangedError : public Error {
public:
  using Error::Error;
};

/// A stick that does not keep what is written to it (UsbDisk::check_capacity).
class CapacityError : public UnchangedError {
public:
  using UnchangedError::UnchangedError;
};

/// A stick whose volume another program holds (UsbDisk::lock_volume).
class DriveInUseError : public UnchangedError {
public:
  using UnchangedError::UnchangedError;
};

class UsbDisk {
public:
  UsbDisk(std::string deviceID, std::string model, std::uint64_t size,
          std::string pnpID, char letter, std::string name = {});
  ~UsbDisk();
  UsbDisk(const UsbDisk &) = delete;
  UsbDisk &operator=(const UsbDisk &) = delete;

  const std::string deviceID; ///< device path of the whole physical drive
  const std::string model;
  const std::string pnpID; ///< Plug-and-Play device instance identifier
  const char letter;       ///< drive letter of the first partition's volume
  const std::uint64_t size;
  const std::string path; ///< root of the letter, such as "E:\"
  /// The stick as messages name it: `path`, or the image file or block
  /// device the user gave for it, which knows no letter.
  const std::string name;

  /// The stick's volume locked: no other program gets at it until the
  /// hold ends, so that the capacity check and the format under it see the
  /// stick alone.
  class VolumeHold {
  public:
    explicit VolumeHold(std::unique_ptr<VolumeLock> lock);
    VolumeHold(VolumeHold &&) noexcept;
    ~VolumeHold();
    VolumeLock &lock() const { return *lock_; }

  private:
    std::unique_ptr<VolumeLock> lock_;
  };

  /// Locks the stick's volume, waiting a few seconds for a program that
  /// holds it to let go; fails with DriveInUseError (USB_ERR_IN_USE, or
  /// USB_ERR_IN_USE_BY naming the program where the system can tell) or
  /// with USB_ERR_FORMAT.
  VolumeHold lock_volume() const;

  /// Checks, under `hold`, which stays, that the stick keeps what is
  /// written across its whole size, leaving its contents as they were;
  /// fails with USB_ERR_CAPACITY when it does not, with USB_ERR_FORMAT when
  /// the check cannot be made.
  void check_capacity(VolumeHold &hold) const;
  /// Refuses, before anything is copied or written, a stick that the run
  /// would fail on or lose files of: one too small for FAT32
  /// (USB_ERR_TOO_SMALL) and, with `backup`, one with partitions besides
  /// the first, whose volume the backup reads (USB_ERR_PARTITIONS), or
  /// without a partition table or with a GPT when its volume cannot be read
  /// (USB_ERR_NO_TABLE, USB_ERR_GPT). USB_ERR_LAYOUT when the table cannot
  /// be read.
  void check_layout(bool backup) const;
  /// " " and USB_FULL when `failure`, or a failure that caused it, is the
  /// stick running out of space; empty otherwise.
  std::string full_note(const std::exception_ptr &failure) const;
  /// Writes a new partition table and FAT32 file system; fails with
  /// USB_ERR_FORMAT.
  void format() const;
  /// The same under `hold`: the format ends the lock.
  void format(VolumeHold &hold) const;
  /// Has the system drop and re-read the device; fails with USB_ERR_REFRESH.
  void refresh() const;
  /// Overwrites the master boot record; fails with USB_ERR_WIPE.
  void wipe() const;
  /// The display text, USB_REPR.
  std::string ToString() const;

private:
  char *cDeviceId; ///< 8-bit copies for the low layer, owned by pDeviceId
  char *cPnpId;    ///< and pPnpId; released once, with the disk
  std::unique_ptr<char[]> pDeviceId;
  std::unique_ptr<char[]> pPnpId;
};

using UsbDiskPtr = std::shared_ptr<UsbDisk>;

class UsbList {
public:
  /// The disks found by the last build, in discovery order.
  std::vector<UsbDiskPtr> disks;

  /// Rebuilds `disks` from the machine's inventory; inventory failures
  /// propagate, leaving the disks found before the failure.
  void build();
  /// The same from a given inventory.
  void build(Inventory &inventory);
  /// The first disk with exactly this letter, or null.
  UsbDiskPtr by_letter(char letter) const;
  /// Why no disk has `letter`, for a run that named it: no USB disk was
  /// found at all (ARGS_YES_NO_USB), or none has it (ARGS_ERR_LETTER).
  std::string missing_letter_text(char letter) const;
};

} // namespace corvantix
