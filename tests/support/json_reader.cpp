#include "json_reader.h"

#include "common/json_line.h"

namespace {

SJson FromValue(const CJsonValue& value) {
  SJson out;
  switch (value.Kind()) {
    case CJsonValue::EKind::Null:
      break;
    case CJsonValue::EKind::Bool:
      out.eType = SJson::EType::Bool;
      out.b = *value.Bool();
      break;
    case CJsonValue::EKind::Number:
      out.eType = SJson::EType::Number;
      out.d = *value.Number();
      break;
    case CJsonValue::EKind::String:
      out.eType = SJson::EType::String;
      out.s = *value.String();
      break;
    case CJsonValue::EKind::Array:
      out.eType = SJson::EType::Array;
      for (const CJsonValue& element : value.Elements()) out.items.push_back(FromValue(element));
      break;
    case CJsonValue::EKind::Object:
      out.eType = SJson::EType::Object;
      for (const auto& [name, member] : value.Members()) out.members[name] = FromValue(member);
      break;
  }
  return out;
}

const SJson kNull;

}  // namespace

const SJson& SJson::operator[](const std::string& key) const {
  const auto it = members.find(key);
  return it == members.end() ? kNull : it->second;
}

std::optional<SJson> ParseJson(const std::string& strText) {
  const std::optional<CJsonValue> value = ParseJsonLine(strText);
  if (!value) return std::nullopt;
  return FromValue(*value);
}

std::optional<std::vector<SJson>> ParseJsonLines(const std::string& strText) {
  std::vector<SJson> values;
  size_t nAt = 0;
  while (nAt < strText.size()) {
    size_t nEnd = strText.find('\n', nAt);
    if (nEnd == std::string::npos) nEnd = strText.size();
    const std::string line = strText.substr(nAt, nEnd - nAt);
    nAt = nEnd + 1;
    if (line.empty()) continue;
    std::optional<SJson> value = ParseJson(line);
    if (!value) return std::nullopt;
    values.push_back(std::move(*value));
  }
  return values;
}
