// The terminal of the Windows product: the standard streams, or the console
// of the program that started it (the product is a GUI program, which has
// no streams of its own), and drive letters as the only targets.
#include "platform/terminal.h"

#include "device/usb_disk.h"
#include "platform/win32/text.h"
#include "strings/res.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <iostream>

namespace corvantix::platform {
namespace {

// The console of the parent process, for a program started without
// streams; INVALID_HANDLE_VALUE when there is none.
HANDLE parent_console() {
  static const HANDLE console = [] {
    if (!AttachConsole(ATTACH_PARENT_PROCESS))
      return INVALID_HANDLE_VALUE;
    return CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
  }();
  return console;
}

HANDLE output_handle(DWORD which) {
  HANDLE handle = GetStdHandle(which);
  if (handle && handle != INVALID_HANDLE_VALUE)
    return handle;
  return parent_console();
}

// A console takes the text as UTF-16; a file or pipe gets the UTF-8 bytes.
void write_to(DWORD which, const std::string &text) {
  HANDLE handle = output_handle(which);
  if (handle == INVALID_HANDLE_VALUE || text.empty())
    return;
  DWORD mode = 0, written = 0;
  if (GetConsoleMode(handle, &mode)) {
    std::wstring wide = win32::widen(text);
    WriteConsoleW(handle, wide.data(), DWORD(wide.size()), &written, nullptr);
    return;
  }
  for (std::size_t done = 0; done < text.size(); done += written) {
    if (!WriteFile(handle, text.data() + done, DWORD(text.size() - done),
                   &written, nullptr) ||
        written == 0)
      return;
  }
}

bool is_character_device(HANDLE handle) {
  return handle && handle != INVALID_HANDLE_VALUE &&
         GetFileType(handle) == FILE_TYPE_CHAR;
}

// "E", and on Windows also "E:" and "E:\".
std::optional<char> letter_of(const std::string &target) {
  if (target.size() == 1)
    return target[0];
  bool drive = (target.size() == 2 || (target.size() == 3 && target[2] == '\\')) &&
               std::isalpha(static_cast<unsigned char>(target[0])) &&
               target[1] == ':';
  if (!drive)
    return std::nullopt;
  return target[0];
}

} // namespace

bool input_is_terminal() {
  return is_character_device(GetStdHandle(STD_INPUT_HANDLE));
}

bool error_is_terminal() {
  return is_character_device(output_handle(STD_ERROR_HANDLE));
}

void write_output(const std::string &text) { write_to(STD_OUTPUT_HANDLE, text); }

void write_error(const std::string &text) { write_to(STD_ERROR_HANDLE, text); }

std::optional<std::string> read_input_line() {
  std::string line;
  if (!std::getline(std::cin, line))
    return std::nullopt;
  if (!line.empty() && line.back() == '\r')
    line.pop_back();
  return line;
}

std::vector<RunTarget> find_run_targets(const std::vector<std::string> &targets,
                                        std::uint64_t) {
  UsbList list;
  list.build();
  std::vector<RunTarget> found(targets.size());
  std::string letters; // of the targets so far, to find one named twice
  for (std::size_t i = 0; i < targets.size(); ++i) {
    std::optional<char> letter = letter_of(targets[i]);
    if (!letter) {
      found[i].refusal = Res::format("ARGS_YES_LETTER_ONLY", targets[i]);
      letters += ' ';
      continue;
    }
    char upper = char(std::toupper(static_cast<unsigned char>(*letter)));
    std::size_t earlier = letters.find(upper);
    letters += upper;
    if (earlier != std::string::npos) {
      found[i].refusal =
          Res::format("ARGS_YES_SAME_DISK", targets[i], targets[earlier]);
      continue;
    }
    found[i].disk = list.by_letter(upper);
    if (!found[i].disk)
      found[i].refusal = list.missing_letter_text(upper);
  }
  // Nothing runs unless every target can.
  bool refusal = std::any_of(found.begin(), found.end(),
                             [](const RunTarget &t) { return !t.refusal.empty(); });
  if (refusal)
    for (RunTarget &target : found)
      target.disk = nullptr;
  return found;
}

} // namespace corvantix::platform
