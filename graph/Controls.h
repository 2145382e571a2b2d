#pragma once
// The controls a module offers the user, described once. The generic editor,
// the mixer page and anything that later names parameters read this one table,
// so a module gets an editor by describing its controls, never by drawing them.
#include <atomic>
#include <cmath>
#include <cstdint>
#include <span>
#include <string>

namespace qr {

class CComp;

// How a change made on the user-interface thread reaches the audio thread.
enum class ControlWay : uint8_t {
  Atomic,  // one value the audio side reads once per use: written atomically
  Busy,    // several values that must change together: under the module's busy flag
  Action,  // structure the block walks: run by the root's action queue
};

struct ControlDesc {
  std::string name{};
  float min = 0.0f, max = 1.0f, def = 0.0f;
  std::string unit{};  // shown after the value: "dB", "Hz", "%"
  float step = 0.0f;   // 0: continuous; otherwise values snap to it
  ControlWay way = ControlWay::Atomic;
  int32_t arg = 0;  // which band, channel or step the accessors address
  float (*get)(const CComp&, int32_t arg) = nullptr;
  void (*set)(CComp&, int32_t arg, float value) = nullptr;  // value already clamped and snapped
  bool (*shown)(const CComp&, int32_t arg) = nullptr;       // none: always
  std::span<const char* const> choices{};                   // names of whole values from min on
  float display = 1.0f;  // the shown number is value x display ("%" of a 0..1 gain)
};

// One field the audio side reads once per use, written whole from the
// user-interface thread: the accessors of ControlWay::Atomic rows.
inline float AtomicRead(const float& v) noexcept {
  return std::atomic_ref<float>(const_cast<float&>(v)).load(std::memory_order_relaxed);
}
inline float AtomicRead(const int32_t& v) noexcept {
  return static_cast<float>(
      std::atomic_ref<int32_t>(const_cast<int32_t&>(v)).load(std::memory_order_relaxed));
}
inline void AtomicWrite(float& v, float x) noexcept {
  std::atomic_ref<float>(v).store(x, std::memory_order_relaxed);
}
inline void AtomicWrite(int32_t& v, float x) noexcept {
  std::atomic_ref<int32_t>(v).store(static_cast<int32_t>(std::lround(x)), std::memory_order_relaxed);
}

// The value clamped into the control's range and snapped to its step.
float ClampControl(const ControlDesc& c, float value) noexcept;
// Sets a control the way it asks for, from the user-interface thread, and marks
// the project modified. An Action control without a root group is set at once.
void ApplyControl(CComp& module, const ControlDesc& c, float value);
float ReadControl(const CComp& module, const ControlDesc& c);
// "12.5 dB", "Low-shelf", "50 %": the value as the user reads it.
std::string FormatControl(const ControlDesc& c, float value);
// Parses typed text ("2k", "-3.5", "Peaking"); false when it means nothing.
bool ParseControl(const ControlDesc& c, const std::string& text, float& value);

}  // namespace qr
