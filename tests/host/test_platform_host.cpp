#include "unit/test_platform.h"

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace corvantix::test {

bool under_wine() { return false; }

} // namespace corvantix::test

namespace {

// Each test process keeps its run records in a folder of its own, never
// in the user's state folder, and drops them at its end.
struct TestStateFolder {
  TestStateFolder() {
    const char *base = std::getenv("CORVANTIX_TEST_TMP");
    std::filesystem::path root =
        base && *base ? base : std::filesystem::temp_directory_path().string();
    std::filesystem::create_directories(root);
    std::string pattern = (root / "state-XXXXXX").string();
    if (::mkdtemp(pattern.data())) {
      folder = pattern;
      ::setenv("XDG_STATE_HOME", folder.c_str(), 1);
    }
  }
  ~TestStateFolder() {
    std::error_code ignored;
    if (!folder.empty())
      std::filesystem::remove_all(folder, ignored);
  }
  std::string folder;
} test_state_folder;

} // namespace
