// The process-wide language table: every text shown to a person, by key.
#pragma once

#include <concepts>
#include <functional>
#include <memory>
#include <cstdint>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

namespace corvantix {

class Res {
public:
  Res() = delete;

  /// Loads the language file and the documentation file of the user's
  /// interface language (exact tag, else the default English files) into a
  /// new table. Fails with "Error loading language files." and the cause.
  static void init();

  /// Loads the language table for an explicit language tag (init's work).
  static void init_for(const std::string &tag);

  /// Opens a language file by name; null when there is none.
  using FileOpener =
      std::function<std::unique_ptr<std::istream>(const std::string &name)>;

  /// init_for with the files taken from `open` instead of the program.
  static void init_from(const FileOpener &open, const std::string &tag);

  /// Adds the entries of one language file; a duplicate key or an entry
  /// without a name fails.
  static void load(std::istream &stream);

  /// Adds a text or replaces an earlier one.
  static void set(const std::string &key, const std::string &text);

  /// The text of `key`; a missing key fails with the RES_ERR_LANG text.
  static std::string get(const std::string &key);

  /// The text of `key` with "{0}", "{1}", ... filled from `values`.
  template <typename... Values>
  static std::string format(const std::string &key, const Values &...values) {
    return format_values(key, {text_of(values)...});
  }

  static std::string format_values(const std::string &key,
                                   const std::vector<std::string> &values);

  /// Forgets the table, as before init (for tests).
  static void reset();

  /// Starts an empty table, as init does before loading (for tests).
  static void clear();

private:
  static std::string text_of(const std::string &s) { return s; }
  static std::string text_of(std::string_view s) { return std::string(s); }
  static std::string text_of(const char *s) { return s; }
  static std::string text_of(char c) { return std::string(1, c); }
  static std::string text_of(signed char c) { return std::string(1, char(c)); }
  template <std::integral T>
    requires(!std::same_as<T, char> && !std::same_as<T, signed char> &&
             !std::same_as<T, bool>)
  static std::string text_of(T n) {
    return std::to_string(n);
  }
};

} // namespace corvantix
