// Reading the machine description file.
#include "platform/host/machine/machine.h"
#include "strings/error.h"

#include "emulated_machine.h"

#include <fstream>

#include <sys/stat.h>
#include <unistd.h>

namespace corvantix {
namespace {

using emulation::NodeBehaviour;
using emulation::read_machine_description;

class MachineDescriptionTest : public ::testing::Test {
protected:
  std::filesystem::path write(const std::string &text) {
    auto file = folder_.path() / "machine.txt";
    std::ofstream(file) << text;
    return file;
  }

  // The message of the failure to read `text`, or "" when it reads.
  std::string failure(const std::string &text) {
    try {
      read_machine_description(write(text));
      return "";
    } catch (const Error &e) {
      return e.what();
    }
  }

  test::TempFolder folder_;
};

TEST_F(MachineDescriptionTest, ReadsEveryKeyAndKeepsTheOrder) {
  auto disks = read_machine_description(write(
      "# a machine with two sticks\n"
      "\n"
      "disk system.img size=64M interface=IDE letter=C\n"
      "disk \"/abs/my stick.img\" size=512K model=\"SanDisk Cruzer Blade\""
      " letter=F behaviour=resists-disable blank sector=4096  # the stick\r\n"
      "disk third.img\n"));
  ASSERT_EQ(disks.size(), 3u);
  EXPECT_EQ(disks[0].image, folder_.path() / "system.img");
  EXPECT_EQ(disks[0].new_size, 64ull << 20);
  EXPECT_EQ(disks[0].interface_type, "IDE");
  EXPECT_EQ(disks[0].letter, 'C');
  EXPECT_TRUE(disks[0].new_image_formatted);

  EXPECT_EQ(disks[1].image, "/abs/my stick.img");
  EXPECT_EQ(disks[1].new_size, 512u << 10);
  EXPECT_EQ(disks[1].model, "SanDisk Cruzer Blade");
  EXPECT_EQ(disks[1].letter, 'F');
  EXPECT_EQ(disks[1].behaviour, NodeBehaviour::ResistsDisable);
  EXPECT_FALSE(disks[1].new_image_formatted);
  EXPECT_EQ(disks[1].sector_size, 4096u);

  emulation::DiskConfig defaults;
  EXPECT_EQ(disks[2].new_size, 0u);
  EXPECT_EQ(disks[2].model, defaults.model);
  EXPECT_EQ(disks[2].letter, 0);
  EXPECT_EQ(disks[2].interface_type, "USB");
  EXPECT_EQ(disks[2].behaviour, NodeBehaviour::Normal);
}

TEST_F(MachineDescriptionTest, EveryBehaviourHasAName) {
  auto disks = read_machine_description(
      write("disk a behaviour=normal\ndisk b behaviour=resists-disable\n"
            "disk c behaviour=needs-restart\ndisk d behaviour=phantom\n"
            "disk e behaviour=problem\ndisk f behaviour=unknown-id\n"));
  std::vector<NodeBehaviour> seen;
  for (const auto &disk : disks)
    seen.push_back(disk.behaviour);
  EXPECT_EQ(seen, (std::vector<NodeBehaviour>{
                      NodeBehaviour::Normal, NodeBehaviour::ResistsDisable,
                      NodeBehaviour::NeedsRestart, NodeBehaviour::Phantom,
                      NodeBehaviour::Problem, NodeBehaviour::UnknownId}));
}

TEST_F(MachineDescriptionTest, BadLinesNameTheFileAndLine) {
  EXPECT_NE(failure("\ndisk a size=12Q\n").find("machine.txt:2:"),
            std::string::npos);
  for (const char *bad :
       {"disc a.img", "disk", "disk a size=", "disk a size=100",
        "disk a size=0", "disk a letter=e", "disk a letter=EF",
        "disk a behaviour=sleepy", "disk a colour=red", "disk a model=\"open",
        "disk a interface=", "disk a sector=520", "disk a fast",
        "disk a size=99999999999999999999"})
    EXPECT_NE(failure(bad).find("machine.txt:1:"), std::string::npos) << bad;
  EXPECT_EQ(failure("disk a letter=none size=1G"), "");
  EXPECT_THROW(read_machine_description(folder_.path() / "missing.txt"), Error);
}

TEST_F(MachineDescriptionTest, SizesThatWouldWrapAreRefused) {
  // 2^34 + 1 GiB wrapped to 1 GiB; 2^34 GiB to nothing.
  EXPECT_NE(failure("disk a size=17179869185G").find("machine.txt:1:"),
            std::string::npos);
  EXPECT_NE(failure("disk a size=17179869184G").find("machine.txt:1:"),
            std::string::npos);
  EXPECT_NE(failure("disk a size=18014398509481984K").find("machine.txt:1:"),
            std::string::npos);
  EXPECT_NE(failure("disk a size=16777216T").find("machine.txt:1:"),
            std::string::npos);
  EXPECT_EQ(read_machine_description(write("disk a size=3T"))[0].new_size,
            3ull << 40);
  auto largest = read_machine_description(write("disk a size=17179869183G"));
  EXPECT_EQ(largest.at(0).new_size, 17179869183ull << 30);
}

TEST_F(MachineDescriptionTest, ACounterfeitStickClaimsSizeAndKeepsReal) {
  auto disks = read_machine_description(
      write("disk fake.img size=64G real=8G letter=E\ndisk true.img size=1M\n"));
  EXPECT_EQ(disks.at(0).new_size, 64ull << 30);
  EXPECT_EQ(disks.at(0).real_size, 8ull << 30);
  EXPECT_EQ(disks.at(1).real_size, 0u) << "keeps all";

  struct Case {
    const char *line, *said;
  } refused[] = {
      {"disk a real=8M", "real= needs size="},
      {"disk a size=8M real=8M", "smaller than size"},
      {"disk a size=8M real=16M", "smaller than size"},
      {"disk a size=8M real=1000", "multiple of 512"},
      {"disk a size=8M real=0", "multiple of 512"},
      {"disk a size=8M real=", "multiple of 512"},
      {"disk a size=8M real=4X", "multiple of 512"},
  };
  for (const Case &c : refused) {
    std::string message = failure(std::string("\n") + c.line);
    EXPECT_NE(message.find("machine.txt:2: "), std::string::npos) << c.line;
    EXPECT_NE(message.find(c.said), std::string::npos) << message;
  }
}

TEST_F(MachineDescriptionTest, TwoDisksCannotShareALetter) {
  std::string message =
      failure("disk a.img letter=E\ndisk b.img letter=F\ndisk c.img letter=E\n");
  EXPECT_NE(message.find("machine.txt:3:"), std::string::npos) << message;
  EXPECT_NE(message.find("line 1"), std::string::npos) << message;
  EXPECT_EQ(failure("disk a.img letter=none\ndisk b.img\ndisk c.img letter=E"),
            "");
}

// Images are checked where they are named, before the machine opens or
// makes any of them: a FIFO would block the open for good.
TEST_F(MachineDescriptionTest, AnImageMustBeAFileOrABlockDevice) {
  auto fifo = folder_.path() / "fifo.img";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::filesystem::create_directory(folder_.path() / "folder.img");
  std::ofstream(folder_.path() / "stick.img") << "image";
  std::filesystem::create_symlink("stick.img", folder_.path() / "link.img");
  std::filesystem::create_symlink("fifo.img", folder_.path() / "fifo-link.img");

  struct Case {
    const char *line;
    const char *said;
  } refused[] = {
      {"disk fifo.img letter=E", "not a regular file or a block device"},
      {"disk fifo-link.img", "not a regular file or a block device"},
      {"disk folder.img", "not a regular file or a block device"},
      {"disk /dev/null", "not a regular file or a block device"},
      {"disk stick.img/inner.img", "Not a directory"},
  };
  for (const Case &c : refused) {
    std::string message = failure(std::string("disk new.img size=1M\n") + c.line);
    EXPECT_NE(message.find("machine.txt:2:"), std::string::npos) << c.line;
    EXPECT_NE(message.find(c.said), std::string::npos) << message;
  }
  EXPECT_EQ(failure("disk stick.img\ndisk link.img\ndisk missing.img size=1M"),
            "");
  EXPECT_FALSE(std::filesystem::exists(folder_.path() / "new.img"));
}

// The process's machine is made from the file named in the environment:
// a bad image there stops it before any disk is made.
TEST_F(MachineDescriptionTest, ABadImageStopsTheMachineBeforeAnyDiskIsMade) {
  auto fifo = folder_.path() / "stick.img";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto file = write("disk system.img size=1M interface=IDE\n"
                    "disk stick.img letter=E\n");
  emulation::Machine::install(nullptr);
  ::setenv("CORVANTIX_MACHINE", file.c_str(), 1);
  std::string message;
  try {
    emulation::Machine::current();
  } catch (const Error &e) {
    message = e.what();
  }
  ::setenv("CORVANTIX_MACHINE", "demo", 1);
  emulation::Machine::install(nullptr);
  EXPECT_NE(message.find(file.string() + ":2: the image"), std::string::npos)
      << message;
  EXPECT_FALSE(std::filesystem::exists(folder_.path() / "system.img"));
}

TEST_F(MachineDescriptionTest, AnImageMustBeReadable) {
  if (::geteuid() == 0)
    GTEST_SKIP() << "the superuser reads every file";
  auto image = folder_.path() / "locked.img";
  std::ofstream(image) << "image";
  std::filesystem::permissions(image, std::filesystem::perms::none);
  std::string message = failure("disk locked.img");
  EXPECT_NE(message.find("machine.txt:1: cannot read the image"),
            std::string::npos)
      << message;
}

} // namespace
} // namespace corvantix
