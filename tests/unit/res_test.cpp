#include "strings/error.h"
#include "strings/res.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

using corvantix::Error;
using corvantix::Res;

namespace {

void load_text(const std::string &xml) {
  std::istringstream stream(xml);
  Res::load(stream);
}

std::string cause_message(const Error &e) {
  return corvantix::message_of(e.cause());
}

class ResTest : public ::testing::Test {
protected:
  void SetUp() override { Res::init_for("en-US"); }
  void TearDown() override { Res::init_for("en-US"); }
};

TEST_F(ResTest, LanguageChoiceTakesOnlyTheExactTag) {
  Res::init_for("de-DE");
  EXPECT_EQ(Res::get("UI_FORMAT"), "Formatieren");
  EXPECT_EQ(Res::get("UI_REFRESH"), "Aktualisieren");
  for (const char *tag : {"en-US", "en-GB", "de-AT", "fr-FR", "de", ""}) {
    Res::init_for(tag);
    EXPECT_EQ(Res::get("UI_FORMAT"), "Format") << tag;
  }
}

TEST_F(ResTest, FormatsArgumentsOfEveryKind) {
  EXPECT_EQ(Res::format("ARGS_ERR_INVALID", "-q"), "Invalid argument '-q'!");
  // The path is passed and ignored by the shipped text.
  EXPECT_EQ(Res::format("USB_ERR_FORMAT", "E:\\", 5u, "Access is denied."),
            "Error 5, Access is denied.");
  EXPECT_EQ(Res::format("STEP_COPY", "/some/folder"), "Copying files...");
  std::uint64_t size = 8004304896ull;
  EXPECT_EQ(Res::format("USB_REPR", "E:\\", "Stick", size >> 20),
            "E:\\ Stick (7633 MB)");
  EXPECT_EQ(Res::format("ARGS_ERR_LETTER", 'Q'), "Q:\\ is not a USB drive.");
  EXPECT_EQ(Res::format("ARGS_ERR_INVALID_PARAM", "-t", "A"),
            "Argument '-t' got an invalid parameter 'A'!");
  Res::set("X", "{0}|{1}|{2}|{3}");
  EXPECT_EQ(Res::format("X", std::uint64_t(18446744073709551615ull), -7,
                        std::string("s"), 'c'),
            "18446744073709551615|-7|s|c");
}

TEST_F(ResTest, BracesAndRepeatedPlaceholders) {
  Res::set("X", "{{0}}");
  EXPECT_EQ(Res::format("X"), "{0}");
  Res::set("X", "{1}{0}{1} and }}{{");
  EXPECT_EQ(Res::format("X", "a", "b", "unused"), "bab and }{");
  Res::set("X", "");
  EXPECT_EQ(Res::format("X", "ignored"), "");
}

TEST_F(ResTest, MalformedPlaceholdersFailNamingTheKey) {
  for (const char *text : {"{1}", "a { b", "a } b", "{x}", "{0", "{}",
                           "{-1}", "{0,5}", "{99999999999999999999}"}) {
    Res::set("BROKEN", text);
    try {
      Res::format("BROKEN", "only one");
      ADD_FAILURE() << "no failure for " << text;
    } catch (const Error &e) {
      EXPECT_STREQ(e.what(), "Invalid localized string 'BROKEN'.") << text;
      EXPECT_FALSE(cause_message(e).empty());
    }
  }
}

TEST_F(ResTest, MissingKeysAndBrokenErrorTexts) {
  try {
    Res::get("NO_SUCH_KEY");
    ADD_FAILURE();
  } catch (const Error &e) {
    EXPECT_STREQ(e.what(), "Could not load localized string 'NO_SUCH_KEY'.");
    EXPECT_TRUE(e.cause());
  }
  EXPECT_THROW(Res::format("NO_SUCH_KEY", 1), Error);

  // A bad-language text that cannot itself be filled is shown unfilled.
  Res::set("RES_ERR_BAD_LANG", "broken {1}");
  Res::set("X", "{5}");
  try {
    Res::format("X");
    ADD_FAILURE();
  } catch (const Error &e) {
    EXPECT_STREQ(e.what(), "broken {1}");
  }
  // Without the error texts the fixed English forms stand in: no recursion.
  Res::clear();
  try {
    Res::get("A");
    ADD_FAILURE();
  } catch (const Error &e) {
    EXPECT_STREQ(e.what(), "Could not load localized string 'A'.");
  }
  Res::set("X", "{5}");
  try {
    Res::format("X");
    ADD_FAILURE();
  } catch (const Error &e) {
    EXPECT_STREQ(e.what(),
                 "Could not load localized string 'RES_ERR_BAD_LANG'.");
  }
}

TEST_F(ResTest, LookupBeforeLoadingFailsClearly) {
  Res::reset();
  EXPECT_THROW(Res::get("UI_TITLE"), Error);
  EXPECT_THROW(Res::format("UI_TITLE"), Error);
  EXPECT_THROW(Res::set("UI_TITLE", "x"), Error);
}

TEST_F(ResTest, OverridesReplaceAndAdd) {
  Res::set("UI_INFO", "");
  EXPECT_EQ(Res::get("UI_INFO"), "");
  Res::set("NEW_KEY", "new");
  EXPECT_EQ(Res::get("NEW_KEY"), "new");
}

TEST_F(ResTest, LoadReadsEveryChildElementOfTheFirstNode) {
  Res::clear();
  load_text("<Language code=\"xx\">\r\n<!-- Arguments: none -->\r\n"
            "<Entry name=\"A\">  spaced\r\n text  </Entry>"
            "<Other name=\"B\">&lt;b&gt; &amp; &quot;&apos; &#65;&#x42;&#228;</Other>"
            "<Entry name=\"C\"></Entry>"
            "<Entry name=\"D\">x<i>y</i><![CDATA[<z>]]></Entry>"
            "text between entries"
            "</Language>");
  EXPECT_EQ(Res::get("A"), "  spaced\r\n text  ");
  EXPECT_EQ(Res::get("B"), "<b> & \"' AB\xC3\xA4");
  EXPECT_EQ(Res::get("C"), "");
  EXPECT_EQ(Res::get("D"), "xy<z>");
}

TEST_F(ResTest, AnythingBeforeTheRootLoadsAsEmpty) {
  for (const char *prefix : {"<?xml version=\"1.0\"?>", "<!-- note -->",
                             "<?pi data?>"}) {
    Res::clear();
    load_text(std::string(prefix) +
              "<Language><Entry name=\"A\">a</Entry></Language>");
    EXPECT_THROW(Res::get("A"), Error) << prefix;
  }
}

TEST_F(ResTest, LoadRejectsBadEntries) {
  Res::clear();
  EXPECT_THROW(load_text("<L><Entry>no name</Entry></L>"), Error);
  Res::clear();
  EXPECT_THROW(load_text("<L><E name=\"A\"/><F name=\"A\"/></L>"), Error);
  Res::clear();
  EXPECT_THROW(load_text("<L><Entry name=\"A\">unclosed</L>"), Error);
  Res::clear();
  load_text("<L><E name=\"A\">a</E></L>");
  // A key seen again in a second file fails too.
  EXPECT_THROW(load_text("<L><E name=\"A\">again</E></L>"), Error);
}

} // namespace

namespace {

using Files = std::map<std::string, std::string>;

void init_with(const Files &files, const std::string &tag) {
  Res::init_from(
      [&](const std::string &name) -> std::unique_ptr<std::istream> {
        auto found = files.find(name);
        if (found == files.end())
          return nullptr;
        return std::make_unique<std::istringstream>(found->second);
      },
      tag);
}

void expect_init_failure(const Files &files, const std::string &tag) {
  try {
    init_with(files, tag);
    ADD_FAILURE() << "init did not fail";
  } catch (const Error &e) {
    EXPECT_STREQ(e.what(), "Error loading language files.");
    EXPECT_TRUE(e.cause());
  }
  EXPECT_THROW(Res::get("A"), Error); // no usable table is left
}

TEST_F(ResTest, InitChoosesEachFileByTheSameRule) {
  Files files{{"glob.xml", "<L><E name=\"A\">en</E></L>"},
              {"glob.de-DE.xml", "<L><E name=\"A\">de</E></L>"},
              {"glob.doc.xml", "<L><E name=\"/doc\">en doc</E></L>"}};
  init_with(files, "de-DE");
  EXPECT_EQ(Res::get("A"), "de");
  EXPECT_EQ(Res::get("/doc"), "en doc"); // no German pages: the default
}

TEST_F(ResTest, InitFailsWithTheFixedText) {
  expect_init_failure({{"glob.xml", "<L><E name=\"A\">en</E></L>"}}, "en-US");
  expect_init_failure({{"glob.xml", "<L><E name=\"A\"/></L>"},
                       {"glob.doc.xml", "<L><E name=\"A\"/></L>"}},
                      "en-US");
  expect_init_failure({{"glob.xml", "<L><E name=\"A\"></L>"},
                       {"glob.doc.xml", "<L/>"}},
                      "en-US");
}

} // namespace
