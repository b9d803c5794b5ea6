#include "app/run_modes.h"

#include "app/startup.h"
#include "platform/filesystem.h"
#include "strings/error.h"
#include "ui/about_window.h"

#include <cstdio>
#include <memory>

namespace corvantix {
namespace {

constexpr const char result_file[] = "drive.txt";

// The help mode has no crash handler of its own: a failure is reported
// like a failure to load the language table, with every cause, and the
// program ends with 1 since the window did not close normally.
int run_help(Toolkit &toolkit) {
  try {
    frmAbout about(toolkit);
    toolkit.run(about.view());
    return 0;
  } catch (...) {
    toolkit.message_box(describe_chain(std::current_exception()), "",
                        Toolkit::Buttons::Ok);
    return 1;
  }
}

} // namespace

void write_result_file(char letter) {
  write_result_letters(std::string(1, letter));
}

std::string result_file_path() {
  return platform::file_system().full_path(result_file);
}

std::uint32_t put_result_letters(const std::string &letters) {
  constexpr std::uint32_t kDiskFull = 112; // ERROR_DISK_FULL
  platform::FileSystem &files = platform::file_system();
  const std::string path = result_file_path();
  std::unique_ptr<platform::WritableFile> file;
  try {
    file = files.create_file(path);
  } catch (const platform::FileError &e) {
    return e.code();
  }
  try {
    if (file->write(letters.data(), letters.size()) != letters.size())
      throw platform::FileError(kDiskFull, path);
    file->flush();
    return 0;
  } catch (const platform::FileError &e) {
    // A file without its letters would read as an empty result: none is
    // better.
    file.reset();
    std::remove(path.c_str());
    return e.code();
  }
}

void write_result_letters(const std::string &letters) {
  if (put_result_letters(letters))
    throw Error("Could not write to disk.");
}

std::string crash_text(const std::exception_ptr &failure) {
  std::string message = message_of(failure);
  std::string trace;
  try {
    std::rethrow_exception(failure);
  } catch (const Error &e) {
    trace = describe_chain(e.cause(), message);
  } catch (...) {
  }
  return "Corvantix has encountered an error and needs to terminate. Please "
         "report this error. Information:\n" +
         message + "\n\n" + trace;
}

void single_finish(frmCorvantix &sender, const UsbDiskPtr &disk,
                   const std::exception_ptr &failure) {
  std::exception_ptr written;
  if (!failure && disk) {
    try {
      write_result_file(disk->letter);
    } catch (...) {
      written = std::current_exception();
    }
  }
  sender.close();
  if (written)
    std::rethrow_exception(written);
}

void single_finish_notxt(frmCorvantix &sender, const UsbDiskPtr &,
                         const std::exception_ptr &) {
  sender.close();
}

int run_mode(const StartupValues &values, Process &process, Toolkit &toolkit,
             const MainWindowServices &services) {
  if (values.help)
    return run_help(toolkit);
  try {
    frmCorvantix window(process, toolkit, services);
    if (values.single_drive) {
      window.select_letter(values.letter);
      window.OnFormatFinish.subscribe(values.no_drive_text ? single_finish_notxt
                                                           : single_finish);
    }
    // Once the window shows, before the person can do anything in it.
    toolkit.post([&window] { window.offer_unfinished_runs(); });
    toolkit.run(window.view());
    // The window went away with its run under way: the run has been seen
    // to its end, but the window did not close normally.
    if (window.wait_for_run())
      return 1;
  } catch (...) {
    toolkit.message_box(crash_text(std::current_exception()), crash_title,
                        Toolkit::Buttons::Ok);
    return 1;
  }
  return 0;
}

int run_mode(const StartupValues &values, Process &process, Toolkit &toolkit) {
  return run_mode(values, process, toolkit, MainWindowServices{});
}

} // namespace corvantix
