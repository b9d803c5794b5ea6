// The read-back of a tree copied onto a volume: every entry read from the
// medium itself and compared with the host folder it came from.
#include "platform/host/win32/drive_files.h"

#include "platform/alias.h"
#include "platform/host/machine/fd.h"
#include "platform/host/win32/dos_attributes.h"
#include "platform/host/win32/drive_volume.h"
#include "platform/host/win32/host_files.h"
#include "platform/host/win32/win32_types.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>
#include <vector>

namespace corvantix::platform::drive {
namespace {

using namespace host;
using emulation::Fd;

constexpr std::size_t kChunk = 1 << 20; // bytes per read of a comparison

// Up to `size` bytes of `fd`: fewer only at its end.
std::size_t read_full(int fd, char *data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::read(fd, data + done, size - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    done += std::size_t(n);
  }
  return done;
}

// Whether the drive file `found` holds the bytes of the open host file.
bool same_bytes(Drive &drive, const Found &found, int source,
                       std::vector<char> &buffer, std::vector<char> &expected) {
  fat::FileReader reader;
  drive.check(drive.volume().OpenFile(found.below, reader), found.below);
  for (;;) {
    std::size_t got = 0;
    drive.check(reader.Read(buffer.data(), buffer.size(), got), found.below);
    std::size_t want = read_full(source, expected.data(), got ? got : 1);
    if (got == 0)
      return want == 0; // both at their ends
    if (want != got || std::memcmp(buffer.data(), expected.data(), got) != 0)
      return false;
  }
}

} // namespace

void verify_tree_in(const std::string &from, const std::string &to,
                    const CopyProgress &progress) {
  std::string top = fs::path(from).lexically_normal().string();
  while (top.size() > 1 && top.back() == '/')
    top.pop_back();
  TreeListing tree;
  walk_tree(top, top, tree);
  Drive drive(to, true);
  drive.require_folder(drive.inside());
  std::vector<char> buffer(kChunk), expected(kChunk);
  auto check = [&](const std::string &host, bool file) {
    std::string below = joined(drive.inside(), relative_to(top, host));
    auto there = drive.find(below);
    // A replaced file keeps the case of its old name, as on Windows.
    bool same = there && same_fat_name(there->name, leaf_of(below)) &&
                there->folder() != file &&
                (there->attributes & kKeptBits) ==
                    (emulation::dos_attributes(host) & kKeptBits);
    if (same && file) {
      Fd in(open_source(host));
      same = same_bytes(drive, {below, *there}, in.get(), buffer, expected);
    }
    if (!same)
      fail(drive.shown(below), ERROR_FILE_CORRUPT);
    if (file && progress)
      progress(there->size);
  };
  for (const std::string &folder : tree.folders)
    check(folder, false);
  for (const std::string &file : tree.files)
    check(file, true);
}

} // namespace corvantix::platform::drive
