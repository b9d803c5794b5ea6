#include "platform/host/machine/host_tools.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

extern char **environ;

namespace corvantix::emulation {
namespace {

std::string find_tool(const std::string &name) {
  if (name.find('/') != std::string::npos)
    return name;
  std::string dirs = std::getenv("PATH") ? std::getenv("PATH") : "";
  dirs += ":/usr/sbin:/sbin:/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string::npos)
      end = dirs.size();
    std::filesystem::path candidate =
        std::filesystem::path(dirs.substr(start, end - start)) / name;
    if (end > start && access(candidate.c_str(), X_OK) == 0)
      return candidate;
    start = end + 1;
  }
  return name;
}

// The environment of every tool: ours, with mtools told to read no
// configuration file, to accept any geometry and to spell short names in
// code page 437, as FreeDOS and Linux do, and a UTF-8 locale, in which
// mtools reads and writes long names as Unicode; its messages stay
// untranslated (C).
std::vector<std::string> tool_environment() {
  std::vector<std::string> env;
  for (char **variable = environ; *variable; ++variable) {
    std::string entry = *variable;
    if (entry.rfind("MTOOLSRC=", 0) && entry.rfind("MTOOLS_SKIP_CHECK=", 0) &&
        entry.rfind("LC_ALL=", 0) && entry.rfind("DEFAULT_CODEPAGE=", 0))
      env.push_back(entry);
  }
  env.push_back("MTOOLSRC=/dev/null");
  env.push_back("MTOOLS_SKIP_CHECK=1");
  env.push_back("LC_ALL=C.UTF-8");
  env.push_back("DEFAULT_CODEPAGE=437");
  return env;
}

class Pipe {
public:
  Pipe() {
    if (pipe2(fds_, O_CLOEXEC))
      fds_[0] = fds_[1] = -1;
  }
  ~Pipe() {
    close_read();
    close_write();
  }
  bool ok() const { return fds_[0] >= 0; }
  int read_end() const { return fds_[0]; }
  int write_end() const { return fds_[1]; }
  void close_read() {
    if (fds_[0] >= 0)
      close(fds_[0]);
    fds_[0] = -1;
  }
  void close_write() {
    if (fds_[1] >= 0)
      close(fds_[1]);
    fds_[1] = -1;
  }

private:
  int fds_[2];
};

// Reads both pipes to their ends without letting either fill up.
void drain(Pipe &out, Pipe &err, ToolResult &result) {
  pollfd fds[2] = {{out.read_end(), POLLIN, 0}, {err.read_end(), POLLIN, 0}};
  std::string *sinks[2] = {&result.out, &result.err};
  int open = 2;
  char buffer[4096];
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR)
        continue;
      return;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
        continue;
      ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        sinks[i]->append(buffer, std::size_t(got));
      } else if (got == 0 || errno != EINTR) {
        fds[i].fd = -1;
        --open;
      }
    }
  }
}

} // namespace

ToolResult run_tool(const std::vector<std::string> &argv) {
  ToolResult result;
  if (argv.empty())
    return result;
  Pipe out, err;
  if (!out.ok() || !err.ok())
    return result;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out.write_end(), 1);
  posix_spawn_file_actions_adddup2(&actions, err.write_end(), 2);

  std::vector<char *> args;
  for (const std::string &arg : argv)
    args.push_back(const_cast<char *>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> env = tool_environment();
  std::vector<char *> envp;
  for (std::string &entry : env)
    envp.push_back(entry.data());
  envp.push_back(nullptr);

  std::string path = find_tool(argv[0]);
  pid_t pid;
  int spawned = posix_spawn(&pid, path.c_str(), &actions, nullptr,
                            args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  out.close_write();
  err.close_write();
  if (spawned != 0) {
    result.err = argv[0] + ": cannot be started";
    return result;
  }
  drain(out, err, result);
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
  return result;
}

} // namespace corvantix::emulation
