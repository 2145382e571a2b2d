#include "graph/Controls.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "graph/BusyFlag.h"
#include "graph/Comp.h"
#include "graph/Container.h"

namespace qr {

float ClampControl(const ControlDesc& c, float value) noexcept {
  if (!std::isfinite(value)) value = c.def;
  if (c.step > 0.0f) value = c.min + std::nearbyint((value - c.min) / c.step) * c.step;
  return std::clamp(value, std::min(c.min, c.max), std::max(c.min, c.max));
}

namespace {

// The action queue carries two integers: the control travels as a pointer, the
// value as its bits. Tables are static, so the pointer outlives the action.
void RunControlAction(void* module, intptr_t desc, intptr_t bits) {
  const auto* c = reinterpret_cast<const ControlDesc*>(desc);
  float v;
  const auto b = static_cast<uint32_t>(bits);
  std::memcpy(&v, &b, sizeof v);
  c->set(*static_cast<CComp*>(module), c->arg, v);
}

}  // namespace

void ApplyControl(CComp& module, const ControlDesc& c, float value) {
  if (!c.set) return;
  value = ClampControl(c, value);
  switch (c.way) {
    case ControlWay::Atomic:
      c.set(module, c.arg, value);
      break;
    case ControlWay::Busy: {
      BusyLock lock(module.busy);
      c.set(module, c.arg, value);
      break;
    }
    case ControlWay::Action: {
      uint32_t bits;
      std::memcpy(&bits, &value, sizeof bits);
      const ActionFn fn{&RunControlAction, &module};
      if (!module.Root() ||
          !module.PostAction(reinterpret_cast<intptr_t>(&c), static_cast<intptr_t>(bits), fn))
        c.set(module, c.arg, value);
      break;
    }
  }
  module.MarkModified();
}

float ReadControl(const CComp& module, const ControlDesc& c) { return c.get ? c.get(module, c.arg) : c.def; }

std::string FormatControl(const ControlDesc& c, float value) {
  if (!c.choices.empty()) {
    const long i = std::lround(value - c.min);
    if (i >= 0 && static_cast<size_t>(i) < c.choices.size()) return c.choices[static_cast<size_t>(i)];
  }
  const float shown = value * c.display;
  // As many decimals as one step of the control needs, two when it has none.
  int decimals = 2;
  if (c.step > 0.0f)
    decimals = std::clamp(static_cast<int>(std::ceil(-std::log10(c.step * c.display) - 1e-6)), 0, 3);
  else if (std::fabs(shown) >= 1000.0f)
    decimals = 0;
  else if (std::fabs(shown) >= 100.0f)
    decimals = 1;
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, static_cast<double>(shown));
  std::string s = buf;
  if (!c.unit.empty()) s += " " + c.unit;
  return s;
}

bool ParseControl(const ControlDesc& c, const std::string& text, float& value) {
  std::string t = text;
  while (!t.empty() && std::isspace(static_cast<unsigned char>(t.back()))) t.pop_back();
  while (!t.empty() && std::isspace(static_cast<unsigned char>(t.front()))) t.erase(t.begin());
  if (t.empty()) return false;
  for (size_t i = 0; i < c.choices.size(); ++i) {
    const char* name = c.choices[i];
    if (t.size() == std::strlen(name) && std::equal(t.begin(), t.end(), name, [](char a, char b) {
          return std::tolower(a) == std::tolower(b);
        })) {
      value = c.min + static_cast<float>(i);
      return true;
    }
  }
  char* end = nullptr;
  double v = std::strtod(t.c_str(), &end);
  if (end == t.c_str() || !std::isfinite(v)) return false;
  while (*end == ' ') ++end;
  if (*end == 'k' || *end == 'K') v *= 1000.0, ++end;
  while (*end == ' ') ++end;
  // A unit typed after the number is fine as long as it is the control's own.
  if (*end && c.unit.compare(end) != 0) return false;
  value = static_cast<float>(v / c.display);
  return true;
}

}  // namespace qr
