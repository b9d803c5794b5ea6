// The arguments of runs on a terminal: --yes and its target, --size, the
// version form of help, and the usage built from the option table.
#include "app/arguments.h"

#include <gtest/gtest.h>

#include <set>

using namespace corvantix;

namespace {

struct TerminalRead {
  Process options;
  ArgumentReading reading;
};

TerminalRead read_for_terminal(std::vector<std::string> args,
                               bool path_target = false) {
  TerminalRead r;
  r.reading = read_arguments(args, "/opt/cx", r.options, path_target);
  return r;
}

TEST(TerminalArguments, YesAndItsTarget) {
  for (const char *yes : {"-y", "--yes"}) {
    TerminalRead r = read_for_terminal({yes, "-f", "stick.img"});
    EXPECT_FALSE(r.reading.error) << yes;
    EXPECT_TRUE(r.reading.values.yes);
    EXPECT_EQ(r.reading.values.target, "stick.img");
    EXPECT_FALSE(r.options.backup());
    EXPECT_FALSE(r.reading.values.single_drive);
    EXPECT_EQ(r.reading.values.letter, 0);
  }
  TerminalRead letter = read_for_terminal({"--yes", "E"});
  EXPECT_EQ(letter.reading.values.target, "E");
  EXPECT_EQ(letter.reading.values.letter, 'E');
  EXPECT_TRUE(read_for_terminal({"--yes"}).reading.values.target.empty());
  EXPECT_TRUE(read_for_terminal({"-s", "E"}).reading.values.target == "E");
}

TEST(TerminalArguments, APathIsATargetOnlyLastAfterYesOrWhenAsked) {
  EXPECT_EQ(*read_for_terminal({"stick.img"}).reading.error,
            (ArgumentError{"ARGS_ERR_INVALID", {"stick.img"}}));
  EXPECT_EQ(*read_for_terminal({"stick.img", "--yes"}).reading.error,
            (ArgumentError{"ARGS_ERR_INVALID", {"stick.img"}}));
  EXPECT_EQ(*read_for_terminal({"--yes", "a.img", "b.img"}).reading.error,
            (ArgumentError{"ARGS_ERR_INVALID", {"a.img"}}));
  TerminalRead asked = read_for_terminal({"-f", "/dev/sdb"}, true);
  EXPECT_FALSE(asked.reading.error);
  EXPECT_EQ(asked.reading.values.target, "/dev/sdb");
  EXPECT_FALSE(asked.reading.values.yes);
  // An option is never a path, nor is nothing.
  for (const char *bad : {"--Help", "-x", "-ff", ""}) {
    EXPECT_EQ(*read_for_terminal({"--yes", bad}).reading.error,
              (ArgumentError{"ARGS_ERR_INVALID", {bad}}))
        << bad;
    EXPECT_TRUE(read_for_terminal({bad}, true).reading.error) << bad;
  }
}

TEST(TerminalArguments, SizesAsTheMachineDescriptionTakesThem) {
  struct Case {
    const char *text;
    std::uint64_t bytes;
  } cases[] = {{"512", 512},
               {"1K", 1024},
               {"64M", 64ull << 20},
               {"64m", 64ull << 20},
               {"2G", 2ull << 30},
               {"1t", 1ull << 40},
               {"16777215T", 16777215ull << 40}};
  for (const Case &c : cases) {
    TerminalRead r = read_for_terminal({"--size", c.text, "--yes", "new.img"});
    EXPECT_FALSE(r.reading.error) << c.text;
    EXPECT_EQ(r.reading.values.new_size, c.bytes) << c.text;
  }
  for (const char *bad : {"0", "0M", "1000", "1.5G", "12x", "M", "1KB", " 1M",
                          "16777216T", "999999999999999999"}) {
    TerminalRead r = read_for_terminal({"--size", bad, "--yes", "new.img"});
    ASSERT_TRUE(r.reading.error) << bad;
    EXPECT_EQ(*r.reading.error,
              (ArgumentError{"ARGS_ERR_INVALID_PARAM", {"--size", bad}}));
  }
  EXPECT_EQ(*read_for_terminal({"--yes", "--size"}).reading.error,
            (ArgumentError{"ARGS_ERR_PARAM", {"--size"}}));
}

TEST(TerminalArguments, VersionIsHelpThatAsksForTheVersion) {
  for (const char *form : {"--version", "-v"}) {
    TerminalRead r = read_for_terminal({form});
    EXPECT_TRUE(r.reading.values.help);
    EXPECT_TRUE(r.reading.values.version);
  }
  for (const char *form : {"--help", "-h"})
    EXPECT_FALSE(read_for_terminal({form}).reading.values.version);
}

TEST(TerminalArguments, YesGivenAnywhere) {
  EXPECT_TRUE(yes_given({"-x", "--yes", "E"}));
  EXPECT_TRUE(yes_given({"-y"}));
  EXPECT_FALSE(yes_given({"--Yes", "-Y", "yes", "-yy"}));
}

TEST(TerminalArguments, TheUsageListsEveryOptionOnceAndEachOnALine) {
  std::vector<std::string> lines = usage_lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], "Usage: corvantix [options] [drive letter]");
  std::multiset<std::string> listed;
  for (const std::string &line : lines) {
    if (!line.starts_with("  -"))
      continue;
    std::string forms = line.substr(2, line.find("  ", 2) - 2);
    std::string current;
    for (char c : forms + ",") {
      if (c == ',' || c == ' ') {
        if (current.starts_with("-"))
          listed.insert(current);
        current.clear();
      } else {
        current += c;
      }
    }
  }
  const char *forms[] = {
      "-h", "--help", "--version", "-v", "-f", "--force", "--nobackup",
      "--no-backup", "-k", "--keep", "-b", "--backup", "--noformat",
      "--no-format", "--nofdos", "--no-fdos", "--no-free-dos", "--nofreedos",
      "--notxt", "--no-txt", "--nodrivetxt", "--no-drive-txt", "-l", "--lang",
      "--language", "-t", "--text", "--string", "-c", "--copy", "-d", "--dir",
      "--directory", "-1", "--single", "-s", "-y", "--yes", "--size"};
  for (const char *form : forms)
    EXPECT_EQ(listed.count(form), 1u) << form;
  EXPECT_EQ(listed.size(), std::size(forms));
  // Every listed form is an option the program reads.
  for (const std::string &form : listed) {
    Process options;
    ArgumentReading reading = read_arguments({form, "64M"}, "/", options);
    EXPECT_FALSE(reading.error && reading.error->key == "ARGS_ERR_INVALID" &&
                 reading.error->values.at(0) == form)
        << form;
  }
}

} // namespace
