#include "app/arguments.h"

#include "disk/disk_size.h"
#include "disk/formatter.h"
#include "platform/filesystem.h"
#include "platform/system.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <string_view>
#include <utility>

namespace corvantix {
namespace {

enum class Option {
  Help,
  Version,
  NoBackup,
  Backup,
  NoFormat,
  NoFdos,
  NoDriveText,
  Text,
  Copy,
  Single,
  Yes,
  Size,
};

struct OptionForms {
  Option option;
  std::array<std::string_view, 6> forms; // unused slots stay empty
  std::string_view parameter;            // its placeholder; empty for none
  std::string_view effect;               // the usage line's text
};

// Compared whole and case-sensitively, in this order.
constexpr OptionForms kOptions[] = {
    {Option::Help, {"-h", "--help"}, "",
     "show this help (with a display: the documentation window only)"},
    {Option::Version, {"--version", "-v"}, "",
     "show the version (with a display: the documentation window only)"},
    {Option::NoBackup, {"-f", "--force", "--nobackup", "--no-backup"}, "",
     "no backup of the stick's files"},
    {Option::Backup, {"-k", "--keep", "-b", "--backup"}, "",
     "back up and restore the stick's files (default)"},
    {Option::NoFormat, {"--noformat", "--no-format"}, "",
     "do not partition and format"},
    {Option::NoFdos, {"--nofdos", "--no-fdos", "--no-free-dos", "--nofreedos"},
     "", "do not write the FreeDOS files"},
    {Option::NoDriveText,
     {"--notxt", "--no-txt", "--nodrivetxt", "--no-drive-txt"}, "",
     "write no drive.txt (single-drive mode, and --yes on drive letters, write "
     "one)"},
    {Option::Text, {"-l", "--lang", "--language", "-t", "--text", "--string"},
     "KEY=VALUE", "replace one text of the language table"},
    {Option::Copy, {"-c", "--copy", "-d", "--dir", "--directory"}, "FOLDER",
     "copy this folder onto the stick (repeatable); a relative FOLDER is read "
     "from the program's folder, not the current one"},
    {Option::Single, {"-1", "--single", "-s"}, "", "single-drive mode"},
    {Option::Yes, {"-y", "--yes"}, "",
     "prepare TARGET without a window, as if Format and Yes were pressed"},
    {Option::Size, {"--size"}, "SIZE",
     "make TARGET a new blank image of SIZE bytes (<n>[K|M|G|T]) when it "
     "does not exist; FAT32 needs at least 33M and uses at most 2T"},
};

// The arguments that are no options, for the usage.
constexpr std::pair<std::string_view, std::string_view> kOperands[] = {
    {"one character",
     "single-drive mode; as the last argument, the drive letter"},
    {"TARGET", "after the options, one or more: a drive letter; on Linux "
               "also an image file or a USB disk's block device"},
};

// The usage fits a terminal of 80 columns; the effects begin at one column.
constexpr std::size_t kUsageWidth = 80;
constexpr std::size_t kUsageColumn = 24;

std::vector<std::string_view> words(std::string_view text) {
  std::vector<std::string_view> found;
  while (!text.empty()) {
    std::size_t end = std::min(text.find(' '), text.size());
    if (end)
      found.push_back(text.substr(0, end));
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return found;
}

std::optional<Option> match(std::string_view arg) {
  for (const auto &entry : kOptions)
    for (std::string_view form : entry.forms)
      if (!form.empty() && form == arg)
        return entry.option;
  return std::nullopt;
}

// A size for a new image: <n>[K|M|G|T], a positive multiple of 512 bytes
// that fits in 64 bits.
std::optional<std::uint64_t> size_of(std::string_view text) {
  std::optional<std::uint64_t> size = ParseDiskSize(text);
  if (!size || *size == 0 || *size % 512)
    return std::nullopt;
  return size;
}

// The smallest image FAT32 takes, as --size is written: whole MiB, rounded
// up.
std::string smallest_size_text() {
  constexpr std::uint64_t kMiB = 1 << 20;
  return std::to_string((MinimumFat32DiskSize() + kMiB - 1) / kMiB) + "M";
}

bool is_separator(char c) { return c == '/' || c == '\\'; }

// Rooted: begins with a separator or carries a drive ("C:...").
bool is_rooted(const std::string &path) {
  if (!path.empty() && is_separator(path[0]))
    return true;
  return path.size() >= 2 && path[1] == ':' &&
         std::isalpha(static_cast<unsigned char>(path[0]));
}

std::string join(const std::string &folder, const std::string &path) {
  if (folder.empty() || is_separator(folder.back()))
    return folder + path;
  return folder + platform::path_separator() + path;
}

// Whether no option follows `first`: the arguments from there are targets.
bool only_operands_from(const std::vector<std::string> &args, std::size_t first) {
  return std::none_of(args.begin() + std::ptrdiff_t(first), args.end(),
                      [](const std::string &arg) { return match(arg); });
}

// The targets of a run on a terminal, from `first` to the end. One
// character is a drive letter, as single-drive mode takes it.
void read_targets(const std::vector<std::string> &args, std::size_t first,
                  ArgumentReading &reading) {
  StartupValues &values = reading.values;
  for (std::size_t i = first; i < args.size(); ++i) {
    const std::string &arg = args[i];
    if (arg.empty() || arg[0] == '-') {
      reading.error = ArgumentError{"ARGS_ERR_INVALID", {arg}};
      return;
    }
    if (arg.size() == 1) {
      values.single_drive = true;
      if (i + 1 == args.size())
        values.letter = arg[0];
    }
    values.targets.push_back(arg);
  }
}

} // namespace

ArgumentReading read_arguments(const std::vector<std::string> &args,
                               const std::string &program_folder,
                               Process &options, bool path_target) {
  ArgumentReading reading;
  StartupValues &values = reading.values;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string &arg = args[i];
    const bool last = i + 1 == args.size();
    std::optional<Option> option = match(arg);
    if (!option) {
      if ((values.yes || path_target) && only_operands_from(args, i)) {
        read_targets(args, i, reading);
        return reading;
      }
      if (arg.size() == 1) {
        values.single_drive = true;
        if (last) {
          values.letter = arg[0];
          values.targets = {arg};
        }
        continue;
      }
      reading.error = ArgumentError{"ARGS_ERR_INVALID", {arg}};
      return reading;
    }
    switch (*option) {
    case Option::Help:
      values.help = true;
      return reading;
    case Option::Version:
      values.help = true;
      values.version = true;
      return reading;
    case Option::Yes:
      values.yes = true;
      break;
    case Option::NoBackup:
      options.backup(false);
      break;
    case Option::Backup:
      options.backup(true);
      break;
    case Option::NoFormat:
      options.format(false);
      break;
    case Option::NoFdos:
      options.fdos(false);
      break;
    case Option::NoDriveText:
      values.no_drive_text = true;
      break;
    case Option::Single:
      values.single_drive = true;
      break;
    case Option::Text:
    case Option::Copy:
    case Option::Size: {
      if (last) {
        reading.error = ArgumentError{"ARGS_ERR_PARAM", {arg}};
        return reading;
      }
      const std::string &param = args[++i];
      if (*option == Option::Size) {
        std::optional<std::uint64_t> size = size_of(param);
        if (!size) {
          reading.error = ArgumentError{"ARGS_ERR_INVALID_PARAM", {arg, param}};
          return reading;
        }
        if (*size < MinimumFat32DiskSize()) {
          reading.error = ArgumentError{"ARGS_ERR_SIZE_SMALL",
                                        {arg, param, smallest_size_text()}};
          return reading;
        }
        values.new_size = *size;
        break;
      }
      if (*option == Option::Copy) {
        bool relative = !is_rooted(param);
        std::string path = platform::file_system().typed_path(
            relative ? join(program_folder, param) : param);
        options.add_copy_directory(path);
        values.copy_folders.push_back({param, path, relative});
        break;
      }
      std::size_t equals = param.find('=');
      std::string key = param.substr(0, equals);
      if (equals == std::string::npos || key == "TEMP_NAME" ||
          key.starts_with("/")) {
        reading.error = ArgumentError{"ARGS_ERR_INVALID_PARAM", {arg, param}};
        return reading;
      }
      reading.overrides.push_back({key, param.substr(equals + 1)});
      break;
    }
    }
  }
  return reading;
}

bool yes_given(const std::vector<std::string> &args) {
  return std::any_of(args.begin(), args.end(), [](const std::string &arg) {
    return match(arg) == Option::Yes;
  });
}

std::vector<std::string> usage_lines() {
  std::vector<std::string> lines = {
      "Usage: corvantix [options] [drive letter]",
      "       corvantix --yes [options] TARGET [TARGET...]", "Options:"};
  auto row = [&lines](const std::string &forms, std::string_view effect) {
    std::string line = "  " + forms;
    if (line.size() + 2 > kUsageColumn) {
      lines.push_back(line);
      line.clear();
    }
    line.resize(kUsageColumn, ' ');
    // Words are wrapped so that no line passes the terminal's width.
    for (std::string_view word : words(effect)) {
      if (line.size() > kUsageColumn &&
          line.size() + 1 + word.size() > kUsageWidth) {
        lines.push_back(line);
        line.assign(kUsageColumn, ' ');
      }
      if (line.size() > kUsageColumn)
        line += ' ';
      line += word;
    }
    lines.push_back(line);
  };
  for (const auto &entry : kOptions) {
    std::string forms;
    for (std::string_view form : entry.forms)
      if (!form.empty())
        forms += (forms.empty() ? "" : ", ") + std::string(form);
    if (!entry.parameter.empty())
      forms += " " + std::string(entry.parameter);
    row(forms, entry.effect);
  }
  for (const auto &[operand, effect] : kOperands)
    row(std::string(operand), effect);
  return lines;
}

} // namespace corvantix
