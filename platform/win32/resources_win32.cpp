#include "platform/resources.h"

#include "platform/memory_stream.h"

#include <windows.h>

#include <optional>
#include <span>

namespace corvantix::platform {
namespace {

std::optional<std::span<const unsigned char>> rcdata(const char *name) {
  HMODULE module = GetModuleHandleA(nullptr);
  HRSRC info = FindResourceA(module, name, MAKEINTRESOURCEA(10) /*RT_RCDATA*/);
  if (!info)
    return std::nullopt;
  HGLOBAL loaded = LoadResource(module, info);
  const void *data = loaded ? LockResource(loaded) : nullptr;
  DWORD size = SizeofResource(module, info);
  if (!data && size != 0)
    return std::nullopt;
  static const unsigned char empty = 0;
  return std::span(data ? static_cast<const unsigned char *>(data) : &empty,
                   size);
}

// Resource names are case-insensitive on Windows; the index of exact names
// written by the build keeps the lookup case-sensitive.
bool has_exact_name(std::string_view name) {
  auto index = rcdata("CORVANTIX_NAMES");
  if (!index)
    return false;
  std::string_view names(reinterpret_cast<const char *>(index->data()),
                         index->size());
  while (!names.empty()) {
    std::size_t end = names.find('\n');
    if (names.substr(0, end) == name)
      return true;
    if (end == std::string_view::npos)
      break;
    names.remove_prefix(end + 1);
  }
  return false;
}

} // namespace

std::unique_ptr<std::istream> open_resource(std::string_view name) {
  if (!has_exact_name(name))
    return nullptr;
  auto data = rcdata(std::string(name).c_str());
  if (!data)
    return nullptr;
  return std::make_unique<MemoryStream>(data->data(), data->size());
}

} // namespace corvantix::platform
