// Copies onto FAT (and onto NTFS with short names) reach an entry by its
// short alias as well as by its name: a file copied as "1LONGN~1.TXT"
// would replace "1 long name.txt" when that holds the alias. The copies
// therefore move such an entry aside while the new one takes the name,
// and back under its own long name, which then gets another alias.
#pragma once

#include <optional>
#include <string>

namespace corvantix::platform {

/// Whether `name` is a plain 8.3 name, which may be another entry's alias.
bool is_short_name(const std::string &name);
/// Whether two names are one on FAT, where case does not count.
bool same_fat_name(const std::string &a, const std::string &b);

/// Runs `make()`, which creates the entry `name` in a folder. `holder()`
/// gives the name of the entry that `name` opens there now, if any;
/// `rename(from, to)` renames within the folder; `aside` is a free name.
template <class Holder, class Rename, class Make>
void make_beside_alias(const std::string &name, const std::string &aside,
                       Holder holder, Rename rename, Make make) {
  std::optional<std::string> held =
      is_short_name(name) ? holder() : std::nullopt;
  if (!held || same_fat_name(*held, name))
    return make();
  rename(*held, aside);
  try {
    make();
  } catch (...) {
    rename(aside, *held);
    throw;
  }
  rename(aside, *held);
}

} // namespace corvantix::platform
