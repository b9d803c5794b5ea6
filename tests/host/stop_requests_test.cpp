// The stop requests of terminal runs, in a child process, as signals reach
// them: the first request says for every changing run that it goes on, the
// second names each one's folder and ends the program with 130; a run that
// has ended is no longer named.
#include "platform/stop_requests.h"

#include "emulated_machine.h"
#include "stick_files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace corvantix {
namespace {

namespace fs = std::filesystem;

TEST(StopRequests, TheArmedRunsSpeakAndTheSecondRequestEndsWith130) {
  test::TempFolder folder;
  fs::path said = folder.path() / "stderr.txt";
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int out = ::open(said.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(out, STDERR_FILENO);
    platform::StopRequests stops;
    stops.arm("E goes on", "E: files in /b/e");
    std::size_t ended = stops.arm("F goes on", "F: files in /b/f");
    stops.arm("G goes on", "G: files in /b/g");
    stops.disarm(ended);
    ::raise(SIGINT);
    bool counted = stops.count() == 1;
    ::raise(SIGTERM);
    ::_exit(counted ? 0 : 2); // only reached when the second did not end it
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 130);
  EXPECT_EQ(test::slurp(said), "\nE goes on\n\nG goes on\n"
                               "\nE: files in /b/e\n\nG: files in /b/g\n");
}

// Before any run changes its stick, requests only count: each run stops
// itself.
TEST(StopRequests, WithoutArmedRunsRequestsOnlyCount) {
  platform::StopRequests stops;
  std::size_t slot = stops.arm("going on", "stopping");
  stops.disarm(slot);
  ::raise(SIGINT);
  ::raise(SIGHUP);
  EXPECT_EQ(stops.count(), 2);
}

} // namespace
} // namespace corvantix
