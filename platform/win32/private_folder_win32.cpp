#include "platform/win32/private_folder_win32.h"

#include "platform/filesystem.h"
#include "platform/win32/text.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <memory>

namespace corvantix::win32 {
namespace {

// Memory that the security calls hand out, freed with LocalFree.
struct LocalFreer {
  void operator()(void *memory) const { LocalFree(memory); }
};
template <class T> using LocalPtr = std::unique_ptr<T, LocalFreer>;

// The SID of the user the process runs as, in its string form.
std::wstring user_sid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
    return {};
  std::unique_ptr<void, decltype(&CloseHandle)> closing(token, &CloseHandle);
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::unique_ptr<BYTE[]> buffer(new BYTE[size ? size : 1]);
  wchar_t *text = nullptr;
  if (!size || !GetTokenInformation(token, TokenUser, buffer.get(), size, &size) ||
      !ConvertSidToStringSidW(
          reinterpret_cast<TOKEN_USER *>(buffer.get())->User.Sid, &text))
    return {};
  LocalPtr<wchar_t> owned(text);
  return text;
}

// Full control for the user, SYSTEM and the Administrators, handed down to
// everything inside; nothing inherited from the folder above.
LocalPtr<void> private_descriptor(const std::wstring &user) {
  std::wstring sddl = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" +
                      user + L")";
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
          sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
    return nullptr;
  return LocalPtr<void>(descriptor);
}

bool is_sid(PSID sid, WELL_KNOWN_SID_TYPE type) {
  return IsWellKnownSid(sid, type) != FALSE;
}

bool trusted(PSID sid, PSID user) {
  return (user && EqualSid(sid, user)) || is_sid(sid, WinLocalSystemSid) ||
         is_sid(sid, WinBuiltinAdministratorsSid);
}

// The rights that would show another user the backup, or let him change it.
constexpr ACCESS_MASK kReadOrWrite =
    FILE_READ_DATA | FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_EXECUTE |
    WRITE_DAC | WRITE_OWNER | GENERIC_READ | GENERIC_WRITE | GENERIC_ALL;

bool private_to(const std::string &folder, PSID user) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(file_path(folder).c_str(), SE_FILE_OBJECT,
                            OWNER_SECURITY_INFORMATION |
                                DACL_SECURITY_INFORMATION,
                            &owner, nullptr, &dacl, nullptr,
                            &descriptor) != ERROR_SUCCESS)
    return false;
  LocalPtr<void> owned(descriptor);
  if (!owner || !trusted(owner, user) || !dacl) // no list: open to all
    return false;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACE_HEADER *header = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void **>(&header)))
      return false;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE ||
        (header->AceFlags & INHERIT_ONLY_ACE))
      continue;
    auto *ace = reinterpret_cast<ACCESS_ALLOWED_ACE *>(header);
    if ((ace->Mask & kReadOrWrite) &&
        !trusted(reinterpret_cast<PSID>(&ace->SidStart), user))
      return false;
  }
  return true;
}

bool plain_folder(const std::string &folder) {
  DWORD attributes = GetFileAttributesW(file_path(folder).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
         !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Makes `folder` private, or says why it cannot be: 0 or a Win32 code.
DWORD make_private(const std::string &folder, const std::wstring &user) {
  LocalPtr<void> descriptor = private_descriptor(user);
  if (user.empty() || !descriptor)
    return ERROR_INVALID_SECURITY_DESCR;
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
  if (CreateDirectoryW(file_path(folder).c_str(), &attributes))
    return 0;
  DWORD code = GetLastError();
  if (code != ERROR_ALREADY_EXISTS)
    return code;
  if (!plain_folder(folder))
    return ERROR_ACCESS_DENIED; // a file, or a link that leads elsewhere
  if (only_ours(folder))
    return 0;
  // Ours, but open to others: the private list replaces what it had.
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted);
  code = SetNamedSecurityInfoW(
      const_cast<wchar_t *>(file_path(folder).c_str()), SE_FILE_OBJECT,
      DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
      nullptr, nullptr, dacl, nullptr);
  if (code != ERROR_SUCCESS)
    return code;
  return only_ours(folder) ? 0 : ERROR_ACCESS_DENIED;
}

std::string local_temp() {
  wchar_t folder[MAX_PATH] = {};
  DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH)
    return {};
  return narrow(folder) + "\\Temp";
}

std::string leaf_of(const std::string &path) {
  std::size_t cut = path.find_last_of("\\/");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

} // namespace

bool only_ours(const std::string &folder) {
  std::wstring text = user_sid();
  PSID user = nullptr;
  if (text.empty() || !ConvertStringSidToSidW(text.c_str(), &user))
    return false;
  LocalPtr<void> owned(user);
  return plain_folder(folder) && private_to(folder, user);
}

std::string private_folder(const std::string &folder) {
  std::wstring user = user_sid();
  DWORD code = make_private(folder, user);
  if (!code)
    return folder;
  // %TEMP% may be a folder that all users share; the user's own profile
  // keeps a temporary folder of its own.
  std::string parent = local_temp();
  std::string fallback = parent + "\\" + leaf_of(folder);
  if (parent.empty() || fallback == folder)
    throw platform::FileError(code, folder);
  CreateDirectoryW(file_path(parent).c_str(), nullptr);
  if (make_private(fallback, user))
    throw platform::FileError(code, folder);
  return fallback;
}

} // namespace corvantix::win32
