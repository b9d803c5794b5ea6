#include "platform/host/win32/dos_attributes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <mutex>
#include <sstream>
#include <string>

namespace corvantix::emulation {
namespace fs = std::filesystem;
namespace {

constexpr const char *kName = "user.dosattrib";
std::atomic<bool> refused{false};

bool unsupported(int error) { return error == ENOTSUP || error == EOPNOTSUPP; }

// The side records of the folders in use, read once and kept in step with
// what this process writes; the record's size and time tell when another
// writer changed it.
class SideRecords {
public:
  std::optional<std::uint8_t> get(const fs::path &path) {
    std::lock_guard guard(mutex_);
    Record &record = load(path.parent_path());
    auto found = record.bits.find(path.filename().string());
    if (found == record.bits.end())
      return std::nullopt;
    return found->second;
  }

  bool set(const fs::path &path, std::optional<std::uint8_t> bits) {
    std::lock_guard guard(mutex_);
    fs::path folder = path.parent_path();
    Record &record = load(folder);
    std::string name = path.filename().string();
    if (bits)
      record.bits[name] = *bits;
    else if (!record.bits.erase(name))
      return true;
    if (record.bits.empty()) { // nothing to keep: no file left behind
      records_.erase(folder.string());
      std::error_code error;
      fs::remove(file_of(folder), error);
      return !error;
    }
    return save(folder, record);
  }

private:
  struct Record {
    std::map<std::string, std::uint8_t> bits;
    struct timespec stamp = {};
    off_t size = -1;
  };

  static fs::path file_of(const fs::path &folder) {
    return (folder.empty() ? fs::path(".") : folder) / kSideRecord;
  }

  static bool same(const Record &record, const struct stat &info) {
    return record.size == info.st_size &&
           record.stamp.tv_sec == info.st_mtim.tv_sec &&
           record.stamp.tv_nsec == info.st_mtim.tv_nsec;
  }

  Record &load(const fs::path &folder) {
    Record &record = records_[folder.string()];
    struct stat info;
    if (stat(file_of(folder).c_str(), &info) != 0) {
      record = Record{};
      return record;
    }
    if (same(record, info))
      return record;
    record = Record{};
    std::ifstream in(file_of(folder), std::ios::binary);
    std::string line;
    while (std::getline(in, line))
      if (line.size() > 3 && line[2] == ' ')
        record.bits[line.substr(3)] =
            std::uint8_t(std::stoul(line.substr(0, 2), nullptr, 16));
    record.stamp = info.st_mtim;
    record.size = info.st_size;
    return record;
  }

  static bool save(const fs::path &folder, Record &record) {
    std::string text;
    char hex[4];
    for (const auto &[name, bits] : record.bits) {
      std::snprintf(hex, sizeof hex, "%02x ", bits);
      text += hex + name + '\n';
    }
    fs::path file = file_of(folder);
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                    0600);
    if (fd < 0)
      return false;
    bool done = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    struct stat info;
    done = ::fstat(fd, &info) == 0 && done;
    ::close(fd);
    if (done) {
      record.stamp = info.st_mtim;
      record.size = info.st_size;
    }
    return done;
  }

  std::mutex mutex_;
  std::map<std::string, Record> records_;
};

SideRecords &side_records() {
  static SideRecords records;
  return records;
}

} // namespace

std::uint8_t dos_attributes(const fs::path &path) {
  std::uint8_t bits = 0;
  if (!refused && lgetxattr(path.c_str(), kName, &bits, 1) == 1)
    return bits;
  if (refused || unsupported(errno))
    return side_records().get(path).value_or(0);
  return 0;
}

bool set_dos_attributes(const fs::path &path, std::uint8_t bits) {
  // No bits is no attribute: clearing one that is not there writes nothing
  // to the inode, which matters when a whole backup is cleared for removal.
  if (!refused && bits == 0 &&
      (lremovexattr(path.c_str(), kName) == 0 || errno == ENODATA))
    return true;
  if (!refused && lsetxattr(path.c_str(), kName, &bits, 1, 0) == 0)
    return true;
  if (!refused && !unsupported(errno))
    return false;
  std::error_code error;
  return fs::exists(fs::symlink_status(path, error)) &&
         side_records().set(path, bits);
}

void forget_dos_attributes(const fs::path &path) {
  side_records().set(path, std::nullopt);
}

void refuse_user_xattrs(bool refuse) { refused = refuse; }

} // namespace corvantix::emulation
