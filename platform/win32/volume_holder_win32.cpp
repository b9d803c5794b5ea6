#include "platform/win32/volume_holder_win32.h"

#include "platform/win32/text.h"

#include <windows.h>
#include <restartmanager.h>

#include <vector>

namespace corvantix::win32 {
namespace {

// Enough files to find a program that is copying, scanning or showing some
// of them, without asking about every file of a large stick.
constexpr std::size_t kMostFiles = 2000;
constexpr std::size_t kMostNames = 3;

class RestartSession {
public:
  RestartSession() {
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
    started_ = RmStartSession(&handle_, 0, key) == ERROR_SUCCESS;
  }
  ~RestartSession() {
    if (started_)
      RmEndSession(handle_);
  }
  RestartSession(const RestartSession &) = delete;
  RestartSession &operator=(const RestartSession &) = delete;

  explicit operator bool() const { return started_; }
  DWORD handle() const { return handle_; }

private:
  DWORD handle_ = 0;
  bool started_ = false;
};

// Files below `folder`, the shallow ones first, up to kMostFiles.
void gather_files(const std::wstring &root, std::vector<std::wstring> &files) {
  std::vector<std::wstring> folders{root};
  for (std::size_t next = 0; next < folders.size(); ++next) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileExW((folders[next] + L"*").c_str(),
                                   FindExInfoBasic, &data,
                                   FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE)
      continue;
    do {
      std::wstring name = data.cFileName;
      if (name == L"." || name == L"..")
        continue;
      if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        files.push_back(folders[next] + name);
      else if (!(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        folders.push_back(folders[next] + name + L"\\");
    } while (files.size() < kMostFiles && FindNextFileW(find, &data));
    FindClose(find);
    if (files.size() >= kMostFiles)
      break;
  }
}

} // namespace

std::string volume_holder(const std::string &root) {
  std::wstring top = widen(root);
  if (top.empty() || top.back() != L'\\')
    top += L'\\';
  std::vector<std::wstring> files;
  gather_files(top, files);
  RestartSession session;
  if (files.empty() || !session)
    return {};
  std::vector<LPCWSTR> names;
  for (const std::wstring &file : files)
    names.push_back(file.c_str());
  if (RmRegisterResources(session.handle(), UINT(names.size()), names.data(),
                          0, nullptr, 0, nullptr) != ERROR_SUCCESS)
    return {};
  std::vector<RM_PROCESS_INFO> found;
  UINT needed = 0, count = 0;
  DWORD reasons = 0, code;
  while ((code = RmGetList(session.handle(), &needed, &count, found.data(),
                           &reasons)) == ERROR_MORE_DATA) {
    found.resize(needed);
    count = needed;
  }
  if (code != ERROR_SUCCESS)
    return {};
  std::string programs;
  std::vector<std::wstring> named;
  for (UINT i = 0; i < count && named.size() < kMostNames; ++i) {
    std::wstring name = found[i].strAppName;
    if (name.empty() || found[i].Process.dwProcessId == GetCurrentProcessId())
      continue;
    bool seen = false;
    for (const std::wstring &other : named)
      seen = seen || other == name;
    if (seen)
      continue;
    named.push_back(name);
    programs += (programs.empty() ? "" : ", ") + narrow(name);
  }
  return programs;
}

} // namespace corvantix::win32
