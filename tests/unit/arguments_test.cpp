#include "app/arguments.h"
#include "platform/system.h"

#include <gtest/gtest.h>

using namespace corvantix;

namespace {

struct Read {
  Process options;
  ArgumentReading reading;
};

Read read(std::vector<std::string> args) {
  Read r;
  r.reading = read_arguments(args, "/opt/cx", r.options);
  return r;
}

std::string joined(const std::string &name) {
  return std::string("/opt/cx") + platform::path_separator() + name;
}

TEST(Arguments, NoArgumentsKeepTheDefaults) {
  Read r = read({});
  EXPECT_TRUE(r.options.backup());
  EXPECT_TRUE(r.options.fdos());
  EXPECT_TRUE(r.options.format());
  EXPECT_TRUE(r.options.copy_directories.empty());
  EXPECT_FALSE(r.reading.error);
  EXPECT_FALSE(r.reading.values.help);
  EXPECT_FALSE(r.reading.values.single_drive);
  EXPECT_FALSE(r.reading.values.no_drive_text);
  EXPECT_EQ(r.reading.values.letter, 0);
}

TEST(Arguments, EveryFormOfEverySwitch) {
  for (const char *f : {"-f", "--force", "--nobackup", "--no-backup"})
    EXPECT_FALSE(read({f}).options.backup()) << f;
  for (const char *k : {"-k", "--keep", "-b", "--backup"})
    EXPECT_TRUE(read({"-f", k}).options.backup()) << k;
  for (const char *n : {"--noformat", "--no-format"})
    EXPECT_FALSE(read({n}).options.format()) << n;
  for (const char *n : {"--nofdos", "--no-fdos", "--no-free-dos", "--nofreedos"})
    EXPECT_FALSE(read({n}).options.fdos()) << n;
  for (const char *n : {"--notxt", "--no-txt", "--nodrivetxt", "--no-drive-txt"})
    EXPECT_TRUE(read({n}).reading.values.no_drive_text) << n;
  for (const char *s : {"-1", "--single", "-s"}) {
    Read r = read({s});
    EXPECT_TRUE(r.reading.values.single_drive) << s;
    EXPECT_EQ(r.reading.values.letter, 0) << s;
  }
  for (const char *h : {"-h", "--help", "--version", "-v"})
    EXPECT_TRUE(read({h}).reading.values.help) << h;
  // A later option wins over an earlier one.
  EXPECT_FALSE(read({"-k", "-f"}).options.backup());
}

TEST(Arguments, MatchingIsExactAndCaseSensitive) {
  for (const char *bad : {"--Help", "-H", "/h", "/?", "--help=1", " -h", "-ff", ""}) {
    Read r = read({bad});
    ASSERT_TRUE(r.reading.error) << bad;
    EXPECT_EQ(*r.reading.error, (ArgumentError{"ARGS_ERR_INVALID", {bad}}));
  }
}

TEST(Arguments, HelpStopsReadingAndKeepsEarlierOverrides) {
  Read r = read({"-t", "A=1", "-h", "--bogus", "-t", "B=2"});
  EXPECT_TRUE(r.reading.values.help);
  EXPECT_FALSE(r.reading.error);
  EXPECT_EQ(r.reading.overrides, (std::vector<TextOverride>{{"A", "1"}}));
  r = read({"--bogus", "-h"});
  EXPECT_FALSE(r.reading.values.help);
  EXPECT_EQ(r.reading.error->values[0], "--bogus");
}

TEST(Arguments, OptionWithoutItsParameter) {
  for (const char *opt : {"-t", "-l", "--lang", "--language", "--text",
                          "--string", "-c", "--copy", "-d", "--dir",
                          "--directory"}) {
    Read r = read({"-f", opt});
    ASSERT_TRUE(r.reading.error) << opt;
    EXPECT_EQ(*r.reading.error, (ArgumentError{"ARGS_ERR_PARAM", {opt}}));
  }
}

TEST(Arguments, TextOverrides) {
  Read r = read({"-t", "A=B=C", "--string", "UI_INFO=", "-l", "temp_name=x"});
  EXPECT_FALSE(r.reading.error);
  EXPECT_EQ(r.reading.overrides,
            (std::vector<TextOverride>{
                {"A", "B=C"}, {"UI_INFO", ""}, {"temp_name", "x"}}));
  for (const char *bad : {"UI_INFO", "TEMP_NAME=x", "/doc=x", "/=", ""}) {
    Read refused = read({"-t", "A=1", "--text", bad});
    ASSERT_TRUE(refused.reading.error) << bad;
    EXPECT_EQ(*refused.reading.error,
              (ArgumentError{"ARGS_ERR_INVALID_PARAM", {"--text", bad}}));
    // The overrides read before the error still apply to its message.
    EXPECT_EQ(refused.reading.overrides.size(), 1u);
  }
}

TEST(Arguments, CopyFoldersKeepOrderAndJoinRelativePaths) {
  Read r = read({"-c", "data", "--dir", "/abs/path", "-d", "C:\\x", "-c",
                 "\\\\server\\share", "--directory", "data", "-c", "-f"});
  EXPECT_FALSE(r.reading.error);
  EXPECT_TRUE(r.options.backup()); // "-f" was a folder name
  EXPECT_EQ(r.options.copy_directories,
            (std::vector<std::string>{joined("data"), "/abs/path", "C:\\x",
                                      "\\\\server\\share", joined("data"),
                                      joined("-f")}));
}

// A drive path is read as Windows reads a typed one, before the long
// \\?\ form that the file calls take would look for the name as typed.
TEST(Arguments, CopyFoldersOnDrivesAreTrimmedAsWindowsReadsThem) {
  const struct {
    const char *typed, *folder;
  } cases[] = {
      {"D:\\data ", "D:\\data"},
      {"D:\\data.", "D:\\data"},
      {"D:\\data . .", "D:\\data"},
      {"D:/old./data", "D:/old/data"},
      {"D:\\old..\\data", "D:\\old.\\data"},
      {"D:\\ends in a space \\data", "D:\\ends in a space \\data"},
      {"D:\\data \\", "D:\\data \\"},
      {"D:\\...", "D:\\..."},
      {"D:\\data\\..", "D:\\data\\.."},
      {"\\\\?\\D:\\data ", "\\\\?\\D:\\data "},
  };
  for (const auto &c : cases) {
    Read r = read({"-c", c.typed});
    EXPECT_EQ(r.options.copy_directories,
              std::vector<std::string>{c.folder})
        << c.typed;
    ASSERT_EQ(r.reading.values.copy_folders.size(), 1u);
    EXPECT_EQ(r.reading.values.copy_folders[0].given, c.typed);
    EXPECT_FALSE(r.reading.values.copy_folders[0].relative) << c.typed;
  }
}

TEST(Arguments, SingleCharacterArguments) {
  Read r = read({"-s", "E"});
  EXPECT_TRUE(r.reading.values.single_drive);
  EXPECT_EQ(r.reading.values.letter, 'E');
  r = read({"E"});
  EXPECT_TRUE(r.reading.values.single_drive);
  EXPECT_EQ(r.reading.values.letter, 'E');
  r = read({"E", "-f"});
  EXPECT_TRUE(r.reading.values.single_drive);
  EXPECT_EQ(r.reading.values.letter, 0);
  EXPECT_FALSE(r.options.backup());
  r = read({"-s"});
  EXPECT_TRUE(r.reading.values.single_drive);
  EXPECT_EQ(r.reading.values.letter, 0);
  r = read({"E", "e"});
  EXPECT_EQ(r.reading.values.letter, 'e');
}

} // namespace
