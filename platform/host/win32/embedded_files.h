// The host build's table of embedded files, generated at build time.
#pragma once

#include <cstddef>

namespace corvantix::embedded {

struct EmbeddedFile {
  const char *name;
  const unsigned char *data;
  std::size_t size;
};

extern const EmbeddedFile files[];
extern const std::size_t file_count;

} // namespace corvantix::embedded
