// The WQL that the disk inventory is asked: `SELECT * | a, b FROM Class
// [WHERE a = value [AND ...]]` and `ASSOCIATORS OF {path} [WHERE
// ResultClass = Class] [AssocClass = Class]`, and object paths with the
// DeviceID key. Anything else is no query of ours.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace corvantix::test_wmi {

struct Condition {
  enum Kind { Text, Number, Flag };
  std::wstring property;
  Kind kind = Text;
  std::wstring value; ///< Number as digits, Flag as TRUE or FALSE
};

struct Query {
  enum Kind { Select, Associators };
  Kind kind = Select;
  std::wstring class_name;              ///< of SELECT
  std::vector<std::wstring> properties; ///< of SELECT; empty for *
  std::vector<Condition> conditions;    ///< of SELECT, all to hold
  std::wstring object_path;             ///< of ASSOCIATORS OF
  std::wstring result_class, assoc_class;
};

std::optional<Query> parse_wql(const std::wstring &text);

struct ObjectPath {
  std::wstring class_name;
  std::wstring device_id;
};

/// `[\\server\namespace:]Class.DeviceID="value"` (or `Class="value"`),
/// the value unescaped.
std::optional<ObjectPath> parse_object_path(const std::wstring &path);

} // namespace corvantix::test_wmi
