// The arguments of runs on a terminal: --yes and its target, --size, the
// version form of help, and the usage built from the option table.
#include "app/arguments.h"

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <sstream>

using namespace corvantix;

namespace {

ArgumentReading read_for_terminal(std::vector<std::string> args,
                                  bool path_target = false) {
  Process options;
  return read_arguments(args, "/opt/cx", options, path_target);
}

TEST(TerminalArguments, YesAndItsTarget) {
  const struct {
    std::vector<std::string> args;
    bool path_target, yes;
    std::string target;
    char letter; // 0: no single-drive mode either
  } cases[] = {
      {{"-y", "-f", "stick.img"}, false, true, "stick.img", 0},
      {{"--yes", "-f", "stick.img"}, false, true, "stick.img", 0},
      {{"-f", "/dev/sdb"}, true, false, "/dev/sdb", 0},
      {{"--yes", "E"}, false, true, "E", 'E'},
      {{"-s", "E"}, false, false, "E", 'E'},
      {{"--yes"}, false, true, "", 0},
  };
  for (const auto &c : cases) {
    ArgumentReading r = read_for_terminal(c.args, c.path_target);
    EXPECT_FALSE(r.error) << c.target;
    EXPECT_EQ(r.values.targets, c.target.empty()
                                    ? std::vector<std::string>{}
                                    : std::vector<std::string>{c.target});
    EXPECT_EQ(r.values.yes, c.yes) << c.target;
    EXPECT_EQ(r.values.letter, c.letter) << c.target;
    EXPECT_EQ(r.values.single_drive, c.letter != 0) << c.target;
  }
}

TEST(TerminalArguments, APathIsATargetOnlyAfterTheOptionsAfterYesOrWhenAsked) {
  struct Case {
    std::vector<std::string> args;
    bool path_target;
    std::string invalid;
  };
  // Several paths are targets (SeveralTargetsAfterTheOptions); one
  // before an option is not.
  std::vector<Case> cases = {{{"stick.img"}, false, "stick.img"},
                             {{"stick.img", "--yes"}, false, "stick.img"},
                             {{"--yes", "a.img", "-f", "b.img"}, false, "a.img"}};
  // An option is never a path, nor is nothing.
  for (const char *bad : {"--Help", "-x", "-ff", ""}) {
    cases.push_back({{"--yes", bad}, false, bad});
    cases.push_back({{bad}, true, bad});
  }
  for (const Case &c : cases)
    EXPECT_EQ(read_for_terminal(c.args, c.path_target).error,
              (ArgumentError{"ARGS_ERR_INVALID", {c.invalid}}))
        << c.args.front() << (c.path_target ? " (paths asked for)" : "");
}

TEST(TerminalArguments, SeveralTargetsAfterTheOptions) {
  using Targets = std::vector<std::string>;
  const struct {
    std::vector<std::string> args;
    bool path_target;
    Targets targets;
    char letter;
    std::optional<std::string> invalid;
  } cases[] = {
      {{"--yes", "a.img", "b.img"}, false, {"a.img", "b.img"}, 0, {}},
      {{"-y", "-f", "-c", "extra", "E", "/dev/sdb", "F"},
       false,
       {"E", "/dev/sdb", "F"},
       'F',
       {}},
      {{"--nofdos", "a.img", "E"}, true, {"a.img", "E"}, 'E', {}},
      {{"--yes", "E", "F", "G"}, false, {"E", "F", "G"}, 'G', {}},
      // An option's parameter is no target, nor is an option among them.
      {{"--yes", "--size", "64M", "n.img", "m.img"}, false, {"n.img", "m.img"}, 0, {}},
      {{"--yes", "a.img", "-x"}, false, {}, 0, "-x"},
      {{"--yes", "a.img", "", "b.img"}, false, {}, 0, ""},
      // Without --yes and with a window, there is only the drive letter.
      {{"a.img", "E"}, false, {}, 0, "a.img"},
  };
  for (const auto &c : cases) {
    ArgumentReading r = read_for_terminal(c.args, c.path_target);
    SCOPED_TRACE(c.args.back());
    if (c.invalid) {
      EXPECT_EQ(r.error, (ArgumentError{"ARGS_ERR_INVALID", {*c.invalid}}));
      continue;
    }
    EXPECT_FALSE(r.error);
    EXPECT_EQ(r.values.targets, c.targets);
    EXPECT_EQ(r.values.letter, c.letter);
  }
}

TEST(TerminalArguments, SizesAsTheMachineDescriptionTakesThem) {
  const std::pair<const char *, std::uint64_t> sizes[] = {
      {"69206016", 66ull << 20}, {"67584K", 66ull << 20}, {"64M", 64ull << 20},
      {"64m", 64ull << 20},      {"2G", 2ull << 30},      {"1t", 1ull << 40},
      {"16777215T", 16777215ull << 40}};
  for (auto [text, bytes] : sizes) {
    ArgumentReading r = read_for_terminal({"--size", text, "--yes", "new.img"});
    EXPECT_FALSE(r.error) << text;
    EXPECT_EQ(r.values.new_size, bytes) << text;
  }
  // Too small for FAT32: refused with the smallest size.
  for (const char *small : {"512", "1K", "32M"})
    EXPECT_EQ(read_for_terminal({"--size", small, "--yes", "new.img"}).error,
              (ArgumentError{"ARGS_ERR_SIZE_SMALL", {"--size", small, "33M"}}));
  for (const char *bad : {"0", "0M", "1000", "1.5G", "12x", "M", "1KB", " 1M",
                          "16777216T", "999999999999999999"})
    EXPECT_EQ(read_for_terminal({"--size", bad, "--yes", "new.img"}).error,
              (ArgumentError{"ARGS_ERR_INVALID_PARAM", {"--size", bad}}));
}

// That all four are help is Arguments.EveryFormOfEverySwitch's.
TEST(TerminalArguments, VersionIsHelpThatAsksForTheVersion) {
  const std::pair<const char *, bool> forms[] = {
      {"--version", true}, {"-v", true}, {"--help", false}, {"-h", false}};
  for (auto [form, version] : forms)
    EXPECT_EQ(read_for_terminal({form}).values.version, version) << form;
}

TEST(TerminalArguments, YesGivenAnywhere) {
  EXPECT_TRUE(yes_given({"-x", "--yes", "E"}));
  EXPECT_TRUE(yes_given({"-y"}));
  EXPECT_FALSE(yes_given({"--Yes", "-Y", "yes", "-yy"}));
}

// That the program reads each form is Arguments.EveryFormOfEverySwitch's,
// Arguments.OptionWithoutItsParameter's and this suite's.
TEST(TerminalArguments, TheUsageListsEveryOptionOnceAndEachOnALine) {
  std::vector<std::string> lines = usage_lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], "Usage: corvantix [options] [drive letter]");
  std::multiset<std::string> listed; // the forms before each option's text
  for (const std::string &line : lines) {
    if (!line.starts_with("  -"))
      continue;
    std::istringstream words(line.substr(2, line.find("  ", 2) - 2));
    for (std::string word; words >> word;)
      if (word.starts_with("-"))
        listed.insert(word.substr(0, word.find(',')));
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
}

} // namespace
