#include "disk/fat/folder.h"

#include "disk/fat/table.h"

#include <cstring>

namespace corvantix::fat {
namespace {

constexpr unsigned char kLastSlot = 0x40;
constexpr std::size_t kSlotUnits = 13;
// The 13 UTF-16 units of a long-name slot, by byte offset.
constexpr std::size_t kSlotUnitAt[kSlotUnits] = {1,  3,  5,  7,  9,  14, 16,
                                                 18, 20, 22, 24, 28, 30};
constexpr std::size_t kSlotChecksumAt = 13;

bool is_slot(const unsigned char *record) {
  return (record[kAttributesAt] & 0x3F) == kLongName;
}

std::u16string short_key(const ShortName &name) {
  return folded(display_name(name));
}

} // namespace

std::u16string folded(std::u16string_view name) {
  std::u16string key(name);
  for (char16_t &unit : key)
    unit = fold(unit);
  return key;
}

ShortName short_name_of(const unsigned char *record) {
  ShortName name;
  std::memcpy(name.bytes, record, sizeof name.bytes);
  name.case_bits = record[kCaseBitsAt] & (kLowerBase | kLowerExtension);
  return name;
}

void put_time(unsigned char *record, DosTime time) {
  put16(record + kWriteTimeAt, time.time);
  put16(record + kWriteDateAt, time.date);
}

std::array<unsigned char, kRecord> short_record(std::uint8_t attributes,
                                                std::uint32_t cluster,
                                                DosTime written) {
  std::array<unsigned char, kRecord> record{};
  record[kAttributesAt] = attributes;
  put16(&record[kCreateTimeAt], written.time);
  put16(&record[kCreateDateAt], written.date);
  put16(&record[kAccessDateAt], written.date);
  put16(&record[kClusterHighAt], cluster >> 16);
  put16(&record[kClusterLowAt], cluster);
  put_time(record.data(), written);
  return record;
}

std::vector<unsigned char> entry_records(std::u16string_view name,
                                         const unsigned char *short_entry) {
  const std::size_t slots = (name.size() + kSlotUnits - 1) / kSlotUnits;
  std::vector<unsigned char> out((slots + 1) * kRecord, 0);
  ShortName short_name = short_name_of(short_entry);
  const std::uint8_t checksum = lfn_checksum(short_name.bytes);
  for (std::size_t i = 0; i < slots; ++i) {
    const std::size_t order = slots - i;
    unsigned char *slot = &out[i * kRecord];
    slot[0] = std::uint8_t(order | (i == 0 ? kLastSlot : 0));
    slot[kAttributesAt] = kLongName;
    slot[kSlotChecksumAt] = checksum;
    for (std::size_t k = 0; k < kSlotUnits; ++k) {
      const std::size_t at = (order - 1) * kSlotUnits + k;
      const char16_t unit = at < name.size() ? name[at] : at == name.size() ? 0 : 0xFFFF;
      put16(slot + kSlotUnitAt[k], unit);
    }
  }
  std::memcpy(&out[slots * kRecord], short_entry, kRecord);
  return out;
}

void Folder::Index(std::uint32_t short_entry, Item item) {
  if (!item.long_name.empty())
    names.emplace(folded(item.long_name), short_entry);
  names.emplace(short_key(short_name_of(record(short_entry))), short_entry);
  items.emplace(short_entry, std::move(item));
}

void Folder::Unindex(std::uint32_t short_entry) {
  auto item = items.find(short_entry);
  if (item == items.end())
    return;
  std::vector<std::u16string> keys{short_key(short_name_of(record(short_entry)))};
  if (!item->second.long_name.empty())
    keys.push_back(folded(item->second.long_name));
  for (const std::u16string &key : keys) {
    auto [begin, end] = names.equal_range(key);
    for (auto it = begin; it != end; ++it)
      if (it->second == short_entry) {
        names.erase(it);
        break;
      }
  }
  items.erase(item);
  tails.clear(); // a freed short name lowers the first free tail
}

std::optional<std::uint32_t> Folder::Lookup(std::u16string_view name) const {
  std::optional<std::uint32_t> found;
  auto [begin, end] = names.equal_range(folded(name));
  for (auto it = begin; it != end; ++it)
    if (!found || it->second < *found)
      found = it->second;
  return found;
}

bool Folder::Taken(const ShortName &name) const {
  return names.count(short_key(name)) != 0;
}

// Reads the entries: long-name slots count only in an unbroken run, last
// slot first, that ends at a short entry with their checksum.
void Folder::Parse() {
  std::u16string units;
  bool building = false;
  std::size_t awaited = 0; // the next slot's number; 0: the short entry
  std::uint32_t first = 0;
  std::uint8_t checksum = 0;
  end = capacity;
  for (std::uint32_t i = 0; i < capacity; ++i) {
    const unsigned char *entry = record(i);
    if (entry[0] == 0) {
      end = i;
      break;
    }
    if (entry[0] == kFreeMark) {
      building = false;
      continue;
    }
    if (is_slot(entry)) {
      const std::size_t order = entry[0] & 0x3F;
      if (entry[0] & kLastSlot) {
        building = order >= 1 && order <= 20;
        units.assign(order * kSlotUnits, 0);
        first = i;
        checksum = entry[kSlotChecksumAt];
      } else if (!building || order != awaited || order == 0 ||
                 entry[kSlotChecksumAt] != checksum) {
        building = false;
      }
      if (building) {
        for (std::size_t k = 0; k < kSlotUnits; ++k)
          units[(order - 1) * kSlotUnits + k] = get16(entry + kSlotUnitAt[k]);
        awaited = order - 1;
      }
      continue;
    }
    ShortName name = short_name_of(entry);
    const bool has_long = building && awaited == 0 && lfn_checksum(name.bytes) == checksum;
    building = false;
    if (entry[0] == '.' || (entry[kAttributesAt] & kVolumeLabel))
      continue;
    Item item{i, {}};
    if (has_long) {
      item.long_name = units.substr(0, units.find(u'\0'));
      if (!item.long_name.empty())
        item.first = first;
    }
    Index(i, std::move(item));
  }
}


} // namespace corvantix::fat
