// Discovery of USB disks from an inventory made up by the test.
#include "device/inventory.h"
#include "device/usb_disk.h"
#include "strings/error.h"
#include "strings/res.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

namespace corvantix {
namespace {

struct Record {
  std::map<std::string, InventoryValue> values;
  std::map<std::string, std::vector<const Record *>> related;
  bool fails = false; ///< asking for its associators throws
};

// What the inventory hands out: a view of a record it keeps.
struct View : InventoryObject {
  explicit View(const Record *record) : record(record) {}
  std::optional<InventoryValue> property(const std::string &name) const override {
    auto found = record->values.find(name);
    if (found == record->values.end())
      return std::nullopt;
    return found->second;
  }
  const Record *record;
};

/// One drive as the test describes it.
struct Drive {
  std::optional<std::string> interface_type = "USB";
  std::string model = "Stick";
  std::optional<InventoryValue> size = InventoryValue(std::string("1048576"));
  /// For each partition in order, the letters of its logical disks.
  std::vector<std::string> partitions = {"E"};
  std::set<std::string> missing = {}; ///< properties the drive lacks
  bool fails = false;
};

class FakeInventory : public Inventory {
public:
  void add(const Drive &d) {
    int n = int(drives_.size()) + 1;
    Record &drive = make();
    std::string device = "\\\\.\\PHYSICALDRIVE" + std::to_string(n);
    if (d.interface_type)
      drive.values["InterfaceType"] = *d.interface_type;
    drive.values["DeviceID"] = device;
    drive.values["Model"] = d.model;
    drive.values["PNPDeviceID"] =
        "USBSTOR\\DISK&VEN_FAKE&PROD_" + std::to_string(n) + "\\0";
    if (d.size)
      drive.values["Size"] = *d.size;
    drive.values["__PATH"] = "\\\\HOST\\root\\cimv2:Win32_DiskDrive.DeviceID=\"" +
                             device + "\"";
    for (const std::string &name : d.missing)
      drive.values.erase(name);
    drive.fails = d.fails;
    for (std::size_t p = 0; p < d.partitions.size(); ++p) {
      Record &partition = make();
      partition.values["__PATH"] = "\\\\HOST\\root\\cimv2:Win32_DiskPartition."
                                   "DeviceID=\"Disk #" +
                                   std::to_string(n) + ", Partition #" +
                                   std::to_string(p) + "\"";
      for (char letter : d.partitions[p]) {
        Record &logical = make();
        logical.values["__PATH"] =
            "\\\\HOST\\root\\cimv2:Win32_LogicalDisk.DeviceID=\"" +
            std::string(1, letter) + ":\"";
        partition.related["Win32_LogicalDisk"].push_back(&logical);
      }
      drive.related["Win32_DiskPartition"].push_back(&partition);
    }
    drives_.push_back(&drive);
  }

  std::vector<InventoryObjectPtr>
  instances(const std::string &class_name) override {
    EXPECT_EQ(class_name, "Win32_DiskDrive");
    return views(drives_);
  }

  std::vector<InventoryObjectPtr>
  associators(const InventoryObject &object,
              const std::string &result_class) override {
    const Record *record = dynamic_cast<const View &>(object).record;
    if (record->fails)
      throw Error("0x80041033 Shutting down");
    auto found = record->related.find(result_class);
    if (found == record->related.end())
      return {};
    return views(found->second);
  }

private:
  Record &make() { return *records_.emplace_back(std::make_unique<Record>()); }

  static std::vector<InventoryObjectPtr>
  views(const std::vector<const Record *> &records) {
    std::vector<InventoryObjectPtr> out;
    for (const Record *r : records)
      out.push_back(std::make_unique<View>(r));
    return out;
  }

  std::vector<std::unique_ptr<Record>> records_;
  std::vector<const Record *> drives_;
};

class UsbListTest : public ::testing::Test {
protected:
  void SetUp() override { Res::init_for("en-US"); }

  std::string letters(const UsbList &list) {
    std::string seen;
    for (const UsbDiskPtr &disk : list.disks)
      seen += disk->letter;
    return seen;
  }

  std::string found(const std::vector<Drive> &drives) {
    FakeInventory inventory;
    for (const Drive &d : drives)
      inventory.add(d);
    UsbList list;
    list.build(inventory);
    return letters(list);
  }
};

TEST_F(UsbListTest, TakesTheDriveValuesAndTheLetterOfTheLogicalDiskPath) {
  FakeInventory inventory;
  inventory.add({.model = "Kingston DataTraveler",
                 .size = InventoryValue(std::string("4000000000")),
                 .partitions = {"F"}});
  UsbList list;
  list.build(inventory);
  ASSERT_EQ(list.disks.size(), 1u);
  const UsbDisk &disk = *list.disks[0];
  EXPECT_EQ(disk.deviceID, "\\\\.\\PHYSICALDRIVE1");
  EXPECT_EQ(disk.model, "Kingston DataTraveler");
  EXPECT_EQ(disk.pnpID, "USBSTOR\\DISK&VEN_FAKE&PROD_1\\0");
  EXPECT_EQ(disk.size, 4000000000u);
  EXPECT_EQ(disk.letter, 'F');
  EXPECT_EQ(disk.path, "F:\\");
  EXPECT_EQ(disk.ToString(), "F:\\ Kingston DataTraveler (3814 MB)");
}

TEST_F(UsbListTest, NoUsbDiskGivesAnEmptyList) {
  EXPECT_EQ(found({}), "");
  EXPECT_EQ(found({{.interface_type = "IDE"}, {.interface_type = "SCSI"}}), "");
}

TEST_F(UsbListTest, InterfaceTypeMustContainUsbInUpperCase) {
  EXPECT_EQ(found({{.interface_type = "USB", .partitions = {"E"}},
                   {.interface_type = "XUSBX", .partitions = {"F"}},
                   {.interface_type = "usb", .partitions = {"G"}},
                   {.interface_type = "1394", .partitions = {"H"}},
                   {.interface_type = std::nullopt, .partitions = {"I"}},
                   {.interface_type = "", .partitions = {"J"}}}),
            "EF");
}

TEST_F(UsbListTest, OnlyTheFirstPartitionsFirstLogicalDiskCounts) {
  EXPECT_EQ(found({{.partitions = {}}}), "") << "empty partition table";
  EXPECT_EQ(found({{.partitions = {"", "F"}}}), "")
      << "the first partition has no letter, the second has";
  EXPECT_EQ(found({{.partitions = {"E", "F"}}}), "E");
  EXPECT_EQ(found({{.partitions = {"GH"}}}), "G");
  EXPECT_EQ(found({{.partitions = {""}}, {.partitions = {"K"}}}), "K");
}

TEST_F(UsbListTest, DrivesMissingAValueAreSkipped) {
  for (const char *name : {"DeviceID", "Model", "PNPDeviceID", "Size", "__PATH"})
    EXPECT_EQ(found({{.missing = {name}}, {.partitions = {"F"}}}), "F") << name;
  EXPECT_EQ(found({{.size = std::nullopt}}), "");
  EXPECT_EQ(found({{.size = InventoryValue(std::string("lots"))}}), "");
  EXPECT_EQ(found({{.size = InventoryValue(std::string(""))}}), "");
  EXPECT_EQ(found({{.size = InventoryValue(std::uint64_t(512))}}), "E")
      << "a size handed over as a number";
}

TEST_F(UsbListTest, LogicalDiskPathWithoutDeviceIdKeyGivesNoDisk) {
  // Guard against reading a letter from before the start of the path.
  struct Odd : FakeInventory {
    std::vector<InventoryObjectPtr>
    associators(const InventoryObject &object,
                const std::string &result_class) override {
      auto found = FakeInventory::associators(object, result_class);
      if (result_class != "Win32_LogicalDisk")
        return found;
      Record *r = const_cast<Record *>(
          dynamic_cast<const View &>(*found.at(0)).record);
      r->values["__PATH"] = std::string("Win32_LogicalDisk.Name=\"E:\"");
      return found;
    }
  } inventory;
  inventory.add({});
  UsbList list;
  list.build(inventory);
  EXPECT_TRUE(list.disks.empty());
}

TEST_F(UsbListTest, RebuildReplacesTheListAndHeldDisksStayValid) {
  FakeInventory before;
  before.add({.model = "Old", .partitions = {"E"}});
  before.add({.model = "Gone", .partitions = {"F"}});
  UsbList list;
  list.build(before);
  ASSERT_EQ(letters(list), "EF");
  UsbDiskPtr held = list.disks[1]; // as a running pipeline holds it

  FakeInventory after;
  after.add({.model = "New", .partitions = {"G"}});
  after.add({.model = "Old", .partitions = {"E"}});
  list.build(after);
  EXPECT_EQ(letters(list), "GE");
  EXPECT_EQ(held.use_count(), 1);
  EXPECT_EQ(held->model, "Gone");
  EXPECT_EQ(held->ToString(), "F:\\ Gone (1 MB)");
}

TEST_F(UsbListTest, InventoryFailureReachesTheCallerWithEarlierDisksKept) {
  FakeInventory inventory;
  inventory.add({.partitions = {"E"}});
  inventory.add({.partitions = {"F"}, .fails = true});
  inventory.add({.partitions = {"G"}});
  UsbList list;
  EXPECT_THROW(list.build(inventory), Error);
  EXPECT_EQ(letters(list), "E");
}

TEST_F(UsbListTest, ByLetterComparesExactly) {
  FakeInventory inventory;
  inventory.add({.model = "first", .partitions = {"E"}});
  inventory.add({.model = "second", .partitions = {"F"}});
  UsbList list;
  EXPECT_EQ(list.by_letter('E'), nullptr);
  list.build(inventory);
  ASSERT_NE(list.by_letter('F'), nullptr);
  EXPECT_EQ(list.by_letter('F')->model, "second");
  EXPECT_EQ(list.by_letter('e'), nullptr);
  EXPECT_EQ(list.by_letter('Z'), nullptr);
  EXPECT_EQ(list.by_letter('\0'), nullptr);
}

// A run that names a letter hears whether there is no USB disk at all or
// only none with that letter.
TEST_F(UsbListTest, AMissingLetterIsToldApartFromNoDiskAtAll) {
  FakeInventory none, one;
  one.add({.partitions = {"E"}});
  struct Case {
    FakeInventory *inventory;
    char letter;
    const char *text;
  } cases[] = {
      {&none, 'E', "No USB disk was found. Plug in the stick and try again."},
      {&one, 'F', "F:\\ is not a USB drive."},
      {&one, 'e', "e:\\ is not a USB drive."},
  };
  for (const Case &c : cases) {
    UsbList list;
    list.build(*c.inventory);
    EXPECT_EQ(list.missing_letter_text(c.letter), c.text) << c.letter;
  }
}

TEST(UsbDisk, DisplayTextShowsWholeMebibytesRoundedDown) {
  Res::init_for("en-US");
  auto shown = [](std::uint64_t size) {
    return UsbDisk("\\\\.\\PHYSICALDRIVE1", "M", size, "USBSTOR\\X", 'E')
        .ToString();
  };
  EXPECT_EQ(shown(0), "E:\\ M (0 MB)");
  EXPECT_EQ(shown(1048575), "E:\\ M (0 MB)");
  EXPECT_EQ(shown(1048576), "E:\\ M (1 MB)");
  EXPECT_EQ(shown(4294967296ull), "E:\\ M (4096 MB)");
  EXPECT_EQ(shown(4000000000ull), "E:\\ M (3814 MB)");
  EXPECT_EQ(shown(~0ull), "E:\\ M (17592186044415 MB)");
  Res::init_for("de-DE");
  EXPECT_EQ(shown(4294967296ull), "E:\\ M (4096 MB)");
  Res::init_for("en-US");
}

} // namespace
} // namespace corvantix
