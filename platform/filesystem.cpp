// The parts of the file-system service that both builds share: the error
// type and the choice between the platform's file system and a stand-in.
#include "platform/filesystem.h"

#include "platform/system.h"

namespace corvantix::platform {
namespace {

FileSystem *current = nullptr;

} // namespace

FileError::FileError(std::uint32_t code, std::string path)
    : std::runtime_error(system_message(code)), code_(code),
      path_(std::move(path)) {}

FileSystem &file_system() {
  return current ? *current : native_file_system();
}

FileSystemOverride::FileSystemOverride(FileSystem &replacement)
    : previous_(current) {
  current = &replacement;
}

FileSystemOverride::~FileSystemOverride() { current = previous_; }

} // namespace corvantix::platform
