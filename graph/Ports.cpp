#include "graph/Ports.h"

#include <algorithm>

#include "graph/Comp.h"
#include "graph/Globals.h"

namespace qr {

CAudioOut::~CAudioOut() = default;

void CDelayLine::SetLength(int32_t samples) {
  samples = std::clamp(samples, 0, limits::kMaxLatency);
  if (samples + 1 > capacity) {
    left.assign(static_cast<size_t>(samples) + 1, 0.0f);
    right.assign(static_cast<size_t>(samples) + 1, 0.0f);
    capacity = samples + 1;
  } else {
    std::fill(left.begin(), left.end(), 0.0f);
    std::fill(right.begin(), right.end(), 0.0f);
  }
  length = samples;
  readPos = 0;
  writePos = samples;
}

void CDelayLine::Run(float* l, float* r, int frames) noexcept {
  if (length <= 0) return;
  // The ring holds length + 1 samples: each input is written at the write
  // position and replaced by the sample at the read position, both wrapping
  // after the delay length.
  int rp = readPos, wp = writePos;
  for (int i = 0; i < frames; ++i) {
    left[static_cast<size_t>(wp)] = l[i];
    l[i] = left[static_cast<size_t>(rp)];
    if (r) {
      right[static_cast<size_t>(wp)] = r[i];
      r[i] = right[static_cast<size_t>(rp)];
    }
    if (++rp > length) rp = 0;
    if (++wp > length) wp = 0;
  }
  readPos = rp;
  writePos = wp;
}

namespace {
int RampSamples() noexcept { return std::max(1, 7 * g_samplesPerMs.load(std::memory_order_relaxed)); }

void PanGains(float pan, float f, float& l, float& r) noexcept {
  if (pan >= 0.0f) {
    l = 1.0f - pan;
    r = 1.0f + pan * f;
  } else {
    l = 1.0f - pan * f;
    r = 1.0f + pan;
  }
}
}  // namespace

void CAudioOut::SetVolume(float v, bool smooth) noexcept {
  v = std::clamp(v, 0.0f, 1.0f);
  volumeTarget = v;
  if (!smooth) {
    volume = v;
    volumeRamp = 0;
    volumeStep = 0.0f;
    return;
  }
  volumeRamp = RampSamples();
  volumeStep = (v - volume) / static_cast<float>(volumeRamp);
}

void CAudioOut::SetPan(float p, bool smooth) noexcept {
  pan = std::clamp(p, -1.0f, 1.0f);
  PanGains(pan, panLawFactor, panLeftTarget, panRightTarget);
  if (!smooth) {
    panLeft = panLeftTarget;
    panRight = panRightTarget;
    panRamp = 0;
    panLeftStep = panRightStep = 0.0f;
    return;
  }
  panRamp = RampSamples();
  panLeftStep = (panLeftTarget - panLeft) / static_cast<float>(panRamp);
  panRightStep = (panRightTarget - panRight) / static_cast<float>(panRamp);
}

void CAudioOut::SetPanLaw(float factor) noexcept {
  panLawFactor = factor;
  SetPan(pan, false);
}

}  // namespace qr
