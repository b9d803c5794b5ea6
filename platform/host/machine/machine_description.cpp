// The machine description file: the disks of an emulated machine, one per
// line, so that a test or a person can run the host program on any set of
// sticks and system disks.
//
//   # comment; blank lines are ignored
//   disk <image> [size=<n>[K|M|G|T]] [real=<n>[K|M|G|T]] [model="<text>"]
//        [letter=<A-Z>|none] [interface=<USB|IDE|SCSI|...>]
//        [behaviour=<behaviour>] [blank] [sector=<bytes>]
//
// <image> is the backing image file, relative to the description file's
// folder unless absolute; quote it when it holds spaces. size is the size
// of an image made on first use (sizes in bytes, or K/M/G for KiB, MiB,
// GiB); such a new image comes formatted like a stick from the shop unless
// `blank` asks for one of zeros. real makes a counterfeit stick: it claims
// `size` but keeps only `real` bytes (a positive multiple of 512 below
// size), byte p landing on byte p mod real, and its image is that long.
// behaviour is how the disk's device node answers the configuration
// manager: normal, resists-disable, needs-restart, phantom, problem or
// unknown-id. The defaults: model "Corvantix Virtual Stick", no letter,
// interface USB, behaviour normal, sector 512. The machine keeps the disks
// in file order.
//
//   disk stick.img size=256M model="SanDisk Cruzer" letter=E
//   disk system.img size=64M interface=IDE letter=C
//
// A block device in place of <image> is that real disk: its model, sector
// size and Plug-and-Play identifier come from Linux, its letter is E: or
// the next free one when its first partition holds FAT, and the words of
// the line override them. Such a disk is listed only with interface=USB
// (a loop device, for one, says so nowhere else). The line
//
//   usb
//
// stands for the real USB disks of this machine, with letters given as
// Windows would give them, avoiding the letters of the other lines.
#include "disk/disk_size.h"
#include "platform/host/machine/linux_disks.h"
#include "platform/host/machine/machine.h"
#include "strings/error.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvantix::emulation {
namespace {

[[noreturn]] void bad_line(const std::filesystem::path &file, int line,
                           const std::string &what) {
  throw Error(file.string() + ":" + std::to_string(line) + ": " + what);
}

// Splits a line into words; "..." groups a word with spaces.
std::vector<std::string> words_of(const std::string &line, bool &unbalanced) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false, any = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
      any = true;
    } else if (!quoted && (c == ' ' || c == '\t' || c == '\r')) {
      if (any)
        words.push_back(word);
      word.clear();
      any = false;
    } else {
      word += c;
      any = true;
    }
  }
  if (any)
    words.push_back(word);
  unbalanced = quoted;
  return words;
}

// Why an existing image cannot back a disk, or "" when it can. A missing
// image is fine: the machine makes it. Opening without blocking keeps a
// FIFO or a device that is not ready from stopping the program here.
std::string image_fault(const std::filesystem::path &image) {
  struct stat st;
  if (::stat(image.c_str(), &st) != 0) {
    if (errno == ENOENT)
      return "";
    return "cannot read the image " + image.string() + ": " +
           std::strerror(errno);
  }
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode))
    return "the image " + image.string() +
           " is not a regular file or a block device";
  int fd = ::open(image.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0)
    return "cannot read the image " + image.string() + ": " +
           std::strerror(errno);
  ::close(fd);
  return "";
}

std::optional<NodeBehaviour> behaviour_of(const std::string &name) {
  static const std::pair<const char *, NodeBehaviour> names[] = {
      {"normal", NodeBehaviour::Normal},
      {"resists-disable", NodeBehaviour::ResistsDisable},
      {"needs-restart", NodeBehaviour::NeedsRestart},
      {"phantom", NodeBehaviour::Phantom},
      {"problem", NodeBehaviour::Problem},
      {"unknown-id", NodeBehaviour::UnknownId},
  };
  for (const auto &[text, behaviour] : names)
    if (name == text)
      return behaviour;
  return std::nullopt;
}

} // namespace

std::vector<DiskConfig>
read_machine_description(const std::filesystem::path &file) {
  std::ifstream in(file);
  if (!in)
    throw Error(file.string() + ": cannot read the machine description");
  std::vector<DiskConfig> disks;
  std::map<char, int> letter_lines; // where each letter was given
  std::optional<std::size_t> usb_at; // where the `usb` line's disks go
  std::vector<std::size_t> auto_letters; // real disks that want a letter
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    line = line.substr(0, line.find('#'));
    bool unbalanced = false;
    std::vector<std::string> words = words_of(line, unbalanced);
    if (unbalanced)
      bad_line(file, number, "unbalanced quote");
    if (words.empty())
      continue;
    if (is_usb_line(words)) {
      if (words.size() > 1 || usb_at)
        bad_line(file, number, "expected: usb, once, on a line of its own");
      usb_at = disks.size();
      continue;
    }
    if (words[0] != "disk" || words.size() < 2)
      bad_line(file, number, "expected: disk <image> [key=value ...]");

    DiskConfig disk;
    disk.image = words[1];
    if (disk.image.is_relative())
      disk.image = file.parent_path() / disk.image;
    bool letter_given = false;
    bool size_given = false;
    std::optional<LinuxDisk> real = describe_block_device(disk.image);
    if (real) {
      disk = disk_config_of(*real);
      disk.interface_type = "SCSI"; // unless the line says USB
    }
    for (std::size_t i = 2; i < words.size(); ++i) {
      const std::string &word = words[i];
      if (word == "blank") {
        disk.new_image_formatted = false;
        continue;
      }
      std::size_t eq = word.find('=');
      if (eq == std::string::npos)
        bad_line(file, number, "unknown word '" + word + "'");
      std::string key = word.substr(0, eq), value = word.substr(eq + 1);
      if (key == "size") {
        auto size = ParseDiskSize(value);
        if (!size || *size == 0 || *size % 512)
          bad_line(file, number, "size must be <n>[K|M|G|T], a positive "
                                 "multiple of 512 below 16 EiB");
        disk.new_size = *size;
        size_given = true;
      } else if (key == "real") {
        auto size = ParseDiskSize(value);
        if (!size || *size == 0 || *size % 512)
          bad_line(file, number, "real must be <n>[K|M|G|T], a positive "
                                 "multiple of 512");
        disk.real_size = *size;
      } else if (key == "model") {
        disk.model = value;
      } else if (key == "letter") {
        letter_given = true;
        if (value == "none")
          disk.letter = 0;
        else if (value.size() == 1 && value[0] >= 'A' && value[0] <= 'Z')
          disk.letter = value[0];
        else
          bad_line(file, number, "letter must be A to Z or none");
      } else if (key == "interface") {
        if (value.empty())
          bad_line(file, number, "empty interface");
        disk.interface_type = value;
      } else if (key == "behaviour") {
        auto behaviour = behaviour_of(value);
        if (!behaviour)
          bad_line(file, number, "unknown behaviour '" + value + "'");
        disk.behaviour = *behaviour;
      } else if (key == "sector") {
        auto size = ParseDiskSize(value);
        if (!size || (*size != 512 && *size != 1024 && *size != 2048 &&
                      *size != 4096))
          bad_line(file, number, "sector must be 512, 1024, 2048 or 4096");
        disk.sector_size = std::uint32_t(*size);
      } else {
        bad_line(file, number, "unknown key '" + key + "'");
      }
    }
    if (disk.real_size) {
      if (real)
        bad_line(file, number, "real= is for image files, not block devices");
      if (!size_given)
        bad_line(file, number, "real= needs size=, the size the disk claims");
      if (disk.real_size >= disk.new_size)
        bad_line(file, number, "real must be smaller than size");
    }
    if (disk.letter) {
      auto [given, fresh] = letter_lines.emplace(disk.letter, number);
      if (!fresh)
        bad_line(file, number,
                 std::string("letter ") + disk.letter +
                     " is already the letter of the disk on line " +
                     std::to_string(given->second));
    }
    if (std::string fault = image_fault(disk.image); !fault.empty())
      bad_line(file, number, fault);
    if (real && !letter_given && real->first_partition_fat)
      auto_letters.push_back(disks.size());
    disks.push_back(std::move(disk));
  }
  std::string taken;
  for (const auto &[letter, line_number] : letter_lines)
    taken += letter;
  for (std::size_t index : auto_letters) {
    std::vector<LinuxDisk> one(1);
    one[0].first_partition_fat = true;
    assign_drive_letters(one, taken);
    disks[index].letter = one[0].letter;
    if (one[0].letter)
      taken += one[0].letter;
  }
  if (usb_at) {
    std::vector<DiskConfig> usb = usb_machine({}, taken);
    disks.insert(disks.begin() + std::ptrdiff_t(*usb_at), usb.begin(),
                 usb.end());
  }
  return disks;
}

} // namespace corvantix::emulation
