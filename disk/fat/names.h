// Names on a FAT volume as Windows keeps them. A long name is the UTF-16
// the user gave, unit for unit (a surrogate pair is two units, a combining
// accent its own unit); the 8.3 short name is made from it by the basis-name
// rules of Microsoft's FAT documentation in OEM code page 437, as FreeDOS and
// Linux read short names by default.
//
// Text crosses into the rest of the system as UTF-8. A lone surrogate, which
// a FAT long name may hold but UTF-8 cannot, is written as the three-byte
// form of its code unit (WTF-8), so every name survives a round trip.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvantix::fat {

/// A short name as its directory entry holds it: 8 + 3 OEM bytes padded
/// with spaces, and the case bits of byte 12 (0x08: base is lower case,
/// 0x10: extension is lower case).
struct ShortName {
  char bytes[11];
  std::uint8_t case_bits = 0;

  bool operator==(const ShortName &other) const;
};

constexpr std::uint8_t kLowerBase = 0x08;
constexpr std::uint8_t kLowerExtension = 0x10;
constexpr std::size_t kMaxLongName = 255; ///< UTF-16 units

/// UTF-8 (with WTF-8 lone surrogates) to UTF-16; nullopt for bytes that
/// are no such text.
std::optional<std::u16string> utf16_of(std::string_view utf8);
/// UTF-16 to UTF-8; lone surrogates become their WTF-8 form.
std::string utf8_of(std::u16string_view utf16);

/// Whether Windows accepts `name` as a file or folder name on FAT: 1 to 255
/// units, no control character, none of " * / : < > ? \ |, not "." or
/// "..", and not ending in a space or a period (Windows would strip those,
/// and two names would become one).
bool is_valid_long_name(std::u16string_view name);

/// The upper-case form that FAT look-ups compare, unit by unit.
char16_t fold(char16_t unit);
/// Whether two names are the same to a FAT look-up (case does not count).
bool same_name(std::u16string_view a, std::u16string_view b);

/// The short entry alone when `name` is a plain ASCII 8.3 name whose base
/// and extension are each all upper or all lower case (case bits then say
/// which); nullopt when the name needs a long-name entry.
std::optional<ShortName> exact_short_name(std::u16string_view name);

/// The basis name of a long name: upper case, code page 437 ('_' for what
/// it lacks and for + , ; = [ ]), spaces, leading periods and all periods
/// but the last dropped, 8 + 3; "_" when nothing is left for the base.
/// `lossy` says whether characters were replaced, dropped or cut off, so
/// that the long name cannot be rebuilt from it and a numeric tail is
/// needed; case alone is no loss ("ReadMe.txt" gives README.TXT).
ShortName basis_name(std::u16string_view name, bool &lossy);

/// `basis` with the numeric tail "~n" (n from 1 to 999999, as Microsoft's FAT
/// documentation counts), the base cut to make room.
ShortName with_tail(const ShortName &basis, unsigned n);

/// The checksum of an 11-byte short name that each long-name slot carries.
std::uint8_t lfn_checksum(const char (&bytes)[11]);

/// How a short name reads: "NAME.EXT" from code page 437, the case bits
/// applied, no trailing spaces, no dot without an extension. An entry byte
/// 0x05 stands for 0xE5.
std::u16string display_name(const ShortName &name);

} // namespace corvantix::fat
