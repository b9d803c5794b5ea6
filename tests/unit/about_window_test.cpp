#include "ui/about_window.h"

#include "strings/error.h"
#include "strings/res.h"
#include "unit/scripted_toolkit.h"

#include <gtest/gtest.h>

using namespace corvantix;

namespace {

TEST(Address, SchemeHostAndPath) {
  struct Case {
    const char *address, *scheme, *host, *path;
  } cases[] = {
      {"http://cxpages/gpl", "http", "cxpages", "/gpl"},
      {"HTTP://CXPAGES/doc", "http", "cxpages", "/doc"},
      {"http://cxpages/doc?lang=de#top", "http", "cxpages", "/doc"},
      {"http://cxpages/doc#x?y", "http", "cxpages", "/doc"},
      {"http://cxpages", "http", "cxpages", "/"},
      {"http://cxpages?x", "http", "cxpages", "/"},
      {"http://user:pw@cxpages:8080/thirdparty", "http", "cxpages",
       "/thirdparty"},
      {"http://[::1]:80/a", "http", "[::1]", "/a"},
      {"http://@/a", "http", "", "/a"},
      {"about:blank", "about", "", "blank"},
      {"About:Blank", "about", "", "Blank"},
      {"file:///C:/doc", "file", "", "/C:/doc"},
      {"/doc", "", "", ""},
      {"cxpages/doc", "", "", ""},
      {"1http://cxpages/doc", "", "", ""},
      {"", "", "", ""},
  };
  for (const Case &c : cases) {
    Address a = parse_address(c.address);
    EXPECT_EQ(a.scheme, c.scheme) << c.address;
    EXPECT_EQ(a.host, c.host) << c.address;
    EXPECT_EQ(a.path, c.path) << c.address;
  }
}

class AboutWindow : public ::testing::Test {
protected:
  void SetUp() override { Res::init_for("en-US"); }
  void TearDown() override { Res::init_for("en-US"); }

  test::AboutRecord &open() {
    window = std::make_unique<frmAbout>(toolkit);
    window->view().show();
    return toolkit.about();
  }

  test::ScriptedToolkit toolkit;
  std::unique_ptr<frmAbout> window;
};

TEST_F(AboutWindow, OpensOnTheDocumentationPageWithItsTitle) {
  window = std::make_unique<frmAbout>(toolkit);
  EXPECT_FALSE(toolkit.about().loaded); // nothing before the first showing
  window->view().show();
  EXPECT_EQ(toolkit.about().title, "About/Help");
  EXPECT_EQ(toolkit.about().pages, std::vector<std::string>{Res::get("/doc")});
}

TEST_F(AboutWindow, OpensInTheUsersLanguage) {
  Res::init_for("de-DE");
  test::AboutRecord &about = open();
  EXPECT_EQ(about.title, "Info/Hilfe");
  EXPECT_NE(about.pages.at(0).find("lang=\"de\""), std::string::npos);
}

TEST_F(AboutWindow, NavigationRule) {
  test::AboutRecord &about = open();
  about.pages.clear();

  // Blank pages and outside addresses load; nothing is handed over.
  for (const char *address :
       {"about:blank", "about:srcdoc", "ABOUT:blank", "http://example.org/",
        "http://cxpages.example.org/doc", "http://xcxpages/doc",
        "mailto:someone@cxpages", "file:///C:/cxpages/doc"})
    EXPECT_TRUE(about.navigate(address)) << address;
  EXPECT_TRUE(about.pages.empty());

  // Internal addresses are served from the table, whatever the scheme.
  struct Case {
    const char *address, *key;
  } served[] = {{"http://cxpages/gpl", "/gpl"},
                {"http://cxpages/doc?x=1", "/doc"},
                {"http://cxpages/thirdparty#notice", "/thirdparty"},
                {"HTTP://CxPages/cxlicense", "/cxlicense"},
                {"https://cxpages/doc", "/doc"}};
  for (const Case &c : served) {
    EXPECT_FALSE(about.navigate(c.address)) << c.address;
    EXPECT_EQ(about.pages.back(), Res::get(c.key)) << c.address;
  }
  EXPECT_EQ(about.pages.size(), std::size(served));
}

TEST_F(AboutWindow, UnknownInternalPageFailsWithTheLookupError) {
  test::AboutRecord &about = open();
  try {
    about.navigate("http://cxpages/missing");
    FAIL() << "a missing page was served";
  } catch (const Error &e) {
    EXPECT_STREQ(e.what(), "Could not load localized string '/missing'.");
  }
  EXPECT_EQ(about.pages.size(), 1u);
}

} // namespace
