#include "platform/resources.h"

#include "platform/host/win32/embedded_files.h"
#include "platform/memory_stream.h"

namespace corvantix::platform {

std::unique_ptr<std::istream> open_resource(std::string_view name) {
  for (std::size_t i = 0; i < embedded::file_count; ++i) {
    const embedded::EmbeddedFile &file = embedded::files[i];
    if (name == file.name)
      return std::make_unique<MemoryStream>(file.data, file.size);
  }
  return nullptr;
}

} // namespace corvantix::platform
