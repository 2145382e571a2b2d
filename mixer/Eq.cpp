#include "mixer/Eq.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "graph/BusyFlag.h"
#include "mixer/Records.h"
#include "stream/RecordStream.h"

namespace qr {

// ---------------------------------------------------------------- coefficients

// The cookbook biquad forms, worked in double and stored as float. Guards keep
// a band read from a file from turning the filter into a non-number: the gain
// stays within +-120 dB and the bandwidth within 12 octaves; values that are
// not numbers, and a bandwidth that is not positive, count as the defaults. A
// mode other than the two shelves is worked as peaking.
//
// A band at or above the Nyquist frequency cannot exist at this rate. Moving it
// just below would not do: as w0 nears pi the bandwidth term explodes and the
// forms collapse into a flat gain of A^2 over the whole spectrum. Such a band
// passes the signal unchanged instead, and takes effect again at a rate that
// can hold it.
void CEqBand::ComputeCoefficients(float sample_rate) noexcept {
  const double rate = sample_rate > 0.0f ? sample_rate : 44100.0;
  double f = std::isfinite(frequency) ? frequency : 2000.0;
  f = std::clamp(f, 20.0, 20000.0);
  if (f >= 0.5 * rate) {
    for (auto& k : ch) k.b0 = 1.0f, k.b1 = k.b2 = k.a1 = k.a2 = 0.0f;
    return;
  }
  const double g = std::isfinite(gain) ? std::clamp<double>(gain, -120.0, 120.0) : 0.0;
  const double bw = bandwidth > 0.0f && std::isfinite(bandwidth) ? std::min<double>(bandwidth, 12.0) : 0.5;

  const double A = std::pow(10.0, g * 0.025);
  const double w0 = 2.0 * std::numbers::pi * f / rate;
  const double sn = std::sin(w0);
  // Only a wide band just below the Nyquist frequency comes near the limit
  // that keeps sinh and the shelf products finite.
  const double alpha = sn * std::sinh(std::min(0.34657359 * bw * w0 / sn, 600.0));
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

// The two channels of a band run side by side in the two lanes of one vector.
// Each lane is plain IEEE double arithmetic, so a lane gives exactly what a
// scalar loop over that channel gives.
using Pair = double __attribute__((vector_size(16)));
using PairF = float __attribute__((vector_size(8)));

// Bands per pass: more would push the history out of the 16 vector registers.
constexpr int kGroup = 2;

inline Pair ToFloat(Pair v) noexcept {
  return __builtin_convertvector(__builtin_convertvector(v, PairF), Pair);
}

// K bands in series over both channels, sample by sample. Every band's history
// lives in registers for the whole stretch, and the K recursions of a sample's
// wavefront are independent, so they overlap in the pipeline instead of each
// waiting out its own feedback latency. The arithmetic is the direct form
// exactly, y = b0 x + b1 x1 + b2 x2 - a1 y1 - a2 y2, formed in double. Each
// band's output is rounded to a float sample before the next band reads it,
// as if written to the float buffer between bands; that rounding lies outside
// the feedback loop, so it costs no latency.
template <int K>
void RunBands(CEqBand* bands, float* __restrict left, float* __restrict right, int n) noexcept {
  Pair b0[K], b1[K], b2[K], a1[K], a2[K], x1[K], x2[K], y1[K], y2[K];
  for (int k = 0; k < K; ++k) {
    const CEqBand::Channel& l = bands[k].ch[0];
    const CEqBand::Channel& r = bands[k].ch[1];
    b0[k] = Pair{l.b0, r.b0}, b1[k] = Pair{l.b1, r.b1}, b2[k] = Pair{l.b2, r.b2};
    a1[k] = Pair{l.a1, r.a1}, a2[k] = Pair{l.a2, r.a2};
    x1[k] = Pair{l.x1, r.x1}, x2[k] = Pair{l.x2, r.x2}, y1[k] = Pair{l.y1, r.y1}, y2[k] = Pair{l.y2, r.y2};
  }
  for (int i = 0; i < n; ++i) {
    Pair v = {left[i], right[i]};
#pragma GCC unroll 4
    for (int k = 0; k < K; ++k) {
      const Pair y = b0[k] * v + b1[k] * x1[k] + b2[k] * x2[k] - a1[k] * y1[k] - a2[k] * y2[k];
      x2[k] = x1[k];
      x1[k] = v;
      y2[k] = y1[k];
      y1[k] = y;
      v = ToFloat(y);
    }
    left[i] = static_cast<float>(v[0]);
    right[i] = static_cast<float>(v[1]);
  }
  for (int k = 0; k < K; ++k)
    for (int c = 0; c < 2; ++c) {
      CEqBand::Channel& h = bands[k].ch[static_cast<size_t>(c)];
      h.x1 = static_cast<float>(x1[k][c]), h.x2 = static_cast<float>(x2[k][c]);
      h.y1 = y1[k][c], h.y2 = y2[k][c];
    }
}

}  // namespace

void CEq::RunStereo(float* left, float* right, int frames) noexcept {
  const int count = std::clamp(bandCount, 0, kMaxBands);
  int b = 0;
  for (; b + kGroup <= count; b += kGroup)
    RunBands<kGroup>(&bands[static_cast<size_t>(b)], left, right, frames);
  static_assert(kGroup <= 4);
  switch (count - b) {
    case 3:
      RunBands<3>(&bands[static_cast<size_t>(b)], left, right, frames);
      break;
    case 2:
      RunBands<2>(&bands[static_cast<size_t>(b)], left, right, frames);
      break;
    case 1:
      RunBands<1>(&bands[static_cast<size_t>(b)], left, right, frames);
      break;
    default:
      break;
  }
  // Decayed history is cleared so that silence never runs on denormals. Each
  // value is tested on its own: clearing x2 because x1 is small would cut a
  // live signal whenever an exact zero sample lands at the end of a block.
  auto flush = [](auto& v) { v = std::fabs(v) < 1e-10f ? 0 : v; };
  for (int k = 0; k < count; ++k)
    for (auto& c : bands[static_cast<size_t>(k)].ch) flush(c.x1), flush(c.x2), flush(c.y1), flush(c.y2);
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
    }
    if (enabled && outCh[0] && outCh[1] && inCh[0] && inCh[1]) RunStereo(outCh[0], outCh[1], frames);
  }
  EndProcess(frames);
}

void CEq::SetMode(int band, int32_t mode) {
  if (band < 0 || band >= bandCount || bands[static_cast<size_t>(band)].mode == mode) return;
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
