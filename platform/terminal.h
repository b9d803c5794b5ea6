// What a run on a terminal needs of the platform: the standard streams, and
// the disks that an unattended run (--yes) prepares.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvantix {
class UsbDisk;
}

namespace corvantix::platform {

/// Whether standard input is a terminal that a person types on.
bool input_is_terminal();
/// Whether standard error goes to a terminal.
bool error_is_terminal();
/// Writes UTF-8 text to standard output or standard error as it is. A
/// Windows program started from a console without streams of its own
/// writes to that console.
void write_output(const std::string &text);
void write_error(const std::string &text);
/// One line from standard input, without its end; nullopt at its end.
std::optional<std::string> read_input_line();

/// The disk that an unattended run prepares, or why there is none.
struct RunTarget {
  std::shared_ptr<UsbDisk> disk; ///< null when refused
  /// The image was made for this run: blank, nothing on it to back up.
  bool new_image = false;
  /// Why there is no disk, in the user's words (one line).
  std::string refusal;
  /// The refusal is that writing needs administrator rights; the caller
  /// adds how to start the program with them.
  bool needs_rights = false;
  /// Takes back what finding the disk made (a new image) when the run does
  /// not go ahead; empty when there is nothing to take back.
  std::function<void()> undo;
  /// For a new image: whether the file system that holds it has no room
  /// left, the likely reason why it could not be made whole.
  std::function<bool()> out_of_room;
};

/// The disks named by the targets of an unattended run, one result per
/// target in their order. A drive letter (one character, or on Windows
/// "E:" and "E:\") is looked up among the USB drives of the machine. In
/// the host build paths to image files or block devices become the disks
/// of a new machine, installed in place of the machine, one disk each with
/// the letters E, F, G, ... in target order and interface USB; drive
/// letters given beside them keep their disks and letters in it. A block
/// device must be a USB disk as the disk discovery defines one (a whole
/// disk on a USB bus with a medium that can be written), and is otherwise
/// refused untouched. A file that does not exist is made a sparse blank
/// image of `new_size` bytes, unless `new_size` is 0. A target naming the
/// disk of an earlier one is refused. When any target is refused, nothing
/// is installed or made. The Win32 side takes drive letters only. Failures
/// of the disk scan propagate.
std::vector<RunTarget> find_run_targets(const std::vector<std::string> &targets,
                                        std::uint64_t new_size);

} // namespace corvantix::platform
