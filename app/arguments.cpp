#include "app/arguments.h"

#include "platform/system.h"

#include <algorithm>
#include <cctype>
#include <array>
#include <string_view>

namespace corvantix {
namespace {

enum class Option {
  Help,
  NoBackup,
  Backup,
  NoFormat,
  NoFdos,
  NoDriveText,
  Text,
  Copy,
  Single,
};

struct OptionForms {
  Option option;
  std::array<std::string_view, 6> forms; // unused slots stay empty
};

// Compared whole and case-sensitively, in this order.
constexpr OptionForms kOptions[] = {
    {Option::Help, {"-h", "--help", "--version", "-v"}},
    {Option::NoBackup, {"-f", "--force", "--nobackup", "--no-backup"}},
    {Option::Backup, {"-k", "--keep", "-b", "--backup"}},
    {Option::NoFormat, {"--noformat", "--no-format"}},
    {Option::NoFdos, {"--nofdos", "--no-fdos", "--no-free-dos", "--nofreedos"}},
    {Option::NoDriveText,
     {"--notxt", "--no-txt", "--nodrivetxt", "--no-drive-txt"}},
    {Option::Text, {"-l", "--lang", "--language", "-t", "--text", "--string"}},
    {Option::Copy, {"-c", "--copy", "-d", "--dir", "--directory"}},
    {Option::Single, {"-1", "--single", "-s"}},
};

std::optional<Option> match(std::string_view arg) {
  for (const auto &entry : kOptions)
    for (std::string_view form : entry.forms)
      if (!form.empty() && form == arg)
        return entry.option;
  return std::nullopt;
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

} // namespace

ArgumentReading read_arguments(const std::vector<std::string> &args,
                               const std::string &program_folder,
                               Process &options) {
  ArgumentReading reading;
  StartupValues &values = reading.values;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string &arg = args[i];
    std::optional<Option> option = match(arg);
    if (!option) {
      if (arg.size() == 1) {
        values.single_drive = true;
        if (i + 1 == args.size())
          values.letter = arg[0];
        continue;
      }
      reading.error = ArgumentError{"ARGS_ERR_INVALID", {arg}};
      return reading;
    }
    switch (*option) {
    case Option::Help:
      values.help = true;
      return reading;
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
    case Option::Copy: {
      if (i + 1 == args.size()) {
        reading.error = ArgumentError{"ARGS_ERR_PARAM", {arg}};
        return reading;
      }
      const std::string &param = args[++i];
      if (*option == Option::Copy) {
        options.add_copy_directory(is_rooted(param) ? param
                                                    : join(program_folder, param));
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

} // namespace corvantix
