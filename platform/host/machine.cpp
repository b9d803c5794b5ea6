// The emulated machine: its disks, their images, volumes and faults.
#include "platform/host/machine.h"

#include "platform/host/dos_attributes.h"
#include "platform/host/host_tools.h"

#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

namespace corvantix::emulation {
namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kMiB = 1 << 20;
constexpr std::uint32_t kShopPartitionStart = 2048; // 1 MiB, as sold

std::uint32_t le32(const unsigned char *p) {
  return p[0] | p[1] << 8 | p[2] << 16 | std::uint32_t(p[3]) << 24;
}
std::uint16_t le16(const unsigned char *p) { return p[0] | p[1] << 8; }
void put32(unsigned char *p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i)
    p[i] = std::uint8_t(v >> (8 * i));
}

bool read_at(const fs::path &image, std::uint64_t offset, unsigned char *out,
             std::size_t size) {
  std::ifstream in(image, std::ios::binary);
  in.seekg(std::streamoff(offset));
  return in.read(reinterpret_cast<char *>(out), std::streamsize(size)) &&
         in.gcount() == std::streamsize(size);
}

std::string upper_id(std::string text, std::size_t width) {
  text = text.substr(0, width);
  for (char &c : text)
    c = std::isalnum(static_cast<unsigned char>(c))
            ? char(std::toupper(static_cast<unsigned char>(c)))
            : '_';
  return text;
}

// The device instance identifier Windows gives such a disk.
std::string pnp_id_for(const DiskConfig &config, int number) {
  std::string model = config.model;
  std::size_t space = model.find(' ');
  std::string vendor = space == std::string::npos ? model : model.substr(0, space);
  std::string product = space == std::string::npos ? "" : model.substr(space + 1);
  char serial[32];
  std::snprintf(serial, sizeof serial, "%08X", 0xC0DE0000u + unsigned(number));
  std::string type = upper_id(config.interface_type, 16);
  if (type == "USB")
    return "USBSTOR\\DISK&VEN_" + upper_id(vendor, 8) + "&PROD_" +
           upper_id(product, 16) + "&REV_1.00\\CVX" + serial + "&0";
  if (type == "IDE") {
    std::string name = upper_id(model, 40);
    name.resize(40, '_');
    return "IDE\\DISK" + name + "1.0_____\\5&" + serial + "&0&0.0." +
           std::to_string(number);
  }
  return type + "\\DISK&VEN_" + upper_id(vendor, 8) + "&PROD_" +
         upper_id(product, 16) + "\\4&" + serial + "&0&00000" +
         std::to_string(number);
}

// The first partition of the image's MBR, in bytes; nullopt without one.
struct Extent {
  std::uint64_t offset, length;
};
std::optional<Extent> first_partition(const Disk &disk) {
  unsigned char mbr[512];
  if (!read_at(disk.config.image, 0, mbr, sizeof mbr) || mbr[510] != 0x55 ||
      mbr[511] != 0xAA)
    return std::nullopt;
  const unsigned char *entry = mbr + 446;
  std::uint64_t unit = disk.config.sector_size;
  if (entry[4] == 0 || le32(entry + 12) == 0)
    return std::nullopt;
  Extent extent{le32(entry + 8) * unit, le32(entry + 12) * unit};
  std::uint64_t size = disk.size();
  if (extent.offset >= size)
    return std::nullopt;
  extent.length = std::min(extent.length, size - extent.offset);
  return extent;
}

// Whether the partition starts with a FAT boot sector that Windows would
// mount. A FAT32 parameter block over fewer than 65,525 clusters counts as
// invalid: DOS and mtools read such a volume as FAT16.
bool holds_fat(const Disk &disk, const Extent &extent) {
  unsigned char bs[512];
  if (!read_at(disk.config.image, extent.offset, bs, sizeof bs))
    return false;
  std::uint32_t bytes = le16(bs + 11), per_cluster = bs[13],
                reserved = le16(bs + 14), fats = bs[16],
                root_entries = le16(bs + 17);
  std::uint64_t total = le16(bs + 19) ? le16(bs + 19) : le32(bs + 32);
  std::uint64_t fat_size = le16(bs + 22) ? le16(bs + 22) : le32(bs + 36);
  bool fat32_bpb = le16(bs + 22) == 0;
  if ((bs[0] != 0xEB && bs[0] != 0xE9) || bs[510] != 0x55 || bs[511] != 0xAA)
    return false;
  if ((bytes != 512 && bytes != 1024 && bytes != 2048 && bytes != 4096) ||
      per_cluster == 0 || (per_cluster & (per_cluster - 1)) || reserved == 0 ||
      fats == 0 || total == 0 || fat_size == 0)
    return false;
  if (total * bytes > extent.length)
    return false;
  std::uint64_t root_sectors = (root_entries * 32 + bytes - 1) / bytes;
  std::uint64_t meta = reserved + fats * fat_size + root_sectors;
  if (meta >= total)
    return false;
  std::uint64_t clusters = (total - meta) / per_cluster;
  return !fat32_bpb || clusters >= 65525;
}

std::string mtools_image(const Disk &disk) {
  return disk.config.image.string() + "@@" +
         std::to_string(disk.volume_offset);
}

// One entry of `mattrib -/` output: "  A  S R     ::/dir/name".
struct Listed {
  std::string path; ///< below the root, '/'-separated
  std::uint8_t bits;
};
std::vector<Listed> parse_listing(const std::string &text) {
  std::vector<Listed> entries;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::size_t at = line.find("::/");
    if (at == std::string::npos || at + 3 >= line.size())
      continue;
    std::uint8_t bits = 0;
    for (char c : line.substr(0, at)) {
      if (c == 'A')
        bits |= kDosArchive;
      else if (c == 'R')
        bits |= kDosReadOnly;
      else if (c == 'H')
        bits |= kDosHidden;
      else if (c == 'S')
        bits |= kDosSystem;
    }
    entries.push_back({line.substr(at + 3), bits});
  }
  return entries;
}

// The attribute byte recorded for a host file, if any.
std::optional<std::uint8_t> recorded_attributes(const fs::path &path) {
  std::uint8_t bits;
  if (lgetxattr(path.c_str(), "user.dosattrib", &bits, 1) != 1)
    return std::nullopt;
  return bits;
}

// What a directory holds, in a form that changes with any change of its
// files, their sizes, times or attributes.
std::string listing_of(const fs::path &dir) {
  std::vector<std::string> lines;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(dir, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    const fs::path &path = it->path();
    std::ostringstream line;
    line << fs::relative(path, dir).generic_string() << '|'
         << (it->is_directory() ? 'd' : 'f') << '|';
    if (!it->is_directory())
      line << it->file_size(error) << '|'
           << it->last_write_time(error).time_since_epoch().count();
    line << '|' << int(recorded_attributes(path).value_or(0xFF));
    lines.push_back(line.str());
  }
  std::sort(lines.begin(), lines.end());
  std::string all;
  for (const std::string &line : lines)
    all += line + '\n';
  return all;
}

void report(const Disk &disk, const std::string &what, const ToolResult &r) {
  std::fprintf(stderr, "emulated machine: %s of %s failed: %s%s\n",
               what.c_str(), disk.config.image.c_str(), r.err.c_str(),
               r.out.c_str());
}

// An MBR as a new stick has it: no boot code, one FAT partition at 1 MiB.
void write_shop_mbr(const fs::path &image, std::uint64_t size,
                    std::uint8_t type) {
  unsigned char mbr[512] = {};
  put32(mbr + 440, 0x5A17C0DE);
  unsigned char *entry = mbr + 446;
  const unsigned char start_chs[3] = {0x20, 0x21, 0x00}; // LBA 2048
  std::memcpy(entry + 1, start_chs, 3);
  entry[4] = type;
  entry[5] = 0xFE;
  entry[6] = 0xFF;
  entry[7] = 0xFF;
  put32(entry + 8, kShopPartitionStart);
  put32(entry + 12, std::uint32_t(size / 512 - kShopPartitionStart));
  mbr[510] = 0x55;
  mbr[511] = 0xAA;
  std::fstream out(image, std::ios::binary | std::ios::in | std::ios::out);
  out.write(reinterpret_cast<char *>(mbr), sizeof mbr);
}

// A FAT file system at 1 MiB with a few files, as sticks are sold.
void format_like_shop(const fs::path &image, std::uint64_t size,
                      const fs::path &scratch) {
  if (size < 8 * kMiB)
    return; // too small for anything sold; leave it blank
  bool fat32 = size >= 64 * kMiB;
  std::vector<std::string> mkfs = {"mkfs.fat", "--offset",
                                   std::to_string(kShopPartitionStart), "-h",
                                   std::to_string(kShopPartitionStart),
                                   "--mbr=n", "-n", "USB STICK",
                                   "-i", "5A17C0DE"};
  if (fat32)
    mkfs.insert(mkfs.begin() + 1, {"-F", "32"});
  mkfs.push_back(image.string());
  ToolResult made = run_tool(mkfs);
  if (!made.ok()) {
    std::fprintf(stderr, "emulated machine: mkfs.fat failed: %s\n",
                 made.err.c_str());
    return;
  }
  write_shop_mbr(image, size, fat32 ? 0x0C : 0x0E);

  fs::path files = scratch / "shop-files";
  fs::create_directories(files / "Photos");
  std::ofstream(files / "README.TXT")
      << "Thank you for buying this USB stick.\r\n";
  std::ofstream(files / "Photos" / "Holiday 2011.txt")
      << "Beach, sun and a sandcastle.\r\n";
  run_tool({"mcopy", "-s", "-m", "-i",
            image.string() + "@@" + std::to_string(kShopPartitionStart * 512),
            (files / "README.TXT").string(), (files / "Photos").string(),
            "::/"});
  std::error_code error;
  fs::remove_all(files, error);
}

void make_image(const DiskConfig &config, const fs::path &scratch) {
  std::error_code error;
  if (fs::exists(config.image, error) || config.new_size == 0)
    return;
  if (config.image.has_parent_path())
    fs::create_directories(config.image.parent_path(), error);
  std::ofstream(config.image, std::ios::binary);
  fs::resize_file(config.image, config.new_size, error); // sparse
  if (!error && config.new_image_formatted)
    format_like_shop(config.image, config.new_size, scratch);
}

std::mutex current_mutex;
std::unique_ptr<Machine> current_machine;

} // namespace

std::uint64_t Disk::size() const {
  std::error_code error;
  std::uint64_t bytes = fs::file_size(config.image, error);
  return error ? 0 : bytes;
}

std::vector<DiskConfig> default_machine(const fs::path &folder) {
  DiskConfig system;
  system.image = folder / "corvantix-system.img";
  system.new_size = 64 * kMiB;
  system.new_image_formatted = false;
  system.model = "Corvantix System Disk";
  system.interface_type = "IDE";
  DiskConfig stick;
  stick.image = folder / "corvantix-stick.img";
  stick.new_size = 256 * kMiB;
  stick.model = "Corvantix Virtual Stick";
  stick.letter = 'E';
  return {system, stick};
}

Machine &Machine::current() {
  std::lock_guard guard(current_mutex);
  if (!current_machine) {
    fs::path state = fs::temp_directory_path() /
                     ("corvantix-machine-" + std::to_string(getpid()));
    const char *description = std::getenv("CORVANTIX_MACHINE");
    current_machine = std::make_unique<Machine>(
        description && *description ? read_machine_description(description)
                                    : default_machine(fs::current_path()),
        state);
  }
  return *current_machine;
}

void Machine::install(std::unique_ptr<Machine> machine) {
  std::unique_ptr<Machine> old;
  {
    std::lock_guard guard(current_mutex);
    old = std::move(current_machine);
    current_machine = std::move(machine);
  }
  // `old` shuts down here, outside the lock.
}

Machine::Machine(std::vector<DiskConfig> disks, fs::path state_dir)
    : state_dir_(fs::absolute(state_dir)) {
  fs::create_directories(state_dir_);
  for (DiskConfig &config : disks) {
    config.image = fs::absolute(config.image);
    make_image(config, state_dir_);
    Disk disk;
    disk.number = int(disks_.size());
    disk.pnp_id = pnp_id_for(config, disk.number);
    disk.config = std::move(config);
    disks_.push_back(std::move(disk));
  }
  for (Disk &disk : disks_)
    mount(disk);
}

Machine::~Machine() {
  std::lock_guard guard(mutex_);
  for (Disk &disk : disks_)
    dismount(disk);
  std::error_code error;
  fs::remove(state_dir_, error); // only when empty: it may be shared
}

Disk *Machine::disk_by_number(int number) {
  std::lock_guard guard(mutex_);
  for (Disk &disk : disks_)
    if (disk.number == number)
      return &disk;
  return nullptr;
}

Disk *Machine::disk_by_letter(char letter) {
  std::lock_guard guard(mutex_);
  letter = char(std::toupper(static_cast<unsigned char>(letter)));
  for (Disk &disk : disks_)
    if (letter && std::toupper(static_cast<unsigned char>(disk.config.letter)) ==
                      letter)
      return &disk;
  return nullptr;
}

Disk *Machine::disk_by_pnp_id(const std::string &pnp_id) {
  std::lock_guard guard(mutex_);
  for (Disk &disk : disks_)
    if (strcasecmp(disk.pnp_id.c_str(), pnp_id.c_str()) == 0)
      return &disk;
  return nullptr;
}

// Unique in the process: machines may share a state folder.
fs::path Machine::new_volume_dir(const Disk &disk) {
  static std::atomic<unsigned> mounts{0};
  std::string name = std::string(1, disk.config.letter) + "-" +
                     std::to_string(getpid()) + "-" + std::to_string(++mounts);
  return state_dir_ / name;
}

bool Machine::mount(Disk &disk) {
  std::lock_guard guard(mutex_);
  if (disk.mounted)
    return true;
  if (!disk.volume_present())
    return false;
  auto extent = first_partition(disk);
  if (!extent || !holds_fat(disk, *extent))
    return false;
  disk.volume_offset = extent->offset;
  disk.volume_length = extent->length;

  std::string image = mtools_image(disk);
  ToolResult listed = run_tool({"mattrib", "-/", "-i", image, "::*"});
  bool empty = !listed.ok() && listed.err.find("not found") != std::string::npos;
  if (!listed.ok() && !empty)
    return false; // mtools cannot read it: not a file system Windows mounts

  fs::path dir = new_volume_dir(disk);
  std::error_code error;
  fs::remove_all(dir, error);
  fs::create_directories(dir);
  if (!empty) {
    ToolResult copied =
        run_tool({"mcopy", "-s", "-m", "-n", "-i", image, "::*", dir.string()});
    if (!copied.ok()) {
      report(disk, "mounting", copied);
      fs::remove_all(dir, error);
      return false;
    }
    for (const Listed &entry : parse_listing(listed.out))
      set_dos_attributes(dir / entry.path, entry.bits);
  }
  disk.volume_dir = dir;
  disk.mounted = true;
  disk.stale = false;
  disk.baseline = listing_of(dir);
  return true;
}

void Machine::dismount(Disk &disk) {
  std::lock_guard guard(mutex_);
  if (!disk.mounted)
    return;
  write_back(disk);
  std::error_code error;
  fs::remove_all(disk.volume_dir, error);
  disk.volume_dir.clear();
  disk.mounted = false;
  disk.stale = false;
  disk.volume_locked = false;
  for (auto &[id, handle] : handles_)
    if (handle.disk == disk.number)
      handle.locking = false;
}

void Machine::flush(Disk &disk) {
  std::lock_guard guard(mutex_);
  if (disk.mounted)
    write_back(disk);
}

void Machine::flush_all() {
  std::lock_guard guard(mutex_);
  for (Disk &disk : disks_)
    flush(disk);
}

// Empties the image's root, copies the directory in and sets the DOS
// attributes that differ from what mcopy gives (archive on files, none on
// folders).
void Machine::write_back(Disk &disk) {
  std::string now = listing_of(disk.volume_dir);
  if (disk.stale || now == disk.baseline)
    return;
  std::string image = mtools_image(disk);
  run_tool({"mattrib", "-/", "-r", "-s", "-h", "-i", image, "::*"});
  ToolResult cleared = run_tool({"mdeltree", "-i", image, "::*"});
  if (!cleared.ok() && cleared.err.find("not found") == std::string::npos) {
    report(disk, "emptying", cleared);
    return;
  }

  std::vector<std::string> copy = {"mcopy", "-s", "-m", "-D", "o", "-i", image};
  std::map<std::uint8_t, std::vector<std::string>> by_bits;
  std::error_code error;
  for (const auto &entry : fs::directory_iterator(disk.volume_dir, error))
    copy.push_back(entry.path().string());
  for (auto it = fs::recursive_directory_iterator(disk.volume_dir, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    bool folder = it->is_directory();
    std::uint8_t given = folder ? 0 : kDosArchive;
    std::uint8_t wanted = recorded_attributes(it->path()).value_or(given);
    if (wanted != given)
      by_bits[wanted].push_back(
          "::/" + fs::relative(it->path(), disk.volume_dir).generic_string());
  }
  if (copy.size() > 7) {
    copy.push_back("::/");
    ToolResult copied = run_tool(copy);
    if (!copied.ok())
      report(disk, "writing back", copied);
  }
  for (auto &[bits, paths] : by_bits) {
    std::vector<std::string> args = {
        "mattrib", "-i", image,
        bits & kDosArchive ? "+a" : "-a", bits & kDosReadOnly ? "+r" : "-r",
        bits & kDosSystem ? "+s" : "-s", bits & kDosHidden ? "+h" : "-h"};
    args.insert(args.end(), paths.begin(), paths.end());
    ToolResult set = run_tool(args);
    if (!set.ok())
      report(disk, "setting attributes", set);
  }
  disk.baseline = now;
}

std::optional<fs::path> Machine::host_path(const std::string &path) {
  std::lock_guard guard(mutex_);
  if (path.size() < 2 || path[1] != ':')
    return std::nullopt;
  Disk *disk = disk_by_letter(path[0]);
  if (!disk || !disk->mounted || disk->volume_locked)
    return std::nullopt;
  fs::path result = disk->volume_dir;
  std::string rest = path.substr(2);
  std::replace(rest.begin(), rest.end(), '\\', '/');
  std::istringstream parts(rest);
  std::string part;
  while (std::getline(parts, part, '/')) {
    if (part.empty() || part == ".")
      continue;
    if (part == "..") {
      if (result != disk->volume_dir)
        result = result.parent_path();
      continue;
    }
    // FAT names match regardless of case: take the existing spelling.
    std::error_code error;
    fs::path exact = result / part;
    if (!fs::exists(exact, error))
      for (const auto &entry : fs::directory_iterator(result, error))
        if (strcasecmp(entry.path().filename().c_str(), part.c_str()) == 0) {
          exact = entry.path();
          break;
        }
    result = exact;
  }
  return result;
}

void Machine::fail_call(const std::string &function, std::uint32_t code,
                        int skip) {
  std::lock_guard guard(mutex_);
  faults_[function].push_back({code, skip});
}

std::optional<std::uint32_t> Machine::take_fault(const std::string &function) {
  std::lock_guard guard(mutex_);
  auto found = faults_.find(function);
  if (found == faults_.end() || found->second.empty())
    return std::nullopt;
  Fault &next = found->second.front();
  if (next.skip > 0) {
    --next.skip;
    return std::nullopt;
  }
  std::uint32_t code = next.code;
  found->second.erase(found->second.begin());
  return code;
}

void Machine::clear_faults() {
  std::lock_guard guard(mutex_);
  faults_.clear();
}

} // namespace corvantix::emulation
