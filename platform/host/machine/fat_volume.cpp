#include "platform/host/machine/fat_volume.h"

#include "platform/host/win32/dos_attributes.h"
#include "platform/host/machine/linux_disks.h"
#include "platform/host/machine/machine.h"

#include <locale.h>
#include <wctype.h>
#include <algorithm>
#include <map>
#include <regex>
#include <sstream>

namespace corvantix::emulation {
namespace {

// Code points of a UTF-8 text; a stray byte stands for itself.
std::u32string decode(const std::string &text) {
  std::u32string out;
  for (std::size_t i = 0; i < text.size();) {
    auto byte = static_cast<unsigned char>(text[i]);
    int extra = byte >= 0xF0 ? 3 : byte >= 0xE0 ? 2 : byte >= 0xC0 ? 1 : 0;
    char32_t c = extra ? byte & (0x3F >> extra) : byte;
    if (i + std::size_t(extra) >= text.size())
      extra = 0, c = byte;
    for (int k = 1; k <= extra; ++k)
      c = c << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    out += c;
    i += std::size_t(extra) + 1;
  }
  return out;
}

// FAT compares names without regard to case: the upper-case form of each
// code point is the key.
std::u32string fold(const std::string &text) {
  static locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
  std::u32string codes = decode(text);
  for (char32_t &c : codes)
    c = unicode ? char32_t(towupper_l(wint_t(c), unicode))
                : (c < 128 ? char32_t(std::toupper(int(c))) : c);
  return codes;
}

std::string strip(const std::string &text) {
  std::size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos)
    return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::string joined(const std::string &folder, const std::string &name) {
  return folder.empty() ? name : folder + "/" + name;
}

// "::/a/b" -> "a/b".
std::string below_root(std::string path) {
  if (path.rfind("::", 0) == 0)
    path.erase(0, 2);
  while (!path.empty() && path.front() == '/')
    path.erase(0, 1);
  while (!path.empty() && path.back() == '/')
    path.pop_back();
  return path;
}

struct Listed {
  std::string tool;
  std::uint8_t bits;
};

// `mattrib` lines: "  A   HR     ::/dir/name", by the folded path.
std::map<std::u32string, Listed> parse_attributes(const std::string &text) {
  std::map<std::u32string, Listed> entries;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::size_t at = line.find("::/");
    if (at == std::string::npos || at + 3 >= line.size())
      continue;
    std::uint8_t bits = 0;
    for (char c : line.substr(0, at))
      bits |= c == 'A'   ? kDosArchive
              : c == 'R' ? kDosReadOnly
              : c == 'H' ? kDosHidden
              : c == 'S' ? kDosSystem
                         : 0;
    std::string tool = below_root(line.substr(at));
    entries[fold(tool)] = {tool, bits};
  }
  return entries;
}

// `mdir -a` lines: "GRÖßE    TXT         2 2026-12-08  10:02  Größe.txt",
// sections headed "Directory for ::/dir". The long name comes last; an
// entry without one shows its short name in its own case.
struct Section {
  std::string header;
  std::vector<std::pair<std::string, bool>> names; ///< name, folder
};
std::vector<Section> parse_directory(const std::string &text) {
  static const std::regex entry(
      R"(^(.*?) +(<DIR>|[0-9]+) +[0-9]{4}-[0-9]{2}-[0-9]{2} +[0-9]{1,2}:[0-9]{2}(.*)$)");
  std::vector<Section> sections;
  std::istringstream lines(text);
  std::string line;
  std::smatch match;
  while (std::getline(lines, line)) {
    if (line.rfind("Directory for ", 0) == 0) {
      sections.push_back({below_root(line.substr(14)), {}});
      continue;
    }
    if (sections.empty() || !std::regex_match(line, match, entry))
      continue;
    std::istringstream short_name(match[1].str());
    std::string base, extension;
    short_name >> base >> extension;
    if (base == "." || base == "..")
      continue;
    std::string name = strip(match[3].str());
    if (name.empty())
      name = extension.empty() ? base : base + "." + extension;
    sections.back().names.push_back({name, match[2].str() == "<DIR>"});
  }
  return sections;
}

// Whether `tool` with `args` may write to the volume: listings only read,
// and so does mattrib without an attribute change.
bool changes_volume(const std::string &tool,
                    const std::vector<std::string> &args) {
  if (tool == "mdir" || tool == "minfo")
    return false;
  if (tool != "mattrib")
    return true;
  return std::any_of(args.begin(), args.end(), [](const std::string &arg) {
    return arg.size() == 2 && (arg[0] == '+' || arg[0] == '-') &&
           std::string("arsh").find(arg[1]) != std::string::npos;
  });
}

} // namespace

FatVolume::FatVolume(const std::string &image, std::uint64_t offset)
    : image_(image), location_(image + "@@" + std::to_string(offset)),
      device_(is_block_device(image)), device_size_(block_device_size(image)) {}

ToolResult FatVolume::run(const std::string &tool,
                          const std::vector<std::string> &args) const {
  std::vector<std::string> argv = {tool, "-i", location_};
  argv.insert(argv.end(), args.begin(), args.end());
  ToolResult result = run_tool(argv);
  if (changes_volume(tool, args) && sync_to_medium(image_) != 0) {
    result.status = result.ok() ? 1 : result.status;
    result.err += "\n" + image_ + ": the device did not take the writes";
  }
  // A stick pulled during the call may leave mtools and fdatasync content:
  // the kernel drops cached writes beyond a device's new end unreported.
  // Only a device that is still the one the volume was found on has them.
  std::uint64_t now = device_ ? block_device_size(image_) : 0;
  if (device_ && (now == 0 || now != device_size_)) {
    result.status = result.ok() ? 1 : result.status;
    result.device_gone = true;
    result.err += "\n" + image_ + ": the device is gone";
  }
  return result;
}

bool FatVolume::readable() const { return run("minfo", {"::"}).ok(); }

std::optional<std::vector<FatEntry>>
FatVolume::list(const std::string &folder, bool recursive) const {
  std::vector<std::string> depth;
  if (recursive)
    depth.push_back("-/");
  std::vector<std::string> args = depth;
  args.insert(args.end(), {"-a", target(folder)});
  ToolResult names = run("mdir", args);
  if (!names.ok() && folder.empty() &&
      names.err.find("not found") != std::string::npos)
    return std::vector<FatEntry>{}; // an empty root has not even "."
  if (!names.ok())
    return std::nullopt;
  args = depth;
  args.push_back(target(joined(folder, "*")));
  std::map<std::u32string, Listed> bits =
      parse_attributes(run("mattrib", args).out);

  // The sections come parents first: each folder's path is known before
  // its own section.
  std::map<std::u32string, std::string> folders = {{fold(folder), folder}};
  std::vector<FatEntry> entries;
  std::vector<Section> sections = parse_directory(names.out);
  for (std::size_t i = 0; i < sections.size(); ++i) {
    auto parent = folders.find(fold(sections[i].header));
    if (i == 0 && parent == folders.end())
      parent = folders.begin();
    if (parent == folders.end())
      return std::nullopt;
    std::string base = parent->second;
    for (const auto &[name, is_folder] : sections[i].names) {
      FatEntry made;
      made.path = joined(base, name);
      made.folder = is_folder;
      std::u32string key = fold(made.path);
      auto found = bits.find(key);
      made.tool = found == bits.end() ? made.path : found->second.tool;
      made.attributes = found == bits.end() ? 0 : found->second.bits;
      if (is_folder)
        folders[key] = made.path;
      entries.push_back(std::move(made));
    }
  }
  return entries;
}

std::optional<FatEntry> FatVolume::find(const std::string &path) const {
  if (path.empty())
    return FatEntry{"", "", true, 0};
  auto siblings = list(parent_of(path), false);
  if (!siblings)
    return std::nullopt;
  std::string leaf = leaf_of(path);
  for (FatEntry &entry : *siblings)
    if (same_fat_name(leaf_of(entry.path), leaf))
      return entry;
  return std::nullopt;
}

std::vector<std::string> FatVolume::attribute_args(std::uint8_t bits) {
  return {bits & kDosArchive ? "+a" : "-a", bits & kDosReadOnly ? "+r" : "-r",
          bits & kDosSystem ? "+s" : "-s", bits & kDosHidden ? "+h" : "-h"};
}

std::u32string fat_key(const std::string &path) { return fold(path); }

bool same_fat_name(const std::string &a, const std::string &b) {
  return fold(a) == fold(b);
}

std::string leaf_of(const std::string &path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string parent_of(const std::string &path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

} // namespace corvantix::emulation
