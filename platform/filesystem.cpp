// The parts of the file-system service that both builds share: the error
// type, the tree copy made of single calls, and the choice between the
// platform's file system and a stand-in.
#include "platform/filesystem.h"

#include "disk/fat/names.h"
#include "platform/alias.h"
#include "platform/system.h"
#include "platform/win32api.h"

#include <algorithm>
#include <tuple>

namespace corvantix::platform {
namespace {

FileSystem *current = nullptr;

} // namespace

namespace {

// A damaged file system is told with the place where the damage shows, so
// that whoever reads the message knows which folder to look at.
std::string text_of(std::uint32_t code, const std::string &path) {
  std::string text = system_message(code);
  if ((code == ERROR_FILE_CORRUPT || code == ERROR_DISK_CORRUPT) && !path.empty())
    text += " (" + path + ")";
  return text;
}

} // namespace

FileError::FileError(std::uint32_t code, std::string path)
    : std::runtime_error(text_of(code, path)), code_(code),
      path_(std::move(path)) {}

namespace {

std::string leaf_of(const std::string &path) {
  std::size_t cut = path.find_last_of("\\/");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::size_t depth_of(const std::string &path) {
  return std::size_t(std::count_if(path.begin(), path.end(), [](char c) {
    return c == '\\' || c == '/';
  }));
}

} // namespace

std::string windows_typed_path(const std::string &path) {
  if (path.rfind("\\\\?\\", 0) == 0 || path.rfind("\\\\.\\", 0) == 0)
    return path;
  std::string trimmed;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = path.find_first_of("\\/", start);
    bool last = end == std::string::npos;
    std::string name = path.substr(start, last ? end : end - start);
    if (name.find_first_not_of('.') != std::string::npos) {
      if (last)
        name.erase(name.find_last_not_of(". ") + 1);
      else if (name.back() == '.')
        name.pop_back();
    }
    trimmed += name;
    if (last)
      return trimmed;
    trimmed += path[end];
    start = end + 1;
  }
}

bool is_short_name(const std::string &name) {
  auto wide = fat::utf16_of(name);
  return wide && fat::exact_short_name(*wide);
}

bool same_fat_name(const std::string &a, const std::string &b) {
  auto wide_a = fat::utf16_of(a), wide_b = fat::utf16_of(b);
  return wide_a && wide_b ? fat::same_name(*wide_a, *wide_b) : a == b;
}

bool is_windows_own_folder(const std::string &name, std::uint32_t attributes) {
  constexpr std::uint32_t kOwnBits =
      kAttributeDirectory | kAttributeHidden | kAttributeSystem;
  return (attributes & kOwnBits) == kOwnBits &&
         same_fat_name(name, "System Volume Information");
}

// Within a folder, plain 8.3 names come before long ones: made first, they
// keep their own short names, and no long name's alias takes them.
void order_for_copy(std::vector<std::string> &paths) {
  struct Keyed {
    std::size_t depth;
    bool long_name;
    std::string *path;
  };
  std::vector<Keyed> keyed;
  keyed.reserve(paths.size());
  for (std::string &path : paths)
    keyed.push_back({depth_of(path), !is_short_name(leaf_of(path)), &path});
  std::stable_sort(keyed.begin(), keyed.end(), [](const Keyed &a, const Keyed &b) {
    return std::tie(a.depth, a.long_name) < std::tie(b.depth, b.long_name);
  });
  std::vector<std::string> ordered;
  ordered.reserve(paths.size());
  for (const Keyed &entry : keyed)
    ordered.push_back(std::move(*entry.path));
  paths = std::move(ordered);
}

void FileSystem::make_beside_alias(const std::string &target,
                                   const std::function<void()> &make) {
  std::string name = leaf_of(target);
  std::string folder = target.substr(0, target.size() - name.size());
  platform::make_beside_alias(
      name, aside_name(), [&] { return entry_name(target); },
      [&](const std::string &from, const std::string &to) {
        rename(join(folder, from), join(folder, to));
      },
      make);
}

std::string FileSystem::aside_name() {
  static constexpr char kDigits[] = "0123456789abcdef";
  unsigned char bytes[6];
  random_bytes(bytes, sizeof bytes);
  std::string name = "~cvx";
  for (unsigned char byte : bytes) {
    name.push_back(kDigits[byte >> 4]);
    name.push_back(kDigits[byte & 15]);
  }
  return name + ".tmp";
}

void FileSystem::copy_tree(const std::string &from, const std::string &to,
                           const CopyProgress &progress) {
  bool separator = !from.empty() && (from.back() == '\\' || from.back() == '/');
  std::size_t prefix = from.size() + (separator ? 0 : 1);
  TreeListing tree = list_tree(from);
  order_for_copy(tree.folders);
  order_for_copy(tree.files);
  for (const std::string &folder : tree.folders) {
    std::string target = join(to, folder.substr(prefix));
    make_beside_alias(target, [&] { create_folders(target); });
  }
  for (const std::string &file : tree.files) {
    std::string target = join(to, file.substr(prefix));
    make_beside_alias(target, [&] { copy_file(file, target); });
    if (progress)
      progress(file_bytes(file));
  }
  // Last: a read-only folder may refuse new entries on some systems.
  for (auto folder = tree.folders.rbegin(); folder != tree.folders.rend();
       ++folder) {
    std::string target = join(to, folder->substr(prefix));
    std::uint32_t bits = attributes(*folder) & kCopiedFolderBits;
    if (bits)
      set_attributes(target, bits);
    copy_folder_times(*folder, target);
  }
}

std::string FileSystem::typed_path(const std::string &path) {
  return windows_typed_path(path);
}

bool FileSystem::volume_in_use(const std::string &) { return false; }

std::string FileSystem::volume_user(const std::string &) { return {}; }

std::string FileSystem::volume_holder(const std::string &) { return {}; }

void FileSystem::end_volume_use(const std::string &, bool) {}

FileSystem &file_system() {
  return current ? *current : native_file_system();
}

FileSystemOverride::FileSystemOverride(FileSystem &replacement)
    : previous_(current) {
  current = &replacement;
}

FileSystemOverride::~FileSystemOverride() { current = previous_; }

} // namespace corvantix::platform
