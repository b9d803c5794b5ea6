#include "host/emulated_disks.h"
#include "platform/host/win32/dos_attributes.h"
#include "platform/host/machine/demo_machine.h"
#include "platform/host/machine/host_tools.h"
#include "platform/host/win32/kernel32.h"
#include "platform/filesystem.h"
#include "strings/error.h"

#include <cstring>
#include <ctime>
#include <thread>

namespace {

namespace fs = std::filesystem;
namespace emulation = corvantix::emulation;
namespace platform = corvantix::platform;
using emulation::Disk;
using emulation::Machine;
using emulation::run_tool;

using corvantix::test::kMiB;
constexpr std::uint64_t kShopOffset = 1 << 20;

class EmulatedMachine : public corvantix::test::EmulatedDisks {
protected:
  Machine &shop_machine() {
    image = dir() / "stick.img";
    return machine_with(stick(image, 256 * kMiB));
  }
  std::string mtools(const fs::path &img, std::uint64_t offset = kShopOffset) {
    return img.string() + "@@" + std::to_string(offset);
  }
  // `mattrib -/` of the image: "  A   H      ::/NAME" lines.
  std::string attributes() {
    return run_tool({"mattrib", "-/", "-i", mtools(image), "::*"}).out;
  }
  fs::path image;
};

TEST_F(EmulatedMachine, DefaultMachineHasAShopStickAndAHiddenSystemDisk) {
  auto disks = emulation::demo_machine(dir());
  Machine::install(std::make_unique<Machine>(disks, dir() / "state"));
  Machine &machine = Machine::current();
  ASSERT_EQ(machine.disks().size(), 2u);

  Disk &system = *machine.disk_by_number(0);
  EXPECT_EQ(system.config.interface_type, "IDE");
  EXPECT_EQ(system.config.letter, 0);
  EXPECT_FALSE(system.mounted);
  EXPECT_EQ(system.pnp_id.rfind("IDE\\DISK", 0), 0u);

  Disk &stick = *machine.disk_by_letter('e');
  EXPECT_EQ(stick.number, 1);
  EXPECT_EQ(stick.size(), 256 * kMiB);
  EXPECT_EQ(stick.config.image, dir() / "corvantix-stick.img");
  EXPECT_EQ(stick.pnp_id.rfind("USBSTOR\\DISK&VEN_CORVANTI&PROD_VIRTUAL_STICK&", 0),
            0u);
  EXPECT_EQ(machine.disk_by_pnp_id(stick.pnp_id), &stick);
  ASSERT_TRUE(stick.mounted);
  EXPECT_EQ(stick.volume_offset, kShopOffset);
  // A new image is sparse: sold sticks are mostly empty.
  EXPECT_LT(allocated(stick.config.image), 16 * kMiB);

  platform::FileSystem &files = platform::native_file_system();
  EXPECT_EQ(files.list_tree("e:\\").files,
            (std::vector<std::string>{"e:\\README.TXT",
                                      "e:\\Photos\\Holiday 2011.txt"}));
  EXPECT_EQ(files.attributes("E:\\readme.txt"), platform::kAttributeArchive);
  EXPECT_EQ(files.attributes("e:/PHOTOS/holiday 2011.TXT"),
            platform::kAttributeArchive);
  EXPECT_EQ(files.attributes("E:\\..\\..\\README.TXT"),
            platform::kAttributeArchive)
      << "\"..\" stays on the volume";
  EXPECT_FALSE(files.volume_ready("F:\\"));
  EXPECT_EQ(run_tool({"mtype", "-i", mtools(stick.config.image), "::/README.TXT"})
                .out.find("USB stick") != std::string::npos,
            true);

  // A second machine over the same images finds them as they were left.
  Machine::install(nullptr);
  Machine::install(std::make_unique<Machine>(disks, dir() / "state"));
  EXPECT_EQ(files.attributes("E:\\README.TXT"), platform::kAttributeArchive);
}

// The demo stick comes from our own FAT code, with no mkfs.fat on the
// path, and an image that a failed making left behind is made afresh.
TEST_F(EmulatedMachine, TheDemoStickIsMadeWithoutMkfsAndRemadeWhenBroken) {
  fs::path stick_image = dir() / "corvantix-stick.img";
  const struct {
    const char *left;
    std::uint64_t size; // of the image left behind, 0: none
    bool zeros;         // else a shop stick with a mark at 100 MiB
  } cases[] = {
      {"nothing", 0, true},
      {"all zeros", 256 * kMiB, true},
      {"zeros of another size", kMiB, true},
      {"a stick of another size", 128 * kMiB, false},
      {"a sound stick", 256 * kMiB, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.left);
    Machine::install(nullptr);
    fs::remove(stick_image);
    if (c.size) {
      std::ofstream(stick_image, std::ios::binary);
      fs::resize_file(stick_image, c.size);
    }
    if (c.size && !c.zeros) {
      ASSERT_EQ(emulation::format_like_shop(stick_image, c.size), 0);
      write(stick_image, 100 * kMiB, "mark");
    }
    std::string path = std::getenv("PATH");
    ::setenv("PATH", (dir() / "no-tools").c_str(), 1);
    auto disks = emulation::demo_machine(dir());
    Machine::install(std::make_unique<Machine>(disks, dir() / "state"));
    ::setenv("PATH", path.c_str(), 1);

    ASSERT_TRUE(Machine::current().disk_by_letter('E')->mounted);
    EXPECT_EQ(fs::file_size(stick_image), 256 * kMiB);
    bool kept = c.size == 256 * kMiB && !c.zeros;
    EXPECT_EQ(read(stick_image, 100 * kMiB, 4) == "mark", kept);
    fs::path partition = dir() / "partition.img";
    ASSERT_TRUE(run_tool({"dd", "if=" + stick_image.string(),
                          "of=" + partition.string(), "bs=1M", "skip=1",
                          "conv=sparse", "status=none"})
                    .ok());
    auto judged = run_tool({"fsck.fat", "-n", partition.string()});
    EXPECT_TRUE(judged.ok()) << judged.out << judged.err;
  }
}

TEST_F(EmulatedMachine, AShopStickPastTwoTebibytesIsUsableUpToItsPartitionsEnd) {
  // Partition entries hold 32-bit sectors: the sold partition ends at the
  // last sector they reach, and its file system ends with it, or the stick
  // would come without a volume.
  image = dir() / "stick.img";
  Disk &disk = *machine_with(stick(image, 3ull << 40)).disk_by_letter('E');
  ASSERT_TRUE(disk.mounted);
  EXPECT_EQ(disk.volume_offset + disk.volume_length, 512ull << 32);
  EXPECT_EQ(platform::native_file_system().list_tree("E:\\").files.size(), 2u);
}

TEST_F(EmulatedMachine, EveryChangeIsInTheImageWhenTheCallReturns) {
  shop_machine();
  platform::FileSystem &files = platform::native_file_system();
  files.create_folders("E:\\HIDDEN\\Deep");
  {
    auto note = files.create_file("E:\\HIDDEN\\Deep\\NOTE.TXT");
    EXPECT_NE(attributes().find("::/HIDDEN/Deep/NOTE.TXT"), std::string::npos)
        << "created at once";
    note->write("note", 4);
    note->flush();
    EXPECT_EQ(run_tool({"mtype", "-i", mtools(image), "::/HIDDEN/Deep/NOTE.TXT"})
                  .out,
              "note");
    note->write(" more", 5);
  } // closing puts the rest
  EXPECT_EQ(run_tool({"mtype", "-i", mtools(image), "::/HIDDEN/Deep/NOTE.TXT"}).out,
            "note more");
  {
    auto kernel = files.create_file("E:\\KERNEL.SYS");
    kernel->write("kernel", 6);
    kernel->flush();
  }
  files.set_attributes("E:\\KERNEL.SYS", platform::kAttributeReadOnly |
                                              platform::kAttributeSystem |
                                              platform::kAttributeHidden);
  files.set_attributes("E:\\HIDDEN", platform::kAttributeHidden);
  std::string listed = attributes();
  EXPECT_NE(listed.find("     SHR     ::/KERNEL.SYS"), std::string::npos) << listed;
  EXPECT_NE(listed.find("      H      ::/HIDDEN\n"), std::string::npos) << listed;
  EXPECT_NE(listed.find("  A          ::/HIDDEN/Deep/NOTE.TXT"), std::string::npos)
      << listed;
  EXPECT_EQ(files.attributes("E:\\HIDDEN"),
            platform::kAttributeHidden | platform::kAttributeDirectory);

  // Nothing is kept elsewhere: a kill now loses nothing, and no private
  // copy of the stick's files is left anywhere.
  EXPECT_TRUE(fs::is_empty(dir() / "state"));
}

TEST_F(EmulatedMachine, MountingAndDismountingLeaveTheImageAlone) {
  Machine &machine = shop_machine();
  Disk &disk = *machine.disk_by_number(1);
  auto stamp = fs::last_write_time(image);
  std::string bytes = read(image, 0, 4 * kMiB);
  machine.dismount(disk);
  EXPECT_FALSE(platform::native_file_system().volume_ready("E:\\"));
  ASSERT_TRUE(machine.mount(disk));
  Machine::install(nullptr);
  EXPECT_EQ(fs::last_write_time(image), stamp);
  EXPECT_EQ(read(image, 0, 4 * kMiB), bytes);
  EXPECT_FALSE(fs::exists(dir() / "state")) << "the state folder is removed";
}

// A size the host file system cannot hold, or one past what a file offset
// can say: the message names the image, and no image of the machine is
// left behind, not even an empty one.
TEST_F(EmulatedMachine, AnImageThatCannotBeMadeStopsTheMachine) {
  for (std::uint64_t size : {std::uint64_t(1) << 62, ~std::uint64_t(0)}) {
    SCOPED_TRACE(size);
    auto first = stick(dir() / "first.img", 64 * kMiB);
    auto huge = stick(dir() / "huge.img", size, true);
    huge.letter = 'F';
    std::string message;
    try {
      Machine machine({first, huge}, dir() / "state");
    } catch (const corvantix::Error &e) {
      message = e.what();
    }
    EXPECT_NE(message.find("'" + (dir() / "huge.img").string() + "'"),
              std::string::npos)
        << message;
    EXPECT_FALSE(fs::exists(dir() / "huge.img"));
    EXPECT_FALSE(fs::exists(dir() / "first.img"));
  }
}

TEST_F(EmulatedMachine, OnlyValidFatFileSystemsMount) {
  Machine &machine = shop_machine();
  Disk &disk = *machine.disk_by_number(1);
  machine.dismount(disk);
  std::string boot = read(image, kShopOffset, 512);

  write(image, kShopOffset + 510, std::string(2, '\0'));
  EXPECT_FALSE(machine.mount(disk)) << "no 55 AA";
  write(image, kShopOffset, boot);
  write(image, kShopOffset + 13, std::string(1, '\3'));
  EXPECT_FALSE(machine.mount(disk)) << "3 sectors per cluster";
  write(image, kShopOffset, boot);
  ASSERT_TRUE(machine.mount(disk));
  machine.dismount(disk);

  // A FAT32 parameter block over fewer than 65,525 clusters reads as FAT16.
  Machine::install(nullptr);
  image = dir() / "small.img";
  Machine &second = machine_with(stick(image, 40 * kMiB, true));
  Disk &small = *second.disk_by_number(1);
  ASSERT_TRUE(run_tool({"mkfs.fat", "-F", "32", "-s", "1", "--offset", "2048",
                        "--mbr=n", image.string()})
                  .ok());
  std::string mbr(512, '\0');
  mbr[446 + 4] = 0x0C;
  std::uint32_t start = 2048, count = 40 * kMiB / 512 - 2048;
  std::memcpy(&mbr[446 + 8], &start, 4);
  std::memcpy(&mbr[446 + 12], &count, 4);
  mbr[510] = '\x55';
  mbr[511] = '\xAA';
  write(image, 0, mbr);
  ASSERT_TRUE(second.mount(small)) << "80,000 clusters of one sector";
  second.dismount(small);
  write(image, kShopOffset + 13, std::string(1, '\x08'));
  EXPECT_FALSE(second.mount(small)) << "10,000 clusters of eight sectors";

  // Without a letter or with the node stopped there is no volume.
  Disk &unlettered = *second.disk_by_number(0);
  EXPECT_FALSE(second.mount(unlettered));
  Disk &stopped = *second.disk_by_number(1);
  stopped.node_enabled = false;
  EXPECT_FALSE(stopped.volume_present());
  EXPECT_FALSE(second.mount(stopped));
}

TEST_F(EmulatedMachine, TheLockHidesTheFilesAndRawWritesMakeThemStale) {
  Machine &machine = shop_machine();
  Disk &disk = *machine.disk_by_number(1);
  platform::FileSystem &files = platform::native_file_system();
  files.create_folders("E:\\BEFORE");
  HANDLE volume = CreateFileA("\\\\.\\E:", GENERIC_READ | GENERIC_WRITE, 3,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(volume, INVALID_HANDLE_VALUE);
  EXPECT_EQ(disk.open_volume_handles, 1);
  DWORD returned;
  ASSERT_TRUE(DeviceIoControl(volume, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr,
                              0, &returned, nullptr));
  EXPECT_NE(attributes().find("::/BEFORE"), std::string::npos);
  EXPECT_FALSE(files.volume_ready("E:\\")) << "locked volumes hide";
  EXPECT_THROW(files.attributes("E:\\BEFORE"), platform::FileError);

  // Nobody else opens or locks the volume meanwhile.
  EXPECT_EQ(CreateFileA("\\\\.\\E:", GENERIC_READ, 3, nullptr, OPEN_EXISTING,
                        0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(DeviceIoControl(volume, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr,
                               0, &returned, nullptr));

  // Through the volume handle: offset 0 is the partition's first sector.
  alignas(512) static char sector[512];
  DWORD done;
  ASSERT_NE(SetFilePointer(volume, 512 * 10, nullptr, FILE_BEGIN),
            INVALID_SET_FILE_POINTER);
  std::memset(sector, 0x42, sizeof sector);
  ASSERT_TRUE(WriteFile(volume, sector, 512, &done, nullptr));
  EXPECT_EQ(done, 512u);
  EXPECT_EQ(read(image, kShopOffset + 5120, 512), std::string(512, 'B'));
  EXPECT_TRUE(disk.stale);

  ASSERT_TRUE(DeviceIoControl(volume, FSCTL_UNLOCK_VOLUME, nullptr, 0,
                              nullptr, 0, &returned, nullptr));
  EXPECT_FALSE(DeviceIoControl(volume, FSCTL_UNLOCK_VOLUME, nullptr, 0,
                               nullptr, 0, &returned, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_LOCKED));
  ASSERT_TRUE(CloseHandle(volume));
  EXPECT_EQ(disk.open_volume_handles, 0);
  EXPECT_FALSE(CloseHandle(volume));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));

  // No file is written over the disk's new sectors until a mount reads
  // them again.
  EXPECT_FALSE(files.volume_ready("E:\\"));
  EXPECT_THROW(files.create_folders("E:\\AFTER"), platform::FileError);
  machine.dismount(disk);
  EXPECT_EQ(read(image, kShopOffset + 5120, 512), std::string(512, 'B'));
}

// FSCTL_DISMOUNT_VOLUME under the lock: raw writes no longer make the
// volume stale, and releasing the lock mounts it afresh, reading the file
// system as the writes left it. Without it the volume stays stale.
class MachineDismount : public EmulatedMachine {};

TEST_F(MachineDismount, ReleasingTheLockMountsADismountedVolumeAfresh) {
  struct Case {
    bool dismount, by_close, break_boot_sector, ready_after;
  } cases[] = {
      {false, false, false, false},
      {true, false, false, true},
      {true, true, false, true},
      {true, false, true, false},
  };
  platform::FileSystem &files = platform::native_file_system();
  alignas(512) static char sector[512];
  DWORD done;
  int row = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(row);
    image = dir() / ("stick" + std::to_string(row++) + ".img");
    Disk &disk = *machine_with(stick(image, 256 * kMiB)).disk_by_number(1);
    HANDLE whole = CreateFileA("\\\\.\\PhysicalDrive1", GENERIC_READ, 3,
                               nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE volume = CreateFileA("\\\\.\\E:", GENERIC_READ | GENERIC_WRITE, 3,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    for (HANDLE unlocked : {whole, volume}) { // only the lock's holder
      EXPECT_FALSE(DeviceIoControl(unlocked, FSCTL_DISMOUNT_VOLUME, nullptr, 0,
                                   nullptr, 0, &done, nullptr));
      EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    }
    CloseHandle(whole);
    ASSERT_TRUE(DeviceIoControl(volume, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr,
                                0, &done, nullptr));
    if (c.dismount) {
      ASSERT_TRUE(DeviceIoControl(volume, FSCTL_DISMOUNT_VOLUME, nullptr, 0,
                                  nullptr, 0, &done, nullptr));
      EXPECT_FALSE(disk.mounted);
    }
    // Sector 10 is reserved and unused; sector 0 is the boot sector.
    std::uint64_t at = c.break_boot_sector ? 0 : 10 * 512;
    std::memset(sector, c.break_boot_sector ? 0 : 0x42, sizeof sector);
    SetFilePointer(volume, LONG(at), nullptr, FILE_BEGIN);
    ASSERT_TRUE(WriteFile(volume, sector, 512, &done, nullptr));
    EXPECT_EQ(read(image, kShopOffset + at, 512), std::string(sector, 512))
        << "the volume keeps its extent";
    EXPECT_EQ(disk.stale, !c.dismount);
    EXPECT_FALSE(files.volume_ready("E:\\"));
    if (c.by_close)
      CloseHandle(volume);
    else
      ASSERT_TRUE(DeviceIoControl(volume, FSCTL_UNLOCK_VOLUME, nullptr, 0,
                                  nullptr, 0, &done, nullptr));
    EXPECT_FALSE(disk.volume_locked);
    EXPECT_EQ(files.volume_ready("E:\\"), c.ready_after);
    if (c.ready_after) {
      EXPECT_EQ(files.attributes("E:\\README.TXT"),
                platform::kAttributeArchive);
    }
    if (!c.by_close)
      CloseHandle(volume);
    EXPECT_EQ(files.volume_ready("E:\\"), c.ready_after) << "once closed";
  }
}

TEST_F(EmulatedMachine, ClosingTheLockingHandleEndsTheLock) {
  Machine &machine = shop_machine();
  Disk &disk = *machine.disk_by_number(1);
  HANDLE volume = CreateFileA("\\\\.\\E:", GENERIC_READ | GENERIC_WRITE, 3,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  DWORD returned;
  ASSERT_TRUE(DeviceIoControl(volume, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr,
                              0, &returned, nullptr));
  EXPECT_TRUE(disk.volume_locked);
  CloseHandle(volume);
  EXPECT_FALSE(disk.volume_locked);
  EXPECT_TRUE(platform::native_file_system().volume_ready("E:\\"));
  // The lock is a volume's: a disk handle cannot take it.
  HANDLE whole = CreateFileA("\\\\.\\PHYSICALDRIVE1", GENERIC_READ, 3, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(whole, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(DeviceIoControl(whole, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr,
                               0, &returned, nullptr));
  CloseHandle(whole);
}

TEST_F(EmulatedMachine, DevicePathsAndShareModes) {
  Machine &machine = shop_machine();
  auto open = [](const char *path, DWORD access, DWORD share) {
    return CreateFileA(path, access, share, nullptr, OPEN_EXISTING, 0, nullptr);
  };
  for (const char *missing : {"\\\\.\\PhysicalDrive2", "\\\\.\\F:",
                              "\\\\.\\PhysicalDrive", "\\\\.\\E:\\",
                              "E:\\README.TXT", "\\\\.\\PhysicalDrive1x"}) {
    EXPECT_EQ(open(missing, GENERIC_READ, 3), INVALID_HANDLE_VALUE) << missing;
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND)) << missing;
  }
  EXPECT_EQ(CreateFileA("\\\\.\\E:", GENERIC_READ, 3, nullptr, CREATE_ALWAYS,
                        0, nullptr),
            INVALID_HANDLE_VALUE);

  HANDLE reader = open("\\\\.\\PhysicalDrive1", GENERIC_READ, FILE_SHARE_READ);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  // A writer is refused by the reader's share mode; a reader that does not
  // share reading is refused too; volume handles are separate objects.
  EXPECT_EQ(open("\\\\.\\physicaldrive1", GENERIC_WRITE, 3), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(open("\\\\.\\PhysicalDrive1", GENERIC_READ, FILE_SHARE_WRITE),
            INVALID_HANDLE_VALUE);
  HANDLE second = open("\\\\.\\PhysicalDrive1", GENERIC_READ, 3);
  EXPECT_NE(second, INVALID_HANDLE_VALUE);
  HANDLE volume = open("\\\\.\\e:", GENERIC_READ | GENERIC_WRITE, 0);
  EXPECT_NE(volume, INVALID_HANDLE_VALUE);

  // A handle opened for reading does not write.
  alignas(512) static char sector[512];
  DWORD done;
  EXPECT_FALSE(WriteFile(reader, sector, 512, &done, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(WriteFile(reader, sector, 512, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  ASSERT_TRUE(ReadFile(reader, sector, 512, &done, nullptr));
  EXPECT_EQ(std::string(sector + 510, 2), "\x55\xAA");

  for (HANDLE h : {reader, second, volume})
    CloseHandle(h);
  EXPECT_TRUE(machine.handles().empty());

  // A stopped node has no devices.
  machine.disk_by_number(1)->node_enabled = false;
  EXPECT_EQ(open("\\\\.\\PhysicalDrive1", GENERIC_READ, 3), INVALID_HANDLE_VALUE);
  EXPECT_EQ(open("\\\\.\\E:", GENERIC_READ, 3), INVALID_HANDLE_VALUE);
}

TEST_F(EmulatedMachine, GeometryAndSeeks) {
  image = dir() / "big.img";
  auto config = stick(image, 3000000000000, true);
  config.sector_size = 4096;
  Machine &machine = machine_with(config);
  HANDLE disk = CreateFileA("\\\\.\\PhysicalDrive1", GENERIC_READ, 3, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  DISK_GEOMETRY_EX geometry;
  DWORD returned = 0;
  ASSERT_TRUE(DeviceIoControl(disk, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr,
                              0, &geometry, sizeof geometry, &returned,
                              nullptr));
  EXPECT_EQ(geometry.DiskSize.QuadPart, 3000000000000);
  EXPECT_EQ(geometry.Geometry.BytesPerSector, 4096u);
  EXPECT_EQ(geometry.Geometry.MediaType, RemovableMedia);
  EXPECT_GE(returned, 32u);
  EXPECT_FALSE(DeviceIoControl(disk, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr,
                               0, &geometry, 24, &returned, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_FALSE(DeviceIoControl(disk, 0x2D1400, nullptr, 0, nullptr, 0,
                               &returned, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_FUNCTION));
  EXPECT_EQ(allocated(image), 0u) << "a 3 TB disk is a sparse file";

  // 32-bit seeks, the high part, and the end of the disk.
  EXPECT_EQ(SetFilePointer(disk, -1, nullptr, FILE_BEGIN),
            INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NEGATIVE_SEEK));
  EXPECT_EQ(SetFilePointer(disk, 0, nullptr, FILE_END), INVALID_SET_FILE_POINTER);
  LONG high = 0;
  EXPECT_EQ(SetFilePointer(disk, 0, &high, FILE_END),
            DWORD(3000000000000 & 0xFFFFFFFF));
  EXPECT_EQ(high, LONG(3000000000000 >> 32));
  high = 1;
  EXPECT_EQ(SetFilePointer(disk, 16, &high, FILE_BEGIN), 16u);
  EXPECT_EQ(machine.handles().begin()->second.position, (1ull << 32) + 16);
  EXPECT_EQ(SetFilePointer(disk, 4, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
  CloseHandle(disk);
}

TEST_F(EmulatedMachine, WritesKeepSparseImagesSparseAndReadTheSame) {
  image = dir() / "sparse.img";
  Machine &machine = machine_with(stick(image, 64 * kMiB, true));
  HANDLE disk = CreateFileA("\\\\.\\PhysicalDrive1", GENERIC_WRITE, 3, nullptr,
                            OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
  void *buffer = VirtualAlloc(nullptr, 8 * kMiB, MEM_COMMIT | MEM_RESERVE,
                              PAGE_READWRITE);
  ASSERT_TRUE(buffer);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer) % 4096, 0u);
  auto *bytes = static_cast<unsigned char *>(buffer);
  EXPECT_EQ(std::count(bytes, bytes + 8 * kMiB, 0), std::ptrdiff_t(8 * kMiB));
  bytes[512] = 1;                        // inside the first block
  std::memset(bytes + 4 * kMiB, 7, 4096); // one whole block
  bytes[8 * kMiB - 1] = 9;                // the last byte

  // Data already there is really overwritten by the zeros.
  write(image, 2 * kMiB + 512, std::string(4096 * 3, 'x'));
  SetFilePointer(disk, 512, nullptr, FILE_BEGIN);
  DWORD done;
  ASSERT_TRUE(WriteFile(disk, buffer, 8 * kMiB, &done, nullptr));
  std::string written = read(image, 512, 8 * kMiB);
  EXPECT_EQ(std::memcmp(written.data(), buffer, 8 * kMiB), 0);
  EXPECT_LE(allocated(image), 5 * 4096u);
  EXPECT_TRUE(VirtualFree(buffer, 0, MEM_RELEASE));
  EXPECT_FALSE(VirtualFree(buffer, 0, MEM_RELEASE));
  EXPECT_EQ(emulation::virtual_blocks(), 0u);
  EXPECT_EQ(machine.writes().back().size, 8 * kMiB);
  CloseHandle(disk);
}

TEST_F(EmulatedMachine, FaultsHitTheChosenCallOnce) {
  Machine &machine = shop_machine();
  machine.fail_call("CreateFileA", ERROR_GEN_FAILURE, 1);
  machine.fail_call("CreateFileA", ERROR_NOT_READY);
  HANDLE first = CreateFileA("\\\\.\\E:", GENERIC_READ, 3, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(first, INVALID_HANDLE_VALUE);
  EXPECT_EQ(CreateFileA("\\\\.\\E:", GENERIC_READ, 3, nullptr, OPEN_EXISTING,
                        0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_GEN_FAILURE));
  EXPECT_EQ(CreateFileA("\\\\.\\E:", GENERIC_READ, 3, nullptr, OPEN_EXISTING,
                        0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_READY));
  HANDLE last = CreateFileA("\\\\.\\E:", GENERIC_READ, 3, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(last, INVALID_HANDLE_VALUE);

  machine.fail_call("FSCTL_UNLOCK_VOLUME", ERROR_IO_DEVICE);
  machine.clear_faults();
  EXPECT_FALSE(machine.take_fault("FSCTL_UNLOCK_VOLUME"));
  CloseHandle(first);
  CloseHandle(last);
}

TEST_F(EmulatedMachine, LastErrorBelongsToEachThread) {
  shop_machine();
  CreateFileA("\\\\.\\Q:", GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  DWORD other = 1234;
  std::thread([&] { other = GetLastError(); }).join();
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(other, 0u);
}

TEST_F(EmulatedMachine, LocalTimeCanBeFixedForTests) {
  SYSTEMTIME fixed = {2011, 6, 2, 21, 14, 35, 7, 250}, now;
  emulation::set_local_time(&fixed);
  GetLocalTime(&now);
  EXPECT_EQ(std::memcmp(&now, &fixed, sizeof now), 0);
  emulation::set_local_time(nullptr);
  GetLocalTime(&now);
  std::time_t t = std::time(nullptr);
  std::tm local;
  localtime_r(&t, &local);
  EXPECT_EQ(now.wYear, local.tm_year + 1900);
  EXPECT_EQ(now.wDayOfWeek, local.tm_wday);
  EXPECT_LT(now.wMilliseconds, 1000);
}

} // namespace
