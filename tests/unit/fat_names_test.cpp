#include "disk/fat/names.h"

#include <gtest/gtest.h>

#include <string>

namespace corvantix::fat::names_test {

std::u16string wide(const char *utf8) { return utf16_of(utf8).value(); }
std::string bytes_of(const ShortName &name) { return {name.bytes, 11}; }
ShortName short_name(const char *bytes, std::uint8_t case_bits = 0) {
  ShortName name{};
  std::copy(bytes, bytes + 11, name.bytes);
  name.case_bits = case_bits;
  return name;
}

TEST(FatNames, Utf8AndUtf16RoundTrip) {
  const struct { const char *utf8; std::u16string utf16; } cases[] = {
      {"a\xF0\x9F\x8E\x89.txt", u"a\xD83C\xDF89.txt"}, // party popper
      {"cafe\xCC\x81", u"cafe\x0301"},                 // combining acute
      {"\xC3\xA4\xE2\x82\xAC", u"\x00E4\x20AC"},
      {"\xEF\xBF\xBF\xF4\x8F\xBF\xBF", u"\xFFFF\xDBFF\xDFFF"},
      {"\xED\xA0\x80x", u"\xD800x"},                   // lone surrogates
      {"\xED\xBF\xBF", u"\xDFFF"},
      {"\xED\xB0\x80\xED\xA0\x80", u"\xDC00\xD800"},   // low before high: no pair
  };
  for (const auto &c : cases) {
    EXPECT_EQ(utf16_of(c.utf8), c.utf16) << c.utf8;
    EXPECT_EQ(utf8_of(c.utf16), c.utf8);
  }
}

TEST(FatNames, InvalidUtf8IsRejected) {
  for (const char *bad :
       {"\xC0\xAF", "\xE0\x80\xAF", "\xF0\x8F\xBF\xBF", "\xC3", "a\xE2\x82",
        "\x80", "\xC3(", "\xF8\x88\x80\x80\x80", "\xFF", "\xF4\x90\x80\x80",
        "\xF5\x80\x80\x80", "\xED\xA0\xBD\xED\xB8\x80" /* a pair in halves */})
    EXPECT_FALSE(utf16_of(bad)) << testing::PrintToString(std::string(bad));
}

TEST(FatNames, LongNameValidity) {
  const struct { std::u16string name; bool valid; } cases[] = {
      {u"a", true},   {std::u16string(255, u'x'), true}, {u" .a", true},
      {u"", false},   {std::u16string(256, u'x'), false}, {u".", false},
      {u"..", false}, {u"a.", false}, {u"a ", false},     {u"a\x1F", false},
      {u"a:b", false}, {u"a|b", false}, {u"a\\b", false}, {u"\xD800", true},
  };
  for (const auto &c : cases)
    EXPECT_EQ(is_valid_long_name(c.name), c.valid) << utf8_of(c.name);
}

TEST(FatNames, FoldMatchesLowerWithUpperCase) {
  const std::u16string lower = u"z\x00E4\x00FF\x0101\x0133\x013A\x0142\x0148"
                               u"\x014B\x017E\x03C9\x03C2\x044F\x0451\xFF5A";
  const std::u16string upper = u"Z\x00C4\x0178\x0100\x0132\x0139\x0141\x0147"
                               u"\x014A\x017D\x03A9\x03A3\x042F\x0401\xFF3A";
  for (std::size_t i = 0; i < lower.size(); ++i) {
    EXPECT_EQ(fold(lower[i]), upper[i]) << i;
    EXPECT_EQ(fold(upper[i]), upper[i]) << i;
  }
  for (char16_t same : std::u16string_view(u"\x0131\x0138\x0149\x017F\x00F7\x00DF\x00B5\xD800Z1"))
    EXPECT_EQ(fold(same), same);
  EXPECT_TRUE(same_name(u"\x00E4\x03C9\x044F.txt", u"\x00C4\x03A9\x042F.TXT"));
  EXPECT_FALSE(same_name(u"\x0131", u"I"));
  EXPECT_FALSE(same_name(u"ab", u"abc"));
}

TEST(FatNames, ExactShortNames) {
  const struct { const char *name, *bytes; int case_bits; } cases[] = {
      {"README.TXT", "README  TXT", 0},   {"readme.txt", "README  TXT", 0x18},
      {"readme.TXT", "README  TXT", 0x08}, {"README.txt", "README  TXT", 0x10},
      {"12345678.9ab", "123456789AB", 0x10}, {"_~1{}.$#", "_~1{}   $# ", 0},
      {"ReadMe.txt", nullptr, 0}, {"a b.txt", nullptr, 0}, {"d[1]", nullptr, 0},
      {"123456789", nullptr, 0},  {"a.txtx", nullptr, 0},  {"a.", nullptr, 0},
      {".a", nullptr, 0},         {"a.b.c", nullptr, 0},   {"a+b", nullptr, 0},
      {"\xC3\xA4.txt", nullptr, 0},
  };
  for (const auto &c : cases) {
    auto name = exact_short_name(wide(c.name));
    ASSERT_EQ(name.has_value(), c.bytes != nullptr) << c.name;
    if (name) {
      EXPECT_EQ(bytes_of(*name), c.bytes) << c.name;
      EXPECT_EQ(name->case_bits, c.case_bits) << c.name;
    }
  }
}

TEST(FatNames, BasisNames) {
  const struct { const char *name, *bytes; bool lossy; } cases[] = {
      {"1 long name.txt", "1LONGNAMTXT", true},
      {"ReadMe.txt", "README  TXT", false},
      {"The Quick Brown.Fox", "THEQUICKFOX", true},
      {".bashrc", "BASHRC     ", true},
      {"a\xF0\x9F\x8E\x89.txt", "A_      TXT", true},
      {"x.tar.gz", "XTAR    GZ ", true},
      {"page.html", "PAGE    HTM", true},
      {"a+b=[c]", "A_B__C_    ", true},
      {"\xC3\xA4\xCF\x89.txt", "\x8E\xEA      TXT", false}, // Ä and Ω
      {"\xC3\xBF\xED\xA0\x80", "__         ", true}, // Ÿ; a lone surrogate
      {"...", "_          ", true},
      {"a.", "A          ", true},
  };
  for (const auto &c : cases) {
    bool lossy = !c.lossy;
    EXPECT_EQ(bytes_of(basis_name(wide(c.name), lossy)), c.bytes) << c.name;
    EXPECT_EQ(lossy, c.lossy) << c.name;
  }
}

TEST(FatNames, NumericTails) {
  const struct { const char *basis; unsigned n; const char *bytes; } cases[] = {
      {"1LONGNAMTXT", 1, "1LONGN~1TXT"}, {"THEQUICKFOX", 1, "THEQUI~1FOX"},
      {"AB      TXT", 12, "AB~12   TXT"}, {"ABCDEFGH   ", 999999, "A~999999   "},
  };
  for (const auto &c : cases)
    EXPECT_EQ(bytes_of(with_tail(short_name(c.basis), c.n)), c.bytes);
}

// The checksums mtools wrote into the long-name slots of these entries.
TEST(FatNames, LongNameChecksums) {
  EXPECT_EQ(lfn_checksum(short_name("1LONGN~1TXT").bytes), 0xFE);
  EXPECT_EQ(lfn_checksum(short_name("THEQUI~1FOX").bytes), 0x07);
  EXPECT_EQ(lfn_checksum(short_name("XTAR~1  GZ ").bytes), 0x4C);
}

TEST(FatNames, DisplayNames) {
  const struct { ShortName name; const char *shown; } cases[] = {
      {short_name("README  TXT", 0x18), "readme.txt"},
      {short_name("README  TXT", 0x08), "readme.TXT"},
      {short_name("FOO        "), "FOO"},
      {short_name("\x05" "BC     TXT"), "\xCF\x83" "BC.TXT"},        // σ
      {short_name("\x8E\xE1X     A  ", 0x18), "\xC3\x84\xC3\x9Fx.a"}, // Äß
  };
  for (const auto &c : cases)
    EXPECT_EQ(utf8_of(display_name(c.name)), c.shown);
  EXPECT_EQ(short_name("A       TXT", 0x18), short_name("A       TXT"));
  EXPECT_NE(short_name("A       TXT"), short_name("A       TXU"));
}

} // namespace corvantix::fat::names_test
