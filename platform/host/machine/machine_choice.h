// Which machine the host program works on, from CORVANTIX_MACHINE: the
// computer's own USB disks unless told otherwise, however the program was
// started (sudo, pkexec, a root shell); the demo machine when asked for by
// name; otherwise the machine a description file lists.
#pragma once

#include "platform/host/machine/linux_disks.h"

#include <filesystem>
#include <vector>

namespace corvantix::emulation {

/// Whether CORVANTIX_MACHINE's `value` (null when unset) stands for the
/// computer's USB disks: unset, empty or `usb`.
bool is_usb_machine(const char *value);

/// Whether `value` asks for the demo machine: `demo`.
bool is_demo_machine(const char *value);

/// The disks of the machine that `value` chooses: the USB disks under
/// `roots`, the demo machine with its images in `folder` (empty: the
/// current folder), or the disks of the description file `value` names.
/// Only the demo machine makes files in `folder`.
std::vector<DiskConfig> chosen_machine(const char *value,
                                       const LinuxRoots &roots = {},
                                       std::filesystem::path folder = {});

} // namespace corvantix::emulation
