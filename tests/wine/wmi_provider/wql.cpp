#include "wql.h"

#include "disk_classes.h"

#include <cwctype>
#include <vector>

namespace corvantix::test_wmi {
namespace {

struct Token {
  enum Kind { Word, Symbol, Braced, End };
  Kind kind = End;
  std::wstring text;
};

bool word_char(wchar_t c) { return std::iswalnum(c) || c == L'_'; }

// Tokens of the query; nullopt for a character these queries have no use
// for (quotes, comparisons other than `=`, ...).
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
    } else if (c == L'{') {
      std::size_t end = text.find(L'}', i);
      if (end == std::wstring::npos)
        return std::nullopt;
      tokens.push_back({Token::Braced, text.substr(i + 1, end - i - 1)});
      i = end + 1;
    } else if (c == L'*' || c == L'=') {
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
    return accept(next_is(Token::Word) && same_name(tokens_[at_].text, word));
  }
  bool symbol(const wchar_t *text) {
    return accept(next_is(Token::Symbol) && tokens_[at_].text == text);
  }
  std::optional<std::wstring> take(Token::Kind kind) {
    if (!next_is(kind))
      return std::nullopt;
    return tokens_[at_++].text;
  }
  bool at_end() const { return next_is(Token::End); }

private:
  bool next_is(Token::Kind kind) const { return tokens_[at_].kind == kind; }
  // Moves past the next token when it matched.
  bool accept(bool matched) {
    at_ += matched;
    return matched;
  }

  std::vector<Token> tokens_;
  std::size_t at_ = 0;
};

// After SELECT: * FROM Class.
std::optional<Query> select(Parser &parser) {
  std::optional<std::wstring> class_name;
  if (parser.symbol(L"*") && parser.keyword(L"FROM"))
    class_name = parser.take(Token::Word);
  if (!class_name)
    return std::nullopt;
  Query query;
  query.class_name = *class_name;
  return query;
}

// After ASSOCIATORS: OF {path} [WHERE ResultClass = Class].
std::optional<Query> associators(Parser &parser) {
  auto path = parser.keyword(L"OF") ? parser.take(Token::Braced) : std::nullopt;
  if (!path)
    return std::nullopt;
  Query query;
  query.kind = Query::Associators;
  query.object_path = *path;
  if (!parser.keyword(L"WHERE"))
    return query;
  std::optional<std::wstring> result_class;
  if (parser.keyword(L"ResultClass") && parser.symbol(L"="))
    result_class = parser.take(Token::Word);
  if (!result_class)
    return std::nullopt;
  query.result_class = *result_class;
  return query;
}

// The quoted text at `at`, backslash escapes undone; the position after
// its closing quote, or npos when it is not closed.
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

} // namespace

std::optional<Query> parse_wql(const std::wstring &text) {
  auto tokens = tokens_of(text);
  if (!tokens)
    return std::nullopt;
  Parser parser(std::move(*tokens));
  std::optional<Query> query;
  if (parser.keyword(L"SELECT"))
    query = select(parser);
  else if (parser.keyword(L"ASSOCIATORS"))
    query = associators(parser);
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
