// Arguments are the input split at NUL bytes. Every reading must end in
// option values or in one of the four argument errors naming its argument.
#include "app/arguments.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::vector<std::string> args(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0)
      args.emplace_back();
    else
      args.back().push_back(char(data[i]));
  }
  corvantix::Process options;
  auto reading = corvantix::read_arguments(args, "/program", options);
  if (reading.error) {
    const auto &error = *reading.error;
    bool known = (error.key == "ARGS_ERR_INVALID" && error.values.size() == 1) ||
                 (error.key == "ARGS_ERR_PARAM" && error.values.size() == 1) ||
                 (error.key == "ARGS_ERR_INVALID_PARAM" && error.values.size() == 2) ||
                 (error.key == "ARGS_ERR_SIZE_SMALL" && error.values.size() == 3);
    if (!known || reading.values.help)
      std::abort();
  }
  if (reading.values.letter && !reading.values.single_drive)
    std::abort();
  for (const auto &override : reading.overrides)
    if (override.key == "TEMP_NAME" || override.key.starts_with("/"))
      std::abort();
  return 0;
}
