// The shipped language files against each other and against the code.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

namespace fs = std::filesystem;

namespace {

const fs::path kSource = CORVANTIX_SOURCE_DIR;

std::string read_file(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Entry {
  std::string key;
  std::set<std::string> placeholders;
};

std::vector<Entry> entries_of(const std::string &file) {
  std::string text = read_file(kSource / "resources/strings" / file);
  static const std::regex entry(R"re(<Entry name="([^"]+)">([^<]*)</Entry>)re");
  static const std::regex placeholder(R"(\{\d+\})");
  std::vector<Entry> entries;
  for (std::sregex_iterator it(text.begin(), text.end(), entry), end; it != end;
       ++it) {
    Entry e{(*it)[1], {}};
    std::string body = (*it)[2];
    for (std::sregex_iterator p(body.begin(), body.end(), placeholder); p != end;
         ++p)
      e.placeholders.insert(p->str());
    entries.push_back(e);
  }
  return entries;
}

std::set<std::string> keys_used_by_the_code() {
  static const std::regex literal(R"re("((ARGS|MSG|RES|RUN|STEP|TEMP|TT|UI|USB)_[A-Z0-9_]+)")re");
  std::set<std::string> used;
  for (const char *dir :
       {"app", "disk", "device", "pipeline", "platform", "strings", "ui"}) {
    for (const auto &file : fs::recursive_directory_iterator(kSource / dir)) {
      auto ext = file.path().extension();
      if (ext != ".cpp" && ext != ".h")
        continue;
      std::string text = read_file(file.path());
      for (std::sregex_iterator it(text.begin(), text.end(), literal), end;
           it != end; ++it)
        used.insert((*it)[1]);
    }
  }
  return used;
}

TEST(LanguageFiles, GermanMatchesEnglishKeyForKey) {
  auto english = entries_of("glob.xml");
  auto german = entries_of("glob.de-DE.xml");
  ASSERT_EQ(english.size(), 117u);
  ASSERT_EQ(german.size(), english.size());
  for (std::size_t i = 0; i < english.size(); ++i) {
    EXPECT_EQ(german[i].key, english[i].key);
    EXPECT_EQ(german[i].placeholders, english[i].placeholders) << english[i].key;
  }
}

TEST(LanguageFiles, FileFormat) {
  for (const char *file : {"glob.xml", "glob.de-DE.xml", "glob.doc.xml",
                           "glob.doc.de-DE.xml"}) {
    std::string text = read_file(kSource / "resources/strings" / file);
    EXPECT_TRUE(text.starts_with("<Language code=\"")) << file;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'),
              std::count(text.begin(), text.end(), '\r'))
        << file;
    EXPECT_EQ(text.find("\n\n"), std::string::npos) << file;
  }
}

TEST(LanguageFiles, EveryKeyIsUsedAndEveryUsedKeyExists) {
  std::set<std::string> in_file;
  for (const Entry &e : entries_of("glob.xml"))
    in_file.insert(e.key);
  std::set<std::string> used = keys_used_by_the_code();
  for (const std::string &key : used)
    EXPECT_TRUE(in_file.count(key)) << key << " is used but not in glob.xml";
  for (const std::string &key : in_file)
    EXPECT_TRUE(used.count(key)) << key << " is in glob.xml but never used";
}

} // namespace
