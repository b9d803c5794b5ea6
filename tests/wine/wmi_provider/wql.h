// The WQL that a disk scan asks: `SELECT * FROM Class` and `ASSOCIATORS OF
// {path} [WHERE ResultClass = Class]`, and object paths with the DeviceID
// key. Anything else is no query of ours.
#pragma once

#include <optional>
#include <string>

namespace corvantix::test_wmi {

struct Query {
  enum Kind { Select, Associators };
  Kind kind = Select;
  std::wstring class_name;   ///< of SELECT
  std::wstring object_path;  ///< of ASSOCIATORS OF
  std::wstring result_class; ///< of ASSOCIATORS OF; empty for any
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
