#include "app/startup.h"
#include "platform/system.h"
#include "strings/res.h"
#include "unit/scripted_toolkit.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace corvantix;

namespace {

class Startup : public ::testing::Test {
protected:
  void SetUp() override { setenv("LC_ALL", "C", 1); }
  void TearDown() override {
    unsetenv("LC_ALL");
    Res::init_for("en-US");
  }
  int run(std::vector<std::string> args) { return app_main(args, toolkit); }
  test::ScriptedToolkit toolkit;
};

TEST_F(Startup, ArgumentErrorsShowABoxWithoutTitleAndExitWithOne) {
  EXPECT_EQ(run({"--Help"}), 1);
  ASSERT_EQ(toolkit.boxes.size(), 1u);
  EXPECT_EQ(toolkit.boxes[0].text, "Invalid argument '--Help'!");
  EXPECT_EQ(toolkit.boxes[0].title, "");
  EXPECT_EQ(toolkit.boxes[0].buttons, Toolkit::Buttons::Ok);
  EXPECT_TRUE(toolkit.styles_enabled);

  toolkit.boxes.clear();
  EXPECT_EQ(run({"-t"}), 1);
  EXPECT_EQ(toolkit.boxes.at(0).text, "Argument '-t' requires a parameter.");

  toolkit.boxes.clear();
  EXPECT_EQ(run({"-t", "UI_INFO"}), 1);
  EXPECT_EQ(toolkit.boxes.at(0).text,
            "Argument '-t' got an invalid parameter 'UI_INFO'!");
}

TEST_F(Startup, OverridesApplyToLaterErrorsAndStayInForce) {
  EXPECT_EQ(run({"-t", "ARGS_ERR_INVALID=Bad: {0}.", "-x"}), 1);
  EXPECT_EQ(toolkit.boxes.at(0).text, "Bad: -x.");
  toolkit.boxes.clear();
  EXPECT_EQ(run({"--text", "UI_TITLE=Other", "--help"}), 0);
  EXPECT_TRUE(toolkit.boxes.empty());
  EXPECT_EQ(Res::get("UI_TITLE"), "Other");
}

TEST_F(Startup, BrokenOverrideOfAnErrorTextIsStillReported) {
  EXPECT_EQ(run({"-t", "ARGS_ERR_INVALID={7}", "-x"}), 1);
  ASSERT_EQ(toolkit.boxes.size(), 1u);
  EXPECT_EQ(toolkit.boxes[0].text, "Invalid localized string 'ARGS_ERR_INVALID'.");
}

TEST_F(Startup, GermanUserGetsGermanMessages) {
  setenv("LC_ALL", "de_DE.UTF-8", 1);
  EXPECT_EQ(run({"-t", "=x", "-t", "TEMP_NAME=x"}), 1);
  EXPECT_EQ(toolkit.boxes.at(0).text,
            "Ung\xC3\xBCltiger Parameter 'TEMP_NAME=x' f\xC3\xBCr Argument '-t'!");
}

TEST(LanguageTag, FromTheLocaleVariables) {
  struct Case {
    const char *all, *messages, *lang, *tag;
  } cases[] = {
      {nullptr, nullptr, nullptr, "en-US"},
      {nullptr, nullptr, "de_DE.UTF-8", "de-DE"},
      {nullptr, "de_AT@euro", "en_GB.UTF-8", "de-AT"},
      {"C", "de_DE.UTF-8", nullptr, "en-US"},
      {"POSIX", nullptr, nullptr, "en-US"},
      {"", "", "fr_FR", "fr-FR"},
      {"C.UTF-8", nullptr, nullptr, "en-US"},
  };
  for (const Case &c : cases) {
    auto put = [](const char *name, const char *value) {
      value ? setenv(name, value, 1) : unsetenv(name);
    };
    put("LC_ALL", c.all);
    put("LC_MESSAGES", c.messages);
    put("LANG", c.lang);
    EXPECT_EQ(platform::user_language_tag(), c.tag);
  }
  unsetenv("LC_ALL");
  unsetenv("LC_MESSAGES");
  setenv("LANG", "C.UTF-8", 1);
}

} // namespace
