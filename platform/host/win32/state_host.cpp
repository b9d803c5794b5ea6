// The state folder of the host build: $XDG_STATE_HOME/corvantix, by
// default ~/.local/state/corvantix, as the XDG base directories have it.
#include "platform/state.h"

#include "platform/host/machine/fd.h"
#include "platform/host/machine/machine.h"
#include "platform/host/win32/host_files.h"
#include "platform/host/win32/win32_types.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace corvantix::platform {
namespace {

using emulation::Fd;
using host::fail;
using host::fail_errno;
namespace fs = std::filesystem;

std::string home_folder() {
  if (const char *home = std::getenv("HOME"); home && *home == '/')
    return home;
  if (const passwd *entry = ::getpwuid(::geteuid()); entry && entry->pw_dir)
    return entry->pw_dir;
  fail("HOME", ERROR_PATH_NOT_FOUND);
}

// Only the last part is made private: the parents are the user's own
// folders, made as the user would have them (XDG asks for 0700 as well).
void make_parents(const fs::path &folder) {
  std::error_code error;
  fs::create_directories(folder, error);
  if (error)
    fail(folder.string(), host::win32_code(error.value()));
}

void sync_folder(const fs::path &folder) {
  Fd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0 || ::fsync(fd.get()) != 0)
    fail_errno(folder.string());
}

class HostFileLock : public FileLock {
public:
  explicit HostFileLock(int fd) : fd_(fd) {}

private:
  Fd fd_; // closing it lets the lock go
};

} // namespace

std::string state_folder() {
  const char *xdg = std::getenv("XDG_STATE_HOME");
  // The base directories say a relative path is to be ignored.
  fs::path base = xdg && *xdg == '/' ? fs::path(xdg)
                                     : fs::path(home_folder()) / ".local/state";
  make_parents(base);
  fs::path folder = base / "corvantix";
  if (std::uint32_t code = emulation::make_private_folder(folder))
    fail(folder.string(), code);
  return folder.string();
}

void write_file_durably(const std::string &path, const std::string &text) {
  std::string temporary = path + ".new";
  {
    Fd fd(::open(temporary.c_str(),
                 O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() < 0)
      fail_errno(temporary);
    host::write_all(fd.get(), text.data(), text.size(), temporary);
    if (::fsync(fd.get()) != 0)
      fail_errno(temporary);
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0)
    fail_errno(path);
  sync_folder(fs::path(path).parent_path());
}

std::optional<std::string> read_small_file(const std::string &path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ENOENT)
      return std::nullopt;
    fail_errno(path);
  }
  std::string text;
  char buffer[4096];
  for (;;) {
    ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0)
      fail_errno(path);
    if (got == 0)
      return text;
    text.append(buffer, std::size_t(got));
  }
}

std::vector<std::string> files_ending_in(const std::string &folder,
                                         const std::string &suffix) {
  std::vector<std::string> found;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    std::string name = it->path().filename().string();
    if (name.size() > suffix.size() && name.ends_with(suffix) &&
        it->is_regular_file(error))
      found.push_back(it->path().string());
  }
  if (error)
    fail(folder, host::win32_code(error.value()));
  std::sort(found.begin(), found.end());
  return found;
}

void remove_file(const std::string &path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT)
    fail_errno(path);
}

// Whether `path` still names the file open as `fd`: another process may
// have removed a lock file that it found free between our open and flock.
static bool still_there(int fd, const std::string &path) {
  struct stat open {}, named {};
  return ::fstat(fd, &open) == 0 && ::stat(path.c_str(), &named) == 0 &&
         open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

std::unique_ptr<FileLock> FileLock::take(const std::string &path) {
  for (;;) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
      fail_errno(path);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      int error = errno;
      ::close(fd);
      if (error == EWOULDBLOCK)
        return nullptr;
      fail_errno(path, error);
    }
    if (still_there(fd, path))
      return std::make_unique<HostFileLock>(fd);
    ::close(fd);
  }
}

} // namespace corvantix::platform
