// Any text under a key either fills or fails with the bad-text message.
#include "strings/error.h"
#include "strings/res.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static bool loaded = (corvantix::Res::init_for("en-US"), true);
  (void)loaded;
  corvantix::Res::set("FUZZ", std::string(reinterpret_cast<const char *>(data), size));
  try {
    corvantix::Res::format("FUZZ", "first", std::uint64_t(42), 'c');
  } catch (const corvantix::Error &e) {
    if (std::string(e.what()) != "Invalid localized string 'FUZZ'.")
      std::abort();
  }
  return 0;
}
