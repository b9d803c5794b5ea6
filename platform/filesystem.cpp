// The parts of the file-system service that both builds share: the error
// type, the tree copy made of single calls, and the choice between the
// platform's file system and a stand-in.
#include "platform/filesystem.h"

#include "platform/system.h"

namespace corvantix::platform {
namespace {

FileSystem *current = nullptr;

} // namespace

FileError::FileError(std::uint32_t code, std::string path)
    : std::runtime_error(system_message(code)), code_(code),
      path_(std::move(path)) {}

void FileSystem::copy_tree(const std::string &from, const std::string &to) {
  bool separator = !from.empty() && (from.back() == '\\' || from.back() == '/');
  std::size_t prefix = from.size() + (separator ? 0 : 1);
  TreeListing tree = list_tree(from);
  for (const std::string &folder : tree.folders)
    create_folders(join(to, folder.substr(prefix)));
  for (const std::string &file : tree.files)
    copy_file(file, join(to, file.substr(prefix)));
}

bool FileSystem::volume_in_use(const std::string &) { return false; }

FileSystem &file_system() {
  return current ? *current : native_file_system();
}

FileSystemOverride::FileSystemOverride(FileSystem &replacement)
    : previous_(current) {
  current = &replacement;
}

FileSystemOverride::~FileSystemOverride() { current = previous_; }

} // namespace corvantix::platform
