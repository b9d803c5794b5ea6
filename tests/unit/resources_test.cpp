#include "platform/memory_stream.h"
#include "platform/resources.h"

#include <gtest/gtest.h>

#include <iterator>

using corvantix::platform::open_resource;

namespace {

std::string read_all(std::istream &stream) {
  return {std::istreambuf_iterator<char>(stream),
          std::istreambuf_iterator<char>()};
}

TEST(EmbeddedFiles, FoundByExactNameOnly) {
  auto config = open_resource("CONFIG.SYS");
  ASSERT_TRUE(config);
  EXPECT_EQ(read_all(*config), "shell=\\command.com /e:8192 /p\r\n"
                               "switches=/f\r\nfiles=30\r\nlastdrive=z\r\n");
  EXPECT_FALSE(open_resource("config.sys"));
  EXPECT_FALSE(open_resource("CONFIG.SY"));
  EXPECT_FALSE(open_resource("CONFIG.SYS "));
  EXPECT_FALSE(open_resource(""));
  EXPECT_FALSE(open_resource("CORVANTIX_NAMES"));
  for (const char *name : {"glob.xml", "glob.de-DE.xml", "glob.doc.xml",
                           "glob.doc.de-DE.xml", "KERNEL.SYS", "COMMAND.COM",
                           "AUTOEXEC.BAT", "ThirdPartyLicenses.txt"})
    EXPECT_TRUE(open_resource(name)) << name;
  EXPECT_FALSE(open_resource("GLOB.XML"));
}

TEST(EmbeddedFiles, PayloadSizes) {
  EXPECT_EQ(read_all(*open_resource("KERNEL.SYS")).size(), 45344u);
  EXPECT_EQ(read_all(*open_resource("COMMAND.COM")).size(), 66945u);
  EXPECT_EQ(read_all(*open_resource("AUTOEXEC.BAT")), "@echo off \r\nprompt $P$G\r\n");
}

TEST(EmbeddedFiles, EmptyStreamIsAtItsEnd) {
  static const unsigned char none[1] = {};
  corvantix::platform::MemoryStream stream(none, 0);
  EXPECT_EQ(stream.get(), std::char_traits<char>::eof());
  EXPECT_TRUE(stream.eof());
}

} // namespace
