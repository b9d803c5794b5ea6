// The file system of the Windows build, on the wide Win32 file calls.
#include "platform/filesystem.h"

#include "platform/alias.h"
#include "platform/win32/copies_win32.h"
#include "platform/win32/private_folder_win32.h"
#include "platform/win32/text.h"
#include "platform/win32/volume_holder_win32.h"

#include <windows.h>
#include <bcrypt.h>

namespace corvantix::platform {
namespace {

using namespace win32_copies;
using win32::file_path;
using win32::narrow;
using win32::widen;

[[noreturn]] void fail(const std::string &path, DWORD code = GetLastError()) {
  throw FileError(code, path);
}

bool ends_with_separator(const std::string &path) {
  return !path.empty() && (path.back() == '\\' || path.back() == '/');
}

std::string join_path(const std::string &folder, const std::string &name) {
  if (folder.empty() || ends_with_separator(folder))
    return folder + name;
  return folder + '\\' + name;
}

bool is_folder(const std::string &path) {
  DWORD attributes = GetFileAttributesW(file_path(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The folder that holds `path`; the path itself for a root such as "E:\".
std::string parent_of(const std::string &path) {
  std::string trimmed = path;
  while (ends_with_separator(trimmed))
    trimmed.pop_back();
  std::size_t cut = trimmed.find_last_of("\\/");
  if (cut == std::string::npos)
    return path;
  std::string parent = trimmed.substr(0, cut);
  if (parent.size() == 2 && parent[1] == ':')
    parent += '\\';
  return parent;
}

class FindHandle {
public:
  explicit FindHandle(HANDLE handle) : handle_(handle) {}
  ~FindHandle() {
    if (handle_ != INVALID_HANDLE_VALUE)
      FindClose(handle_);
  }
  FindHandle(const FindHandle &) = delete;
  FindHandle &operator=(const FindHandle &) = delete;
  HANDLE get() const { return handle_; }

private:
  HANDLE handle_;
};

struct Entry {
  std::string path;
  DWORD attributes;
};

// The entries directly inside `folder`, without "." and "..". An empty
// drive root has not even those, which is no failure.
std::vector<Entry> entries_of(const std::string &folder) {
  WIN32_FIND_DATAW data;
  FindHandle find(FindFirstFileExW(file_path(join_path(folder, "*")).c_str(),
                                   FindExInfoBasic, &data,
                                   FindExSearchNameMatch, nullptr, 0));
  std::vector<Entry> entries;
  if (find.get() == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND && is_folder(folder))
      return entries;
    fail(folder, code == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND : code);
  }
  do {
    std::wstring name = data.cFileName;
    if (name == L"." || name == L"..")
      continue;
    entries.push_back({join_path(folder, narrow(name)), data.dwFileAttributes});
  } while (FindNextFileW(find.get(), &data));
  if (GetLastError() != ERROR_NO_MORE_FILES)
    fail(folder);
  return entries;
}

bool descends(const Entry &entry) {
  return (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) &&
         !(entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// "E:\": where Windows keeps its own folder.
bool is_drive_root(const std::string &path) {
  return path.size() == 3 && path[1] == ':' && ends_with_separator(path);
}

void walk(const std::string &folder, TreeListing &listing) {
  bool root = is_drive_root(folder);
  for (const Entry &entry : entries_of(folder)) {
    if (root && is_windows_own_folder(
                    entry.path.substr(folder.size()), entry.attributes))
      continue; // not the user's, and closed to administrators too
    if (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) {
      listing.folders.push_back(entry.path);
      if (descends(entry))
        walk(entry.path, listing);
    } else {
      listing.files.push_back(entry.path);
    }
  }
}

void remove_tree(const std::string &folder) {
  for (const Entry &entry : entries_of(folder)) {
    if (descends(entry))
      remove_tree(entry.path);
    else if (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (!RemoveDirectoryW(file_path(entry.path).c_str()))
        fail(entry.path);
    } else if (!DeleteFileW(file_path(entry.path).c_str())) {
      fail(entry.path);
    }
  }
  if (!RemoveDirectoryW(file_path(folder).c_str()))
    fail(folder);
}

class Win32File : public WritableFile {
public:
  Win32File(HANDLE handle, std::string path)
      : handle_(handle), path_(std::move(path)) {}
  ~Win32File() override { CloseHandle(handle_); }

  std::size_t write(const char *data, std::size_t size) override {
    DWORD written = 0;
    if (!WriteFile(handle_, data, DWORD(size), &written, nullptr))
      fail(path_);
    return written;
  }

  void flush() override {
    if (!FlushFileBuffers(handle_))
      fail(path_);
  }

private:
  HANDLE handle_;
  std::string path_;
};

class Win32FileSystem : public FileSystem {
public:
  std::string full_path(const std::string &path) override {
    std::wstring full = win32::full_path(widen(path));
    if (full.empty())
      fail(path);
    return narrow(full);
  }

  std::string join(const std::string &folder,
                   const std::string &name) override {
    return join_path(folder, name);
  }

  std::string temp_folder() override {
    wchar_t path[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, path);
    if (length == 0 || length > MAX_PATH)
      fail("TEMP");
    return narrow(std::wstring(path, length));
  }

  std::string private_folder(const std::string &folder) override {
    create_folders(parent_of(folder));
    return win32::private_folder(folder);
  }

  TreeListing list_tree(const std::string &folder) override {
    TreeListing listing;
    walk(folder, listing);
    return listing;
  }

  bool folder_empty(const std::string &folder) override {
    return entries_of(folder).empty();
  }

  void create_folders(const std::string &folder) override {
    if (is_folder(folder))
      return;
    if (CreateDirectoryW(file_path(folder).c_str(), nullptr))
      return;
    DWORD code = GetLastError();
    std::string parent = parent_of(folder);
    if (code == ERROR_PATH_NOT_FOUND && parent != folder) {
      create_folders(parent);
      if (CreateDirectoryW(file_path(folder).c_str(), nullptr))
        return;
      code = GetLastError();
    }
    if (code == ERROR_ALREADY_EXISTS && is_folder(folder))
      return;
    fail(folder, code);
  }

  bool create_new_folder(const std::string &folder) override {
    if (CreateDirectoryW(file_path(folder).c_str(), nullptr))
      return true;
    DWORD code = GetLastError();
    if (code == ERROR_ALREADY_EXISTS)
      return false;
    fail(folder, code);
  }

  // The copy is a new file to the system, created now: it gets the
  // source's creation time afterwards (CopyFileW keeps the write time).
  void copy_file(const std::string &from, const std::string &to) override {
    if (!CopyFileW(file_path(from).c_str(), file_path(to).c_str(), FALSE))
      fail(to);
    keep_times(from, to, false);
  }

  // A tree copy is on the medium when it returns: a backup must outlive a
  // power loss before the stick changes, and a restore is read back from
  // the stick itself.
  void copy_tree(const std::string &from, const std::string &to,
                 const CopyProgress &progress = nullptr) override {
    FileSystem::copy_tree(from, to, progress);
    if (flush_volume_of(to))
      return;
    std::size_t prefix = from.size() + (ends_with_separator(from) ? 0 : 1);
    for (const std::string &file : list_tree(from).files)
      flush_file(join_path(to, file.substr(prefix)));
  }

  // FindFirstFile reports the entry a name opens, under its long name,
  // where CreateFile would take a short alias as well.
  std::optional<std::string> entry_name(const std::string &path) override {
    WIN32_FIND_DATAW data;
    FindHandle find(FindFirstFileExW(file_path(path).c_str(), FindExInfoBasic,
                                     &data, FindExSearchNameMatch, nullptr, 0));
    if (find.get() == INVALID_HANDLE_VALUE) {
      DWORD code = GetLastError();
      if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
        return std::nullopt;
      fail(path, code);
    }
    return narrow(data.cFileName);
  }

  void rename(const std::string &from, const std::string &to) override {
    if (!MoveFileExW(file_path(from).c_str(), file_path(to).c_str(), 0))
      fail(from);
  }

  void copy_folder_times(const std::string &from,
                         const std::string &to) override {
    keep_times(from, to, true);
  }

  std::uint64_t file_bytes(const std::string &file) override {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(file_path(file).c_str(), GetFileExInfoStandard,
                              &data))
      fail(file);
    return std::uint64_t(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
  }

  std::uint64_t tree_bytes(const std::string &folder) override {
    std::uint64_t bytes = 0;
    for (const std::string &file : list_tree(folder).files)
      bytes += file_bytes(file);
    return bytes;
  }

  void verify_tree(const std::string &from, const std::string &to,
                   const CopyProgress &progress = nullptr) override {
    std::size_t prefix = from.size() + (ends_with_separator(from) ? 0 : 1);
    TreeListing tree = list_tree(from);
    AlignedBuffer expected(1 << 20), found(1 << 20);
    auto check = [&](const std::string &source, bool file) {
      std::string target = join_path(to, source.substr(prefix));
      std::string name = source.substr(source.find_last_of("\\/") + 1);
      // A replaced file keeps the case of the name it had (CONFIG.SYS for
      // a user's config.sys), as Windows' copy keeps it; another name, an
      // alias among them, is a difference.
      std::optional<std::string> there = entry_name(target);
      bool same = there && same_fat_name(*there, name) &&
                  (attributes(target) & kKeptBits) ==
                      (attributes(source) & kKeptBits) &&
                  (!file || same_bytes(source, target, expected, found));
      if (!same)
        fail(target, ERROR_FILE_CORRUPT);
    };
    for (const std::string &folder : tree.folders)
      check(folder, false);
    for (const std::string &file : tree.files) {
      check(file, true);
      if (progress)
        progress(file_bytes(file));
    }
  }

  std::uint32_t attributes(const std::string &path) override {
    DWORD attributes = GetFileAttributesW(file_path(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
      fail(path);
    return attributes;
  }

  void set_attributes(const std::string &path,
                      std::uint32_t attributes) override {
    if (attributes == 0)
      attributes = FILE_ATTRIBUTE_NORMAL;
    if (!SetFileAttributesW(file_path(path).c_str(), attributes))
      fail(path);
  }

  void delete_tree(const std::string &folder) override { remove_tree(folder); }

  std::unique_ptr<WritableFile> create_file(const std::string &path) override {
    HANDLE handle = CreateFileW(file_path(path).c_str(),
                                GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
      fail(path);
    return std::make_unique<Win32File>(handle, path);
  }

  void random_bytes(void *buffer, std::size_t size) override {
    NTSTATUS status =
        BCryptGenRandom(nullptr, static_cast<PUCHAR>(buffer), ULONG(size),
                        BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (status < 0)
      fail("BCryptGenRandom", ERROR_GEN_FAILURE);
  }

  std::string volume_holder(const std::string &root) override {
    return win32::volume_holder(root);
  }

  // A removable drive without a medium would ask the user to insert one;
  // the question is only whether the volume answers.
  bool volume_ready(const std::string &root) override {
    std::string drive = ends_with_separator(root) ? root : root + '\\';
    DWORD previous = 0;
    SetThreadErrorMode(SEM_FAILCRITICALERRORS, &previous);
    BOOL ready = GetVolumeInformationW(widen(drive).c_str(), nullptr, 0,
                                       nullptr, nullptr, nullptr, nullptr, 0);
    SetThreadErrorMode(previous, nullptr);
    return ready != FALSE;
  }
};

} // namespace

FileSystem &native_file_system() {
  static Win32FileSystem file_system;
  return file_system;
}

} // namespace corvantix::platform
