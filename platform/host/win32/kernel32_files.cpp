// Raw devices, memory and the clock of the emulated kernel. The devices are
// the machine's disks (\\.\PhysicalDriveN) and volumes (\\.\X:); they keep
// Windows' rules: share modes, the volume lock, writes into a mounted volume
// only while it is locked, sector-aligned buffers on unbuffered handles,
// and the same error codes. Writes keep sparse images sparse; a counterfeit
// stick's transfers wrap (see machine.h).
#include "platform/host/win32/kernel32.h"
#include "platform/host/win32/kernel32_control.h"
#include "platform/host/win32/disk_transfers.h"
#include "platform/host/win32/kernel32_layout.h"
#include "platform/host/machine/image_range.h"
#include "platform/host/machine/linux_disks.h"
#include "platform/host/machine/machine.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <tuple>

using corvantix::emulation::DeviceHandle;
using corvantix::emulation::DeviceWrite;
using corvantix::emulation::Disk;
using corvantix::emulation::Machine;

namespace {

template <class Result> Result fail(DWORD code, Result result) {
  SetLastError(code);
  return result;
}
BOOL fail(DWORD code) { return fail(code, BOOL(FALSE)); }

std::string hex(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof text, "%X", value);
  return text;
}

const char *control_name(DWORD code) {
  switch (code) {
  case FSCTL_LOCK_VOLUME: return "FSCTL_LOCK_VOLUME";
  case FSCTL_UNLOCK_VOLUME: return "FSCTL_UNLOCK_VOLUME";
  case FSCTL_DISMOUNT_VOLUME: return "FSCTL_DISMOUNT_VOLUME";
  case IOCTL_DISK_GET_DRIVE_GEOMETRY: return "IOCTL_DISK_GET_DRIVE_GEOMETRY";
  case IOCTL_DISK_GET_DRIVE_GEOMETRY_EX:
    return "IOCTL_DISK_GET_DRIVE_GEOMETRY_EX";
  case IOCTL_DISK_GET_DRIVE_LAYOUT_EX: return "IOCTL_DISK_GET_DRIVE_LAYOUT_EX";
  default: return nullptr;
  }
}

// What a device path names: disk `number`, or the volume of `letter`.
struct Target {
  int number = -1;
  char letter = 0;
};
std::optional<Target> parse_device(const char *name) {
  std::string path = name ? name : "";
  if (path.rfind("\\\\.\\", 0) != 0)
    return std::nullopt;
  std::string rest = path.substr(4);
  if (rest.size() == 2 && rest[1] == ':' &&
      std::isalpha(static_cast<unsigned char>(rest[0])))
    return Target{-1, char(std::toupper(static_cast<unsigned char>(rest[0])))};
  const std::string prefix = "PHYSICALDRIVE";
  if (rest.size() <= prefix.size() || rest.size() > prefix.size() + 3 ||
      strncasecmp(rest.c_str(), prefix.c_str(), prefix.size()) != 0)
    return std::nullopt;
  std::string digits = rest.substr(prefix.size());
  if (!std::all_of(digits.begin(), digits.end(),
                   [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  return Target{std::stoi(digits), 0};
}

bool disk_online(const Disk &disk) {
  return disk.node_enabled &&
         disk.config.behaviour !=
             corvantix::emulation::NodeBehaviour::Phantom &&
         disk.size() > 0;
}

// The byte range of a volume on its disk: the first partition, or the
// whole disk when there is no partition table (a RAW stick). A dismounted
// volume keeps its extent until it is mounted again.
std::pair<std::uint64_t, std::uint64_t> volume_extent(const Disk &disk) {
  if (disk.mounted || disk.dismounted)
    return {disk.volume_offset, disk.volume_length};
  unsigned char mbr[512];
  int fd = open(disk.config.image.c_str(), O_RDONLY | O_CLOEXEC);
  bool read = fd >= 0 && pread(fd, mbr, sizeof mbr, 0) == sizeof mbr;
  if (fd >= 0)
    close(fd);
  std::uint64_t size = disk.size();
  if (!read || mbr[510] != 0x55 || mbr[511] != 0xAA || mbr[446 + 4] == 0)
    return {0, size};
  std::uint32_t start, count;
  std::memcpy(&start, mbr + 446 + 8, 4);
  std::memcpy(&count, mbr + 446 + 12, 4);
  std::uint64_t offset = std::uint64_t(start) * disk.config.sector_size;
  if (offset >= size)
    return {0, 0};
  return {offset,
          std::min<std::uint64_t>(std::uint64_t(count) * disk.config.sector_size,
                                  size - offset)};
}

// Whether two opens of one device can coexist under their share modes.
bool compatible(DWORD access, DWORD share, DWORD other_access,
                DWORD other_share) {
  auto allowed = [](DWORD wanted, DWORD shared) {
    return (!(wanted & GENERIC_READ) || (shared & FILE_SHARE_READ)) &&
           (!(wanted & GENERIC_WRITE) || (shared & FILE_SHARE_WRITE));
  };
  return allowed(access, other_share) && allowed(other_access, share);
}

struct Memory {
  std::mutex mutex;
  std::map<void *, std::size_t> blocks;
};
Memory &memory() {
  static Memory instance;
  return instance;
}

std::mutex clock_mutex;
std::optional<SYSTEMTIME> fixed_time;

// One emulated call: the machine locked, the call logged. A call that
// moves a disk's bytes or changes its volume holds the disk's transfer lock
// from before the machine's, and lets the machine go while the bytes move.
struct Call {
  std::unique_lock<std::recursive_mutex> disk_guard;
  Machine &machine = Machine::current();
  std::unique_lock<std::recursive_mutex> guard{machine.lock()};

  explicit Call(const std::string &line,
                std::unique_lock<std::recursive_mutex> disk = {})
      : disk_guard(std::move(disk)) {
    machine.calls().push_back(line);
  }

  /// Runs `transfer` without the machine's lock; the disk's stays held.
  template <class Transfer> auto unlocked(Transfer transfer) {
    guard.unlock();
    struct Relock {
      std::unique_lock<std::recursive_mutex> &guard;
      ~Relock() { guard.lock(); }
    } relock{guard};
    return transfer();
  }

  DeviceHandle *handle(HANDLE object) {
    auto found = machine.handles().find(reinterpret_cast<std::uintptr_t>(object));
    return found == machine.handles().end() ? nullptr : &found->second;
  }
};

// The transfer lock of the disk that `object` is open on, taken.
std::unique_lock<std::recursive_mutex> disk_of(HANDLE object) {
  Machine &machine = Machine::current();
  int number = -1;
  {
    std::lock_guard guard(machine.lock());
    auto found = machine.handles().find(reinterpret_cast<std::uintptr_t>(object));
    if (found != machine.handles().end())
      number = found->second.disk;
  }
  return machine.hold_disk(number);
}

std::string name_of(HANDLE object) {
  Machine &machine = Machine::current();
  std::lock_guard guard(machine.lock());
  auto found = machine.handles().find(reinterpret_cast<std::uintptr_t>(object));
  return found == machine.handles().end() ? "?" : found->second.path;
}

BOOL lock_volume(Machine &machine, DeviceHandle &open, Disk &disk) {
  if (!open.volume)
    return fail(ERROR_INVALID_PARAMETER);
  if (disk.held_open) {
    machine.holder_refused(disk);
    return fail(ERROR_ACCESS_DENIED);
  }
  if (disk.volume_locked || disk.open_volume_handles > 1)
    return fail(ERROR_ACCESS_DENIED);
  if (DWORD code = machine.hold_device(disk))
    return fail(code);
  disk.volume_locked = true;
  open.locking = true;
  return TRUE;
}

BOOL unlock_volume(Machine &machine, DeviceHandle &open, Disk &disk) {
  if (!open.volume || !open.locking)
    return fail(ERROR_NOT_LOCKED);
  machine.unlock(disk);
  return TRUE;
}

// Only the lock's holder dismounts; the volume keeps its extent, and raw
// writes no longer make it stale: the lock's release mounts it afresh.
BOOL dismount_volume(DeviceHandle &open, Disk &disk) {
  if (!open.volume || !open.locking)
    return fail(ERROR_ACCESS_DENIED);
  std::tie(disk.volume_offset, disk.volume_length) = volume_extent(disk);
  disk.mounted = false;
  disk.stale = false;
  disk.dismounted = true;
  return TRUE;
}

// The absolute byte range of a transfer on `open`, checked as Windows
// checks it; 0 on success, else the error code.
DWORD check_transfer(const DeviceHandle &open, const Disk &disk,
                     LPCVOID buffer, DWORD size, std::uint64_t &at) {
  if (!disk_online(disk))
    return disk.config.block_device && disk.node_enabled
               ? ERROR_DEVICE_NOT_CONNECTED // the stick was pulled out
               : ERROR_NOT_READY;
  std::uint32_t sector = disk.config.sector_size;
  if ((open.flags & FILE_FLAG_NO_BUFFERING) &&
      (reinterpret_cast<std::uintptr_t>(buffer) % sector || size % sector ||
       open.position % sector))
    return ERROR_INVALID_PARAMETER;
  std::uint64_t limit = disk.size();
  at = open.position;
  if (open.volume) {
    auto [offset, length] = volume_extent(disk);
    at += offset;
    limit = offset + length;
  }
  if (at + size > limit)
    return ERROR_SECTOR_NOT_FOUND;
  return 0;
}

} // namespace

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share_mode,
                   LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD flags,
                   HANDLE) {
  Call call("CreateFileA " + std::string(name ? name : "") + " " +
            hex(access) + " " + std::to_string(share_mode) + " " +
            std::to_string(disposition) + " " + hex(flags));
  if (auto code = call.machine.take_fault("CreateFileA"))
    return fail(*code, INVALID_HANDLE_VALUE);
  auto target = parse_device(name);
  if (!target) // only devices are emulated
    return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
  if (disposition != OPEN_EXISTING && disposition != OPEN_ALWAYS)
    return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);

  bool volume = target->letter != 0;
  Disk *disk = volume ? call.machine.disk_by_letter(target->letter)
                      : call.machine.disk_by_number(target->number);
  if (!disk || !disk_online(*disk) || (volume && !disk->volume_present()))
    return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
  if (!call.machine.claim(*disk)) // another program holds the stick
    return fail(ERROR_SHARING_VIOLATION, INVALID_HANDLE_VALUE);
  if (volume && disk->volume_locked)
    return fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
  if (volume && disk->held_open &&
      !compatible(access, share_mode, GENERIC_READ | GENERIC_WRITE,
                  disk->held_share_mode)) {
    call.machine.holder_refused(*disk);
    return fail(ERROR_SHARING_VIOLATION, INVALID_HANDLE_VALUE);
  }
  for (const auto &[id, other] : call.machine.handles())
    if (other.disk == disk->number && other.volume == volume &&
        !compatible(access, share_mode, other.access, other.share))
      return fail(ERROR_SHARING_VIOLATION, INVALID_HANDLE_VALUE);

  DeviceHandle open;
  open.path = name;
  open.disk = disk->number;
  open.volume = volume;
  open.access = access;
  open.share = share_mode;
  open.flags = flags;
  std::uintptr_t id = call.machine.next_handle();
  call.machine.handles()[id] = open;
  if (volume)
    ++disk->open_volume_handles;
  SetLastError(ERROR_SUCCESS);
  return reinterpret_cast<HANDLE>(id);
}

BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID, DWORD, LPVOID out,
                     DWORD out_size, LPDWORD returned,
                     LPOVERLAPPED overlapped) {
  const char *name = control_name(code);
  Call call("DeviceIoControl " + name_of(device) + " " +
                (name ? name : hex(code)),
            disk_of(device));
  if (auto fault = call.machine.take_fault("DeviceIoControl"))
    return fail(*fault);
  if (name)
    if (auto fault = call.machine.take_fault(name))
      return fail(*fault);
  DeviceHandle *open = call.handle(device);
  if (!open)
    return fail(ERROR_INVALID_HANDLE);
  if (!returned && !overlapped)
    return fail(ERROR_INVALID_PARAMETER);
  Disk *disk = call.machine.disk_by_number(open->disk);
  if (!disk || !disk_online(*disk))
    return fail(ERROR_NOT_READY);
  if (returned)
    *returned = 0;
  switch (code) {
  case FSCTL_LOCK_VOLUME:
    return lock_volume(call.machine, *open, *disk);
  case FSCTL_UNLOCK_VOLUME:
    return unlock_volume(call.machine, *open, *disk);
  case FSCTL_DISMOUNT_VOLUME:
    return dismount_volume(*open, *disk);
  case IOCTL_DISK_GET_DRIVE_GEOMETRY:
  case IOCTL_DISK_GET_DRIVE_GEOMETRY_EX:
    return corvantix::emulation::geometry(*disk, code == IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, out,
                    out_size, returned);
  case IOCTL_DISK_GET_DRIVE_LAYOUT_EX:
    return corvantix::emulation::drive_layout(*disk, out, out_size, returned);
  default:
    return fail(ERROR_INVALID_FUNCTION);
  }
}

DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distance_high,
                     DWORD method) {
  Call call("SetFilePointer " + name_of(file) + " " +
            std::to_string(distance) + (distance_high ? " high" : "") + " " +
            std::to_string(method));
  if (auto fault = call.machine.take_fault("SetFilePointer"))
    return fail(*fault, INVALID_SET_FILE_POINTER);
  DeviceHandle *open = call.handle(file);
  if (!open)
    return fail(ERROR_INVALID_HANDLE, INVALID_SET_FILE_POINTER);
  Disk *disk = call.machine.disk_by_number(open->disk);
  std::int64_t base = 0;
  if (method == FILE_CURRENT)
    base = std::int64_t(open->position);
  else if (method == FILE_END)
    base = std::int64_t(open->volume ? volume_extent(*disk).second
                                     : disk->size());
  else if (method != FILE_BEGIN)
    return fail(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
  std::int64_t move = distance_high
                          ? std::int64_t((std::uint64_t(std::uint32_t(
                                              *distance_high))
                                          << 32) |
                                         std::uint32_t(distance))
                          : distance;
  std::int64_t target = base + move;
  if (target < 0)
    return fail(ERROR_NEGATIVE_SEEK, INVALID_SET_FILE_POINTER);
  if (!distance_high && target > 0xFFFFFFFE)
    return fail(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
  open->position = std::uint64_t(target);
  if (distance_high)
    *distance_high = LONG(target >> 32);
  SetLastError(ERROR_SUCCESS);
  return DWORD(target);
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written,
               LPOVERLAPPED overlapped) {
  Call call("WriteFile " + name_of(file) + " " + std::to_string(size),
            disk_of(file));
  if (auto fault = call.machine.take_fault("WriteFile"))
    return fail(*fault);
  DeviceHandle *open = call.handle(file);
  if (!open)
    return fail(ERROR_INVALID_HANDLE);
  if (!written && !overlapped)
    return fail(ERROR_INVALID_PARAMETER);
  if (written)
    *written = 0;
  if (!(open->access & GENERIC_WRITE))
    return fail(ERROR_ACCESS_DENIED);
  Disk &disk = *call.machine.disk_by_number(open->disk);
  std::uint64_t at;
  if (DWORD code = check_transfer(*open, disk, buffer, size, at))
    return fail(code);

  // Since Windows Vista a mounted file system's sectors take raw writes
  // only while its volume is locked.
  bool into_volume = disk.mounted && at < disk.volume_offset + disk.volume_length &&
                     at + size > disk.volume_offset;
  if (into_volume && !disk.volume_locked)
    return fail(ERROR_ACCESS_DENIED);

  if (DWORD code = call.unlocked([&] {
        return corvantix::emulation::write_disk(disk, open->flags, at, buffer, size);
      }))
    return fail(code);
  if (into_volume)
    disk.stale = true; // the mounted file system changed underneath
  call.machine.writes().push_back({disk.number, open->volume, at, size});
  open->position += size;
  if (written)
    *written = size;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read,
              LPOVERLAPPED overlapped) {
  Call call("ReadFile " + name_of(file) + " " + std::to_string(size),
            disk_of(file));
  if (auto fault = call.machine.take_fault("ReadFile"))
    return fail(*fault);
  DeviceHandle *open = call.handle(file);
  if (!open)
    return fail(ERROR_INVALID_HANDLE);
  if (!read && !overlapped)
    return fail(ERROR_INVALID_PARAMETER);
  if (read)
    *read = 0;
  if (!(open->access & GENERIC_READ))
    return fail(ERROR_ACCESS_DENIED);
  Disk &disk = *call.machine.disk_by_number(open->disk);
  std::uint64_t at;
  if (DWORD code = check_transfer(*open, disk, buffer, size, at))
    return fail(code);
  if (DWORD code = call.unlocked([&] { return corvantix::emulation::read_disk(disk, at, buffer, size); }))
    return fail(code);
  open->position += size;
  if (read)
    *read = size;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL CloseHandle(HANDLE object) {
  Call call("CloseHandle " + name_of(object), disk_of(object));
  if (auto fault = call.machine.take_fault("CloseHandle"))
    return fail(*fault);
  auto &handles = call.machine.handles();
  auto found = handles.find(reinterpret_cast<std::uintptr_t>(object));
  if (found == handles.end())
    return fail(ERROR_INVALID_HANDLE);
  DWORD flushed = 0;
  if (Disk *disk = call.machine.disk_by_number(found->second.disk)) {
    // What went through the page cache reaches the stick before the
    // handle is gone, as Windows' unbuffered disk handles have it.
    if (disk->config.block_device && (found->second.access & GENERIC_WRITE))
      flushed = call.unlocked([&] {
        return corvantix::emulation::flush_device(disk->config.image.string());
      });
    if (found->second.locking)
      call.machine.unlock(*disk); // closing ends the lock
    if (found->second.volume)
      --disk->open_volume_handles;
  }
  handles.erase(found);
  if (flushed)
    return fail(flushed);
  return TRUE;
}

LPVOID VirtualAlloc(LPVOID address, SIZE_T size, DWORD type, DWORD protect) {
  Call call("VirtualAlloc " + std::to_string(size));
  if (auto fault = call.machine.take_fault("VirtualAlloc"))
    return fail(*fault, LPVOID(nullptr));
  if (address || size == 0 || !(type & MEM_COMMIT) ||
      protect != PAGE_READWRITE)
    return fail(ERROR_INVALID_PARAMETER, LPVOID(nullptr));
  // Anonymous pages: page-aligned and zero, and only touched pages cost
  // memory, as with Windows' demand-zero pages.
  void *block = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (block == MAP_FAILED)
    return fail(ERROR_NOT_ENOUGH_MEMORY, LPVOID(nullptr));
  std::lock_guard guard(memory().mutex);
  memory().blocks[block] = size;
  return block;
}

BOOL VirtualFree(LPVOID address, SIZE_T size, DWORD type) {
  Call call("VirtualFree");
  if (auto fault = call.machine.take_fault("VirtualFree"))
    return fail(*fault);
  if (type != MEM_RELEASE || size != 0)
    return fail(ERROR_INVALID_PARAMETER);
  std::lock_guard guard(memory().mutex);
  auto found = memory().blocks.find(address);
  if (found == memory().blocks.end())
    return fail(ERROR_INVALID_PARAMETER);
  munmap(found->first, found->second);
  memory().blocks.erase(found);
  return TRUE;
}

void GetLocalTime(LPSYSTEMTIME time) {
  {
    std::lock_guard guard(clock_mutex);
    if (fixed_time) {
      *time = *fixed_time;
      return;
    }
  }
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  tm local;
  localtime_r(&now.tv_sec, &local);
  time->wYear = WORD(local.tm_year + 1900);
  time->wMonth = WORD(local.tm_mon + 1);
  time->wDayOfWeek = WORD(local.tm_wday);
  time->wDay = WORD(local.tm_mday);
  time->wHour = WORD(local.tm_hour);
  time->wMinute = WORD(local.tm_min);
  time->wSecond = WORD(local.tm_sec);
  time->wMilliseconds = WORD(now.tv_nsec / 1000000);
}

namespace corvantix::emulation {

void set_local_time(const SYSTEMTIME *time) {
  std::lock_guard guard(clock_mutex);
  if (time)
    fixed_time = *time;
  else
    fixed_time.reset();
}

std::size_t virtual_blocks() {
  std::lock_guard guard(memory().mutex);
  return memory().blocks.size();
}

} // namespace corvantix::emulation
