#include "sequencer/Metronome.h"

#include <algorithm>
#include <cmath>

#include "audio/Sample.h"
#include "stream/RecordStream.h"

namespace qr {

namespace {
// Semitones to a speed ratio: twelve make an octave.
constexpr double kTuning = 0.69314718055994530942;  // ln 2
}  // namespace

bool CClicker::LoadSample(const std::vector<uint8_t>& block) {
  Clear();
  if (block.empty()) return false;
  CMemStream s(block);
  CSample sample;
  sample.LoadRecords(s, static_cast<int32_t>(std::min<size_t>(block.size(), INT32_MAX)));
  if (sample.frames <= 0 || !sample.HoldsFramesOfHeader() || !(sample.rate > 0.0f) ||
      !std::isfinite(sample.rate))
    return false;
  const auto n = static_cast<size_t>(sample.frames);
  left_.resize(n);
  if (sample.channels > 1) right_.resize(n);
  for (size_t i = 0; i < n; ++i) {
    // Frame 0 is the sample's front guard; its frames count from 1.
    left_[i] = sample.Value(static_cast<int32_t>(i) + 1, 0);
    if (!right_.empty()) right_[i] = sample.Value(static_cast<int32_t>(i) + 1, 1);
  }
  clickRate_ = sample.rate;
  return true;
}

void CClicker::Clear() noexcept {
  Silence();
  std::vector<float>().swap(left_);
  std::vector<float>().swap(right_);
}

void CClicker::Phase(double tick, double bpm, double rate) noexcept {
  walker_.SetTempo(bpm, rate);
  walker_.Locate(std::isfinite(tick) ? tick : 0.0);
}

void CClicker::Silence() noexcept {
  for (Voice& v : voices_) v.active = false;
}

void CClicker::StartVoice(int32_t delay, double speed, float gain) noexcept {
  for (Voice& v : voices_)
    if (!v.active) {
      v = Voice{true, delay, 0.0, speed, gain};
      ++clicks;
      return;
    }
  // Sixteen clicks at once: the new one is dropped.
}

void CClicker::Render(int m, float* left, float* right, double bpm, double rate, float volume, int32_t coarse,
                      int32_t beats_per_bar) noexcept {
  if (!running || left_.empty() || m <= 0 || !left || !right) return;
  walker_.SetTempo(bpm, rate);
  if (walker_.Valid()) {
    const double speed =
        std::exp(static_cast<double>(std::clamp(coarse, -48, 48)) * kTuning / 12.0) * clickRate_ / rate;
    const int64_t bar = std::max<int64_t>(1, beats_per_bar);
    // The beat at or before the current sample has already sounded (or was
    // cut off by a phase); the walk starts with it so none is skipped.
    const double first = std::floor(walker_.TickAt(0) / kTicksPerBeat);
    for (double k = first; k < first + 1e6; k += 1.0) {
      const int64_t at = walker_.SampleOf(k * kTicksPerBeat);
      if (at >= m) break;
      if (at < 0) continue;
      const auto beat = static_cast<int64_t>(k);
      const float gain = ((beat % bar + bar) % bar == 0) ? 1.0f : kOffBeatGain;
      StartVoice(static_cast<int32_t>(at), speed, gain);
    }
  }
  walker_.Advance(m);

  const double frames = static_cast<double>(left_.size());
  for (Voice& v : voices_) {
    if (!v.active) continue;
    const int from = std::min(v.delay, m);
    v.delay -= from;
    const float g = v.gain * volume;
    for (int i = from; i < m; ++i) {
      if (v.pos >= frames) {
        v.active = false;
        break;
      }
      // Linear between the two frames around the position; past the last
      // frame the click fades to silence.
      const auto j = static_cast<size_t>(v.pos);
      const float f = static_cast<float>(v.pos - static_cast<double>(j));
      const float a = left_[j], b = j + 1 < left_.size() ? left_[j + 1] : 0.0f;
      const float l = a + (b - a) * f;
      float r = l;
      if (!right_.empty()) {
        const float c = right_[j], d = j + 1 < right_.size() ? right_[j + 1] : 0.0f;
        r = c + (d - c) * f;
      }
      left[i] += l * g;
      right[i] += r * g;
      v.pos += v.speed;
    }
    if (v.pos >= frames) v.active = false;
  }
}

}  // namespace qr
