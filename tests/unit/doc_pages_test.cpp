// The documentation pages as the program carries them: one template, the
// menu, links that all lead somewhere, and content that matches the program.
#include "app/arguments.h"
#include "strings/res.h"
#include "ui/about_window.h"
#include "unit/scripted_toolkit.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

using namespace corvantix;

namespace {

const char *const keys_in_menu_order[] = {"/doc", "/cxlicense", "/thirdparty",
                                          "/gpl"};

struct Language {
  const char *tag, *html_lang;
  std::vector<std::string> captions; // in menu order

  friend void PrintTo(const Language &language, std::ostream *out) {
    *out << language.tag;
  }
};

const Language languages[] = {
    {"en-US",
     "en",
     {"Corvantix Documentation", "Corvantix License",
      "Third-party License Information", "GNU GPL v2"}},
    {"de-DE",
     "de",
     {"Corvantix Dokumentation", "Corvantix Lizenz",
      "Zus\xC3\xA4tzliche Lizenzinformationen", "GNU GPL v2"}},
};

struct Link {
  std::string href, attributes, caption;
};

std::vector<Link> links_in(const std::string &html) {
  static const std::regex anchor(R"re(<a href="([^"]*)"([^>]*)>([^<]*)</a>)re");
  std::vector<Link> links;
  for (std::sregex_iterator it(html.begin(), html.end(), anchor), end;
       it != end; ++it)
    links.push_back({(*it)[1], (*it)[2], (*it)[3]});
  return links;
}

std::string between(const std::string &text, const std::string &from,
                    const std::string &to) {
  std::size_t start = text.find(from);
  if (start == std::string::npos)
    return {};
  start += from.size();
  return text.substr(start, text.find(to, start) - start);
}

// Every element but the empty ones of HTML 4 is closed, in order.
std::string first_unbalanced_tag(const std::string &html) {
  static const std::regex tag(R"(<(/?)([a-zA-Z0-9]+)[^>]*>)");
  static const std::set<std::string> empty{"meta", "br", "hr", "img", "link",
                                           "input"};
  std::vector<std::string> open;
  for (std::sregex_iterator it(html.begin(), html.end(), tag), end; it != end;
       ++it) {
    std::string name = (*it)[2];
    if (empty.count(name))
      continue;
    if ((*it)[1] == "") {
      open.push_back(name);
    } else if (open.empty() || open.back() != name) {
      return "</" + name + ">";
    } else {
      open.pop_back();
    }
  }
  return open.empty() ? "" : "<" + open.back() + ">";
}

class DocPages : public ::testing::TestWithParam<Language> {
protected:
  void SetUp() override { Res::init_for(GetParam().tag); }
  void TearDown() override { Res::init_for("en-US"); }
};

TEST_P(DocPages, EveryPageFollowsTheTemplate) {
  for (const char *key : keys_in_menu_order) {
    SCOPED_TRACE(key);
    std::string page = Res::get(key);
    EXPECT_TRUE(page.starts_with(
        "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\" "
        "\"http://www.w3.org/TR/html4/loose.dtd\">"));
    EXPECT_NE(page.find("<html lang=\"" + std::string(GetParam().html_lang) +
                        "\">"),
              std::string::npos);
    EXPECT_EQ(first_unbalanced_tag(page), "");
    EXPECT_EQ(page.find('@'), std::string::npos) << "a marker was left";
    EXPECT_NE(page.find("<h1>Corvantix</h1>"), std::string::npos);
    EXPECT_NE(page.find("<p class=\"abstract\">"), std::string::npos);
    EXPECT_NE(page.find("<h2>"), std::string::npos);
    bool footer = page.find("<p class=\"footer\">") != std::string::npos;
    EXPECT_EQ(footer, std::string(key) != "/gpl");

    // The style sheet is the same on every page.
    std::string style = between(page, "<style type=\"text/css\">", "</style>");
    EXPECT_EQ(style, between(Res::get("/doc"), "<style type=\"text/css\">",
                             "</style>"));
    for (const char *value :
         {"font-family: monospace", "190px", "width: 170px",
          "text-align: right", "color: #333", "display: inline-block",
          "border-bottom: 2px solid #ccc", "border-bottom-color: #666",
          "background: #f0f0f0", "border-bottom-color: #222", "color: #777"})
      EXPECT_NE(style.find(value), std::string::npos) << value;
  }
}

TEST_P(DocPages, MenuInOrderWithTheShownPageMarked) {
  for (const char *key : keys_in_menu_order) {
    SCOPED_TRACE(key);
    std::string page = Res::get(key);
    std::vector<Link> menu = links_in(between(page, "<div id=\"menu\">", "</div>"));
    ASSERT_EQ(menu.size(), 4u);
    for (std::size_t i = 0; i < menu.size(); ++i) {
      EXPECT_EQ(menu[i].href,
                std::string("http://cxpages") + keys_in_menu_order[i]);
      EXPECT_EQ(menu[i].caption, GetParam().captions[i]);
      bool current = menu[i].attributes == " class=\"current\"";
      EXPECT_EQ(current, std::string(keys_in_menu_order[i]) == key)
          << menu[i].href;
    }
    EXPECT_EQ(between(page, "<title>", "</title>"),
              GetParam().captions[std::find(std::begin(keys_in_menu_order),
                                            std::end(keys_in_menu_order),
                                            std::string(key)) -
                                  std::begin(keys_in_menu_order)]);
  }
}

// Clicking every internal link of every page, as the about window does.
TEST_P(DocPages, EveryInternalLinkNamesAPage) {
  test::ScriptedToolkit toolkit;
  frmAbout about(toolkit);
  about.view().show();
  test::AboutRecord &view = toolkit.about();
  int internal = 0;
  for (const char *key : keys_in_menu_order) {
    for (const Link &link : links_in(Res::get(key))) {
      Address target = parse_address(link.href);
      EXPECT_TRUE(target.scheme == "http" || target.scheme == "https")
          << key << ": " << link.href;
      if (target.host != page_host)
        continue;
      ++internal;
      EXPECT_TRUE(link.href.starts_with("http://cxpages/")) << link.href;
      ASSERT_NO_THROW(EXPECT_FALSE(view.navigate(link.href)))
          << key << " links to the missing page " << link.href;
      // The page shown marks the page that was asked for.
      std::string shown = view.pages.back();
      EXPECT_NE(shown.find("<a href=\"" + link.href + "\" class=\"current\">"),
                std::string::npos)
          << link.href;
    }
  }
  EXPECT_GE(internal, 16); // at least the four menus
}

TEST_P(DocPages, ThirdPartyHereLinksOpenTheGpl) {
  int here = 0;
  for (const Link &link : links_in(Res::get("/thirdparty")))
    if (link.caption == "here" || link.caption == "hier") {
      EXPECT_EQ(link.href, "http://cxpages/gpl");
      ++here;
    }
  EXPECT_GE(here, 3);
  std::string page = Res::get("/thirdparty");
  for (const char *fact : {"KERNEL.SYS", "2040", "COMMAND.COM", "0.84-pre2",
                           "Jim Hall", "class=\"content notice\""})
    EXPECT_NE(page.find(fact), std::string::npos) << fact;
}

TEST_P(DocPages, GplPageHoldsTheLicenceTextEscaped) {
  std::string page = Res::get("/gpl");
  for (const char *line :
       {"GNU GENERAL PUBLIC LICENSE", "Version 2, June 1991",
        "TERMS AND CONDITIONS FOR COPYING, DISTRIBUTION AND MODIFICATION",
        "END OF TERMS AND CONDITIONS",
        "&lt;one line to give the program's name and a brief idea of what it "
        "does.&gt;"})
    EXPECT_NE(page.find(line), std::string::npos) << line;
  EXPECT_EQ(page.find("<one line"), std::string::npos);
}

TEST_P(DocPages, LicenceHasTenNumberedSections) {
  std::string terms = between(Res::get("/cxlicense"), "<ol>", "</ol>");
  std::size_t sections = 0;
  for (std::size_t at = terms.find("<li>"); at != std::string::npos;
       at = terms.find("<li>", at + 1))
    ++sections;
  EXPECT_EQ(sections, 10u);
}

// The documented options are the program's options, and all of them.
TEST_P(DocPages, DocumentationListsEveryOptionTheProgramReads) {
  std::string page = Res::get("/doc");
  std::set<std::string> documented;
  static const std::regex dt("<dt>([^<]*)</dt>");
  for (std::sregex_iterator it(page.begin(), page.end(), dt), end; it != end;
       ++it) {
    std::string forms = (*it)[1];
    for (std::size_t start = 0; start < forms.size();) {
      std::size_t comma = std::min(forms.find(", ", start), forms.size());
      std::string form = forms.substr(start, comma - start);
      documented.insert(form.substr(0, form.find(' ')));
      start = comma + 2;
    }
  }
  const char *forms[] = {
      "-h",        "--help",      "--version",    "-v",
      "-f",        "--force",     "--nobackup",   "--no-backup",
      "-k",        "--keep",      "-b",           "--backup",
      "--noformat", "--no-format", "--nofdos",    "--no-fdos",
      "--no-free-dos", "--nofreedos", "--notxt",  "--no-txt",
      "--nodrivetxt", "--no-drive-txt", "-l",     "--lang",
      "--language", "-t",         "--text",       "--string",
      "-c",        "--copy",      "-d",           "--dir",
      "--directory", "-1",        "--single",     "-s"};
  for (const char *form : forms)
    EXPECT_TRUE(documented.count(form)) << form << " is not documented";
  for (const std::string &form : documented) {
    if (!form.starts_with("-"))
      continue; // a placeholder such as DRIVE or a text key
    Process options;
    ArgumentReading reading = read_arguments({form, "UI_INFO=x"}, "/", options);
    bool refused = reading.error && reading.error->key == "ARGS_ERR_INVALID" &&
                   reading.error->values.at(0) == form;
    EXPECT_FALSE(refused) << form << " is documented but not an option";
  }
  for (const char *key : {"MSG_BACKUP", "MSG_DRIVE_NOT_READY", "MSG_FORMAT_FAIL",
                          "MSG_FORMAT_SUCCESS", "UI_INFO", "TEMP_NAME"}) {
    EXPECT_NE(page.find(key), std::string::npos) << key;
    EXPECT_NO_THROW(Res::get(key));
  }
}

INSTANTIATE_TEST_SUITE_P(BothLanguages, DocPages,
                         ::testing::ValuesIn(languages),
                         [](const auto &info) {
                           return std::string(info.param.html_lang);
                         });

} // namespace
