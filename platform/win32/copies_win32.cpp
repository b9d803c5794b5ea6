#include "platform/win32/copies_win32.h"

#include "platform/filesystem.h"
#include "platform/win32/text.h"

#include <cstring>
#include <cwchar>

namespace corvantix::platform::win32_copies {
namespace {

using win32::file_path;
using win32::widen;

[[noreturn]] void fail(const std::string &path, DWORD code = GetLastError()) {
  throw FileError(code, path);
}

/// A file handle, closed when it goes out of scope.
class FileHandle {
public:
  FileHandle(const std::string &path, DWORD flags)
      : handle_(CreateFileW(file_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ,
                            nullptr, OPEN_EXISTING, flags, nullptr)) {
    if (handle_ == INVALID_HANDLE_VALUE)
      fail(path);
  }
  ~FileHandle() { CloseHandle(handle_); }
  FileHandle(const FileHandle &) = delete;
  FileHandle &operator=(const FileHandle &) = delete;
  HANDLE get() const { return handle_; }

private:
  HANDLE handle_;
};

DWORD read_some(HANDLE file, char *data, DWORD size, const std::string &path) {
  DWORD done = 0;
  if (!ReadFile(file, data, size, &done, nullptr))
    fail(path);
  return done;
}

} // namespace

AlignedBuffer::AlignedBuffer(DWORD size)
    : size_(size), data_(static_cast<char *>(VirtualAlloc(
                       nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE))) {
  if (!data_)
    fail("VirtualAlloc");
}

AlignedBuffer::~AlignedBuffer() { VirtualFree(data_, 0, MEM_RELEASE); }

bool same_bytes(const std::string &source, const std::string &target,
                const AlignedBuffer &expected, const AlignedBuffer &found) {
  FileHandle in(source, FILE_FLAG_SEQUENTIAL_SCAN);
  FileHandle copy(target, FILE_FLAG_NO_BUFFERING | FILE_FLAG_SEQUENTIAL_SCAN);
  for (;;) {
    DWORD got = read_some(copy.get(), found.data(), found.size(), target);
    DWORD want = 0;
    while (want < got) { // a buffered read may come in parts
      DWORD part = read_some(in.get(), expected.data() + want, got - want, source);
      if (part == 0)
        return false;
      want += part;
    }
    if (std::memcmp(expected.data(), found.data(), got) != 0)
      return false;
    if (got < found.size())
      return read_some(in.get(), expected.data(), 1, source) == 0;
  }
}

// Puts every write to the volume that holds `folder` on its medium: one
// flush of the volume instead of one per file. Flushing a volume needs
// administrator rights, which the program has. False when the volume has
// no drive letter or cannot be flushed as a whole (some file systems only
// flush files): then each file is.
bool flush_volume_of(const std::string &folder) {
  std::wstring full = win32::full_path(widen(folder));
  wchar_t root[MAX_PATH] = {};
  if (full.empty() || !GetVolumePathNameW(full.c_str(), root, MAX_PATH) ||
      std::wcslen(root) != 3 || root[1] != L':')
    return false;
  std::wstring device = L"\\\\.\\" + std::wstring(root, 2);
  HANDLE volume = CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (volume == INVALID_HANDLE_VALUE)
    return false;
  BOOL flushed = FlushFileBuffers(volume);
  CloseHandle(volume);
  return flushed;
}

void flush_file(const std::string &file) {
  HANDLE handle = CreateFileW(file_path(file).c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    fail(file);
  BOOL flushed = FlushFileBuffers(handle);
  DWORD code = GetLastError();
  CloseHandle(handle);
  if (!flushed)
    fail(file, code);
}

// Gives `to` the creation time of `from` and, for a folder, whose write
// time its new entries changed, the write time too. A folder opens only
// with backup semantics; writing attributes needs no write access to the
// data, so a read-only copy takes its times as well.
void keep_times(const std::string &from, const std::string &to, bool folder) {
  WIN32_FILE_ATTRIBUTE_DATA source;
  if (!GetFileAttributesExW(file_path(from).c_str(), GetFileExInfoStandard,
                            &source))
    fail(from);
  HANDLE target = CreateFileW(
      file_path(to).c_str(), FILE_WRITE_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, folder ? FILE_FLAG_BACKUP_SEMANTICS : 0, nullptr);
  if (target == INVALID_HANDLE_VALUE)
    fail(to);
  BOOL set = SetFileTime(target, &source.ftCreationTime, nullptr,
                         folder ? &source.ftLastWriteTime : nullptr);
  DWORD code = GetLastError();
  CloseHandle(target);
  if (!set)
    fail(to, code);
}

} // namespace corvantix::platform::win32_copies
