#include "disk_description.h"

#include <windows.h>

#include <cwctype>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace corvantix::test_wmi {
namespace {

std::wstring widen(const std::string &utf8) {
  if (utf8.empty())
    return {};
  int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()),
                                   nullptr, 0);
  std::wstring wide(length, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), wide.data(),
                      length);
  return wide;
}

// Splits a line into words; "..." groups a word with spaces.
std::optional<std::vector<std::wstring>> words_of(const std::wstring &line) {
  std::vector<std::wstring> words;
  std::wstring word;
  bool quoted = false, any = false;
  for (wchar_t c : line) {
    if (c == L'"') {
      quoted = !quoted;
      any = true;
    } else if (!quoted && std::iswspace(c)) {
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
  if (quoted)
    return std::nullopt;
  return words;
}

bool is_number(const std::wstring &text, std::size_t most_digits) {
  return !text.empty() && text.size() <= most_digits &&
         text.find_first_not_of(L"0123456789") == std::wstring::npos;
}

// A count of bytes: digits and an optional K, M, G or T (binary units).
std::optional<std::uint64_t> size_of(std::wstring text) {
  unsigned shift = 0;
  if (!text.empty()) {
    std::wstring units = L"KMGT";
    std::size_t unit = units.find(text.back());
    if (unit != std::wstring::npos) {
      shift = 10 * unsigned(unit + 1);
      text.pop_back();
    }
  }
  if (!is_number(text, 19))
    return std::nullopt;
  std::uint64_t value = std::stoull(text);
  if (shift && value > (UINT64_MAX >> shift))
    return std::nullopt;
  return value << shift;
}

std::vector<std::wstring> list_of(const std::wstring &text) {
  std::vector<std::wstring> items;
  std::wstringstream in(text);
  for (std::wstring item; std::getline(in, item, L',');)
    items.push_back(item);
  return items;
}

// Each partition a letter A-Z, or "-" for one without a letter.
std::optional<std::vector<wchar_t>> letters_of(const std::wstring &text) {
  std::vector<wchar_t> letters;
  for (const std::wstring &item : list_of(text)) {
    if (item == L"-")
      letters.push_back(0);
    else if (item.size() == 1 && std::iswalpha(item[0]))
      letters.push_back(wchar_t(std::towupper(item[0])));
    else
      return std::nullopt;
  }
  return letters;
}

// The PnP identifier Windows gives a disk on this interface.
std::wstring default_pnp_id(const std::wstring &interface_type,
                            unsigned index) {
  std::wstring serial = std::to_wstring(1000 + index);
  if (interface_type == L"USB")
    return L"USBSTOR\\DISK&VEN_CORVANTX&PROD_TEST_DISK&REV_1.00\\" + serial +
           L"&0";
  return L"SCSI\\DISK&VEN_&PROD_CORVANTIX_TEST\\4&" + serial + L"&0&000000";
}

// A `disk` line's words after the keyword; an empty `error` when it holds.
DescribedDisk disk_of(const std::vector<std::wstring> &words,
                      std::wstring &error) {
  DescribedDisk disk;
  disk.interface_type = L"USB";
  disk.model = L"Corvantix Test Disk";
  disk.letters = {0};
  if (words.size() < 2 || !is_number(words[1], 3)) {
    error = L"a disk line begins with the drive's number";
    return disk;
  }
  disk.index = unsigned(std::stoul(words[1]));
  bool sized = false;
  for (std::size_t i = 2; i < words.size() && error.empty(); ++i) {
    std::size_t equals = words[i].find(L'=');
    std::wstring key = words[i].substr(0, equals);
    std::wstring value =
        equals == std::wstring::npos ? L"" : words[i].substr(equals + 1);
    if (key == L"size") {
      auto size = size_of(value);
      sized = size.has_value();
      disk.size = size.value_or(0);
      if (!size)
        error = L"size is a count of bytes, as 4000000000 or 256M";
    } else if (key == L"model") {
      disk.model = value;
    } else if (key == L"pnp") {
      disk.pnp_id = value;
    } else if (key == L"interface") {
      disk.interface_type = value;
    } else if (key == L"partitions") {
      auto letters = letters_of(value);
      disk.letters = letters.value_or(std::vector<wchar_t>{});
      if (!letters)
        error = L"partitions lists a letter or - for each partition";
    } else if (key == L"null") {
      disk.null_properties = list_of(value);
    } else {
      error = L"unknown word " + words[i];
    }
  }
  if (error.empty() && !sized)
    error = L"a disk needs its size";
  if (disk.pnp_id.empty())
    disk.pnp_id = default_pnp_id(disk.interface_type, disk.index);
  return disk;
}

} // namespace

std::optional<DiskDescription> read_description(const std::wstring &file,
                                                std::wstring &error) {
  std::ifstream in(std::filesystem::path(file), std::ios::binary);
  if (!in) {
    error = file + L": cannot be read";
    return std::nullopt;
  }
  DiskDescription description;
  std::set<unsigned> indexes;
  std::set<wchar_t> letters;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    auto words = words_of(widen(line.substr(0, line.find('#'))));
    std::wstring fault;
    if (!words) {
      fault = L"unbalanced quote";
    } else if (words->empty()) {
      continue;
    } else if (words->front() == L"disk") {
      DescribedDisk disk = disk_of(*words, fault);
      if (fault.empty() && !indexes.insert(disk.index).second)
        fault = L"a second disk " + std::to_wstring(disk.index);
      for (wchar_t letter : disk.letters)
        if (fault.empty() && letter && !letters.insert(letter).second)
          fault = std::wstring(L"a second volume ") + letter + L":";
      description.disks.push_back(std::move(disk));
    } else if (words->front() == L"wait" && words->size() == 2 &&
               is_number((*words)[1], 9)) {
      description.wait_ms = unsigned(std::stoul((*words)[1]));
    } else {
      fault = L"a line is `disk N ...` or `wait MILLISECONDS`";
    }
    if (!fault.empty()) {
      error = file + L":" + std::to_wstring(number) + L": " + fault;
      return std::nullopt;
    }
  }
  return description;
}

} // namespace corvantix::test_wmi
