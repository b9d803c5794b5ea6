#include "platform/host/machine/linux_mounts.h"

#include "platform/host/machine/linux_disks.h"
#include "strings/res.h"

#include <sys/mount.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace corvantix::emulation {
namespace {

// The mount(2) flag of an option, or 0 for one that goes as data.
unsigned long flag_of(std::string_view option) {
  static constexpr std::pair<std::string_view, unsigned long> kFlags[] = {
      {"ro", MS_RDONLY},          {"nosuid", MS_NOSUID},
      {"nodev", MS_NODEV},        {"noexec", MS_NOEXEC},
      {"sync", MS_SYNCHRONOUS},   {"dirsync", MS_DIRSYNC},
      {"noatime", MS_NOATIME},    {"nodiratime", MS_NODIRATIME},
      {"relatime", MS_RELATIME},  {"strictatime", MS_STRICTATIME},
      {"lazytime", MS_LAZYTIME},  {"mand", MS_MANDLOCK},
  };
  for (const auto &[name, flag] : kFlags)
    if (option == name)
      return flag;
  return 0;
}

} // namespace

LinuxMount mount_at(std::string_view mountinfo, const std::string &point) {
  LinuxMount found;
  std::istringstream lines{std::string(mountinfo)};
  std::string line;
  while (std::getline(lines, line)) {
    // id parent major:minor root mount-point options [tags] - type source
    // fs-options
    std::istringstream fields(line);
    std::string skip, at, options, word, type, source, fs_options;
    if (!(fields >> skip >> skip >> skip >> skip >> at >> options) ||
        mountinfo_field(at) != point)
      continue;
    while (fields >> word && word != "-") {
    }
    if (fields >> type >> source >> fs_options)
      found = {mountinfo_field(source), point, type, options, fs_options};
  }
  return found;
}

int mount_again(const LinuxMount &mount) {
  unsigned long flags = 0;
  std::string data;
  std::istringstream options(mount.options + "," + mount.fs_options);
  for (std::string option; std::getline(options, option, ',');) {
    if (option.empty() || option == "rw")
      continue;
    if (unsigned long flag = flag_of(option))
      flags |= flag;
    else
      data += (data.empty() ? "" : ",") + option;
  }
  int result = ::mount(mount.source.c_str(), mount.point.c_str(),
                       mount.type.c_str(), flags,
                       data.empty() ? nullptr : data.c_str());
  return result == 0 ? 0 : errno;
}

// On standard error as the terminal's other messages are, under the
// program's name.
void tell_unmounted(const LinuxMount &mount) {
  std::fprintf(stderr, "corvantix: %s\n",
               Res::format("USB_UNMOUNTED", mount.source, mount.point).c_str());
}

void mount_all_again(const std::vector<LinuxMount> &unmounted) {
  for (auto mount = unmounted.rbegin(); mount != unmounted.rend(); ++mount) {
    if (mount->source.empty())
      continue;
    if (int error = mount_again(*mount))
      std::fprintf(stderr, "corvantix: %s\n",
                   Res::format("USB_ERR_REMOUNT", mount->source, mount->point,
                               std::strerror(error))
                       .c_str());
  }
}

} // namespace corvantix::emulation
