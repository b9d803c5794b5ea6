// The disks that the test WMI provider reports, read from a description
// file (the format is in install_wmi_provider.sh beside this folder).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvantix::test_wmi {

struct DescribedDisk {
  unsigned index = 0; ///< the N of \\.\PHYSICALDRIVEN
  std::wstring model;
  std::wstring pnp_id;
  std::wstring interface_type;
  std::uint64_t size = 0;
  /// One entry per partition, in order: its drive letter, or 0 for none.
  std::vector<wchar_t> letters;
  /// Properties of the drive that WMI reports as null.
  std::vector<std::wstring> null_properties;
};

struct DiskDescription {
  std::vector<DescribedDisk> disks; ///< in file order, WMI's order
  /// How long each query's results take to come, in milliseconds.
  unsigned wait_ms = 0;
};

/// The description in `file`; nullopt with `error` set (file and line)
/// when it cannot be read or a line is wrong.
std::optional<DiskDescription> read_description(const std::wstring &file,
                                                std::wstring &error);

} // namespace corvantix::test_wmi
