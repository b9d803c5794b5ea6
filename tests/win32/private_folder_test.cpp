// The backups' folder is private on Windows: made with an access list for
// the user, SYSTEM and the Administrators alone, repaired when it is the
// user's and open to others, and replaced by one in %LOCALAPPDATA%\Temp
// when it cannot be had.
#include "platform/filesystem.h"
#include "platform/win32/private_folder_win32.h"
#include "platform/win32/text.h"
#include "unit/scratch.h"
#include "unit/test_platform.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

namespace corvantix {
namespace {

using win32::widen;

// Everyone may read and write in a folder made with this list.
bool make_open_folder(const std::string &path) {
  PSECURITY_DESCRIPTOR open = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
          L"D:P(A;OICI;FA;;;WD)", SDDL_REVISION_1, &open, nullptr))
    return false;
  SECURITY_ATTRIBUTES attributes{sizeof attributes, open, FALSE};
  BOOL made = CreateDirectoryW(widen(path).c_str(), &attributes);
  LocalFree(open);
  return made;
}

// Whether the folder's list keeps out what its parent would hand down.
bool protected_list(const std::string &path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(widen(path).c_str(), SE_FILE_OBJECT,
                            DACL_SECURITY_INFORMATION, nullptr, nullptr,
                            nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
    return false;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorControl(descriptor, &control, &revision);
  LocalFree(descriptor);
  return control & SE_DACL_PROTECTED;
}

class LocalAppData {
public:
  explicit LocalAppData(const std::string &folder) {
    wchar_t old[MAX_PATH] = {};
    had_ = GetEnvironmentVariableW(L"LOCALAPPDATA", old, MAX_PATH) > 0;
    old_ = old;
    SetEnvironmentVariableW(L"LOCALAPPDATA", widen(folder).c_str());
  }
  ~LocalAppData() {
    SetEnvironmentVariableW(L"LOCALAPPDATA", had_ ? old_.c_str() : nullptr);
  }

private:
  bool had_;
  std::wstring old_;
};

TEST(PrivateFolder, IsMadeForTheUserAlone) {
  test::Scratch scratch;
  std::string folder = scratch.path("Corvantix");
  EXPECT_EQ(platform::native_file_system().private_folder(folder), folder);
  EXPECT_TRUE(win32::only_ours(folder));
  // Wine keeps an access list as the Unix mode alone, without this flag.
  if (!test::under_wine()) {
    EXPECT_TRUE(protected_list(folder));
  }
  // Asked again, it stays as it is.
  EXPECT_EQ(platform::native_file_system().private_folder(folder), folder);
}

TEST(PrivateFolder, OneOpenToOthersIsClosedOrReplaced) {
  test::Scratch scratch;
  std::string open = scratch.path("Corvantix");
  ASSERT_TRUE(make_open_folder(open)) << GetLastError();
  ASSERT_FALSE(win32::only_ours(open)) << "everyone may read it";
  LocalAppData local(scratch.path("local"));
  CreateDirectoryW(widen(scratch.path("local")).c_str(), nullptr);
  std::string got = platform::native_file_system().private_folder(open);
  // The user's own folder gets the private list (Wine, which keeps lists
  // as Unix modes, sets no list on an existing folder); otherwise the one
  // in the user's profile takes its place.
  EXPECT_TRUE(got == open || got == scratch.path("local\\Temp\\Corvantix"))
      << got;
  EXPECT_TRUE(win32::only_ours(got));
}

TEST(PrivateFolder, AFileInItsPlaceLeadsToTheProfilesTemp) {
  test::Scratch scratch;
  std::string taken = scratch.write("Corvantix", "not a folder");
  LocalAppData local(scratch.path("local"));
  CreateDirectoryW(widen(scratch.path("local")).c_str(), nullptr);
  std::string got = platform::native_file_system().private_folder(taken);
  EXPECT_EQ(got, scratch.path("local\\Temp\\Corvantix"));
  EXPECT_TRUE(win32::only_ours(got));
}

} // namespace
} // namespace corvantix
