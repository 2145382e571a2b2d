#include "audio/Sample.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#endif

#include "audio/WavFile.h"
#include "platform/Files.h"
#include "platform/Messages.h"
#include "stream/RecordStream.h"

namespace qr {

bool IsSupportedFormat(int32_t format_tag, int32_t bits) noexcept {
  return (format_tag == 1 && (bits == 16 || bits == 24)) || (format_tag == 3 && bits == 32);
}

std::string NotValidFormatText(const CSample& s) {
  char rate[32];
  std::snprintf(rate, sizeof rate, "%g", static_cast<double>(s.rate));
  return "This is not a valid sample format " + std::to_string(s.bits) + "-bit " + rate + "Hz format " +
         std::to_string(s.formatTag);
}

void ReportStreamDiagnostics() {
  auto& d = g_streamDiagnostics;
  const int before = d.phaseBeforeStart.exchange(0), beyond = d.phaseBeyondEnd.exchange(0),
            range = d.badRange.exchange(0);
  if (!g_sampleDiagnostics) return;
  if (before) ShowNotice("stream error: phase < left");
  if (beyond) ShowNotice("stream error: phase > right");
  if (range) ShowNotice("stream error, invalide range: " + std::to_string(range));
}

// ---------------------------------------------------------------- rendering kernels

namespace {

enum class Enc { I16, I24, F32 };

template <Enc E>
constexpr int kSampleBytes = E == Enc::I16   ? 2
                             : E == Enc::I24 ? 3
                                             : 4;

// A sample's value before the encoding's scale. The scales are powers of two,
// so interpolating unscaled values and scaling the result gives the very same
// floats as scaling first, and the scale folds into the gain.
template <Enc E>
inline float Raw(const uint8_t* p) noexcept {
  if constexpr (E == Enc::I16) {
    int16_t v;
    std::memcpy(&v, p, 2);
    return static_cast<float>(v);
  } else if constexpr (E == Enc::I24) {
    const uint32_t u = (uint32_t{p[0]} << 8) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 24);
    return static_cast<float>(static_cast<int32_t>(u));
  } else {
    float v;
    std::memcpy(&v, p, 4);
    return v;
  }
}

template <Enc E>
constexpr float kScaleOf = E == Enc::I16   ? kScale16
                           : E == Enc::I24 ? kScale24
                                           : 1.0f;

template <Enc E>
inline float Decode(const uint8_t* p) noexcept {
  return Raw<E>(p) * kScaleOf<E>;
}

inline float Hermite(float ym1, float y0, float y1, float y2, float f) noexcept {
  const float c1 = 0.5f * (y1 - ym1);
  const float c2 = ym1 - 2.5f * y0 + 2.0f * y1 - 0.5f * y2;
  const float c3 = 1.5f * (y0 - y1) + 0.5f * (y2 - ym1);
  return ((c3 * f + c2) * f + c1) * f + y0;
}

// Unscaled values; `w` points at the frame before the interpolation index.
template <Enc E, int C>
inline void Interpolate(const uint8_t* w, float f, float& l, float& r) noexcept {
  constexpr int B = kSampleBytes<E>, F = B * C;
  l = Hermite(Raw<E>(w), Raw<E>(w + F), Raw<E>(w + 2 * F), Raw<E>(w + 3 * F), f);
  if constexpr (C == 2)
    r = Hermite(Raw<E>(w + B), Raw<E>(w + F + B), Raw<E>(w + 2 * F + B), Raw<E>(w + 3 * F + B), f);
  else
    r = l;
}

// Positions within a run are fixed-point frame numbers: the run's first
// position and its step are rounded once, to 2^-24 of a frame, and frame i
// sits at first + i x step exactly, in integers. Every path (eight, four or
// one frame at a time, from memory or from disk) so finds the same window
// and the same fraction for the same frame, and a lane needs one integer add
// where a position in doubles needs a multiply and two conversions. The
// rounded step drifts less than 2^-25 of a frame per frame from the true
// one: a run of a few hundred frames stays within 2^-16 of a frame.
constexpr int kFracBits = 24;
constexpr int64_t kFracOne = int64_t{1} << kFracBits;
constexpr int64_t kFracMask = kFracOne - 1;
constexpr float kFracScale = 1.0f / static_cast<float>(kFracOne);

inline int64_t FixedPhase(double phase) noexcept {
  // Past 2^36 frames every position is outside any sample anyway.
  const double p = std::clamp(phase, -0x1p36, 0x1p36) * static_cast<double>(kFracOne);
  return static_cast<int64_t>(p + (p >= 0.0 ? 0.5 : -0.5));
}

// Small enough that first + count x step stays far inside 64 bits.
inline int64_t FixedStep(double step, int count) noexcept {
  const int64_t limit = (int64_t{1} << 61) / std::max(count, 1);
  const double s = std::clamp(step, -0x1p36, 0x1p36) * static_cast<double>(kFracOne);
  return std::clamp(static_cast<int64_t>(s + (s >= 0.0 ? 0.5 : -0.5)), -limit, limit);
}

inline void Split(int64_t p, int64_t& index, float& f) noexcept {
  index = p >> kFracBits;  // the floor, for positions before the start too
  f = static_cast<float>(p & kFracMask) * kFracScale;
}

void Silence(int count, float* l, float* r) noexcept {
  std::memset(l, 0, sizeof(float) * static_cast<size_t>(count));
  std::memset(r, 0, sizeof(float) * static_cast<size_t>(count));
}

#if defined(__SSE2__)
// 16-bit stereo, four output frames at a time: the four frames around a
// position are one 16-byte load, and the interpolation runs on left and right
// of two positions in the four lanes, with the same operations in the same
// order as Hermite(), so the results are the scalar ones to the bit.
inline void Load16x2(const uint8_t* w, __m128& a, __m128& b) noexcept {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(w));
  a = _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpacklo_epi16(v, v), 16));  // L-1 R-1 L0 R0
  b = _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpackhi_epi16(v, v), 16));  // L1 R1 L2 R2
}

// The scalar Hermite's arithmetic, term by term, in four lanes at once: the
// vector paths give exactly the scalar path's values.
inline __m128 HermiteLanes(__m128 ym1, __m128 y0, __m128 y1, __m128 y2, __m128 f) noexcept {
  const __m128 c1 = _mm_mul_ps(_mm_set1_ps(0.5f), _mm_sub_ps(y1, ym1));
  const __m128 c2 = _mm_sub_ps(
      _mm_add_ps(_mm_sub_ps(ym1, _mm_mul_ps(_mm_set1_ps(2.5f), y0)), _mm_mul_ps(_mm_set1_ps(2.0f), y1)),
      _mm_mul_ps(_mm_set1_ps(0.5f), y2));
  const __m128 c3 = _mm_add_ps(_mm_mul_ps(_mm_set1_ps(1.5f), _mm_sub_ps(y0, y1)),
                               _mm_mul_ps(_mm_set1_ps(0.5f), _mm_sub_ps(y2, ym1)));
  __m128 h = _mm_add_ps(_mm_mul_ps(c3, f), c2);
  h = _mm_add_ps(_mm_mul_ps(h, f), c1);
  return _mm_add_ps(_mm_mul_ps(h, f), y0);
}

inline __m128 HermitePair(const uint8_t* wa, const uint8_t* wb, float fa, float fb) noexcept {
  __m128 a0, b0, a1, b1;
  Load16x2(wa, a0, b0);
  Load16x2(wb, a1, b1);
  const __m128 ym1 = _mm_movelh_ps(a0, a1), y0 = _mm_movehl_ps(a1, a0);
  const __m128 y1 = _mm_movelh_ps(b0, b1), y2 = _mm_movehl_ps(b1, b0);
  return HermiteLanes(ym1, y0, y1, y2, _mm_set_ps(fb, fb, fa, fa));  // La Ra Lb Rb
}

// Mono 16-bit, the form sampler banks keep their samples in: four frames at
// a time, each window of four values one 8-byte load, transposed into lanes.
// The arithmetic is the scalar Hermite's, term by term. Returns count & ~3.
// Positions split as Split() does, the fractions four lanes at a time: the
// caller keeps the step below 32 frames, so three steps fit a lane's 32 bits.
int RenderMono16Simd(const uint8_t* frame0, int from, int count, int64_t p0, int64_t step, float gl, float gr,
                     float* L, float* R) noexcept {
  const __m128 gL = _mm_set1_ps(gl), gR = _mm_set1_ps(gr);
  const int n = count & ~3;
  const auto s32 = static_cast<int32_t>(step);
  const __m128i iota = _mm_set_epi32(3 * s32, 2 * s32, s32, 0), mask = _mm_set1_epi32(kFracMask);
  const __m128 scale = _mm_set1_ps(kFracScale);
  for (int i = from; i < n; i += 4) {
    const int64_t p = p0 + int64_t{i} * step;
    const int64_t idx[4] = {p >> kFracBits, (p + step) >> kFracBits, (p + 2 * step) >> kFracBits,
                            (p + 3 * step) >> kFracBits};
    const __m128i off = _mm_add_epi32(_mm_set1_epi32(static_cast<int32_t>(p & kFracMask)), iota);
    const __m128 fv = _mm_mul_ps(_mm_cvtepi32_ps(_mm_and_si128(off, mask)), scale);
    auto window = [&](int k) {
      return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(frame0 + (idx[k] - 1) * 2));
    };
    const __m128i w01 = _mm_unpacklo_epi64(window(0), window(1));
    const __m128i w23 = _mm_unpacklo_epi64(window(2), window(3));
    __m128 r0 = _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpacklo_epi16(w01, w01), 16));
    __m128 r1 = _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpackhi_epi16(w01, w01), 16));
    __m128 r2 = _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpacklo_epi16(w23, w23), 16));
    __m128 r3 = _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpackhi_epi16(w23, w23), 16));
    _MM_TRANSPOSE4_PS(r0, r1, r2, r3);  // r0 = y-1 of the four frames, r1 = y0, r2 = y1, r3 = y2
    const __m128 h = HermiteLanes(r0, r1, r2, r3, fv);
    _mm_storeu_ps(L + i, _mm_mul_ps(h, gL));
    if (R != L) _mm_storeu_ps(R + i, _mm_mul_ps(h, gR));
  }
  return std::max(n, from);
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// The same run eight frames at a time where the processor has 256-bit integer
// vectors: each window is two 32-bit gathers (y-1 y0 and y1 y2), and the
// arithmetic is still the scalar Hermite's, term by term, without fused
// multiply-adds, so either path gives the same bits. Returns count & ~7.
#define QR_WIDE __attribute__((target("avx2"), always_inline)) inline
QR_WIDE __m256 ScaledDifference(__m256 a, __m256 b, float k) noexcept {
  return _mm256_mul_ps(_mm256_set1_ps(k), _mm256_sub_ps(a, b));
}
// Lane j takes 32-bit pair k[j] of `even`, or of `odd` where the sign of
// isOdd[j] is set.
QR_WIDE __m256i PickPairs(__m256i even, __m256i odd, __m256i k, __m256i isOdd) noexcept {
  return _mm256_castps_si256(_mm256_blendv_ps(_mm256_castsi256_ps(_mm256_permutevar8x32_epi32(even, k)),
                                              _mm256_castsi256_ps(_mm256_permutevar8x32_epi32(odd, k)),
                                              _mm256_castsi256_ps(isOdd)));
}
#undef QR_WIDE

// The caller keeps the step below 16 frames: seven steps and a fraction fit
// each lane's 32 bits.
__attribute__((target("avx2"))) int RenderMono16Wide(const uint8_t* frame0, int64_t last, int count,
                                                     int64_t p0, int64_t step, float gl, float gr, float* L,
                                                     float* R) noexcept {
  const __m256 gL = _mm256_set1_ps(gl), gR = _mm256_set1_ps(gr);
  const int n = count & ~7;
  const __m256i one = _mm256_set1_epi32(1);
  const auto* base = reinterpret_cast<const int*>(frame0);
  const auto s32 = static_cast<int32_t>(step);
  const __m256i iota = _mm256_set_epi32(7 * s32, 6 * s32, 5 * s32, 4 * s32, 3 * s32, 2 * s32, s32, 0);
  const __m256i mask = _mm256_set1_epi32(kFracMask);
  const __m256 scale = _mm256_set1_ps(kFracScale);
  int64_t p = p0;
  for (int i = 0; i < n; i += 8, p += 8 * step) {
    const auto whole = static_cast<int32_t>(p >> kFracBits);
    const __m256i off = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int32_t>(p & kFracMask)), iota);
    const __m256i idx = _mm256_add_epi32(_mm256_set1_epi32(whole), _mm256_srli_epi32(off, kFracBits));
    const __m256 f = _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_and_si256(off, mask)), scale);
    // lo holds y-1 and y0 of each frame as one 32-bit pair, hi y1 and y2.
    __m256i lo, hi;
    const int first = whole - 1;
    if (static_cast<int32_t>((p + 7 * step) >> kFracBits) - first <= 13 && first + 16 <= last) {
      // The eight windows lie within 17 frames (a step up to about 1.7, most
      // notes): two loads a word apart hold every pair, at even offsets in the
      // first and odd ones in the second, and lanes pick theirs by permutes,
      // which cost far less than gathers.
      const auto* at = reinterpret_cast<const __m256i*>(frame0 + int64_t{first} * 2);
      const __m256i even = _mm256_loadu_si256(at);
      const __m256i odd =
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(frame0 + int64_t{first} * 2 + 2));
      const __m256i rel = _mm256_sub_epi32(idx, _mm256_set1_epi32(first + 1));  // word offset of y-1
      const __m256i pair = _mm256_srli_epi32(rel, 1);
      const __m256i isOdd = _mm256_slli_epi32(rel, 31);
      lo = PickPairs(even, odd, pair, isOdd);
      hi = PickPairs(even, odd, _mm256_add_epi32(pair, one), isOdd);
    } else {
      lo = _mm256_i32gather_epi32(base, _mm256_sub_epi32(idx, one), 2);
      hi = _mm256_i32gather_epi32(base, _mm256_add_epi32(idx, one), 2);
    }
    const __m256 ym1 = _mm256_cvtepi32_ps(_mm256_srai_epi32(_mm256_slli_epi32(lo, 16), 16));
    const __m256 y0 = _mm256_cvtepi32_ps(_mm256_srai_epi32(lo, 16));
    const __m256 y1 = _mm256_cvtepi32_ps(_mm256_srai_epi32(_mm256_slli_epi32(hi, 16), 16));
    const __m256 y2 = _mm256_cvtepi32_ps(_mm256_srai_epi32(hi, 16));
    const __m256 c1 = ScaledDifference(y1, ym1, 0.5f);
    const __m256 c2 = _mm256_sub_ps(_mm256_add_ps(_mm256_sub_ps(ym1, _mm256_mul_ps(_mm256_set1_ps(2.5f), y0)),
                                                  _mm256_mul_ps(_mm256_set1_ps(2.0f), y1)),
                                    _mm256_mul_ps(_mm256_set1_ps(0.5f), y2));
    const __m256 c3 = _mm256_add_ps(ScaledDifference(y0, y1, 1.5f), ScaledDifference(y2, ym1, 0.5f));
    __m256 h = _mm256_add_ps(_mm256_mul_ps(c3, f), c2);
    h = _mm256_add_ps(_mm256_mul_ps(h, f), c1);
    h = _mm256_add_ps(_mm256_mul_ps(h, f), y0);
    _mm256_storeu_ps(L + i, _mm256_mul_ps(h, gL));
    if (R != L) _mm256_storeu_ps(R + i, _mm256_mul_ps(h, gR));
  }
  return n;
}

// Decided once at load, before any audio thread runs.
const bool g_wideVectors = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
}();
#endif

// Renders count & ~3 frames of the unchecked run; returns how many.
int RenderStereo16Simd(const uint8_t* frame0, int count, int64_t p0, int64_t step, float gl, float gr,
                       float* L, float* R) noexcept {
  const __m128 g = _mm_set_ps(gr, gl, gr, gl);
  const int n = count & ~3;
  for (int i = 0; i < n; i += 4) {
    int64_t idx[4];
    float f[4];
    for (int k = 0; k < 4; ++k) Split(p0 + int64_t{i + k} * step, idx[k], f[k]);
    const __m128 h01 =
        _mm_mul_ps(HermitePair(frame0 + (idx[0] - 1) * 4, frame0 + (idx[1] - 1) * 4, f[0], f[1]), g);
    const __m128 h23 =
        _mm_mul_ps(HermitePair(frame0 + (idx[2] - 1) * 4, frame0 + (idx[3] - 1) * 4, f[2], f[3]), g);
    _mm_storeu_ps(L + i, _mm_shuffle_ps(h01, h23, _MM_SHUFFLE(2, 0, 2, 0)));
    _mm_storeu_ps(R + i, _mm_shuffle_ps(h01, h23, _MM_SHUFFLE(3, 1, 3, 1)));
  }
  return n;
}
#endif

// Frames in memory from frame index 0 to `last` (the two guard frames
// included). When every position of the run keeps its window inside, the loop
// runs without bounds tests; otherwise frames outside read as zero.
template <Enc E, int C>
void RenderMemory(const uint8_t* frame0, int64_t last, int count, double phase, double step, float gl,
                  float gr, float* L, float* R) noexcept {
  constexpr int F = kSampleBytes<E> * C;
  gl *= kScaleOf<E>;
  gr *= kScaleOf<E>;
  const int64_t p0 = FixedPhase(phase), s = FixedStep(step, count);
  const int64_t final_pos = p0 + int64_t{count - 1} * s;
  if (s >= 0 && (p0 >> kFracBits) >= 1 && (final_pos >> kFracBits) < last - 1) {
    int i = 0;
#if defined(__SSE2__)
    if constexpr (E == Enc::I16 && C == 2) i = RenderStereo16Simd(frame0, count, p0, s, gl, gr, L, R);
    if constexpr (E == Enc::I16 && C == 1) {
      if (s < 32 * kFracOne) {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
        if (g_wideVectors && s < 16 * kFracOne)
          i = RenderMono16Wide(frame0, last, count, p0, s, gl, gr, L, R);
#endif
        if (i < count) i = RenderMono16Simd(frame0, i, count, p0, s, gl, gr, L, R);
      }
    }
#endif
    for (; i < count; ++i) {
      int64_t idx;
      float f, l, r;
      Split(p0 + int64_t{i} * s, idx, f);
      Interpolate<E, C>(frame0 + (idx - 1) * F, f, l, r);
      L[i] = l * gl;
      R[i] = r * gr;
    }
    return;
  }
  for (int i = 0; i < count; ++i) {
    const int64_t p = p0 + int64_t{i} * s;
    if (p < 0 || (p >> kFracBits) > last) {
      L[i] = R[i] = 0.0f;
      continue;
    }
    int64_t idx;
    float f, l, r;
    Split(p, idx, f);
    uint8_t w[4 * F];
    for (int k = 0; k < 4; ++k) {
      const int64_t fi = idx - 1 + k;
      if (fi >= 0 && fi <= last)
        std::memcpy(w + k * F, frame0 + fi * F, F);
      else
        std::memset(w + k * F, 0, F);
    }
    Interpolate<E, C>(w, f, l, r);
    L[i] = l * gl;
    R[i] = r * gr;
  }
}

template <template <Enc, int> class K>
auto Pick(int32_t bits, int32_t channels) noexcept -> decltype(&K<Enc::I16, 1>::Run) {
  const bool stereo = channels == 2;
  switch (bits) {
    case 16:
      return stereo ? &K<Enc::I16, 2>::Run : &K<Enc::I16, 1>::Run;
    case 24:
      return stereo ? &K<Enc::I24, 2>::Run : &K<Enc::I24, 1>::Run;
    default:
      return stereo ? &K<Enc::F32, 2>::Run : &K<Enc::F32, 1>::Run;
  }
}

template <Enc E, int C>
struct MemoryRun {
  static void Run(const uint8_t* f0, int64_t last, int count, double phase, double step, float gl, float gr,
                  float* L, float* R) noexcept {
    RenderMemory<E, C>(f0, last, count, phase, step, gl, gr, L, R);
  }
};

bool Renderable(int32_t tag, int32_t bits, int32_t channels) noexcept {
  return IsSupportedFormat(tag, bits) && (channels == 1 || channels == 2);
}

bool ReadAt(int fd, int64_t pos, void* dst, size_t n, size_t* got = nullptr) noexcept {
  auto* p = static_cast<uint8_t*>(dst);
  size_t done = 0;
  while (done < n) {
    const ssize_t r = ::pread(fd, p + done, n - done, static_cast<off_t>(pos + static_cast<int64_t>(done)));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    done += static_cast<size_t>(r);
  }
  if (got) *got = done;
  return done == n;
}

// ---- peaks

uint8_t PeakByte(float v) noexcept {
  if (!(v >= -1.0f)) v = -1.0f;
  if (!(v <= 1.0f)) v = 1.0f;
  return static_cast<uint8_t>(std::nearbyint(v * 127.0f) + 127.0f);
}

template <Enc E>
void PeakEntry(const uint8_t* frames, int n, int channels, uint8_t* out) noexcept {
  const int B = kSampleBytes<E>, F = B * channels;
  for (int c = 0; c < channels; ++c) {
    float lo = Decode<E>(frames + c * B), hi = lo;
    for (int i = 1; i < n; ++i) {
      const float v = Decode<E>(frames + i * F + c * B);
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    }
    out[2 * c] = PeakByte(lo);
    out[2 * c + 1] = PeakByte(hi);
  }
}

void PeakEntryAny(int32_t bits, const uint8_t* frames, int n, int channels, uint8_t* out) noexcept {
  if (bits == 16)
    PeakEntry<Enc::I16>(frames, n, channels, out);
  else if (bits == 24)
    PeakEntry<Enc::I24>(frames, n, channels, out);
  else
    PeakEntry<Enc::F32>(frames, n, channels, out);
}

// Lays out the peak block header and returns the number of entries to fill,
// or -1 when the sample gets no peak block.
int64_t StartPeaks(std::vector<uint8_t>& peaks, int32_t frames, int32_t channels, int32_t first) {
  peaks.clear();
  if (frames <= 0 || channels < 1 || channels > 255 || first > frames) return -1;
  const int64_t entries = (int64_t{frames} - first + kPeakBlockFrames) / kPeakBlockFrames;
  const int64_t sized = int64_t{frames} / kPeakBlockFrames * 2 * channels + 9 + 128;
  peaks.assign(static_cast<size_t>(std::max(sized, 9 + entries * 2 * channels)), 0);
  std::memcpy(peaks.data(), "peak", 4);
  std::memcpy(peaks.data() + 4, &frames, 4);
  peaks[8] = static_cast<uint8_t>(channels);
  return entries;
}

// A refused file's format stays readable, for the message that names it.
void KeepRefusedFormat(CSample& s, const WavScan& w) {
  if (w.formatTag == 0 && w.bits == 0) return;
  s.formatTag = w.formatTag;
  s.bits = w.bits;
  s.channels = w.channels;
  s.rate = w.rate;
}

// A fixed-size record whose size does not match is ignored.
bool ReadIntRecord(CStream& s, int32_t size, int32_t& out) {
  if (size != 4) return false;
  out = s.ReadInt();
  return true;
}

}  // namespace

// ---------------------------------------------------------------- CBaseSample

CBaseSample::~CBaseSample() = default;
int32_t CBaseSample::SaveRecords(CStream&) const { return 0; }
void CBaseSample::LoadRecords(CStream& s, int32_t size) { s.Skip(size); }
void CBaseSample::ReadFrames(int, float*, uint8_t*, float, float, double, double, float*) noexcept {}
void CBaseSample::BuildPeaks() {}
bool CBaseSample::OpenFile(const std::string&) { return false; }
std::unique_ptr<CSample> CBaseSample::NewEmpty() const { return nullptr; }

// ---------------------------------------------------------------- CSample

CSample::~CSample() { CSample::ReleaseData(); }

void CSample::ReleaseData() {
  std::vector<uint8_t>().swap(data);
  frames = 0;
  fileName.clear();
  open = 0;
}

std::unique_ptr<CSample> CSample::NewEmpty() const { return std::make_unique<CSample>(); }

bool CSample::Allocate(int32_t frame_count, int32_t bits_per_sample, int32_t channel_count) {
  DropFrames();
  if (frame_count < 0 || frame_count > INT32_MAX - 3 || !LayoutAllowed(bits_per_sample, channel_count))
    return false;
  const int64_t bytes = (int64_t{frame_count} + 3) * (bits_per_sample / 8) * channel_count;
  try {
    data.assign(static_cast<size_t>(bytes), 0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  frames = frame_count;
  bits = bits_per_sample;
  channels = channel_count;
  return true;
}

void CSample::DropFrames() noexcept {
  std::vector<uint8_t>().swap(data);
  frames = 0;
}

bool CSample::HoldsFramesOfHeader() const noexcept {
  return !data.empty() && frames >= 0 && LayoutAllowed(bits, channels) &&
         data.size() == (static_cast<size_t>(frames) + 3) * static_cast<size_t>(FrameBytes());
}

float CSample::Value(int32_t index, int channel) const noexcept {
  const int64_t f = FrameBytes();
  if (data.empty() || index < 0 || index > frames + 2 || channel < 0 || channel >= channels) return 0.0f;
  const uint8_t* p = data.data() + index * f + channel * (bits / 8);
  return bits == 16 ? Decode<Enc::I16>(p) : bits == 24 ? Decode<Enc::I24>(p) : Decode<Enc::F32>(p);
}

namespace {
template <Enc E, int C>
void InterpolateWindow(const uint8_t* frame0, int64_t last, const std::array<int64_t, 4>& window, float f,
                       float& l, float& r) noexcept {
  constexpr int F = kSampleBytes<E> * C;
  uint8_t w[4 * F];
  for (int k = 0; k < 4; ++k) {
    const int64_t i = window[static_cast<size_t>(k)];
    if (i >= 0 && i <= last)
      std::memcpy(w + k * F, frame0 + i * F, F);
    else
      std::memset(w + k * F, 0, F);
  }
  float a, b;  // the caller's two may be one float
  Interpolate<E, C>(w, f, a, b);
  l = a * kScaleOf<E>;
  r = b * kScaleOf<E>;
}
}  // namespace

void CSample::InterpolateAt(const std::array<int64_t, 4>& window, float f, float& left,
                            float& right) const noexcept {
  left = right = 0.0f;
  if (!HoldsFramesOfHeader() || (channels != 1 && channels != 2)) return;
  const int64_t last = int64_t{frames} + 2;
  const bool stereo = channels == 2;
  switch (bits) {
    case 16:
      return stereo ? InterpolateWindow<Enc::I16, 2>(data.data(), last, window, f, left, right)
                    : InterpolateWindow<Enc::I16, 1>(data.data(), last, window, f, left, right);
    case 24:
      return stereo ? InterpolateWindow<Enc::I24, 2>(data.data(), last, window, f, left, right)
                    : InterpolateWindow<Enc::I24, 1>(data.data(), last, window, f, left, right);
    default:
      return stereo ? InterpolateWindow<Enc::F32, 2>(data.data(), last, window, f, left, right)
                    : InterpolateWindow<Enc::F32, 1>(data.data(), last, window, f, left, right);
  }
}

void CSample::ClampPositions() noexcept {
  if (frames <= 0) {
    start = loopStart = 1;
    end = 0;
    return;
  }
  start = std::clamp(start, 1, frames);
  end = std::clamp(end, start, frames);
  loopStart = std::clamp(loopStart, start, end);
}

bool CSample::OpenFile(const std::string& path) {
  if (!FileExists(path)) {
    ShowNotice(path + " not found");
    return false;
  }
  ReleaseData();
  fileName = path;
  displayName = FileNameOf(path);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0) return false;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  const WavScan w = ScanWav(fd, st.st_size, WavScanMode::Ram);
  if (w.badChunkSize && g_sampleDiagnostics)
    ShowNotice("sample.open size <= 0: " + std::to_string(w.badChunkSize == INT32_MIN ? 0 : w.badChunkSize));
  if (!w.ok || !Allocate(w.frames, w.bits, w.channels)) {
    ::close(fd);
    KeepRefusedFormat(*this, w);
    return false;
  }
  ReadAt(fd, w.dataOffset, data.data() + FrameBytes(), static_cast<size_t>(w.dataBytes));
  ::close(fd);
  formatTag = w.formatTag;
  rate = w.rate;
  dataOffset = w.dataOffset;
  start = 1;
  end = frames;
  loop = 0;
  loopStart = start;
  if (w.haveSampler) loop = w.loopCount == 1 ? 1 : 0;
  if (w.haveLoopRecord) {
    loopStart =
        static_cast<int32_t>(std::clamp<int64_t>(int64_t{w.loopRecordStart} + start, INT32_MIN, INT32_MAX));
    end = static_cast<int32_t>(std::clamp<int64_t>(int64_t{w.loopRecordEnd} + 1, INT32_MIN, INT32_MAX));
  }
  ClampPositions();
  open = 1;
  if (computePeaks) BuildPeaks();
  return true;
}

void CSample::RenderFromMemory(int count, float* left, float* right, float gl, float gr, double step,
                               double phase) const noexcept {
  if (!HoldsFramesOfHeader() || !Renderable(formatTag, bits, channels) || !std::isfinite(step)) {
    Silence(count, left, right);
    return;
  }
  Pick<MemoryRun>(bits, channels)(data.data(), int64_t{frames} + 2, count, phase, step, gl, gr, left, right);
}

bool CSample::InMemory(MemoryRender& out) const noexcept {
  if (!HoldsFramesOfHeader() || !Renderable(formatTag, bits, channels)) return false;
  out = MemoryRender{data.data(), int64_t{frames} + 2, Pick<MemoryRun>(bits, channels)};
  return true;
}

void CSample::ReadFrames(int count, float* left, uint8_t*, float, float gain, double step, double phase,
                         float* right) noexcept {
  if (count <= 0) {
    if (count < 0) g_streamDiagnostics.badRange.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  if (!(phase >= 0.0)) phase = 0.0;
  RenderFromMemory(count, left, right, gain, gain, step, phase);
}

void CSample::BuildPeaks() {
  const int64_t entries = open ? StartPeaks(peaks, frames, channels, start) : -1;
  if (entries < 0 || !HoldsFramesOfHeader() || !IsSupportedFormat()) {
    peaks.clear();
    return;
  }
  const int64_t f = FrameBytes();
  for (int64_t e = 0; e < entries; ++e) {
    const int64_t first = start + e * kPeakBlockFrames;
    const int n = static_cast<int>(std::min<int64_t>(kPeakBlockFrames, int64_t{frames} - first + 1));
    PeakEntryAny(bits, data.data() + first * f, n, channels, peaks.data() + 9 + e * 2 * channels);
  }
}

// ---- records

namespace {

void WriteHeaderRecords(CStream& s, const CSample& m) {
  s.WriteKeyString("id", m.fileName);
  s.WriteKeyFloat("rate", m.rate);
  s.WriteKeyInt("bits", m.bits);
  s.WriteKeyInt("chs", m.channels);
  s.WriteKeyInt("frames", m.frames);
  s.WriteKeyInt("start", m.start);
  s.WriteKeyInt("end", m.end);
  s.WriteKeyInt("loop", m.loop);
  s.WriteKeyInt("loopStart", m.loopStart);
}

bool Storable(const CSample& m, int64_t& data_bytes) {
  if (!(m.bits == 16 || m.bits == 24 || m.bits == 32)) return false;
  data_bytes = int64_t{m.bits} / 8 * m.frames * m.channels;
  return data_bytes >= 0 && data_bytes <= INT32_MAX;
}

}  // namespace

int32_t CSample::SaveRecords(CStream& s) const {
  int64_t bytes = 0;
  if (!Storable(*this, bytes)) return 0;
  const int64_t p0 = s.Position();
  WriteHeaderRecords(s, *this);
  s.WriteKey("data", static_cast<int32_t>(bytes));
  if (data.size() >= static_cast<size_t>(bytes + FrameBytes()))
    s.WriteBytes(data.data() + FrameBytes(), static_cast<size_t>(bytes));
  else
    for (int64_t i = 0; i < bytes; ++i) s.WriteByte(0);
  return static_cast<int32_t>(s.Position() - p0);
}

void CSample::LoadRecords(CStream& s, int32_t size) {
  ReleaseData();
  const int64_t block_end = std::min<int64_t>(s.Position() + std::max(size, 0), s.Size());
  int32_t declared = 0;  // the frame count as the records state it
  bool filled = false;   // a "data" record has been read into the frames
  // The frames must follow in this block, which bounds the allocation. The
  // encoding is checked first so that the product stays far inside 64 bits.
  const auto allocate = [&](int32_t count) {
    if (count > 0 && LayoutAllowed(bits, channels) &&
        int64_t{count} * (bits / 8) * channels <= block_end - s.Position())
      Allocate(count, bits, channels);
    else
      Allocate(0, bits, channels);
  };
  std::string key;
  int32_t n = 0;
  while (s.Position() + 8 <= block_end && s.NextRecord(key, n)) {
    const int64_t record_end = s.Position() + n;
    if (record_end > block_end) break;  // a record that leaves the block ends it
    if (key == "id") {
      fileName = s.ReadString();
      displayName = FileNameOf(fileName);
    } else if (key == "rate") {
      if (n == 4) rate = s.ReadFloat();
    } else if (key == "bits" || key == "chs") {
      // Frames not read yet are simply laid out again for the new header.
      // Frames already read were made for the old one: kept, they would let
      // every reader walk the buffer with a frame size it was not made for.
      int32_t& field = key == "bits" ? bits : channels;
      int32_t v = 0;
      if (ReadIntRecord(s, n, v) && v != field) {
        field = v;
        if (filled)
          DropFrames();
        else
          allocate(declared);
      }
    } else if (key == "frames") {
      declared = 0;
      ReadIntRecord(s, n, declared);
      filled = false;
      allocate(declared);
    } else if (key == "start") {
      ReadIntRecord(s, n, start);
    } else if (key == "end") {
      ReadIntRecord(s, n, end);
    } else if (key == "loop") {
      ReadIntRecord(s, n, loop);
    } else if (key == "loopStart") {
      ReadIntRecord(s, n, loopStart);
    } else if (key == "data" && HoldsFramesOfHeader()) {
      const int64_t f = FrameBytes();
      const int64_t want = std::min<int64_t>(n, int64_t{frames} * f);
      std::memset(data.data(), 0, static_cast<size_t>(f));
      if (s.ReadBytes(data.data() + f, static_cast<size_t>(want)) != static_cast<size_t>(want)) s.SetFailed();
      std::memset(data.data() + f + want, 0, data.size() - static_cast<size_t>(f + want));
      filled = true;
    }
    // Whatever a record held, the next one starts behind it.
    if (s.Failed() || !s.Seek(record_end)) break;
  }
  if (!s.Failed() && s.Position() < block_end) s.Seek(block_end);
  formatTag = bits == 32 ? 3 : 1;
  if (!HoldsFramesOfHeader()) DropFrames();
  open = frames > 0 && !data.empty() ? 1 : 0;
  ClampPositions();
  if (open && computePeaks) BuildPeaks();
}

// ---------------------------------------------------------------- CDiskSample

CDiskSample::~CDiskSample() { CDiskSample::ReleaseData(); }

void CDiskSample::ReleaseData() {
  if (handle >= 0) ::close(handle);  // also drops the writer lock
  handle = -1;
  fileSize = 0;
  open = 0;
  std::vector<uint8_t>().swap(data);
}

std::unique_ptr<CSample> CDiskSample::NewEmpty() const {
  auto s = std::make_unique<CDiskSample>();
  s->pathKind = pathKind;
  return s;
}

bool CDiskSample::OpenFile(const std::string& path) {
  ReleaseData();
  fileName = path;
  displayName = FileNameOf(path);
  readOnly = 0;
  // Read and write with other writers excluded; failing that, read only.
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    fd = -1;
  }
  if (fd < 0) {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    readOnly = 1;
  }
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  char id[5] = {};
  ReadAt(fd, 0, id, 4);
  if (std::memcmp(id, "RIFF", 4) != 0) {
    for (char& c : id)
      if (c && (c < 32 || c > 126)) c = '?';
    ShowNotice("not riff " + path + "\n" + id + "\n" + std::to_string(st.st_size));
    ::close(fd);
    return false;
  }
  const WavScan w = ScanWav(fd, st.st_size, WavScanMode::Disk);
  if (!w.ok) {
    ::close(fd);
    KeepRefusedFormat(*this, w);
    return false;
  }
  handle = fd;
  fileSize = st.st_size;
  formatTag = w.formatTag;
  bits = w.bits;
  channels = w.channels;
  rate = w.rate;
  frames = w.frames;
  dataOffset = w.dataOffset;
  start = loopStart = 1;
  end = frames;
  loop = 0;
  ClampPositions();
  open = 1;
  if (computePeaks) BuildPeaks();
  return true;
}

void CDiskSample::SwapFile(CDiskSample& other) noexcept {
  std::swap(handle, other.handle);
  std::swap(fileSize, other.fileSize);
  std::swap(fileName, other.fileName);
  std::swap(displayName, other.displayName);
  std::swap(dataOffset, other.dataOffset);
  std::swap(readOnly, other.readOnly);
  std::swap(frames, other.frames);
  std::swap(bits, other.bits);
  std::swap(channels, other.channels);
  std::swap(formatTag, other.formatTag);
  std::swap(rate, other.rate);
  std::swap(open, other.open);
  ClampPositions();
}

void CDiskSample::ReadFileFrames(int64_t first, int64_t n, uint8_t* dst) const noexcept {
  const int64_t f = FrameBytes();
  size_t got = 0;
  ReadAt(handle, dataOffset + (first - 1) * f, dst, static_cast<size_t>(n * f), &got);
  std::memset(dst + got, 0, static_cast<size_t>(n * f) - got);
}

namespace {

// A disk sample's frames through the caller's scratch window. The window holds
// the frames base - 1 .. base + len + 1, enough to interpolate at indices
// base .. base + len - 1; frames before index 1 or after `end` are zeros, as the
// guard frames of a RAM sample are, so both kinds render the same values.
template <Enc E, int C>
struct DiskRun {
  static void Run(const CDiskSample& s, uint8_t* scratch, int count, double phase, double step, float gl,
                  float gr, float* L, float* R) noexcept {
    constexpr int F = kSampleBytes<E> * C;
    gl *= kScaleOf<E>;
    gr *= kScaleOf<E>;
    const int64_t end = s.end;
    const int64_t p0 = FixedPhase(phase), fs = FixedStep(step, count);
    const int64_t last_index = (p0 + int64_t{count - 1} * fs) >> kFracBits;
    int64_t base = 0, len = 0;
    for (int i = 0; i < count; ++i) {
      const int64_t p = p0 + int64_t{i} * fs;
      if (p < 0 || (p >> kFracBits) >= end + 3) {
        L[i] = R[i] = 0.0f;
        continue;
      }
      int64_t idx;
      float f, l, r;
      Split(p, idx, f);
      if (idx < base || idx - base >= len) {
        // One read covers the rest of the run, up to the window's size.
        int64_t want = 1;
        if (fs > 0) want = std::min(last_index, end + 2) - idx + 1;
        want = std::clamp<int64_t>(want, 1, kStreamWindowFrames);
        const int64_t lo = idx - 1, hi = idx + want + 1;  // frames held, inclusive
        const int64_t rlo = std::max<int64_t>(lo, 1), rhi = std::min(hi, end);
        uint8_t* w = scratch;
        if (rlo > lo) std::memset(w, 0, static_cast<size_t>((std::min(rlo, hi + 1) - lo) * F));
        if (rhi >= rlo) s.ReadFileFrames(rlo, rhi - rlo + 1, w + (rlo - lo) * F);
        const int64_t zero_from = std::max(rhi + 1, rlo);
        if (zero_from <= hi)
          std::memset(w + (zero_from - lo) * F, 0, static_cast<size_t>((hi - zero_from + 1) * F));
        base = idx;
        len = want;
      }
      Interpolate<E, C>(scratch + (idx - base) * F, f, l, r);
      L[i] = l * gl;
      R[i] = r * gr;
    }
  }
};

}  // namespace

void CDiskSample::ReadFrames(int count, float* left, uint8_t* scratch, float pan, float gain, double step,
                             double phase, float* right) noexcept {
  if (count <= 0) {
    if (count < 0) g_streamDiagnostics.badRange.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  if (!open) return;
  if (!HasFile()) {
    // Frames loaded from a project's records live in memory.
    CSample::ReadFrames(count, left, scratch, pan, gain, step, phase, right);
    return;
  }
  if (!std::isfinite(phase)) return;
  if (phase < start) {
    g_streamDiagnostics.phaseBeforeStart.fetch_add(1, std::memory_order_relaxed);
    phase = start;
  }
  if (phase > end) {
    g_streamDiagnostics.phaseBeyondEnd.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  if (!Renderable(formatTag, bits, channels) || !scratch || !std::isfinite(step)) {
    Silence(count, left, right);
    return;
  }
  const float gl = (1.0f - pan) * gain, gr = (1.0f + pan) * gain;
  Pick<DiskRun>(bits, channels)(*this, scratch, count, phase, step, gl, gr, left, right);
}

void CDiskSample::BuildPeaks() {
  if (!HasFile()) {
    CSample::BuildPeaks();
    return;
  }
  const int64_t entries = open && IsSupportedFormat() ? StartPeaks(peaks, frames, channels, start) : -1;
  if (entries < 0) {
    peaks.clear();
    return;
  }
  std::vector<uint8_t> block(static_cast<size_t>(kPeakBlockFrames * FrameBytes()));
  for (int64_t e = 0; e < entries; ++e) {
    const int64_t first = start + e * kPeakBlockFrames;
    const int n = static_cast<int>(std::min<int64_t>(kPeakBlockFrames, int64_t{frames} - first + 1));
    ReadFileFrames(first, n, block.data());
    PeakEntryAny(bits, block.data(), n, channels, peaks.data() + 9 + e * 2 * channels);
  }
}

int32_t CDiskSample::SaveRecords(CStream& s) const {
  if (!open) return 0;
  if (!HasFile()) return CSample::SaveRecords(s);
  int64_t bytes = 0;
  if (!Storable(*this, bytes)) return 0;
  const int64_t p0 = s.Position();
  WriteHeaderRecords(s, *this);
  s.WriteKey("data", static_cast<int32_t>(bytes));
  uint8_t buf[512];
  for (int64_t done = 0; done < bytes;) {
    const size_t n = static_cast<size_t>(std::min<int64_t>(sizeof buf, bytes - done));
    size_t got = 0;
    ReadAt(handle, dataOffset + done, buf, n, &got);
    std::memset(buf + got, 0, n - got);
    s.WriteBytes(buf, n);
    done += static_cast<int64_t>(n);
  }
  return static_cast<int32_t>(s.Position() - p0);
}

}  // namespace qr
