#include "strings/res.h"

#include "platform/resources.h"
#include "platform/system.h"
#include "strings/error.h"

#include <rapidxml.hpp>

#include <iterator>
#include <map>
#include <optional>

namespace corvantix {
namespace {

// Written only during start-up, read-only afterwards.
std::optional<std::map<std::string, std::string>> strings;

// The fixed English texts used where the table itself cannot help.
constexpr const char *kLoadFailure = "Error loading language files.";
constexpr const char *kNotLoaded = "The language table has not been loaded.";

std::string missing_key_text(const std::string &key) {
  return "Could not load localized string '" + key + "'.";
}

// Text content of an element: every text and CDATA node below it.
void append_text(const rapidxml::xml_node<> *node, std::string &out) {
  for (auto *child = node->first_node(); child; child = child->next_sibling()) {
    switch (child->type()) {
    case rapidxml::node_data:
    case rapidxml::node_cdata:
      out.append(child->value(), child->value_size());
      break;
    case rapidxml::node_element:
      append_text(child, out);
      break;
    default:
      break;
    }
  }
}

// Fills the placeholders of `text`; nullopt with a reason when they do not
// match the values.
std::optional<std::string> fill_placeholders(std::string_view text,
                                const std::vector<std::string> &values,
                                std::string &reason) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '}') {
      if (i + 1 < text.size() && text[i + 1] == '}') {
        out += '}';
        ++i;
        continue;
      }
      reason = "lone '}' at offset " + std::to_string(i);
      return std::nullopt;
    }
    if (c != '{') {
      out += c;
      continue;
    }
    if (i + 1 < text.size() && text[i + 1] == '{') {
      out += '{';
      ++i;
      continue;
    }
    std::size_t close = text.find('}', i + 1);
    if (close == std::string_view::npos) {
      reason = "unclosed '{' at offset " + std::to_string(i);
      return std::nullopt;
    }
    std::string_view digits = text.substr(i + 1, close - i - 1);
    std::size_t index = 0;
    bool numeric = !digits.empty() && digits.size() <= 9;
    for (char d : digits) {
      numeric = numeric && d >= '0' && d <= '9';
      index = index * 10 + std::size_t(d - '0');
    }
    if (!numeric) {
      reason = "placeholder '{" + std::string(digits) + "}' is not a number";
      return std::nullopt;
    }
    if (index >= values.size()) {
      reason = "placeholder {" + std::string(digits) + "} has no value (" +
               std::to_string(values.size()) + " given)";
      return std::nullopt;
    }
    out += values[index];
    i = close;
  }
  return out;
}

std::unique_ptr<std::istream> open_language_file(const Res::FileOpener &open,
                                                 const std::string &stem,
                                                 const std::string &tag) {
  auto stream = open(stem + tag + ".xml");
  if (!stream)
    stream = open(stem + "xml");
  if (!stream)
    throw Error("No embedded language file " + stem + "xml.");
  return stream;
}

} // namespace

void Res::init() {
  init_for(platform::user_language_tag());
}

void Res::init_for(const std::string &tag) {
  init_from([](const std::string &name) { return platform::open_resource(name); },
            tag);
}

void Res::init_from(const FileOpener &open, const std::string &tag) {
  strings.emplace();
  try {
    load(*open_language_file(open, "glob.", tag));
    load(*open_language_file(open, "glob.doc.", tag));
  } catch (...) {
    strings.reset();
    throw Error(kLoadFailure, std::current_exception());
  }
}

void Res::load(std::istream &stream) {
  if (!strings)
    throw Error(kNotLoaded);
  std::string text{std::istreambuf_iterator<char>(stream),
                   std::istreambuf_iterator<char>()};
  if (stream.bad())
    throw Error("The language file could not be read.");
  text.push_back('\0');

  // Comments, declarations and processing instructions become nodes, so that
  // only a file whose first node is the root element yields entries.
  constexpr int kFlags = rapidxml::parse_comment_nodes |
                         rapidxml::parse_declaration_node |
                         rapidxml::parse_pi_nodes | rapidxml::parse_doctype_node;
  rapidxml::xml_document<> document;
  try {
    document.parse<kFlags>(text.data());
  } catch (const rapidxml::parse_error &e) {
    throw Error(std::string("Malformed language file: ") + e.what() + ".");
  }
  rapidxml::xml_node<> *root = document.first_node();
  if (!root)
    return;
  for (auto *entry = root->first_node(); entry; entry = entry->next_sibling()) {
    if (entry->type() != rapidxml::node_element)
      continue;
    auto *name = entry->first_attribute("name");
    if (!name)
      throw Error("A language entry has no name.");
    std::string key(name->value(), name->value_size());
    std::string value;
    append_text(entry, value);
    if (!strings->emplace(key, std::move(value)).second)
      throw Error("The language key '" + key + "' occurs twice.");
  }
}

void Res::set(const std::string &key, const std::string &text) {
  if (!strings)
    throw Error(kNotLoaded);
  (*strings)[key] = text;
}

std::string Res::get(const std::string &key) {
  if (!strings)
    throw Error(kNotLoaded);
  auto found = strings->find(key);
  if (found != strings->end())
    return found->second;
  auto lookup = std::make_exception_ptr(Error(missing_key_text(key)));
  // The error text itself comes from the table; without it, or when it
  // cannot be filled, the fixed English text stands in.
  auto error_text = strings->find("RES_ERR_LANG");
  if (error_text == strings->end())
    throw Error(missing_key_text(key), lookup);
  std::string reason;
  auto message = fill_placeholders(error_text->second, {key}, reason);
  throw Error(message ? *message : missing_key_text(key), lookup);
}

std::string Res::format_values(const std::string &key,
                               const std::vector<std::string> &values) {
  std::string text = get(key);
  std::string reason;
  if (auto filled = fill_placeholders(text, values, reason))
    return *filled;
  auto cause = std::make_exception_ptr(
      Error("Cannot fill the text of '" + key + "': " + reason + "."));
  std::string bad = get("RES_ERR_BAD_LANG");
  std::string ignored;
  auto message = fill_placeholders(bad, {key}, ignored);
  throw Error(message ? *message : bad, cause);
}

void Res::reset() { strings.reset(); }

void Res::clear() { strings.emplace(); }

} // namespace corvantix
