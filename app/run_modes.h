// The three run modes: help, window and single-drive.
#pragma once

#include "app/arguments.h"
#include "ui/main_window.h"
#include "ui/toolkit.h"

#include <exception>
#include <string>

namespace corvantix {

/// The title of the crash message; fixed English like its text.
inline constexpr const char crash_title[] = "We apologize for the inconvenience.";

/// The crash message for a failure that ended a window mode: the fixed
/// English text, the failure's message, a blank line and its trace, which
/// is the chain of the failure's causes, one message a line (may be empty).
std::string crash_text(const std::exception_ptr &failure);

/// Writes the disk's letter into drive.txt in the current folder (one
/// byte, replacing an earlier file); fails with "Could not write to disk."
void write_result_file(char letter);
/// The same with the letters of several disks, one byte each.
void write_result_letters(const std::string &letters);
/// The same without throwing: 0, or the system's code of the failure. A
/// file that could not be written whole is removed.
std::uint32_t put_result_letters(const std::string &letters);
/// drive.txt's full path.
std::string result_file_path();

/// Single-drive finish handler: after a run without failure writes the
/// disk's letter into drive.txt in the current folder (one byte, replacing
/// an earlier file); then closes the window in every case.
void single_finish(frmCorvantix &sender, const UsbDiskPtr &disk,
                   const std::exception_ptr &failure);

/// Single-drive finish handler without the result file: closes the window.
void single_finish_notxt(frmCorvantix &sender, const UsbDiskPtr &disk,
                         const std::exception_ptr &failure);

/// run_mode with the window's disk scan and pipeline run given (tests).
int run_mode(const StartupValues &values, Process &process, Toolkit &toolkit,
             const MainWindowServices &services);

} // namespace corvantix
