// Reading the command line into the preparation options and the start-up
// values. A pure function: nothing is shown and no table is changed here.
#pragma once

#include "pipeline/process.h"

#include <optional>
#include <string>
#include <vector>

namespace corvantix {

struct StartupValues {
  bool help = false;
  bool single_drive = false;
  bool no_drive_text = false;
  char letter = 0; ///< drive to pre-select in single-drive mode; 0 for none
};

/// One text option: replaces the language text `key` by `value`.
struct TextOverride {
  std::string key;
  std::string value;
  bool operator==(const TextOverride &) const = default;
};

/// An argument error: the language key of its message and the values that
/// fill the message's placeholders.
struct ArgumentError {
  std::string key;
  std::vector<std::string> values;
  bool operator==(const ArgumentError &) const = default;
};

struct ArgumentReading {
  StartupValues values;
  std::vector<TextOverride> overrides; ///< in command-line order
  std::optional<ArgumentError> error;  ///< reading stopped at this error
};

/// Reads `args` (without the program's own name) into `options` and the
/// returned values. Relative folder paths are joined to `program_folder`.
ArgumentReading read_arguments(const std::vector<std::string> &args,
                               const std::string &program_folder,
                               Process &options);

} // namespace corvantix
