// Linux mounts that a run takes away from a stick and gives back: what
// mountinfo says of each (source, mount point, type, options), so that a
// run that ends without changing the stick mounts them again as they were.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace corvantix::emulation {

/// One mount as /proc/self/mountinfo shows it.
struct LinuxMount {
  std::string source;     ///< the device node, such as /dev/sdb1
  std::string point;      ///< the mount point
  std::string type;       ///< the file system type, such as ext4
  std::string options;    ///< the mount point's own: rw,nodev,relatime
  std::string fs_options; ///< the file system's: rw,errors=remount-ro
  bool operator==(const LinuxMount &) const = default;
};

/// The mount at `point` in `mountinfo` (the last one there: it hides those
/// below it); an empty source when there is none.
LinuxMount mount_at(std::string_view mountinfo, const std::string &point);

/// Mounts `mount` again with its options, as mount(2) takes them: flags
/// for the mount point's options and the file system's, the rest as data.
/// 0 or the errno of mount(2).
int mount_again(const LinuxMount &mount);

/// Tells on stderr that `mount` was unmounted for the run.
void tell_unmounted(const LinuxMount &mount);

/// Mounts again, last first, the mounts of `unmounted` (in the order they
/// were unmounted); one that fails is told on stderr.
void mount_all_again(const std::vector<LinuxMount> &unmounted);

} // namespace corvantix::emulation
