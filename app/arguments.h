// Reading the command line into the preparation options and the start-up
// values. A pure function: nothing is shown and no table is changed here.
#pragma once

#include "pipeline/process.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvantix {

/// A folder to copy, as it was typed and as it is read.
struct CopyFolder {
  std::string given;
  /// Relative ones joined to the program's folder, trimmed as the
  /// platform reads a typed path.
  std::string path;
  bool relative = false; ///< joined to the program's folder
};

struct StartupValues {
  bool help = false;
  bool version = false; ///< help asked for by --version or -v
  bool single_drive = false;
  bool no_drive_text = false;
  char letter = 0; ///< drive to pre-select in single-drive mode; 0 for none
  bool yes = false; ///< --yes: prepare `targets` without a window or question
  /// The drives to prepare: the last argument when it is one character
  /// (then also `letter`), or, when paths are taken (see read_arguments),
  /// every argument after the options.
  std::vector<std::string> targets;
  std::uint64_t new_size = 0; ///< --size: bytes of a new image; 0 for none
  /// The copy folders in the order given, as added to the options.
  std::vector<CopyFolder> copy_folders;
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
/// After --yes, or anywhere when `path_target` is set (no window can be
/// shown: the person is asked on the terminal), the arguments after the
/// last option are the targets: drive letters, image files or block
/// devices; an argument that begins with '-' is never one.
ArgumentReading read_arguments(const std::vector<std::string> &args,
                               const std::string &program_folder,
                               Process &options, bool path_target = false);

/// Whether `args` hold --yes (or -y) anywhere, read or not: where the
/// messages of a run that fails before its options are read go.
bool yes_given(const std::vector<std::string> &args);

/// The usage: a line for the command's forms, then one line per option
/// with its forms and what it does, as the README's option table has them.
std::vector<std::string> usage_lines();

} // namespace corvantix
