#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// What the programs write for line scripts (records, --json streams), read
// by the same strict reader the report uses, as plain values for the tests.
struct SJson {
  enum class EType { Null, Bool, Number, String, Array, Object } eType = EType::Null;
  bool b = false;
  double d = 0;
  std::string s;
  std::vector<SJson> items;
  std::map<std::string, SJson> members;

  bool Has(const std::string& key) const { return members.count(key) != 0; }
  const SJson& operator[](const std::string& key) const;
  bool IsNull() const { return eType == EType::Null; }
};

// The value of the whole text; nullopt when it is not exactly one JSON value.
std::optional<SJson> ParseJson(const std::string& strText);
// Every line of the text, each one value; nullopt when one is not.
std::optional<std::vector<SJson>> ParseJsonLines(const std::string& strText);
