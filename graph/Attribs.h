#pragma once
// Free-form per-module settings that other parts of the system read by name.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qr {

struct CAttrib {
  std::string name;
  std::string value;
};

class CAttribs {
 public:
  void SetText(std::string_view name, std::string_view value);
  void SetInt(std::string_view name, int32_t value);
  // Missing names read as 0 or empty text; the getters never fail.
  int32_t GetInt(std::string_view name) const;
  std::string GetText(std::string_view name) const;
  const CAttrib* Find(std::string_view name) const;  // exact, case-sensitive

  const std::vector<CAttrib>& Items() const { return items_; }
  void Clear() { items_.clear(); }

 private:
  std::vector<CAttrib> items_;
};

}  // namespace qr
