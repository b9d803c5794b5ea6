// Reading the machine description file.
#include "platform/host/machine.h"
#include "strings/error.h"

#include "emulated_machine.h"

#include <fstream>

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

} // namespace
} // namespace corvantix
