#include "platform/host/machine/machine_choice.h"

#include "platform/host/machine/demo_machine.h"

#include <string_view>

namespace corvantix::emulation {

bool is_usb_machine(const char *value) {
  return !value || !*value || is_usb_machine_name(value);
}

bool is_demo_machine(const char *value) {
  return value && std::string_view(value) == "demo";
}

std::vector<DiskConfig> chosen_machine(const char *value,
                                       const LinuxRoots &roots,
                                       std::filesystem::path folder) {
  if (is_usb_machine(value))
    return usb_machine(roots);
  if (is_demo_machine(value))
    return demo_machine(folder.empty() ? std::filesystem::current_path()
                                       : folder);
  return read_machine_description(value);
}

} // namespace corvantix::emulation
