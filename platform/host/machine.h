// The emulated Windows machine of the host build: disks are image files,
// each with a Plug-and-Play device node and, when its first partition holds
// a valid FAT file system, a mounted volume whose files live in a host
// directory. The Win32 functions of the host build (kernel32.h, setupapi.h)
// and the host inventory, file system and readiness services act on it.
//
// Threading: the machine is shared by the window thread and the pipeline's
// worker; every member function takes the machine's lock.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
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
  std::string model = "Corvantix Virtual Stick";
  std::string interface_type = "USB"; ///< "USB", "IDE", "SCSI"
  char letter = 0;                    ///< 0: the volume gets no letter
  NodeBehaviour behaviour = NodeBehaviour::Normal;
  std::uint32_t sector_size = 512;    ///< what the geometry query reports
};

struct Disk {
  DiskConfig config;
  int number = 0;           ///< N of \\.\PhysicalDriveN
  std::string pnp_id;       ///< USBSTOR\DISK&VEN_...&PROD_...\...
  bool node_enabled = true; ///< device node started
  bool mounted = false;     ///< the volume is mounted at `volume_dir`
  std::filesystem::path volume_dir;
  int open_volume_handles = 0; ///< handles on \\.\X: (locks need exclusivity)
  bool volume_locked = false;
  bool held_open = false; ///< another program holds the volume open
};

class Machine {
public:
  /// The process's machine: described by the file named in
  /// CORVANTIX_MACHINE, else the built-in default. Made on first use.
  static Machine &current();

  /// Replaces the process's machine (tests); the old one is shut down.
  static void install(std::unique_ptr<Machine> machine);

  explicit Machine(std::vector<DiskConfig> disks,
                   std::filesystem::path state_dir);
  ~Machine(); ///< shuts down: every mounted volume is written back

  std::recursive_mutex &lock() { return mutex_; }

  std::vector<Disk> &disks() { return disks_; }
  Disk *disk_by_number(int number);
  Disk *disk_by_letter(char letter);
  Disk *disk_by_pnp_id(const std::string &pnp_id);

  /// Reads the image's first partition into the volume directory; false
  /// (and no volume) when there is no valid FAT file system.
  bool mount(Disk &disk);
  /// Writes the volume directory back into the image and drops the volume.
  void dismount(Disk &disk);
  /// Writes every mounted volume back into its image, keeping it mounted.
  void flush_all();

  /// Maps a Windows path "E:\a\b" to the host path of a mounted volume
  /// (files there carry their DOS attributes, see dos_attributes.h);
  /// nullopt when the letter has no mounted volume.
  std::optional<std::filesystem::path> host_path(const std::string &path);

  /// Fault injection: the next `skip`+1-th call of `function` (a Win32 name
  /// such as "WriteFile") fails with `code`.
  void fail_call(const std::string &function, std::uint32_t code, int skip = 0);
  /// True (and the fault is used up) when this call of `function` must fail.
  std::optional<std::uint32_t> take_fault(const std::string &function);
  void clear_faults();

private:
  std::recursive_mutex mutex_;
  std::vector<Disk> disks_;
  std::filesystem::path state_dir_;
  struct Fault {
    std::uint32_t code;
    int skip;
  };
  std::map<std::string, std::vector<Fault>> faults_;
};

} // namespace corvantix::emulation
