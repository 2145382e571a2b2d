#include "graph/Attribs.h"

#include <cstdlib>

namespace qr {

void CAttribs::SetText(std::string_view name, std::string_view value) {
  for (auto& a : items_)
    if (a.name == name) {
      a.value = value;
      return;
    }
  items_.push_back({std::string(name), std::string(value)});
}

void CAttribs::SetInt(std::string_view name, int32_t value) { SetText(name, std::to_string(value)); }

int32_t CAttribs::GetInt(std::string_view name) const {
  const CAttrib* a = Find(name);
  return a ? static_cast<int32_t>(std::strtol(a->value.c_str(), nullptr, 10)) : 0;
}

std::string CAttribs::GetText(std::string_view name) const {
  const CAttrib* a = Find(name);
  return a ? a->value : std::string();
}

const CAttrib* CAttribs::Find(std::string_view name) const {
  for (const auto& a : items_)
    if (a.name == name) return &a;
  return nullptr;
}

}  // namespace qr
