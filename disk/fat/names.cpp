#include "disk/fat/names.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <iterator>

namespace corvantix::fat {
namespace {

// Code page 437, bytes 0x80 to 0xFF, as Unicode's mapping table reads them.
// The lower half is ASCII.
constexpr char16_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, // 80
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5, // 88
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, // 90
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, // 98
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA, // A0
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, // A8
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, // B0
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, // B8
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, // C0
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, // C8
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, // D0
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580, // D8
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, // E0
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, // E8
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248, // F0
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0, // F8
};

// A run of lower-case units that fold by `delta`; with `step` 2, only every
// second unit from `first` on (the rest are the upper-case partners).
struct CaseRun {
  char16_t first, last;
  int delta;
  int step;
};

// The ranges Windows' upper-case table covers in the scripts in common use.
// Dotless i (U+0131) and long s (U+017F) keep their form: folding them to
// ASCII would make names the same that Windows keeps apart.
constexpr CaseRun kCaseRuns[] = {
    {u'a', u'z', -0x20, 1},    {0x00E0, 0x00F6, -0x20, 1},
    {0x00F8, 0x00FE, -0x20, 1}, {0x00FF, 0x00FF, 0x0178 - 0x00FF, 1},
    // Latin Extended-A pairs upper then lower, but the pairing shifts by
    // one after U+0138 (kra) and again after U+0149 and U+0178.
    {0x0101, 0x012F, -1, 2},   {0x0133, 0x0137, -1, 2},
    {0x013A, 0x0148, -1, 2},   {0x014B, 0x0177, -1, 2},
    {0x017A, 0x017E, -1, 2},
    {0x03B1, 0x03C1, -0x20, 1}, {0x03C2, 0x03C2, 0x03A3 - 0x03C2, 1},
    {0x03C3, 0x03C9, -0x20, 1}, {0x0430, 0x044F, -0x20, 1},
    {0x0450, 0x045F, -0x50, 1}, {0xFF41, 0xFF5A, -0x20, 1},
};

bool is_high_surrogate(char32_t code) {
  return code >= 0xD800 && code <= 0xDBFF;
}
bool is_low_surrogate(char32_t code) {
  return code >= 0xDC00 && code <= 0xDFFF;
}

// The code point at `at`, which moves past it; a lone surrogate stands for
// itself.
char32_t next_code_point(std::u16string_view text, std::size_t &at) {
  char32_t unit = text[at++];
  if (!is_high_surrogate(unit) || at == text.size() ||
      !is_low_surrogate(text[at]))
    return unit;
  return 0x10000 + ((unit - 0xD800) << 10) + (text[at++] - 0xDC00);
}

void append_utf16(std::u16string &out, char32_t code) {
  if (code < 0x10000) {
    out += char16_t(code);
    return;
  }
  code -= 0x10000;
  out += char16_t(0xD800 + (code >> 10));
  out += char16_t(0xDC00 + (code & 0x3FF));
}

void append_utf8(std::string &out, char32_t code) {
  static constexpr unsigned char kLead[] = {0x00, 0xC0, 0xE0, 0xF0};
  int trail = code < 0x80 ? 0 : code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
  out += char(kLead[trail] | (code >> (6 * trail)));
  for (int shift = 6 * (trail - 1); shift >= 0; shift -= 6)
    out += char(0x80 | ((code >> shift) & 0x3F));
}

struct Sequence {
  char32_t code = 0;
  std::size_t length = 0; ///< 0: not a sequence
};

// The code point UTF-8 encodes at the front of `text`, in its shortest form
// and at most U+10FFFF; surrogates pass, as WTF-8 writes them.
Sequence next_sequence(std::string_view text) {
  auto byte = [&](std::size_t i) { return (unsigned char)text[i]; };
  unsigned char lead = byte(0);
  if (lead < 0x80)
    return {lead, 1};
  std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
  if (lead < 0xC2 || lead > 0xF4 || text.size() < length)
    return {};
  char32_t code = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80)
      return {};
    code = code << 6 | (byte(i) & 0x3F);
  }
  static constexpr char32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kShortest[length] || code > 0x10FFFF)
    return {};
  return {code, length};
}

// Whether a short name may hold `byte`: letters, digits, bytes above 0x7F
// and some punctuation.
bool is_short_name_char(unsigned char byte) {
  if (byte >= 0x80 || (byte >= '0' && byte <= '9') ||
      (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z'))
    return true;
  return std::string_view("!#$%&'()-@^_`{}~").find(char(byte)) !=
         std::string_view::npos;
}

// The code page 437 byte of `unit`; 0 when it has none.
unsigned char oem_byte(char16_t unit) {
  if (unit < 0x80)
    return (unsigned char)unit;
  const char16_t *end = std::end(kCp437High);
  const char16_t *found = std::find(std::begin(kCp437High), end, unit);
  return found == end ? 0 : (unsigned char)(0x80 + (found - kCp437High));
}

char16_t unit_of(unsigned char byte) {
  return byte < 0x80 ? byte : kCp437High[byte - 0x80];
}

ShortName blank_short_name() {
  ShortName name{};
  std::memset(name.bytes, ' ', sizeof name.bytes);
  return name;
}

// The length of a space-padded field without its padding.
std::size_t unpadded(const char *field, std::size_t size) {
  while (size > 0 && field[size - 1] == ' ')
    --size;
  return size;
}

// The lower-case form of an upper-case letter that code page 437 holds:
// the case bits lower the whole part, as Windows and Linux read them.
char16_t lower_of(char16_t unit) {
  bool latin = (unit >= u'A' && unit <= u'Z') ||
               (unit >= 0x00C0 && unit <= 0x00DE && unit != 0x00D7);
  bool greek = unit >= 0x0391 && unit <= 0x03A9;
  return latin || greek ? char16_t(unit + 0x20) : unit;
}

// Copies one part of an exact 8.3 name upper-cased into `out`, in code
// page 437; false when it holds a character a short name cannot, or both
// cases.
bool copy_exact_part(std::u16string_view part, char *out, bool &lower) {
  bool upper = false;
  lower = false;
  for (char16_t unit : part) {
    char16_t folded = fold(unit);
    unsigned char byte = oem_byte(folded);
    if (byte == 0 || byte == '.' || !is_short_name_char(byte))
      return false;
    upper |= folded == unit && lower_of(unit) != unit;
    lower |= folded != unit;
    *out++ = char(byte);
  }
  return !(upper && lower);
}

// The long name upper-cased in code page 437, spaces dropped and '_' for
// each code point that has no byte or no place in a short name.
std::string oem_upper(std::u16string_view name, bool &lossy) {
  std::string oem;
  for (std::size_t at = 0; at < name.size();) {
    char32_t code = next_code_point(name, at);
    unsigned char byte = code > 0xFFFF ? 0 : oem_byte(fold(char16_t(code)));
    if (byte == ' ') {
      lossy = true;
    } else if (byte == '.' || (byte != 0 && is_short_name_char(byte))) {
      oem += char(byte);
    } else {
      oem += '_';
      lossy = true;
    }
  }
  return oem;
}

// Copies at most `size` bytes of `part` into `out`, leaving out periods;
// returns whether anything was left out.
bool copy_basis_part(std::string_view part, char *out, std::size_t size) {
  bool lost = false;
  std::size_t copied = 0;
  for (char byte : part) {
    if (byte == '.' || copied == size)
      lost = true;
    else
      out[copied++] = byte;
  }
  return lost;
}

} // namespace

bool ShortName::operator==(const ShortName &other) const {
  return std::memcmp(bytes, other.bytes, sizeof bytes) == 0;
}

std::optional<std::u16string> utf16_of(std::string_view utf8) {
  std::u16string out;
  bool after_high_surrogate = false;
  while (!utf8.empty()) {
    Sequence sequence = next_sequence(utf8);
    if (sequence.length == 0)
      return std::nullopt;
    // A pair must be one four-byte sequence: as two three-byte halves it
    // would not come back the same from utf8_of.
    if (after_high_surrogate && is_low_surrogate(sequence.code))
      return std::nullopt;
    after_high_surrogate = is_high_surrogate(sequence.code);
    append_utf16(out, sequence.code);
    utf8.remove_prefix(sequence.length);
  }
  return out;
}

std::string utf8_of(std::u16string_view utf16) {
  std::string out;
  for (std::size_t at = 0; at < utf16.size();)
    append_utf8(out, next_code_point(utf16, at));
  return out;
}

bool is_valid_long_name(std::u16string_view name) {
  // A trailing period also rules out "." and "..".
  if (name.empty() || name.size() > kMaxLongName || name.back() == u' ' ||
      name.back() == u'.')
    return false;
  return std::none_of(name.begin(), name.end(), [](char16_t unit) {
    return unit < 0x20 ||
           std::u16string_view(u"\"*/:<>?\\|").find(unit) !=
               std::u16string_view::npos;
  });
}

char16_t fold(char16_t unit) {
  for (const CaseRun &run : kCaseRuns)
    if (unit >= run.first && unit <= run.last &&
        (unit - run.first) % run.step == 0)
      return char16_t(unit + run.delta);
  return unit;
}

bool same_name(std::u16string_view a, std::u16string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char16_t x, char16_t y) { return fold(x) == fold(y); });
}

std::optional<ShortName> exact_short_name(std::u16string_view name) {
  std::size_t dot = name.find(u'.');
  std::u16string_view base = name.substr(0, dot);
  std::u16string_view extension =
      dot == name.npos ? std::u16string_view() : name.substr(dot + 1);
  if (base.empty() || base.size() > 8 || extension.size() > 3 ||
      (dot != name.npos && extension.empty()))
    return std::nullopt;
  ShortName result = blank_short_name();
  bool lower_base, lower_extension;
  if (!copy_exact_part(base, result.bytes, lower_base) ||
      !copy_exact_part(extension, result.bytes + 8, lower_extension))
    return std::nullopt;
  result.case_bits = (lower_base ? kLowerBase : 0) |
                     (lower_extension ? kLowerExtension : 0);
  // Only a name that reads back exactly as given may do without a long
  // name: a letter whose cases do not pair up the same way needs one.
  if (display_name(result) != name)
    return std::nullopt;
  return result;
}

// The basis as Microsoft's FAT documentation makes it, except that the periods
// before the last one are left out rather than ending the base, as Windows
// does ("x.tar.gz" gives XTAR.GZ). A name with nothing left for the base
// (only spaces and periods) gets "_". Case bits stay 0: a name that needs
// them is an exact short name, which the caller tries first.
ShortName basis_name(std::u16string_view name, bool &lossy) {
  lossy = false;
  std::string oem = oem_upper(name, lossy);
  std::size_t leading = std::min(oem.find_first_not_of('.'), oem.size());
  lossy |= leading > 0;
  std::string_view rest = std::string_view(oem).substr(leading);
  std::size_t last = rest.rfind('.');
  ShortName result = blank_short_name();
  lossy |= copy_basis_part(rest.substr(0, last), result.bytes, 8);
  if (last != rest.npos) {
    std::string_view extension = rest.substr(last + 1);
    lossy |=
        extension.empty() || copy_basis_part(extension, result.bytes + 8, 3);
  }
  if (result.bytes[0] == ' ') {
    result.bytes[0] = '_';
    lossy = true;
  }
  if ((unsigned char)result.bytes[0] == 0xE5)
    result.bytes[0] = 0x05; // 0xE5 there marks a free entry
  return result;
}

// A tail of n up to 999999 leaves at least one byte of the base; past
// 9999999 it no longer fits and is cut at eight bytes.
ShortName with_tail(const ShortName &basis, unsigned n) {
  char tail[16] = {'~'};
  std::size_t tail_size = std::min<std::size_t>(
      std::to_chars(tail + 1, std::end(tail), n).ptr - tail, 8);
  std::size_t kept = std::min(unpadded(basis.bytes, 8), 8 - tail_size);
  ShortName result = basis;
  std::memset(result.bytes + kept, ' ', 8 - kept);
  std::memcpy(result.bytes + kept, tail, tail_size);
  return result;
}

std::uint8_t lfn_checksum(const char (&bytes)[11]) {
  std::uint8_t sum = 0;
  for (char byte : bytes)
    sum = std::uint8_t(((sum & 1) << 7) + (sum >> 1) + (unsigned char)byte);
  return sum;
}

std::u16string display_name(const ShortName &name) {
  auto append = [](std::u16string &out, const char *field, std::size_t size,
                   bool lower) {
    for (std::size_t i = 0; i < size; ++i) {
      char16_t unit = unit_of((unsigned char)field[i]);
      out += lower ? lower_of(unit) : unit;
    }
  };
  char base[8];
  std::memcpy(base, name.bytes, 8);
  if (base[0] == 0x05)
    base[0] = char(0xE5);
  std::u16string out;
  append(out, base, unpadded(base, 8), name.case_bits & kLowerBase);
  if (std::size_t size = unpadded(name.bytes + 8, 3)) {
    out += u'.';
    append(out, name.bytes + 8, size, name.case_bits & kLowerExtension);
  }
  return out;
}

} // namespace corvantix::fat
