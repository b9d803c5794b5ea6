#include "platform/host/dos_attributes.h"

#include <sys/xattr.h>

namespace corvantix::emulation {

namespace {
constexpr const char *kName = "user.dosattrib";
}

std::uint8_t dos_attributes(const std::filesystem::path &path) {
  std::uint8_t bits = 0;
  if (lgetxattr(path.c_str(), kName, &bits, 1) != 1)
    return 0;
  return bits;
}

bool set_dos_attributes(const std::filesystem::path &path, std::uint8_t bits) {
  return lsetxattr(path.c_str(), kName, &bits, 1, 0) == 0;
}

} // namespace corvantix::emulation
