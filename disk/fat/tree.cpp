#include "disk/fat/tree.h"

#include "platform/win32api.h"

#include <unordered_set>
#include <vector>

namespace corvantix::fat {
namespace {

// Windows takes no path longer than 32767 UTF-16 units; UTF-8 needs at
// most three bytes for each.
constexpr std::size_t kMaxPathBytes = 32767 * 3;

std::string joined(std::string_view folder, const std::string &name) {
  return folder.empty() ? name : std::string(folder) + "/" + name;
}

// The folders the walk is in, each with the entries it has yet to visit.
struct Frame {
  std::string path;
  std::vector<DirEntry> entries;
  std::size_t next = 0;
};

class Walk {
public:
  Walk(FatVolume &volume, const TreeVisit &visit, std::string &where)
      : volume_(volume), visit_(visit), where_(where) {}

  // Marks the start and the folders above it as met, then walks.
  std::uint32_t Run(std::string_view folder) {
    std::string path;
    DirEntry entry;
    if (std::uint32_t error = volume_.Find(path, entry))
      return Fail(path, error);
    met_.insert(entry.first_cluster);
    for (std::size_t at = 0; at < folder.size();) {
      std::size_t slash = std::min(folder.find('/', at), folder.size());
      path = joined(path, std::string(folder.substr(at, slash - at)));
      if (std::uint32_t error = volume_.Find(path, entry))
        return Fail(path, error);
      met_.insert(entry.first_cluster);
      at = slash + 1;
    }
    if (std::uint32_t error = Enter(std::string(folder)))
      return error;
    return Loop();
  }

private:
  std::uint32_t Fail(const std::string &path, std::uint32_t error) {
    where_ = path;
    return error;
  }

  std::uint32_t Enter(std::string path) {
    Frame frame{std::move(path), {}, 0};
    if (std::uint32_t error = volume_.List(frame.path, frame.entries))
      return Fail(frame.path, error);
    stack_.push_back(std::move(frame));
    return 0;
  }

  std::uint32_t Loop() {
    while (!stack_.empty()) {
      Frame &top = stack_.back();
      if (top.next == top.entries.size()) {
        stack_.pop_back();
        continue;
      }
      const DirEntry entry = std::move(top.entries[top.next++]);
      std::string path = joined(top.path, entry.name);
      if (path.size() > kMaxPathBytes)
        return Fail(top.path, ERROR_FILENAME_EXCED_RANGE);
      if (entry.folder() && !met_.insert(entry.first_cluster).second)
        return Fail(path, ERROR_FILE_CORRUPT);
      if (std::uint32_t error = visit_(path, entry))
        return Fail(path, error);
      if (entry.folder())
        if (std::uint32_t error = Enter(std::move(path)))
          return error;
    }
    return 0;
  }

  FatVolume &volume_;
  const TreeVisit &visit_;
  std::string &where_;
  std::unordered_set<std::uint32_t> met_; ///< first clusters of folders
  std::vector<Frame> stack_;
};

} // namespace

std::uint32_t WalkTree(FatVolume &volume, std::string_view folder, const TreeVisit &visit,
                       std::string &where) {
  where.clear();
  return Walk(volume, visit, where).Run(folder);
}

} // namespace corvantix::fat
