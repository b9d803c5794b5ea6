#include "disk/fat/names.h"

#include <gtest/gtest.h>

#include <string>

namespace corvantix::fat::names_test {

using namespace std::string_literals;

std::u16string wide(const char *utf8) { return utf16_of(utf8).value(); }
std::string bytes_of(const ShortName &name) { return {name.bytes, 11}; }
ShortName short_name(const char *bytes, std::uint8_t case_bits = 0) {
  ShortName name{{}, case_bits};
  std::copy(bytes, bytes + 11, name.bytes);
  return name;
}

TEST(FatNames, Utf8AndUtf16) {
  const struct { const char *utf8; std::u16string utf16; } cases[] = {
      {"a\xF0\x9F\x8E\x89.txt", u"a\xD83C\xDF89.txt"}, // party popper
      {"\xC3\xA4\xEF\xBF\xBF\xF4\x8F\xBF\xBF", u"\x00E4\xFFFF\xDBFF\xDFFF"},
      {"\xED\xA0\x80x\xED\xBF\xBF", u"\xD800x\xDFFF"}, // lone surrogates
      {"\xED\xB0\x80\xED\xA0\x80", u"\xDC00\xD800"},   // low, high: no pair
  };
  for (const auto &c : cases) {
    EXPECT_EQ(utf16_of(c.utf8), c.utf16) << c.utf8;
    EXPECT_EQ(utf8_of(c.utf16), c.utf8);
  }
  for (const char *bad :
       {"\xC0\xAF", "\xE0\x80\xAF", "\xF0\x8F\xBF\xBF", "\xC3", "a\xE2\x82",
        "\x80", "\xC3(", "\xF8\x88\x80\x80\x80", "\xFF", "\xF4\x90\x80\x80",
        "\xF5\x80\x80\x80", "\xED\xA0\xBD\xED\xB8\x80" /* a pair in halves */})
    EXPECT_FALSE(utf16_of(bad)) << testing::PrintToString(std::string(bad));
}

TEST(FatNames, LongNameValidity) {
  const std::u16string lots(254, u'x');
  for (std::u16string good : {u"a"s, u" .a"s, u"\xD800"s, u"x"s + lots})
    EXPECT_TRUE(is_valid_long_name(good)) << utf8_of(good);
  for (std::u16string bad : {u""s, u"."s, u".."s, u"a."s, u"a "s, u"a\x1F"s,
                             u"a:b"s, u"a|b"s, u"a\\b"s, u"xx"s + lots})
    EXPECT_FALSE(is_valid_long_name(bad)) << utf8_of(bad);
}

TEST(FatNames, Fold) {
  // The last units have no upper-case form (or none that Windows uses).
  const std::u16string lower = u"z\x00E4\x00FF\x0101\x0133\x013A\x0142\x0148"
                               u"\x014B\x017E\x03C9\x03C2\x044F\x0451\xFF5A"
                               u"\x0131\x0138\x0149\x017F\x00F7\x00DF\xD800";
  const std::u16string upper = u"Z\x00C4\x0178\x0100\x0132\x0139\x0141\x0147"
                               u"\x014A\x017D\x03A9\x03A3\x042F\x0401\xFF3A"
                               u"\x0131\x0138\x0149\x017F\x00F7\x00DF\xD800";
  for (std::size_t i = 0; i < lower.size(); ++i)
    EXPECT_EQ(std::pair(fold(lower[i]), fold(upper[i])),
              std::pair(upper[i], upper[i])) << int(lower[i]);
  EXPECT_TRUE(same_name(u"\x00E4\x03C9\x044F.txt", u"\x00C4\x03A9\x042F.TXT"));
  EXPECT_FALSE(same_name(u"\x0131", u"I"));
  EXPECT_FALSE(same_name(u"ab", u"abc"));
}

TEST(FatNames, ExactShortNames) {
  const struct { const char *name, *bytes; int case_bits; } cases[] = {
      {"README.TXT", "README  TXT", 0}, {"readme.txt", "README  TXT", 0x18},
      {"readme.TXT", "README  TXT", 8}, {"README.txt", "README  TXT", 0x10},
      {"1234.9ab", "1234    9AB", 0x10}, {"_~1{}.$#", "_~1{}   $# ", 0},
      {"ReadMe.txt", nullptr, 0}, {"a b.txt", nullptr, 0}, {"d[1]", nullptr, 0},
      {"123456789", nullptr, 0},  {"a.txtx", nullptr, 0},  {"a.", nullptr, 0},
      {".a", nullptr, 0},         {"a.b.c", nullptr, 0},   {"a+b", nullptr, 0},
      {"\xC3\xA4.txt", "\x8E       TXT", 0x18}, // ä: 437 pairs it with Ä
      {"\xC3\xBF.txt", nullptr, 0}, // ÿ: 437 has no upper case for it
  };
  for (const auto &c : cases) {
    auto name = exact_short_name(wide(c.name));
    EXPECT_EQ(name ? bytes_of(*name) + char(name->case_bits) : "none",
              c.bytes ? c.bytes + std::string(1, c.case_bits) : "none");
  }
}

TEST(FatNames, BasisNames) {
  const struct { const char *name, *bytes; bool lossy; } cases[] = {
      {"1 long name.txt", "1LONGNAMTXT", true},
      {"x.tar.gz", "XTAR    GZ ", true}, {".bashrc", "BASHRC     ", true},
      {"ReadMe.txt", "README  TXT", false},
      {"a\xF0\x9F\x8E\x89.txt", "A_      TXT", true}, // party popper
      {"page.html", "PAGE    HTM", true}, {"a+b=[c]", "A_B__C_    ", true},
      {"\xC3\xA4\xCF\x89.txt", "\x8E\xEA      TXT", false}, // Ä and Ω
      {"\xC3\xBF\xED\xA0\x80", "__         ", true}, // Ÿ; a lone surrogate
      {"...", "_          ", true}, {"a.", "A          ", true},
  };
  for (const auto &c : cases) {
    bool lossy = !c.lossy;
    EXPECT_EQ(bytes_of(basis_name(wide(c.name), lossy)), c.bytes) << c.name;
    EXPECT_EQ(lossy, c.lossy) << c.name;
  }
}

// The checksums are those mtools wrote into the long-name slots of entries
// with these short names.
TEST(FatNames, NumericTailsAndChecksums) {
  const struct { const char *name; unsigned n; const char *tailed; int sum; }
      cases[] = {
          {"1 long name.txt", 1, "1LONGN~1TXT", 0xFE},
          {"The Quick Brown.Fox", 1, "THEQUI~1FOX", 0x07},
          {"x.tar.gz", 1, "XTAR~1  GZ ", 0x4C},
          {"ab.txt", 12, "AB~12   TXT", 0x95},
          {"abcdefgh.txt", 999999, "A~999999TXT", 0xB1},
      };
  for (const auto &c : cases) {
    bool lossy;
    ShortName tailed = with_tail(basis_name(wide(c.name), lossy), c.n);
    EXPECT_EQ(bytes_of(tailed), c.tailed);
    EXPECT_EQ(lfn_checksum(tailed.bytes), c.sum) << c.tailed;
  }
}

TEST(FatNames, DisplayNames) {
  const struct { ShortName name; const char *shown; } cases[] = {
      {short_name("README  TXT", 0x18), "readme.txt"},
      {short_name("README  TXT", 0x08), "readme.TXT"},
      {short_name("FOO        "), "FOO"},
      {short_name("\x05" "BC     TXT"), "\xCF\x83" "BC.TXT"},         // σ
      {short_name("\x8E\xE1X     A  ", 0x18), "\xC3\xA4\xC3\x9Fx.a"}, // äß, lowered
  };
  for (const auto &c : cases)
    EXPECT_EQ(utf8_of(display_name(c.name)), c.shown);
  EXPECT_EQ(short_name("A       TXT", 0x18), short_name("A       TXT"));
  EXPECT_NE(short_name("A       TXT"), short_name("A       TXU"));
}

} // namespace corvantix::fat::names_test
