#pragma once
// The level meter of one audio output port. Only processing threads write it:
// they raise it while they mix the port's samples into a cable (two consumers on
// two cores may gather the same port in one block, hence compare-and-swap), and
// the port's owner lets it fall once per block. The editor only reads it and
// keeps its own decayed display value, so a meter shown at idle never races the
// block that is raising it.
#include <algorithm>
#include <array>
#include <atomic>

namespace qr {

class CPeakMeter {
 public:
  // (audio) Raises channel c's current and held peak to v when larger.
  void Raise(int c, float v) noexcept {
    RaiseTo(current_[Index(c)], v);
    RaiseTo(held_[Index(c)], v);
  }
  // (audio, once per block before anything mixes) The current peaks fall by
  // `amount`, not below 0. The fall is slow enough that an editor polling a few
  // times a second still sees every peak.
  void Fall(float amount) noexcept {
    for (auto& a : current_)
      a.store(std::max(0.0f, a.load(std::memory_order_relaxed) - amount), std::memory_order_relaxed);
  }
  float Current(int c) const noexcept { return current_[Index(c)].load(std::memory_order_relaxed); }
  // The largest value since the port was made.
  float Held(int c) const noexcept { return held_[Index(c)].load(std::memory_order_relaxed); }

  // Full scale per second: a peak stays visible for the whole of a slow idle pass.
  static constexpr float kFallPerSecond = 1.0f;

 private:
  static size_t Index(int c) noexcept { return c > 0 ? 1 : 0; }
  static void RaiseTo(std::atomic<float>& a, float v) noexcept {
    float seen = a.load(std::memory_order_relaxed);
    while (v > seen && !a.compare_exchange_weak(seen, v, std::memory_order_relaxed)) {
    }
  }

  std::array<std::atomic<float>, 2> current_{};
  std::array<std::atomic<float>, 2> held_{};
};

// The editor's side of a meter: what it draws, decayed by 0.05 at each idle pass
// and never below what the processing side last reported.
struct MeterDisplay {
  std::array<float, 2> value{};
  void Idle(const CPeakMeter& m) noexcept {
    for (int c = 0; c < 2; ++c) {
      float& v = value[static_cast<size_t>(c)];
      v = std::max(m.Current(c), v - kDecayPerIdle);
    }
  }
  static constexpr float kDecayPerIdle = 0.05f;
};

}  // namespace qr
