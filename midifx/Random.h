#pragma once
// The random source of a MIDI effect module: one small generator per module,
// seeded at construction, that tests can reseed to make a run repeatable.
#include <cstdint>

namespace qr {

class CModuleRandom {
 public:
  explicit CModuleRandom(uint64_t seed = 0x9E3779B97F4A7C15ull) noexcept { Seed(seed); }

  void Seed(uint64_t seed) noexcept { state_ = seed; }

  // A uniform integer in 0..n-1; 0 when n < 1.
  int32_t Next(int32_t n) noexcept {
    if (n <= 1) return 0;
    // Rejection keeps every value equally likely for any n.
    const uint64_t range = static_cast<uint64_t>(n);
    const uint64_t limit = UINT64_MAX - UINT64_MAX % range;
    uint64_t r;
    do r = Raw();
    while (r >= limit);
    return static_cast<int32_t>(r % range);
  }

  // splitmix64: tiny, fast, and good enough for musical choices.
  uint64_t Raw() noexcept {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }

 private:
  uint64_t state_ = 0;
};

}  // namespace qr
