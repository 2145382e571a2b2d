#pragma once
// The one conversion between musical time (960 ticks a beat) and samples that
// every module placing events in time shares.
//
// Positions are never accumulated block by block: the walker keeps an anchor
// (the tick standing at one sample) and works every position out from it, so a
// block of 1 sample and a block of 4096 give the same answer for every event.
// The anchor moves only when the tempo or sample rate changes or the caller
// relocates (a loop wrap, a jump), each a single rounding at most.
//
// Convention: an event due at tick t sounds on the sample whose position is the
// last one at or before t, floor((t - anchor) x samples per tick). So a block
// [now, now + n) takes exactly the events with 0 <= SampleOf(t) < n, and
// consecutive blocks neither lose nor repeat an event.
#include <cmath>
#include <cstdint>

namespace qr {

inline constexpr int kTicksPerBeat = 960;

class TickWalker {
 public:
  // Ticks per second are 16 x tempo (960 per beat, 60 s a minute).
  static constexpr double TicksPerSecond(double bpm) noexcept { return bpm * (kTicksPerBeat / 60.0); }

  // A tempo or rate that is not a finite positive number leaves time standing:
  // the walker then places nothing (every event is "later").
  void SetTempo(double bpm, double sample_rate) noexcept {
    if (bpm == bpm_ && sample_rate == rate_) return;
    const double here = TickAt(0);
    bpm_ = bpm;
    rate_ = sample_rate;
    valid_ = std::isfinite(bpm) && std::isfinite(sample_rate) && bpm > 0.0 && sample_rate > 0.0;
    Locate(here);
  }

  // The sample `at` samples after the current one stands at `tick`. A start in
  // the middle of a block anchors on its own sample, so nothing is rounded to
  // the block's first sample.
  void Locate(double tick, int64_t at = 0) noexcept {
    anchor_ = std::isfinite(tick) ? tick : 0.0;
    elapsed_ = -at;
  }

  // The next block starts `samples` later.
  void Advance(int64_t samples) noexcept { elapsed_ += samples; }

  // The exact tick position `offset` samples after the current sample.
  double TickAt(int64_t offset) const noexcept {
    if (!valid_) return anchor_;
    return anchor_ + static_cast<double>(elapsed_ + offset) * TicksPerSecond(bpm_) / rate_;
  }

  // Where an event due at `tick` sounds, in samples from the current sample
  // (negative when already past). The small tolerance keeps a tick that falls
  // exactly on a sample on that sample despite the division's last bit.
  int64_t SampleOf(double tick) const noexcept {
    if (!valid_) return kNever;
    const double x = (tick - anchor_) * rate_ / TicksPerSecond(bpm_) - static_cast<double>(elapsed_);
    if (x >= 4.0e18) return kNever;
    if (x <= -4.0e18) return -kNever;
    return static_cast<int64_t>(std::floor(x + 1e-7));
  }

  // True when an event at `tick` falls inside a block of `frames` samples from now.
  bool Within(double tick, int frames) const noexcept {
    const int64_t s = SampleOf(tick);
    return s >= 0 && s < frames;
  }

  double Tempo() const noexcept { return bpm_; }
  double SampleRate() const noexcept { return rate_; }
  bool Valid() const noexcept { return valid_; }

  static constexpr int64_t kNever = INT64_C(1) << 62;

 private:
  double anchor_ = 0.0;  // tick standing at the anchor sample
  int64_t elapsed_ = 0;  // samples from the anchor to the current sample
  double bpm_ = 120.0;
  double rate_ = 44100.0;
  bool valid_ = true;
};

}  // namespace qr
