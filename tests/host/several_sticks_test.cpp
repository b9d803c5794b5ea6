// Several sticks prepared at once on a terminal: image files and a drive
// letter of the machine side by side, each run on its own; one stick that
// fails leaves the others prepared and its own backup named; refusals of
// any target stop all before anything runs; one question for all; a stop
// before the sticks change stops every run. The prepared file systems are
// judged by fsck.fat and mtools.
#include "app/startup.h"
#include "platform/host/machine/host_tools.h"
#include "unit/test_terminal.h"

#include "whole_run.h"

#include <signal.h>

#include <atomic>
#include <functional>

namespace corvantix {
namespace {

namespace fs = std::filesystem;
using test::StickFiles;
using test::terminal_lines;
using test::TestTerminal;
using test::TreeState;

class SeveralSticks : public test::WholeRun {
protected:
  int start(const std::vector<std::string> &args) {
    return app_main(args, toolkit, terminal);
  }

  /// A 64 MiB image from the shop, `name`.img, with the user's files and
  /// what `extra` puts on it; no machine holds it afterwards.
  std::string shop_image(const std::string &name,
                         const std::function<void(const StickFiles &)> &extra = {}) {
    emulation::DiskConfig config =
        stick(name, 'E', emulation::NodeBehaviour::Normal, 64 << 20, true);
    install({config});
    StickFiles files = StickFiles::of('E');
    files.put("NOTES.TXT", name + " notes\r\n");
    files.put("SECRET.DAT", "hidden and read-only",
              emulation::kDosHidden | emulation::kDosReadOnly);
    if (extra)
      extra(files);
    emulation::Machine::install(nullptr);
    return config.image.string();
  }

  /// The file system of an image's first partition.
  static StickFiles files_of(const fs::path &image) {
    std::string mbr = test::slurp(image).substr(0, 512);
    std::uint32_t start;
    std::memcpy(&start, mbr.data() + 446 + 8, 4);
    return StickFiles(image, std::uint64_t(start) * 512);
  }

  /// fsck.fat finds the image's file system clean; it takes no offset, so
  /// it reads a sparse copy with the sectors before the partition cut away.
  void expect_clean(const fs::path &image) {
    fs::path part = folder_.path() / "partition.img";
    ASSERT_TRUE(emulation::run_tool({"cp", "--sparse=always", image.string(),
                                     part.string()})
                    .ok());
    ASSERT_TRUE(emulation::run_tool({"fallocate", "-c", "-o", "0", "-l",
                                     std::to_string(32 * 512), part.string()})
                    .ok());
    emulation::ToolResult fsck =
        emulation::run_tool({"fsck.fat", "-n", part.string()});
    EXPECT_TRUE(fsck.ok()) << image << "\n" << fsck.out << fsck.err;
    EXPECT_EQ(fsck.out.find("differ"), std::string::npos) << fsck.out;
    fs::remove(part);
  }

  /// The stick holds FreeDOS and its user's files again, and is clean.
  void expect_prepared(const fs::path &image, const std::string &name) {
    SCOPED_TRACE(image.string());
    StickFiles files = files_of(image);
    EXPECT_TRUE(files.exists("KERNEL.SYS"));
    EXPECT_TRUE(files.exists("COMMAND.COM"));
    EXPECT_EQ(files.read("NOTES.TXT"), name + " notes\r\n");
    EXPECT_EQ(files.attributes("SECRET.DAT"),
              emulation::kDosHidden | emulation::kDosReadOnly);
    expect_clean(image);
  }

  std::vector<std::string> last_lines(std::size_t n) {
    std::vector<std::string> lines = terminal_lines(terminal.err);
    if (lines.size() < n)
      return lines;
    return {lines.end() - std::ptrdiff_t(n), lines.end()};
  }

  TestTerminal terminal;
};

// A drive letter of the machine keeps its letter; the images get the next
// ones in their order.
TEST_F(SeveralSticks, ALetterAndTwoImagesArePreparedAtOnceAndAreClean) {
  std::string a = shop_image("a"), b = shop_image("b");
  make_stick(64 << 20); // E of the machine, with "my notes"
  EXPECT_EQ(start({"--yes", "E", a, b}), 0) << terminal.err;
  EXPECT_EQ(last_lines(3),
            (std::vector<std::string>{"corvantix: E: Format Successful!",
                                      "corvantix: " + a + ": Format Successful!",
                                      "corvantix: " + b + ": Format Successful!"}));
  // Every step's line names its stick.
  for (std::string line : terminal_lines(terminal.err)) {
    if (line.starts_with("corvantix: "))
      line.erase(0, 11);
    EXPECT_TRUE(line.starts_with("E: ") || line.starts_with(a + ": ") ||
                line.starts_with(b + ": "))
        << line;
  }
  EXPECT_EQ(drive_txt(), "E") << "only a drive letter given is a letter to tell";
  expect_prepared(a, "a");
  expect_prepared(b, "b");
  emulation::Machine::install(nullptr);
  EXPECT_EQ(files().read("NOTES.TXT"), "my notes\r\n");
  expect_clean(image);
  EXPECT_TRUE(backups().empty());
  EXPECT_TRUE(toolkit.boxes.empty());
}

// The user's folder KERNEL.SYS cannot come back beside FreeDOS' file of
// that name: that stick's restore fails after its format.
TEST_F(SeveralSticks, AFailingStickLeavesTheOthersPreparedAndItsBackupNamed) {
  std::string a = shop_image("a"), c = shop_image("c");
  TreeState before;
  std::string b = shop_image("b", [&](const StickFiles &files) {
    files.put("KERNEL.SYS/MINE.TXT", "the user's own\r\n");
    before = files.state();
  });
  EXPECT_EQ(start({"--yes", a, b, c}), 1) << terminal.err;
  std::vector<fs::path> kept = backups();
  ASSERT_EQ(kept.size(), 1u) << "only the failed stick's backup stays";
  EXPECT_EQ(last_lines(4),
            (std::vector<std::string>{
                "corvantix: " + a + ": Format Successful!",
                "corvantix: " + b + ": Could not restore backup from '" +
                    kept[0].string() +
                    "'! The files will be left there for you to restore "
                    "manually.",
                "corvantix: " + c + ": Format Successful!",
                "corvantix: Not prepared: " + b + "."}));
  TreeState saved = test::tree_state(kept[0]);
  TreeState on_stick = files_of(b).state();
  for (const auto &[path, state] : before)
    EXPECT_TRUE((saved.count(path) && saved.at(path) == state) ||
                (on_stick.count(path) && on_stick.at(path) == state))
        << path << " is lost";
  EXPECT_EQ(saved.at("KERNEL.SYS/MINE.TXT").bytes, "the user's own\r\n");
  EXPECT_FALSE(fs::exists("drive.txt")) << "images have no letter to tell";
  expect_prepared(a, "a");
  expect_prepared(c, "c");
}

TEST_F(SeveralSticks, AnyRefusedTargetIsALineAndNothingRuns) {
  std::string a = shop_image("a");
  make_stick(64 << 20);
  const std::string stick_image = image.string();
  const std::string same_a = (fs::path(a).parent_path() / "." / "a.img").string();
  const std::string folder = folder_.path().string();
  const std::string unchanged = " Nothing was changed on it.";
  const struct {
    std::vector<std::string> targets;
    std::vector<std::string> lines;
  } cases[] = {
      {{a, "missing.img", folder},
       {"corvantix: missing.img does not exist. To make a new image, give its size "
        "with --size SIZE, such as --size 256M.",
        "corvantix: " + folder + " is neither an image file nor a block device." + unchanged}},
      {{a, same_a}, {"corvantix: " + same_a + " names the same disk as " + a + "." + unchanged}},
      {{"E", a, stick_image},
       {"corvantix: " + stick_image + " names the same disk as E." + unchanged}},
      {{"E", "e"}, {"corvantix: e names the same disk as E." + unchanged}},
      {{"Q", a}, {"corvantix: Q:\\ is not a USB drive."}},
  };
  std::string a_before = test::slurp(a), e_before = test::slurp(image);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.targets.back());
    terminal.err.clear();
    std::vector<std::string> args = {"--yes"};
    args.insert(args.end(), c.targets.begin(), c.targets.end());
    EXPECT_EQ(start(args), 1);
    EXPECT_EQ(terminal_lines(terminal.err), c.lines);
  }
  EXPECT_EQ(test::slurp(a), a_before);
  EXPECT_EQ(test::slurp(image), e_before);
  EXPECT_FALSE(fs::exists("drive.txt"));
  EXPECT_TRUE(backups().empty());
}

TEST_F(SeveralSticks, OneQuestionNamesEveryDriveAndNoTakesNewImagesBack) {
  std::string a = shop_image("a");
  std::string made = (folder_.path() / "new.img").string();
  std::string a_before = test::slurp(a);
  terminal.typing = true;
  terminal.typed = {"n"};
  EXPECT_EQ(start({"--size", "64M", a, made}), 1);
  EXPECT_EQ(terminal.err,
            "corvantix: Erase all data on these 2 drives: " + a +
                " (Corvantix Virtual Stick, 64 MB), " + made +
                " (Corvantix Virtual Stick, 64 MB)? [y/N] corvantix: Nothing "
                "was changed.\n");
  EXPECT_EQ(test::slurp(a), a_before);
  EXPECT_FALSE(fs::exists(made));
}

// A request before the sticks change stops every run where it is: each
// one's partial backup goes and its stick is as it was.
TEST_F(SeveralSticks, AStopBeforeTheSticksChangeStopsEveryRun) {
  std::string a = shop_image("a"), b = shop_image("b");
  std::string a_before = test::slurp(a), b_before = test::slurp(b);
  std::atomic<bool> asked{false};
  terminal.on_error = [&](const std::string &text) {
    if (text.find("creating backup...") != std::string::npos && !asked.exchange(true))
      ::raise(SIGINT);
  };
  EXPECT_EQ(start({"--yes", a, b}), 130) << terminal.err;
  const std::string stopped = "Stopped. Nothing was changed on the stick.";
  EXPECT_EQ(last_lines(3),
            (std::vector<std::string>{
                "corvantix: " + a + ": " + stopped,
                "corvantix: " + b + ": " + stopped,
                "corvantix: Not prepared: " + a + ", " + b + "."}));
  EXPECT_TRUE(backups().empty());
  EXPECT_EQ(test::slurp(a), a_before);
  EXPECT_EQ(test::slurp(b), b_before);
  EXPECT_FALSE(fs::exists("drive.txt"));
}

} // namespace
} // namespace corvantix
