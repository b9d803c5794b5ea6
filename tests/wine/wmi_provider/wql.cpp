#include "wql.h"

#include "disk_classes.h"

#include <cwctype>

namespace corvantix::test_wmi {
namespace {

struct Token {
  enum Kind { Word, String, Symbol, Braced, End };
  Kind kind = End;
  std::wstring text;
};

bool word_char(wchar_t c) { return std::iswalnum(c) || c == L'_' || c == L'-'; }

// A quoted text from `at` (on the quote), backslash escapes undone; the
// position after its closing quote, or npos when it is not closed.
std::size_t read_quoted(const std::wstring &text, std::size_t at,
                        std::wstring &value) {
  wchar_t quote = text[at];
  for (std::size_t i = at + 1; i < text.size(); ++i) {
    if (text[i] == quote)
      return i + 1;
    if (text[i] == L'\\' && i + 1 < text.size())
      ++i;
    value += text[i];
  }
  return std::wstring::npos;
}

// Tokens of the query; nullopt for a character WQL has no use for here.
std::optional<std::vector<Token>> tokens_of(const std::wstring &text) {
  std::vector<Token> tokens;
  std::size_t i = 0;
  while (i < text.size()) {
    wchar_t c = text[i];
    if (std::iswspace(c)) {
      ++i;
    } else if (word_char(c)) {
      std::size_t end = i;
      while (end < text.size() && word_char(text[end]))
        ++end;
      tokens.push_back({Token::Word, text.substr(i, end - i)});
      i = end;
    } else if (c == L'\'' || c == L'"') {
      Token token{Token::String, L""};
      i = read_quoted(text, i, token.text);
      if (i == std::wstring::npos)
        return std::nullopt;
      tokens.push_back(token);
    } else if (c == L'{') {
      std::size_t end = text.find(L'}', i);
      if (end == std::wstring::npos)
        return std::nullopt;
      tokens.push_back({Token::Braced, text.substr(i + 1, end - i - 1)});
      i = end + 1;
    } else if (c == L'*' || c == L',' || c == L'=') {
      tokens.push_back({Token::Symbol, std::wstring(1, c)});
      ++i;
    } else {
      return std::nullopt;
    }
  }
  tokens.push_back({Token::End, L""});
  return tokens;
}

class Parser {
public:
  explicit Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

  bool keyword(const wchar_t *word) {
    if (peek().kind != Token::Word || !same_name(peek().text, word))
      return false;
    ++at_;
    return true;
  }
  bool symbol(wchar_t c) {
    if (peek().kind != Token::Symbol || peek().text[0] != c)
      return false;
    ++at_;
    return true;
  }
  std::optional<std::wstring> take(Token::Kind kind) {
    if (peek().kind != kind)
      return std::nullopt;
    return tokens_[at_++].text;
  }
  bool at_end() const { return peek().kind == Token::End; }

private:
  const Token &peek() const { return tokens_[at_]; }
  std::vector<Token> tokens_;
  std::size_t at_ = 0;
};

std::optional<Condition> condition(Parser &parser) {
  Condition condition;
  auto property = parser.take(Token::Word);
  if (!property || !parser.symbol(L'='))
    return std::nullopt;
  condition.property = *property;
  if (auto text = parser.take(Token::String)) {
    condition.value = *text;
    return condition;
  }
  auto word = parser.take(Token::Word);
  if (!word)
    return std::nullopt;
  if (same_name(*word, L"TRUE") || same_name(*word, L"FALSE")) {
    condition.kind = Condition::Flag;
    condition.value = same_name(*word, L"TRUE") ? L"TRUE" : L"FALSE";
  } else if (word->find_first_not_of(L"0123456789") == std::wstring::npos) {
    condition.kind = Condition::Number;
    condition.value = *word;
  } else {
    return std::nullopt;
  }
  return condition;
}

std::optional<Query> select(Parser &parser) {
  Query query;
  if (!parser.symbol(L'*')) {
    do {
      auto property = parser.take(Token::Word);
      if (!property)
        return std::nullopt;
      query.properties.push_back(*property);
    } while (parser.symbol(L','));
  }
  auto class_name =
      parser.keyword(L"FROM") ? parser.take(Token::Word) : std::nullopt;
  if (!class_name)
    return std::nullopt;
  query.class_name = *class_name;
  if (parser.keyword(L"WHERE")) {
    do {
      auto next = condition(parser);
      if (!next)
        return std::nullopt;
      query.conditions.push_back(*next);
    } while (parser.keyword(L"AND"));
  }
  return query;
}

std::optional<Query> associators(Parser &parser) {
  Query query;
  query.kind = Query::Associators;
  auto path = parser.keyword(L"OF") ? parser.take(Token::Braced) : std::nullopt;
  if (!path)
    return std::nullopt;
  query.object_path = *path;
  if (!parser.keyword(L"WHERE"))
    return query;
  do {
    std::wstring *target = parser.keyword(L"ResultClass")  ? &query.result_class
                           : parser.keyword(L"AssocClass") ? &query.assoc_class
                                                           : nullptr;
    auto class_name =
        target && parser.symbol(L'=') ? parser.take(Token::Word) : std::nullopt;
    if (!class_name)
      return std::nullopt;
    *target = *class_name;
  } while (!parser.at_end());
  return query;
}

} // namespace

std::optional<Query> parse_wql(const std::wstring &text) {
  auto tokens = tokens_of(text);
  if (!tokens)
    return std::nullopt;
  Parser parser(std::move(*tokens));
  std::optional<Query> query = parser.keyword(L"SELECT") ? select(parser)
                               : parser.keyword(L"ASSOCIATORS")
                                   ? associators(parser)
                                   : std::nullopt;
  if (!query || !parser.at_end())
    return std::nullopt;
  return query;
}

std::optional<ObjectPath> parse_object_path(const std::wstring &path) {
  std::size_t start = 0;
  // The server and namespace end at the colon before the class name; a
  // server name may hold dots, a key value colons.
  std::size_t colon = path.find(L':');
  bool server = path.compare(0, 2, L"\\\\") == 0;
  if (colon != std::wstring::npos &&
      (server || colon < path.find_first_of(L".=")))
    start = colon + 1;
  std::size_t equals = path.find(L'=', start);
  if (equals == std::wstring::npos || equals + 1 >= path.size() ||
      (path[equals + 1] != L'"' && path[equals + 1] != L'\''))
    return std::nullopt;
  ObjectPath object;
  std::wstring name = path.substr(start, equals - start);
  std::size_t dot = name.find(L'.');
  object.class_name = name.substr(0, dot);
  if (dot != std::wstring::npos &&
      !same_name(name.substr(dot + 1), L"DeviceID"))
    return std::nullopt;
  if (read_quoted(path, equals + 1, object.device_id) != path.size())
    return std::nullopt;
  return object;
}

} // namespace corvantix::test_wmi
