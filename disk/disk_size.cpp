#include "disk/disk_size.h"

std::optional<std::uint64_t> ParseDiskSize(std::string_view text) {
  std::size_t digits = text.find_first_not_of("0123456789");
  if (text.empty() || digits == 0 || text.size() > 18)
    return std::nullopt;
  std::string_view unit =
      digits == std::string_view::npos ? "" : text.substr(digits);
  std::uint64_t value = 0;
  for (char c : text.substr(0, digits))
    value = value * 10 + std::uint64_t(c - '0');
  int shift;
  if (unit.empty())
    shift = 0;
  else if (unit == "K" || unit == "k")
    shift = 10;
  else if (unit == "M" || unit == "m")
    shift = 20;
  else if (unit == "G" || unit == "g")
    shift = 30;
  else if (unit == "T" || unit == "t")
    shift = 40;
  else
    return std::nullopt;
  // A size past 64 bits would wrap to a small one.
  if (value > UINT64_MAX >> shift)
    return std::nullopt;
  return value << shift;
}
