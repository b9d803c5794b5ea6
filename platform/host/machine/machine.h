// The emulated Windows machine of the host build: disks are image files,
// each with a Plug-and-Play device node and, when its first partition holds
// a FAT file system that our FAT library takes up, a mounted volume. The Win32
// functions of the host build (kernel32.h, setupapi.h) and the host
// inventory, file system and readiness services act on it.
//
// Volumes. A disk with a letter whose node is started has the volume \\.\X:
// (as Windows gives a removable stick its letter even when it holds no file
// system it knows). The volume is *mounted* when the first partition of the
// image holds a valid FAT file system. A mounted volume is that file system
// and nothing else: the host file system works on it in the image (see
// drive_files.h), so nothing is kept elsewhere and nothing is written back.
// While the volume is locked its files cannot be reached. Raw writes into a
// locked volume's extent make the mounted volume stale, as on Windows: its
// files cannot be reached until the next mount (the device restart that
// follows a format) finds the new file system. FSCTL_DISMOUNT_VOLUME
// under the lock drops the volume instead: the lock's release mounts it
// afresh, whatever was written meanwhile.
//
// Counterfeit sticks. A disk with DiskConfig::real_size claims its full
// size but keeps only real_size bytes: byte p of the disk is byte
// p mod real_size of the image, as a wrapping controller has it. Every
// read and write of the image goes through that fold (wrapped_pieces()).
//
// One program per disk: the machine holds an exclusive lock (flock) on each
// image while it lives, as Windows' exclusive handles keep a second program
// off a stick in use. Machines of one process share the lock. A disk whose
// image another program holds is in use: it is listed, but its devices and
// its volume refuse every open with ERROR_SHARING_VIOLATION.
//
// Threading: the machine is shared by the window thread and the pipeline's
// workers, one per stick when a terminal run prepares several at once.
// Every member function and every emulated kernel call takes the machine's
// lock; a file call on a volume and a raw transfer hold their disk's
// transfer lock (Disk::busy) for their whole length, and the machine's
// only to look at and change its state, so sticks prepared at once do not
// wait for each other's reads, writes and flushes.
#pragma once

#include "platform/host/machine/linux_mounts.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace corvantix::emulation {

/// How a disk's device node answers the configuration manager.
enum class NodeBehaviour {
  Normal,         ///< stops and starts at once
  ResistsDisable, ///< stays started after every disable
  NeedsRestart,   ///< every state change reports that a restart is needed
  Phantom,        ///< the node vanishes: status queries find no such node
  Problem,        ///< the node reports a problem (not "disabled")
  UnknownId,      ///< no node has this identifier
};

struct DiskConfig {
  std::filesystem::path image;      ///< the backing image file
  std::uint64_t new_size = 0;       ///< size of a new image, made on first use
  bool new_image_formatted = true;  ///< a new image comes like a shop stick
  /// A counterfeit stick: the disk claims `new_size` bytes but keeps only
  /// these, its image's length; 0: it keeps all.
  std::uint64_t real_size = 0;
  std::string model = "Corvantix Virtual Stick";
  std::string interface_type = "USB"; ///< "USB", "IDE", "SCSI"
  char letter = 0;                    ///< 0: the volume gets no letter
  NodeBehaviour behaviour = NodeBehaviour::Normal;
  std::uint32_t sector_size = 512;    ///< what the geometry query reports
  /// The device instance identifier; empty: one made from the model.
  std::string pnp_id;
  /// `image` is a real block device (a USB stick): never made or resized;
  /// its volume lock holds the device exclusively and is refused while
  /// Linux has a partition of it mounted (a run unmounts them first, see
  /// Machine::release_volume); writes reach it before a handle closes.
  bool block_device = false;
};

/// An exclusive lock on one image file (machine.cpp).
struct ImageLock;

struct Disk {
  DiskConfig config;
  int number = 0;           ///< N of \\.\PhysicalDriveN
  std::string pnp_id;       ///< USBSTOR\DISK&VEN_...&PROD_...\...
  bool node_enabled = true; ///< device node started
  bool mounted = false;     ///< the volume's file system is mounted
  bool in_use = false;      ///< another program holds the image
  std::shared_ptr<ImageLock> image_lock; ///< ours, while we hold it
  int open_volume_handles = 0; ///< handles on \\.\X: (locks need exclusivity)
  bool volume_locked = false;
  bool held_open = false; ///< another program holds the volume open
  /// How that program shares it: without FILE_SHARE_WRITE (2) an open for
  /// writing fails with ERROR_SHARING_VIOLATION; otherwise only the lock
  /// fails, with ERROR_ACCESS_DENIED.
  std::uint32_t held_share_mode = 3;
  /// The holding program as the system names it; empty when it cannot
  /// tell (a volume handle of a service, say).
  std::string held_by;
  /// The holder lets go after it has refused this many opens and locks of
  /// the volume, as a scan that ends; 0: it holds on until told.
  int held_refusals_left = 0;

  // Kept by the machine while the volume is mounted (or dismounted).
  std::uint64_t volume_offset = 0; ///< byte extent of the first partition
  std::uint64_t volume_length = 0;
  bool stale = false; ///< raw writes changed the file system underneath
  /// FSCTL_DISMOUNT_VOLUME dropped the mounted volume: its extent stays the
  /// volume device's, and releasing the lock mounts it afresh.
  bool dismounted = false;

  /// An exclusive (O_EXCL) open of a block device while its volume is
  /// locked: Linux then cannot mount it underneath.
  std::shared_ptr<ImageLock> exclusive;
  /// What release_volume unmounted for a run, in the order it went.
  std::vector<LinuxMount> unmounted;

  /// Held for a transfer of the disk's sectors (a file call on its volume,
  /// a raw read or write), before the machine's lock, which the transfer
  /// itself does not hold: transfers on different disks run at the same
  /// time, those on one disk take turns.
  std::shared_ptr<std::recursive_mutex> busy =
      std::make_shared<std::recursive_mutex>();

  /// The image's (or block device's) size in bytes, or the size a
  /// counterfeit stick claims; 0 when there is none or the device has gone.
  std::uint64_t size() const;
  /// Whether \\.\X: exists: the disk has a letter and its node is started.
  bool volume_present() const {
    return config.letter != 0 && node_enabled;
  }
};

/// The disks of a machine description file (the format is described in
/// machine_description.cpp); a file that cannot be read or a bad line
/// throws corvantix::Error naming the file and line.
std::vector<DiskConfig>
read_machine_description(const std::filesystem::path &file);

/// An open handle of the emulated kernel on a disk or a volume.
struct DeviceHandle {
  std::string path;    ///< as opened, such as \\.\E:
  int disk = 0;        ///< number of the disk
  bool volume = false; ///< \\.\X: rather than \\.\PhysicalDriveN
  std::uint32_t access = 0;
  std::uint32_t share = 0;
  std::uint32_t flags = 0;
  std::uint64_t position = 0; ///< byte offset of the next read or write
  bool locking = false;       ///< this handle holds the volume lock
};

/// One write that reached a device.
struct DeviceWrite {
  int disk;
  bool volume;
  std::uint64_t offset; ///< from the start of the disk
  std::uint32_t size;
  bool operator==(const DeviceWrite &) const = default;
};

class Machine {
public:
  /// The process's machine, as CORVANTIX_MACHINE chooses it (see
  /// machine_choice.h): the computer's USB disks unless told otherwise.
  /// Made on first use.
  static Machine &current();

  /// Replaces the process's machine (tests); the old one is shut down. With
  /// null the next current() makes the process's machine afresh.
  static void install(std::unique_ptr<Machine> machine);

  /// Makes missing images (see DiskConfig), numbers the disks in order,
  /// takes their locks and mounts the volumes. An image that cannot be
  /// made throws corvantix::Error naming it, and no new image is left.
  /// The machine's private files live under `state_dir`.
  explicit Machine(std::vector<DiskConfig> disks,
                   std::filesystem::path state_dir);
  ~Machine();
  Machine(const Machine &) = delete;
  Machine &operator=(const Machine &) = delete;

  std::recursive_mutex &lock() { return mutex_; }

  std::vector<Disk> &disks() { return disks_; }
  Disk *disk_by_number(int number);
  Disk *disk_by_letter(char letter);
  Disk *disk_by_pnp_id(const std::string &pnp_id);
  /// The transfer lock of the disk with `letter` or `number` (see
  /// Disk::busy), taken; not owning one when there is no such disk. Take it
  /// before the machine's lock, never while holding it.
  std::unique_lock<std::recursive_mutex> hold_disk_with_letter(char letter);
  std::unique_lock<std::recursive_mutex> hold_disk(int number);

  /// Mounts the first partition's file system; false (and nothing
  /// mounted) when the node is stopped, the disk has no letter, another
  /// program holds the image, or there is no FAT file system that our FAT
  /// reads. Mounting a mounted volume does nothing.
  bool mount(Disk &disk);
  /// Drops the volume and its lock; a volume neither mounted nor
  /// dismounted is left alone.
  void dismount(Disk &disk);
  /// Releases the volume lock of `disk`; a volume that FSCTL_DISMOUNT_VOLUME
  /// dropped is mounted afresh.
  void unlock(Disk &disk);

  /// Another program opens the volume of `letter` and holds it (see
  /// Disk::held_open): `program` as the system would name it, sharing it
  /// as `share_mode`, letting go after `refusals` refused opens and locks
  /// (0: never). 0, or ERROR_ACCESS_DENIED while the volume is locked, as
  /// Windows refuses every open of a locked volume; ERROR_FILE_NOT_FOUND
  /// without such a volume.
  std::uint32_t hold_volume(char letter, std::string program = {},
                            std::uint32_t share_mode = 3, int refusals = 0);
  /// The holder of the volume refused an open or a lock: one of its
  /// refusals is used up, and it lets go after the last.
  void holder_refused(Disk &disk);

  /// Takes the image's lock unless this process holds it; false (and the
  /// disk in use) when another program holds it.
  bool claim(Disk &disk);

  /// Where the file system of the volume with `letter` is: its image, byte
  /// offset and length on the disk, and the disk's wrap (for ImageRange; 0
  /// unless it is a counterfeit stick). Otherwise the Win32 code that a file
  /// call gets: the path is not found when the letter has no usable mounted
  /// volume, and ERROR_SHARING_VIOLATION when another program holds the
  /// stick.
  struct VolumeImage {
    std::string image;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    std::uint32_t error = 0;
    std::uint64_t wrap = 0;
  };
  VolumeImage volume_image(char letter);

  /// Takes the block device of `disk` exclusively; 0, or the Win32 code
  /// (ERROR_ACCESS_DENIED when Linux has a partition of it mounted, with
  /// the message naming the mount point kept as the refusal).
  std::uint32_t hold_device(Disk &disk);

  /// Frees the volume of `letter` for a run, before anything is read, as
  /// Windows' volume lock dismounts a volume that no program holds open: a
  /// block device's partitions that Linux has mounted are unmounted when
  /// nothing on them is in use. 0, or ERROR_SHARING_VIOLATION while
  /// another program holds the disk: a mount point that stays busy, a swap
  /// area, an exclusive holder, or another program of ours; the message
  /// naming the mount point or swap area is kept as the refusal.
  std::uint32_t release_volume(char letter);
  /// The run on the volume of `letter` is over: what release_volume
  /// unmounted for it is mounted again as it was, unless the run changed
  /// the stick (machine_mounts.cpp). A mount that fails is told on stderr.
  void give_back_volume(char letter, bool changed);

  /// Why the last volume lock of this thread was refused, in the user's
  /// words, for the system text of its error code; taken once. Each run
  /// on a thread of its own gets its own refusal.
  std::optional<std::string> take_refusal(std::uint32_t code);

  /// An owner-only folder of this machine for its private files.
  const std::filesystem::path &state_dir() const { return state_dir_; }

  /// Fault injection: the next `skip`+1-th call of `function` (a Win32 name
  /// such as "WriteFile") fails with `code`. DeviceIoControl also answers to
  /// the name of its control code, such as "FSCTL_LOCK_VOLUME".
  void fail_call(const std::string &function, std::uint32_t code, int skip = 0);
  /// Test control: the `skip`+1-th later call of `function` runs `action`
  /// first (a stick pulled out at that moment, say), then goes on.
  void act_on_call(const std::string &function, std::function<void()> action,
                   int skip = 0);
  /// The code (and the fault is used up) when this call of `function` must
  /// fail.
  std::optional<std::uint32_t> take_fault(const std::string &function);
  void clear_faults();

  // The emulated kernel's state (kernel32_files.cpp).
  std::map<std::uintptr_t, DeviceHandle> &handles() { return handles_; }
  std::uintptr_t next_handle() { return next_handle_ += 4; }
  /// Writes to the devices, in order.
  std::vector<DeviceWrite> &writes() { return writes_; }
  /// The kernel calls made, one line each ("CreateFileA \\.\E: ..."), for
  /// tests that check what the system code asked of Windows.
  std::vector<std::string> &calls() { return calls_; }

private:
  std::recursive_mutex mutex_;
  std::vector<Disk> disks_;
  std::filesystem::path state_dir_;
  struct Fault {
    std::uint32_t code;
    int skip;
    std::function<void()> action;
  };
  std::map<std::string, std::vector<Fault>> faults_;
  std::map<std::uintptr_t, DeviceHandle> handles_;
  std::uintptr_t next_handle_ = 0x100;
  std::vector<DeviceWrite> writes_;
  std::vector<std::string> calls_;
  /// The last refusal of each thread: its code and the words for it.
  std::map<std::thread::id, std::pair<std::uint32_t, std::string>> refusals_;
  std::uint32_t refuse(std::uint32_t code, std::string why);
};

/// The refusal of the process's machine for `code` (see
/// Machine::take_refusal); nullopt without a machine.
std::optional<std::string> take_disk_refusal(std::uint32_t code);

/// Makes `folder` (owner-only) when it is missing. 0 when it is a folder,
/// not a link, that this user owns and no one else may write in; else a
/// Win32 code (ERROR_ACCESS_DENIED for another's folder).
std::uint32_t make_private_folder(const std::filesystem::path &folder);

/// Writes what the host caches of a file or device to its medium; 0, or
/// the Win32 code of the failure.
std::uint32_t sync_to_medium(const std::string &path);

/// Makes what was written to the block device `node` reach it (fsync);
/// nothing when `node` is no block device (any more). 0 or the Win32 code.
std::uint32_t flush_device(const std::string &node);

} // namespace corvantix::emulation
