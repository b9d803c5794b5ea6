#include "pipeline/resource_file.h"

#include "platform/filesystem.h"
#include "platform/resources.h"
#include "strings/error.h"
#include "strings/res.h"

#include <array>
#include <future>
#include <vector>

namespace corvantix {
namespace {

[[noreturn]] void read_failure() { throw Error("Could not read resource."); }

// Up to one chunk; 0 at the end of the data.
std::size_t read_chunk(std::istream &stream, char *buffer) {
  stream.read(buffer, std::streamsize(ResourceFile::kChunkSize));
  if (stream.bad())
    read_failure();
  return std::size_t(stream.gcount());
}

void write_chunk(platform::WritableFile &file, const char *data,
                 std::size_t size) {
  if (file.write(data, size) != size)
    throw Error("Could not write to disk.");
}

} // namespace

ResourceFile::ResourceFile(std::string name)
    : name(std::move(name)), rstream(platform::open_resource(this->name)) {}

ResourceFile::ResourceFile(std::string name,
                           std::unique_ptr<std::istream> stream)
    : name(std::move(name)), rstream(std::move(stream)) {}

void ResourceFile::save(const std::string &path) {
  try {
    platform::FileSystem &fs = platform::file_system();
    std::unique_ptr<platform::WritableFile> file =
        fs.create_file(fs.join(path, name));
    if (!rstream)
      read_failure();
    rstream->exceptions(std::ios::goodbit);
    std::vector<char> storage(2 * kChunkSize);
    std::array<char *, 2> buffers = {storage.data(),
                                     storage.data() + kChunkSize};
    // Declared after the file and the buffers, so that a failure waits for
    // the write under way before they go.
    std::future<void> writing;
    int current = 0;
    std::size_t size = read_chunk(*rstream, buffers[current]);
    while (size > 0) {
      if (writing.valid())
        writing.get();
      writing = std::async(std::launch::async, write_chunk, std::ref(*file),
                           buffers[current], size);
      current ^= 1;
      size = read_chunk(*rstream, buffers[current]);
    }
    if (writing.valid())
      writing.get();
    file->flush();
  } catch (...) {
    auto cause = std::current_exception();
    throw Error(Res::format("RES_ERR_COPY", name, path, message_of(cause)),
                cause);
  }
}

} // namespace corvantix
