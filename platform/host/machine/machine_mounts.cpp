// What a run took from Linux's mounts of a stick, given back.
#include "platform/host/machine/machine.h"

#include <utility>

namespace corvantix::emulation {

void Machine::give_back_volume(char letter, bool changed) {
  std::vector<LinuxMount> unmounted;
  {
    std::lock_guard guard(mutex_);
    Disk *disk = disk_by_letter(letter);
    if (!disk)
      return;
    unmounted = std::exchange(disk->unmounted, {});
  }
  // A stick the run changed holds none of the file systems any more.
  if (!changed)
    mount_all_again(unmounted);
}

} // namespace corvantix::emulation
