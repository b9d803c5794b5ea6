#include "platform/host/machine/linux_disks.h"

#include "platform/host/machine/fat_probe.h"
#include "platform/host/machine/fd.h"
#include "platform/host/machine/host_tools.h"
#include "platform/host/win32/win32_types.h"
#include "strings/res.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <sstream>
#include <thread>

namespace corvantix::emulation {
namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kSysfsSector = 512; // unit of sysfs size and start

std::string trimmed(std::string text) {
  auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
  text.erase(std::find_if_not(text.rbegin(), text.rend(), blank).base(),
             text.end());
  text.erase(text.begin(), std::find_if_not(text.begin(), text.end(), blank));
  return text;
}

// A sysfs attribute's text without its surrounding blanks; empty when the
// attribute is missing.
std::string attribute(const fs::path &file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return trimmed(text.str());
}

std::optional<std::uint64_t> number_attribute(const fs::path &file) {
  std::string text = attribute(file);
  std::uint64_t value;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size())
    return std::nullopt;
  return value;
}

// Windows' form of a device-identifier field: upper case, at most `width`
// characters, '_' for blanks, for what is not printable ASCII and for the
// separators '\\', '&' and ','.
std::string id_field(std::string text, std::size_t width) {
  text = text.substr(0, width);
  for (char &c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    bool plain = u > ' ' && u < 0x7F && c != '\\' && c != '&' && c != ',';
    c = plain ? char(std::toupper(u)) : '_';
  }
  return text;
}

// The path's components below `root`, or none when it is not below it.
std::vector<std::string> components_below(const fs::path &path,
                                          const fs::path &root) {
  fs::path relative = path.lexically_relative(root);
  std::vector<std::string> parts;
  if (relative.empty() || *relative.begin() == "..")
    return parts;
  for (const fs::path &part : relative)
    parts.push_back(part.string());
  return parts;
}

bool is_usb_bus(const std::string &component) {
  return component.size() > 3 && component.rfind("usb", 0) == 0 &&
         std::all_of(component.begin() + 3, component.end(),
                     [](unsigned char c) { return std::isdigit(c); });
}

// The USB device (the folder with idVendor) that `device` hangs from.
std::optional<fs::path> usb_device_above(fs::path device, const fs::path &root) {
  for (; !components_below(device, root).empty(); device = device.parent_path())
    if (fs::exists(device / "idVendor"))
      return device;
  return std::nullopt;
}

// The SCSI logical unit of a device folder named host:channel:target:lun.
std::string logical_unit(const fs::path &device) {
  std::string name = device.filename().string();
  std::size_t colon = name.rfind(':');
  if (colon == std::string::npos || std::count(name.begin(), name.end(), ':') != 3)
    return "0";
  return name.substr(colon + 1);
}

// The identifier Windows' USB storage driver gives the disk: vendor,
// product and revision from the disk's inquiry data, then the stick's USB
// serial number and the logical unit (a card reader shows one disk per
// slot, all with the reader's serial). A stick without a serial number is
// named by its USB ids and port, as Windows names it by its location.
std::string usb_pnp_id(const fs::path &device, const fs::path &usb_device) {
  std::string rev = attribute(device / "rev");
  if (rev.empty())
    rev = attribute(usb_device / "bcdDevice");
  std::string serial = attribute(usb_device / "serial");
  std::string instance =
      serial.empty()
          ? "VID_" + id_field(attribute(usb_device / "idVendor"), 4) + "&PID_" +
                id_field(attribute(usb_device / "idProduct"), 4) + "&" +
                id_field(usb_device.filename().string(), 32)
          : id_field(serial, 64);
  return "USBSTOR\\DISK&VEN_" + id_field(attribute(device / "vendor"), 8) +
         "&PROD_" + id_field(attribute(device / "model"), 16) + "&REV_" +
         id_field(rev, 4) + "\\" + instance + "&" + logical_unit(device);
}

std::string model_of(const fs::path &device) {
  std::string vendor = attribute(device / "vendor");
  std::string model = attribute(device / "model");
  if (vendor.empty() || model.empty())
    return vendor + model;
  return vendor + " " + model;
}

// The devices stacked on the block device of `block_dir`, and on those.
void collect_holders(const fs::path &block_dir, int depth,
                     std::vector<DeviceNumber> &holders) {
  std::error_code error;
  if (depth > 4)
    return;
  for (const auto &entry : fs::directory_iterator(block_dir / "holders", error)) {
    if (auto number = parse_device_number(attribute(entry.path() / "dev")))
      holders.push_back(*number);
    collect_holders(entry.path(), depth + 1, holders);
  }
}

std::vector<LinuxPartition> partitions_of(const fs::path &block_dir,
                                          std::vector<DeviceNumber> &holders) {
  std::vector<LinuxPartition> partitions;
  std::error_code error;
  for (const auto &entry : fs::directory_iterator(block_dir, error)) {
    auto number = number_attribute(entry.path() / "partition");
    auto device = parse_device_number(attribute(entry.path() / "dev"));
    if (!number || !device)
      continue;
    LinuxPartition partition;
    partition.name = entry.path().filename().string();
    partition.number = int(*number);
    partition.device = *device;
    partition.offset =
        number_attribute(entry.path() / "start").value_or(0) * kSysfsSector;
    partition.size =
        number_attribute(entry.path() / "size").value_or(0) * kSysfsSector;
    partitions.push_back(partition);
    collect_holders(entry.path(), 0, holders);
  }
  std::sort(partitions.begin(), partitions.end(),
            [](const auto &a, const auto &b) { return a.number < b.number; });
  return partitions;
}

// sdb before sdc before sdaa.
bool kernel_name_order(const LinuxDisk &a, const LinuxDisk &b) {
  if (a.name.size() != b.name.size())
    return a.name.size() < b.name.size();
  return a.name < b.name;
}

} // namespace

std::optional<DeviceNumber> parse_device_number(std::string_view text) {
  std::size_t colon = text.find(':');
  if (colon == std::string_view::npos)
    return std::nullopt;
  DeviceNumber number;
  const char *end = text.data() + text.size();
  auto major = std::from_chars(text.data(), text.data() + colon, number.major);
  auto minor = std::from_chars(text.data() + colon + 1, end, number.minor);
  if (colon == 0 || major.ptr != text.data() + colon ||
      major.ec != std::errc() || minor.ptr != end || minor.ec != std::errc() ||
      colon + 1 == text.size())
    return std::nullopt;
  return number;
}

const LinuxPartition *LinuxDisk::first_partition() const {
  for (const LinuxPartition &partition : partitions)
    if (partition.number == 1)
      return &partition;
  return nullptr;
}

std::string partition_name(const std::string &disk, int number) {
  bool ends_in_digit =
      !disk.empty() && std::isdigit(static_cast<unsigned char>(disk.back()));
  return disk + (ends_in_digit ? "p" : "") + std::to_string(number);
}

std::optional<LinuxDisk> describe_disk(const fs::path &block_dir,
                                       const LinuxRoots &roots) {
  std::error_code error;
  auto device = parse_device_number(attribute(block_dir / "dev"));
  if (!device || fs::exists(block_dir / "partition", error))
    return std::nullopt;
  LinuxDisk disk;
  disk.name = block_dir.filename().string();
  disk.node = roots.dev / disk.name;
  disk.device = *device;
  disk.read_only = attribute(block_dir / "ro") == "1";
  disk.size = number_attribute(block_dir / "size").value_or(0) * kSysfsSector;
  disk.sector_size = std::uint32_t(
      number_attribute(block_dir / "queue/logical_block_size").value_or(512));

  fs::path sys = fs::weakly_canonical(roots.sys, error);
  fs::path hardware = fs::canonical(block_dir / "device", error);
  if (!error) {
    auto parts = components_below(hardware, sys);
    disk.usb = std::any_of(parts.begin(), parts.end(), is_usb_bus);
    disk.model = model_of(hardware);
    if (auto usb_device = usb_device_above(hardware, sys); disk.usb && usb_device)
      disk.pnp_id = usb_pnp_id(hardware, *usb_device);
  }
  disk.partitions = partitions_of(block_dir, disk.holders);
  collect_holders(block_dir, 0, disk.holders);
  if (const LinuxPartition *first = disk.first_partition())
    disk.first_partition_fat =
        holds_mountable_fat(roots.dev / first->name, 0, first->size);
  return disk;
}

std::optional<LinuxDisk> describe_block_device(const fs::path &node,
                                               const LinuxRoots &roots) {
  struct stat status;
  if (stat(node.c_str(), &status) != 0 || !S_ISBLK(status.st_mode))
    return std::nullopt;
  std::error_code error;
  fs::path block_dir = fs::canonical(
      roots.sys / "dev/block" /
          (std::to_string(major(status.st_rdev)) + ":" +
           std::to_string(minor(status.st_rdev))),
      error);
  if (error)
    return std::nullopt;
  return describe_disk(block_dir, roots);
}

std::vector<LinuxDisk> find_usb_disks(const LinuxRoots &roots) {
  std::vector<LinuxDisk> disks;
  std::error_code error;
  for (const auto &entry : fs::directory_iterator(roots.sys / "block", error)) {
    auto disk = describe_disk(entry.path(), roots);
    if (disk && disk->usb && disk->size > 0 && !disk->read_only)
      disks.push_back(std::move(*disk));
  }
  std::sort(disks.begin(), disks.end(), kernel_name_order);
  assign_drive_letters(disks);
  return disks;
}

void assign_drive_letters(std::vector<LinuxDisk> &disks,
                          std::string_view taken) {
  char next = 'E';
  for (LinuxDisk &disk : disks) {
    while (next <= 'Z' && taken.find(next) != std::string_view::npos)
      ++next;
    disk.letter = next <= 'Z' ? next++ : 0;
  }
}

DiskConfig disk_config_of(const LinuxDisk &disk) {
  DiskConfig config;
  config.image = disk.node;
  config.new_size = 0; // a device is never made
  config.new_image_formatted = false;
  config.model = disk.model;
  config.interface_type = disk.usb ? "USB" : "SCSI";
  config.letter = disk.letter;
  config.sector_size = disk.sector_size;
  config.pnp_id = disk.pnp_id;
  config.block_device = true;
  return config;
}

std::vector<DiskConfig> usb_machine(const LinuxRoots &roots,
                                    std::string_view taken) {
  std::vector<LinuxDisk> disks = find_usb_disks(roots);
  assign_drive_letters(disks, taken);
  std::vector<DiskConfig> configs;
  for (const LinuxDisk &disk : disks)
    configs.push_back(disk_config_of(disk));
  return configs;
}

bool is_usb_line(const std::vector<std::string> &words) {
  return !words.empty() && words[0] == "usb";
}

bool is_usb_machine_name(std::string_view value) { return value == "usb"; }

std::uint32_t win32_error_of(int error) {
  switch (error) {
  case 0: return ERROR_SUCCESS;
  case ENOENT: return ERROR_FILE_NOT_FOUND;
  case EACCES:
  case EPERM:
  case EBUSY: return ERROR_ACCESS_DENIED; // as a locked or in-use volume
  case EROFS: return ERROR_WRITE_PROTECT;
  case ENOSPC: return ERROR_DISK_FULL;
  case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
  case EBADF: return ERROR_INVALID_HANDLE;
  case EINVAL: return ERROR_INVALID_PARAMETER;
  case ENOTTY:
  case EOPNOTSUPP: return ERROR_INVALID_FUNCTION;
  case ENXIO:
  case ENODEV: return ERROR_DEVICE_NOT_CONNECTED; // unplugged
  case ENOMEDIUM: return ERROR_NOT_READY;
  case EIO: return ERROR_IO_DEVICE;
  default: return ERROR_GEN_FAILURE;
  }
}

std::uint32_t block_device_size(int fd, std::uint64_t &bytes) {
  std::uint64_t size = 0;
  if (ioctl(fd, BLKGETSIZE64, &size) != 0)
    return win32_error_of(errno);
  bytes = size;
  return ERROR_SUCCESS;
}

bool is_block_device(const fs::path &path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISBLK(status.st_mode);
}

std::uint64_t block_device_size(const fs::path &path) {
  if (!is_block_device(path))
    return 0;
  Fd device(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  std::uint64_t bytes = 0;
  if (device.get() < 0 || block_device_size(device.get(), bytes) != 0)
    return 0;
  return bytes;
}

std::uint32_t logical_sector_size(int fd, std::uint32_t &bytes) {
  int size = 0;
  if (ioctl(fd, BLKSSZGET, &size) != 0)
    return win32_error_of(errno);
  bytes = std::uint32_t(size);
  return ERROR_SUCCESS;
}

std::string mountinfo_field(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    bool octal = text[i] == '\\' && i + 3 < text.size() &&
                 std::all_of(text.begin() + i + 1, text.begin() + i + 4,
                             [](char c) { return c >= '0' && c <= '7'; });
    if (octal) {
      out += char((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 +
                  (text[i + 3] - '0'));
      i += 3;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::vector<std::string> mount_points_of(std::string_view mountinfo,
                                         const std::vector<DeviceNumber> &devices,
                                         const std::vector<std::string> &sources) {
  std::vector<std::string> points;
  std::istringstream lines{std::string(mountinfo)};
  std::string line;
  while (std::getline(lines, line)) {
    // id parent major:minor root mount-point options [tags] - type source ...
    std::istringstream fields(line);
    std::string id, parent, number, root, point, word, type, source;
    if (!(fields >> id >> parent >> number >> root >> point))
      continue;
    while (fields >> word && word != "-") {
    }
    fields >> type >> source;
    auto device = parse_device_number(number);
    bool on_device =
        device && std::find(devices.begin(), devices.end(), *device) != devices.end();
    bool from_source = std::find(sources.begin(), sources.end(),
                                 mountinfo_field(source)) != sources.end();
    if (on_device || from_source)
      points.push_back(mountinfo_field(point));
  }
  return points;
}

std::vector<std::string> mount_points_on(const LinuxDisk &disk,
                                         std::string_view mountinfo) {
  std::vector<DeviceNumber> devices = {disk.device};
  for (const LinuxPartition &partition : disk.partitions)
    devices.push_back(partition.device);
  devices.insert(devices.end(), disk.holders.begin(), disk.holders.end());
  std::vector<std::string> sources = {"/dev/" + disk.name};
  for (const LinuxPartition &partition : disk.partitions)
    sources.push_back("/dev/" + partition.name);
  return mount_points_of(mountinfo, devices, sources);
}

std::vector<std::string> swap_areas_on(const LinuxDisk &disk,
                                       std::string_view swaps) {
  std::vector<DeviceNumber> devices = {disk.device};
  std::vector<std::string> names = {"/dev/" + disk.name};
  for (const LinuxPartition &partition : disk.partitions) {
    devices.push_back(partition.device);
    names.push_back("/dev/" + partition.name);
  }
  devices.insert(devices.end(), disk.holders.begin(), disk.holders.end());
  std::vector<std::string> areas;
  std::istringstream lines{std::string(swaps)};
  std::string line, name;
  while (std::getline(lines, line)) {
    // Filename Type Size Used Priority, the first line their titles.
    if (!(std::istringstream(line) >> name))
      continue;
    name = mountinfo_field(name);
    // A stacked device shows under its own name (/dev/dm-0).
    struct stat status;
    bool on_device =
        stat(name.c_str(), &status) == 0 && S_ISBLK(status.st_mode) &&
        std::find(devices.begin(), devices.end(),
                  DeviceNumber{major(status.st_rdev), minor(status.st_rdev)}) !=
            devices.end();
    if (on_device || std::find(names.begin(), names.end(), name) != names.end())
      areas.push_back(name);
  }
  return areas;
}

std::string release_disk(const LinuxDisk &disk, std::string_view mountinfo,
                         std::string_view swaps,
                         const std::function<int(const std::string &)> &unmount) {
  // The kernel pages to a swap area until swapoff; it is never taken away.
  if (auto areas = swap_areas_on(disk, swaps); !areas.empty())
    return Res::format("MSG_DRIVE_IN_USE", areas.front() + " (swap)");
  std::vector<std::string> points = mount_points_on(disk, mountinfo);
  while (!points.empty()) {
    int error = unmount(points.back());
    // EINVAL: no longer a mount point, someone unmounted it meanwhile.
    if (error != 0 && error != EINVAL && error != ENOENT)
      return mounted_disk_message(disk.node.string(), points);
    points.pop_back();
  }
  return {};
}

std::string read_mountinfo(const fs::path &file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::uint32_t reread_partition_table(const fs::path &disk_node,
                                     const fs::path &partition_node,
                                     std::chrono::milliseconds limit) {
  bool reread;
  {
    Fd disk(open(disk_node.c_str(), O_RDONLY | O_CLOEXEC));
    if (disk.get() < 0)
      return win32_error_of(errno);
    reread = ioctl(disk.get(), BLKRRPART) == 0;
  }
  // The kernel refuses for loop devices without partition scanning and
  // while a partition is busy; partx changes the partitions one by one,
  // and is asked again while the node is missing, since a partition that
  // another process is dropping at that moment can make it miss one.
  constexpr auto kRetry = std::chrono::milliseconds(500);
  auto deadline = std::chrono::steady_clock::now() + limit;
  auto next_partx = std::chrono::steady_clock::now();
  std::error_code error;
  while (!fs::exists(partition_node, error)) {
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline)
      return ERROR_NOT_READY;
    if (!reread && now >= next_partx) {
      run_tool({"partx", "-u", disk_node.string()});
      run_tool({"partx", "-a", disk_node.string()});
      next_partx = now + kRetry;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return ERROR_SUCCESS;
}

std::string mounted_disk_message(const std::string &disk,
                                 const std::vector<std::string> &mount_points) {
  std::string points;
  for (const std::string &point : mount_points)
    points += (points.empty() ? "" : ", ") + point;
  return Res::format("USB_ERR_MOUNTED", disk, points);
}

} // namespace corvantix::emulation
