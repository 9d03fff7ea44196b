#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One JSON text (a records file line) read strictly: exactly one value,
// blanks only around it, strings of valid UTF-8 whose \u escapes pair their
// surrogates, no duplicate member names, nesting bounded. Anything else is
// refused as a whole, so that a line torn by a crash or mangled on its way
// counts as damaged instead of passing half-read.
class CJsonValue {
 public:
  enum class EKind { Null, Bool, Number, String, Array, Object };

  EKind Kind() const { return m_eKind; }
  bool IsNull() const { return m_eKind == EKind::Null; }

  // The member's value; nullptr when this is no object or has no such member.
  const CJsonValue* Member(std::string_view name) const;
  // The value as that kind, or std::nullopt when it is of another kind.
  std::optional<std::string> String() const;
  std::optional<double> Number() const;
  std::optional<bool> Bool() const;
  // Elements of an array; empty for any other kind.
  const std::vector<CJsonValue>& Elements() const { return m_elements; }
  // Members of an object by name; empty for any other kind.
  const std::map<std::string, CJsonValue, std::less<>>& Members() const { return m_members; }

 private:
  friend class CJsonReader;

  EKind m_eKind = EKind::Null;
  bool m_b = false;
  double m_d = 0;
  std::string m_str;
  std::vector<CJsonValue> m_elements;
  std::map<std::string, CJsonValue, std::less<>> m_members;
};

// How deep arrays and objects may nest: a records line is flat, and a hostile
// line must not exhaust the stack.
inline constexpr int kJsonMaxDepth = 32;

// The value, or std::nullopt for a text that is not exactly one JSON value.
std::optional<CJsonValue> ParseJsonLine(std::string_view text);
