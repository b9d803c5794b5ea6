// One file embedded in the program, written out into a folder under its
// own name.
#pragma once

#include <cstddef>
#include <istream>
#include <memory>
#include <string>

namespace corvantix {

class ResourceFile {
public:
  /// The size of each of the two buffers that `save` alternates between.
  static constexpr std::size_t kChunkSize = 0x7FFF;

  /// Opens the embedded file of exactly this name; a missing one is found
  /// out by `save`.
  explicit ResourceFile(std::string name);
  /// A file of this name with the data of `stream` (null: no such file).
  ResourceFile(std::string name, std::unique_ptr<std::istream> stream);

  /// Writes the file into the folder `path` as `path` joined with `name`,
  /// replacing a file there. Reading the next chunk overlaps writing the
  /// last one. Fails with RES_ERR_COPY; the file is closed on every path.
  void save(const std::string &path);

  const std::string name;

private:
  std::unique_ptr<std::istream> rstream;
};

} // namespace corvantix
