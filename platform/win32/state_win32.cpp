// The state folder of the Windows build: %LOCALAPPDATA%\Corvantix, which
// belongs to the user and, unlike %TEMP%, no clean-up empties.
#include "platform/state.h"

#include "platform/filesystem.h"
#include "platform/win32/text.h"

#include <windows.h>
#include <shlobj.h>

#include <algorithm>

namespace corvantix::platform {
namespace {

using win32::file_path;
using win32::narrow;
using win32::widen;

[[noreturn]] void fail(const std::string &path, DWORD code = GetLastError()) {
  throw FileError(code, path);
}

class Handle {
public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() {
    if (handle_ != INVALID_HANDLE_VALUE)
      CloseHandle(handle_);
  }
  Handle(const Handle &) = delete;
  Handle &operator=(const Handle &) = delete;
  explicit operator bool() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

private:
  HANDLE handle_;
};

// The variable first, as the system sets it for the user's processes;
// the shell's answer where a bare environment lacks it.
std::string local_app_data() {
  wchar_t folder[MAX_PATH] = {};
  DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", folder, MAX_PATH);
  if (length > 0 && length < MAX_PATH)
    return narrow(folder);
  if (SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE,
                       nullptr, SHGFP_TYPE_CURRENT, folder) == S_OK)
    return narrow(folder);
  fail("%LOCALAPPDATA%", ERROR_PATH_NOT_FOUND);
}

// A reparse point in place of the folder would send the records elsewhere.
void require_plain_folder(const std::string &folder) {
  DWORD attributes = GetFileAttributesW(file_path(folder).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES)
    fail(folder);
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
    fail(folder, ERROR_ACCESS_DENIED);
}

class Win32FileLock : public FileLock {
public:
  explicit Win32FileLock(HANDLE handle) : handle_(handle) {}

private:
  Handle handle_; // closing it lets the lock go
};

} // namespace

std::string state_folder() {
  std::string folder = local_app_data() + "\\Corvantix";
  // The folder inherits the user's profile's access: the user's own.
  if (!CreateDirectoryW(file_path(folder).c_str(), nullptr) &&
      GetLastError() != ERROR_ALREADY_EXISTS)
    fail(folder);
  require_plain_folder(folder);
  return folder;
}

void write_file_durably(const std::string &path, const std::string &text) {
  std::string temporary = path + ".new";
  {
    Handle file(CreateFileW(file_path(temporary).c_str(), GENERIC_WRITE, 0,
                            nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                            nullptr));
    if (!file)
      fail(temporary);
    DWORD written = 0;
    if (!WriteFile(file.get(), text.data(), DWORD(text.size()), &written,
                   nullptr) ||
        written != text.size())
      fail(temporary);
    if (!FlushFileBuffers(file.get()))
      fail(temporary);
  }
  if (!MoveFileExW(file_path(temporary).c_str(), file_path(path).c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    fail(path);
}

std::optional<std::string> read_small_file(const std::string &path) {
  Handle file(CreateFileW(file_path(path).c_str(), GENERIC_READ,
                          FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) {
    DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
      return std::nullopt;
    fail(path, code);
  }
  std::string text;
  char buffer[4096];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr))
      fail(path);
    if (got == 0)
      return text;
    text.append(buffer, got);
  }
}

std::vector<std::string> files_ending_in(const std::string &folder,
                                         const std::string &suffix) {
  std::vector<std::string> found;
  WIN32_FIND_DATAW data;
  HANDLE search =
      FindFirstFileW(file_path(folder + "\\*").c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND)
      return found;
    fail(folder);
  }
  do {
    std::string name = narrow(data.cFileName);
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
        name.size() > suffix.size() && name.ends_with(suffix))
      found.push_back(folder + "\\" + name);
  } while (FindNextFileW(search, &data));
  DWORD code = GetLastError();
  FindClose(search);
  if (code != ERROR_NO_MORE_FILES)
    fail(folder, code);
  std::sort(found.begin(), found.end());
  return found;
}

void remove_file(const std::string &path) {
  if (!DeleteFileW(file_path(path).c_str()) &&
      GetLastError() != ERROR_FILE_NOT_FOUND)
    fail(path);
}

// A handle that shares nothing but deletion is the lock: the system closes
// it when the process ends, however it ends, and the file goes with it.
std::unique_ptr<FileLock> FileLock::take(const std::string &path) {
  HANDLE handle = CreateFileW(file_path(path).c_str(),
                              GENERIC_READ | GENERIC_WRITE | DELETE,
                              FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE,
                              nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_SHARING_VIOLATION)
      return nullptr;
    fail(path);
  }
  return std::make_unique<Win32FileLock>(handle);
}

} // namespace corvantix::platform
