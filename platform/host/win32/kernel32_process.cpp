// Errors, waits, modules, the process and system messages of the emulated
// kernel.
#include "platform/host/win32/kernel32.h"
#include "platform/host/win32/kernel32_control.h"
#include "platform/host/machine/machine.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>

namespace {

thread_local DWORD last_error = 0;

std::atomic<bool> virtual_clock{false};
std::atomic<std::uint64_t> slept{0};
std::atomic<std::size_t> sleeps{0};

std::mutex wow64_mutex;
std::optional<bool> forced_wow64;
std::atomic<bool> wow64_hidden{false};

std::mutex local_mutex;
std::unordered_set<void *> local_live;

// The one module, and a pseudo handle for the current process as Windows
// gives one (-1).
int kernel32_module;
HMODULE const kKernel32 = reinterpret_cast<HMODULE>(&kernel32_module);
HANDLE const kCurrentProcess = reinterpret_cast<HANDLE>(LONG_PTR(-1));

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  return text;
}

} // namespace

DWORD GetLastError() { return last_error; }
void SetLastError(DWORD code) { last_error = code; }

void Sleep(DWORD milliseconds) {
  ++sleeps;
  slept += milliseconds;
  if (!virtual_clock)
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

HMODULE GetModuleHandleA(LPCSTR name) {
  if (!name) // the program itself; it exports nothing
    return nullptr;
  std::string module = lower(name);
  if (module == "kernel32" || module == "kernel32.dll")
    return kKernel32;
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
  if (module == kKernel32 && name && !wow64_hidden &&
      std::strcmp(name, "IsWow64Process") == 0)
    return reinterpret_cast<FARPROC>(
        reinterpret_cast<void *>(&IsWow64Process));
  SetLastError(ERROR_PROC_NOT_FOUND);
  return nullptr;
}

HANDLE GetCurrentProcess() { return kCurrentProcess; }

BOOL IsWow64Process(HANDLE process, PBOOL wow64) {
  if (process != kCurrentProcess || !wow64) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard guard(wow64_mutex);
  *wow64 = forced_wow64.value_or(false) ? TRUE : FALSE;
  return TRUE;
}

DWORD FormatMessageA(DWORD flags, LPCVOID, DWORD message_id, DWORD,
                     LPSTR buffer, DWORD size, va_list *) {
  // A disk refused for a reason the code alone does not tell (a
  // partition mounted by Linux) gets the reason as its text, once.
  thread_local std::string refusal;
  const char *text = nullptr;
  if (flags & FORMAT_MESSAGE_FROM_SYSTEM) {
    auto given = corvantix::emulation::take_disk_refusal(message_id);
    refusal = given ? *given : std::string();
    text = given ? refusal.c_str()
                 : corvantix::emulation::system_message(message_id);
  }
  if (!text || !buffer) {
    SetLastError(text ? ERROR_INVALID_PARAMETER : ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  std::size_t length = std::strlen(text);
  if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    auto *copy = static_cast<char *>(LocalAlloc(LPTR, length + 1));
    if (!copy)
      return 0;
    std::memcpy(copy, text, length + 1);
    *reinterpret_cast<char **>(buffer) = copy;
  } else {
    if (size <= length) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
    std::memcpy(buffer, text, length + 1);
  }
  return DWORD(length);
}

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
  void *memory = flags & LMEM_ZEROINIT ? std::calloc(1, bytes ? bytes : 1)
                                       : std::malloc(bytes ? bytes : 1);
  if (!memory) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  std::lock_guard guard(local_mutex);
  local_live.insert(memory);
  return memory;
}

HLOCAL LocalFree(HLOCAL memory) {
  if (!memory)
    return nullptr;
  std::lock_guard guard(local_mutex);
  if (!local_live.erase(memory)) { // not ours, or freed twice
    SetLastError(ERROR_INVALID_HANDLE);
    return memory;
  }
  std::free(memory);
  return nullptr;
}

namespace corvantix::emulation {

// Windows' English texts (the first lines matter; they end in CR LF).
const char *system_message(std::uint32_t code) {
  switch (code) {
  case 0: return "The operation completed successfully.\r\n";
  case 1: return "Incorrect function.\r\n";
  case 2: return "The system cannot find the file specified.\r\n";
  case 3: return "The system cannot find the path specified.\r\n";
  case 5: return "Access is denied.\r\n";
  case 6: return "The handle is invalid.\r\n";
  case 8: return "Not enough memory resources are available to process this command.\r\n";
  case 13: return "The data is invalid.\r\n";
  case 19: return "The media is write protected.\r\n";
  case 21: return "The device is not ready.\r\n";
  case 27: return "The drive cannot find the sector requested.\r\n";
  case 25: return "The drive cannot locate a specific area or track on the disk.\r\n";
  case 29: return "The system cannot write to the specified device.\r\n";
  case 30: return "The system cannot read from the specified device.\r\n";
  case 31: return "A device attached to the system is not functioning.\r\n";
  case 32: return "The process cannot access the file because it is being used by another process.\r\n";
  case 33: return "The process cannot access the file because another process has locked a portion of the file.\r\n";
  case 38: return "Reached the end of the file.\r\n";
  case 50: return "The request is not supported.\r\n";
  case 87: return "The parameter is incorrect.\r\n";
  case 112: return "There is not enough space on the disk.\r\n";
  case 122: return "The data area passed to a system call is too small.\r\n";
  case 145: return "The directory is not empty.\r\n";
  case 158: return "The segment is already unlocked.\r\n";
  case 183: return "Cannot create a file when that file already exists.\r\n";
  case 267: return "The directory name is invalid.\r\n";
  case 23: return "Data error (cyclic redundancy check).\r\n";
  case 17: return "The system cannot move the file to a different disk drive.\r\n";
  case 80: return "The file exists.\r\n";
  case 123: return "The filename, directory name, or volume label syntax is incorrect.\r\n";
  case 206: return "The filename or extension is too long.\r\n";
  case 223: return "The file size exceeds the limit allowed and cannot be saved.\r\n";
  case 1005: return "The volume does not contain a recognized file system.\r\n";
  case 1392: return "The file or directory is corrupted and unreadable.\r\n";
  case 1393: return "The disk structure is corrupted and unreadable.\r\n";
  case 1921: return "The name of the file cannot be resolved by the system.\r\n";
  case 126: return "The specified module could not be found.\r\n";
  case 127: return "The specified procedure could not be found.\r\n";
  case 131: return "An attempt was made to move the file pointer before the beginning of the file.\r\n";
  case 259: return "No more data is available.\r\n";
  case 1004: return "Invalid flags.\r\n";
  case 1117: return "The request could not be performed because of an I/O device error.\r\n";
  case 1167: return "The device is not connected.\r\n";
  case 1784: return "The supplied user buffer is not valid for the requested operation.\r\n";
  default: return nullptr;
  }
}

void use_virtual_clock(bool on) { virtual_clock = on; }
std::uint64_t slept_milliseconds() { return slept; }
std::size_t sleep_calls() { return sleeps; }
void reset_sleep_count() {
  slept = 0;
  sleeps = 0;
}

void force_wow64(std::optional<bool> answer) {
  std::lock_guard guard(wow64_mutex);
  forced_wow64 = answer;
}
void hide_is_wow64_process(bool hidden) { wow64_hidden = hidden; }

std::size_t local_blocks() {
  std::lock_guard guard(local_mutex);
  return local_live.size();
}

} // namespace corvantix::emulation
