// Any byte stream loads as a language file or fails with an Error.
#include "strings/error.h"
#include "strings/res.h"

#include <cstdint>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  corvantix::Res::clear();
  std::istringstream stream(std::string(reinterpret_cast<const char *>(data), size));
  try {
    corvantix::Res::load(stream);
  } catch (const corvantix::Error &) {
  }
  return 0;
}
