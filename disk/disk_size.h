// Sizes of disks as people write them: <n>[K|M|G|T], binary units, in the
// machine description and on the command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

/// The bytes `text` stands for; nullopt when it is no such size or the
/// size does not fit in 64 bits.
std::optional<std::uint64_t> ParseDiskSize(std::string_view text);
