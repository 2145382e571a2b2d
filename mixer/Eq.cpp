#include "mixer/Eq.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "mixer/BusyLock.h"
#include "mixer/Records.h"
#include "persist/RecordStream.h"

namespace qr {

// ---------------------------------------------------------------- coefficients

// The cookbook biquad forms, worked in double and stored as float. Two guards
// keep a stored band from turning the filter into a non-number: the frequency
// stays below the Nyquist frequency (w0 = pi makes sin(w0) vanish in the
// bandwidth term) and a bandwidth that is not a positive number counts as the
// default. A mode other than the two shelves is worked as peaking.
void CEqBand::ComputeCoefficients(float sample_rate) noexcept {
  const double rate = sample_rate > 0.0f ? sample_rate : 44100.0;
  double f = std::isfinite(frequency) ? frequency : 2000.0;
  f = std::clamp(f, 20.0, 20000.0);
  f = std::min(f, 0.499 * rate);
  const double g = std::isfinite(gain) ? gain : 0.0;
  const double bw = bandwidth > 0.0f && std::isfinite(bandwidth) ? bandwidth : 0.5;

  const double A = std::pow(10.0, g * 0.025);
  const double w0 = 2.0 * std::numbers::pi * f / rate;
  const double sn = std::sin(w0);
  const double alpha = sn * std::sinh(0.34657359 * bw * w0 / sn);
  const double c = std::cos(w0);
  double b0, b1, b2, a0, a1, a2;
  if (mode == kLowShelf || mode == kHighShelf) {
    const double s = 2.0 * std::sqrt(A) * alpha;
    if (mode == kLowShelf) {
      b0 = A * ((A + 1) - (A - 1) * c + s);
      b1 = 2 * A * ((A - 1) - (A + 1) * c);
      b2 = A * ((A + 1) - (A - 1) * c - s);
      a0 = (A + 1) + (A - 1) * c + s;
      a1 = -2 * ((A - 1) + (A + 1) * c);
      a2 = (A + 1) + (A - 1) * c - s;
    } else {
      b0 = A * ((A + 1) + (A - 1) * c + s);
      b1 = -2 * A * ((A - 1) + (A + 1) * c);
      b2 = A * ((A + 1) + (A - 1) * c - s);
      a0 = (A + 1) - (A - 1) * c + s;
      a1 = 2 * ((A - 1) - (A + 1) * c);
      a2 = (A + 1) - (A - 1) * c - s;
    }
  } else {
    b0 = 1 + alpha * A;
    b1 = -2 * c;
    b2 = 1 - alpha * A;
    a0 = 1 + alpha / A;
    a1 = -2 * c;
    a2 = 1 - alpha / A;
  }
  for (auto& k : ch) {
    k.b0 = static_cast<float>(b0 / a0);
    k.b1 = static_cast<float>(b1 / a0);
    k.b2 = static_cast<float>(b2 / a0);
    k.a1 = static_cast<float>(a1 / a0);
    k.a2 = static_cast<float>(a2 / a0);
  }
}

// ---------------------------------------------------------------- the band kernel

namespace {

// K bands in series over one channel, sample by sample. Every band's history
// lives in registers for the whole stretch, and the K recursions are
// independent within a sample's wavefront, so they overlap in the pipeline
// instead of each waiting out its own feedback latency. The arithmetic is the
// direct form exactly, y = b0 x + b1 x1 + b2 x2 - a1 y1 - a2 y2, with the sum
// formed in double and each band's output rounded to float as it is stored,
// so the history stays float and the result does not depend on how bands are
// grouped or the block is cut. Summing in float instead adds rounding noise that
// the poles of a low band raise to near -80 dB.
template <int K>
void RunBands(CEqBand* bands, int channel, float* __restrict x, int n) noexcept {
  double b0[K], b1[K], b2[K], a1[K], a2[K], x1[K], x2[K], y1[K], y2[K];
  for (int k = 0; k < K; ++k) {
    const CEqBand::Channel& c = bands[k].ch[static_cast<size_t>(channel)];
    b0[k] = c.b0, b1[k] = c.b1, b2[k] = c.b2, a1[k] = c.a1, a2[k] = c.a2;
    x1[k] = c.x1, x2[k] = c.x2, y1[k] = c.y1, y2[k] = c.y2;
  }
  for (int i = 0; i < n; ++i) {
    double v = x[i];
#pragma GCC unroll 8
    for (int k = 0; k < K; ++k) {
      const double y = static_cast<float>(b0[k] * v + b1[k] * x1[k] + b2[k] * x2[k] - a1[k] * y1[k] - a2[k] * y2[k]);
      x2[k] = x1[k];
      x1[k] = v;
      y2[k] = y1[k];
      y1[k] = y;
      v = y;
    }
    x[i] = static_cast<float>(v);
  }
  for (int k = 0; k < K; ++k) {
    CEqBand::Channel& c = bands[k].ch[static_cast<size_t>(channel)];
    c.x1 = static_cast<float>(x1[k]), c.x2 = static_cast<float>(x2[k]);
    c.y1 = static_cast<float>(y1[k]), c.y2 = static_cast<float>(y2[k]);
  }
}

}  // namespace

void CEq::RunChannel(int channel, float* samples, int frames) noexcept {
  const int count = std::clamp(bandCount, 0, kMaxBands);
  int b = 0;
  for (; b + 4 <= count; b += 4) RunBands<4>(&bands[static_cast<size_t>(b)], channel, samples, frames);
  switch (count - b) {
    case 3: RunBands<3>(&bands[static_cast<size_t>(b)], channel, samples, frames); break;
    case 2: RunBands<2>(&bands[static_cast<size_t>(b)], channel, samples, frames); break;
    case 1: RunBands<1>(&bands[static_cast<size_t>(b)], channel, samples, frames); break;
    default: break;
  }
  // Decayed history is cleared so that silence never runs on denormals. Each
  // value is tested on its own: clearing x2 because x1 is small would cut a
  // live signal whenever an exact zero sample lands at the end of a block.
  auto flush = [](float& v) { v = std::fabs(v) < 1e-10f ? 0.0f : v; };
  for (int k = 0; k < count; ++k) {
    CEqBand::Channel& c = bands[static_cast<size_t>(k)].ch[static_cast<size_t>(channel)];
    flush(c.x1), flush(c.x2), flush(c.y1), flush(c.y2);
  }
}

// ---------------------------------------------------------------- the module

CEq::CEq(CContainer* parent_container) : CComp(parent_container) {
  id = "Eq";
  AddAudioIn(2);
  AddAudioOut(2);
  for (auto& b : bands) b.ComputeCoefficients(sampleRate);
}

void CEq::SetSampleRate(float rate) {
  if (rate == sampleRate) return;
  CComp::SetSampleRate(rate);
  for (auto& b : bands) b.ComputeCoefficients(sampleRate);
}

// The output starts as a copy of the input and every band rewrites it in band
// order. A switched-off equaliser passes its input through unchanged.
void CEq::Process(int frames) noexcept {
  if (!BeginProcess(frames, false)) return;
  if (!audioIns.empty() && !audioOuts.empty()) {
    for (int c = 0; c < 2; ++c) {
      const float* in = inCh[static_cast<size_t>(c)];
      float* out = outCh[static_cast<size_t>(c)];
      if (!in || !out) continue;
      std::memcpy(out, in, sizeof(float) * static_cast<size_t>(frames));
      if (enabled) RunChannel(c, out, frames);
    }
  }
  EndProcess(frames);
}

void CEq::SetMode(int band, int32_t mode) {
  if (band < 0 || band >= bandCount) return;
  CEqBand& b = bands[static_cast<size_t>(band)];
  b.mode = mode;
  b.gain = 0.0f;
  b.frequency = mode == CEqBand::kLowShelf ? 300.0f : mode == CEqBand::kHighShelf ? 10000.0f : 2000.0f;
  b.ComputeCoefficients(sampleRate);
  MarkModified();
}

void CEq::SetBand(int band, float frequency, float gain, float bandwidth) {
  if (band < 0 || band >= bandCount) return;
  CEqBand& b = bands[static_cast<size_t>(band)];
  b.frequency = frequency;
  b.gain = gain;
  b.bandwidth = bandwidth;
  b.ComputeCoefficients(sampleRate);
  MarkModified();
}

bool CEq::AddBand() {
  if (bandCount >= kMaxBands) return false;
  {
    BusyLock lock(busy);
    CEqBand& b = bands[static_cast<size_t>(bandCount)];
    b = CEqBand{};
    b.ComputeCoefficients(sampleRate);
    ++bandCount;
  }
  MarkModified();
  return true;
}

void CEq::DeleteBand(int band) {
  if (bandCount <= 1 || band < 0 || band >= bandCount) return;
  {
    BusyLock lock(busy);
    std::move(bands.begin() + band + 1, bands.begin() + bandCount, bands.begin() + band);
    --bandCount;
  }
  MarkModified();
}

void CEq::Save(CStream& s) {
  CComp::Save(s);
  for (int i = 0; i < bandCount; ++i) {
    const CEqBand& b = bands[static_cast<size_t>(i)];
    s.WriteKeyMarker("band");
    s.WriteKeyInt("mode", b.mode);
    s.WriteKeyFloat("freq", b.frequency);
    s.WriteKeyFloat("gain", b.gain);
    s.WriteKeyFloat("bw", b.bandwidth);
  }
}

void CEq::Load(CStream& s, int) {
  BusyLock lock(busy);
  bandCount = 0;
  CEqBand* band = nullptr;
  std::string key;
  int32_t size = 0;
  while (s.NextRecord(key, size) && key != "CEnd") {
    if (LoadBaseRecord(s, key, size, false)) continue;
    if (key == "band") {
      s.Skip(size);
      // Past the last slot every further band replaces the last one.
      if (bandCount < kMaxBands) ++bandCount;
      band = &bands[static_cast<size_t>(bandCount - 1)];
      *band = CEqBand{};
    } else if (band && key == "mode") {
      records::ReadInt(s, size, band->mode);
    } else if (band && key == "freq") {
      records::ReadFloat(s, size, band->frequency);
    } else if (band && key == "gain") {
      records::ReadFloat(s, size, band->gain);
    } else if (band && key == "bw") {
      records::ReadFloat(s, size, band->bandwidth);
    } else {
      s.Skip(size);
    }
  }
  for (auto& b : bands) b.ComputeCoefficients(sampleRate);
}

}  // namespace qr
