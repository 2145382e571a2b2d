#include "sampler/LowPassLanes.h"

#include <algorithm>
#include <cmath>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#endif

namespace qr {

// The common case of a bank's low-pass: settled coefficients, no blend, no
// drive. The recursion
//   low += f band;  high = x - low - damp band;  band += f high
// is rearranged so that only two fused multiply-adds stand between one
// frame's band and the next (band' = keep band + f x - f low', with keep =
// 1 - f damp), which lets many voices' filters run at the speed of the
// arithmetic rather than of its latency. Each step rounds once per fused
// operation, the same in the vector lanes as here.
void SteadyLowPass(float* buf, int n, float& low, float& band, float f, float keep) noexcept {
  float lo = low, bd = band;
  for (int i = 0; i < n; ++i) {
    lo = std::fma(f, bd, lo);
    bd = std::fma(-f, lo, std::fma(keep, bd, f * buf[i]));
    buf[i] = lo;
  }
  low = std::fabs(lo) < 1e-20f ? 0.0f : lo;
  band = std::fabs(bd) < 1e-20f ? 0.0f : bd;
}

namespace {

constexpr int kMaxFrames = 512;

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))

using Lane = SteadyLowPassLane;

// Eight steady low-passes side by side, one per 32-bit lane of a 256-bit
// vector, in the fused form of SteadyLowPass(): two dependent fused
// multiply-adds a frame, and two groups in flight so that either fills the
// other's wait.
#define QR_LANES __attribute__((target("avx2,fma"), always_inline)) inline
struct WideGroup {
  Lane* q;
  __m256 lo, bd, f, keep;

  QR_LANES void Load(Lane* lanes) noexcept {
    q = lanes;
    alignas(32) float l8[8], b8[8], f8[8], k8[8];
    for (int j = 0; j < 8; ++j) l8[j] = *q[j].low, b8[j] = *q[j].band, f8[j] = q[j].f, k8[j] = q[j].keep;
    lo = _mm256_load_ps(l8);
    bd = _mm256_load_ps(b8);
    f = _mm256_load_ps(f8);
    keep = _mm256_load_ps(k8);
  }
  QR_LANES __m256 Step(__m256 x) noexcept {
    lo = _mm256_fmadd_ps(f, bd, lo);
    bd = _mm256_fnmadd_ps(f, lo, _mm256_fmadd_ps(keep, bd, _mm256_mul_ps(f, x)));
    return lo;
  }
  // Eight frames of the eight lanes, turned so that each vector holds one
  // frame of every lane, and back.
  QR_LANES static void Transpose(__m256 (&r)[8]) noexcept {
    const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
    const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
    const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]), t5 = _mm256_unpackhi_ps(r[4], r[5]);
    const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]), t7 = _mm256_unpackhi_ps(r[6], r[7]);
    const __m256 u0 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 u1 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
    const __m256 u2 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 u3 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
    const __m256 u4 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 u5 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(3, 2, 3, 2));
    const __m256 u6 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 u7 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(3, 2, 3, 2));
    r[0] = _mm256_permute2f128_ps(u0, u4, 0x20);
    r[1] = _mm256_permute2f128_ps(u1, u5, 0x20);
    r[2] = _mm256_permute2f128_ps(u2, u6, 0x20);
    r[3] = _mm256_permute2f128_ps(u3, u7, 0x20);
    r[4] = _mm256_permute2f128_ps(u0, u4, 0x31);
    r[5] = _mm256_permute2f128_ps(u1, u5, 0x31);
    r[6] = _mm256_permute2f128_ps(u2, u6, 0x31);
    r[7] = _mm256_permute2f128_ps(u3, u7, 0x31);
  }
  QR_LANES void Eight(int i) noexcept {
    __m256 r[8];
    for (int j = 0; j < 8; ++j) r[j] = _mm256_loadu_ps(q[j].buf + i);
    Transpose(r);
    for (__m256& x : r) x = Step(x);
    Transpose(r);
    for (int j = 0; j < 8; ++j) _mm256_storeu_ps(q[j].buf + i, r[j]);
  }
  QR_LANES void One(int i) noexcept {
    alignas(32) float in[8], out[8];
    for (int j = 0; j < 8; ++j) in[j] = q[j].buf[i];
    _mm256_store_ps(out, Step(_mm256_load_ps(in)));
    for (int j = 0; j < 8; ++j) q[j].buf[i] = out[j];
  }
  QR_LANES void Store() noexcept {
    alignas(32) float l8[8], b8[8];
    _mm256_store_ps(l8, lo);
    _mm256_store_ps(b8, bd);
    for (int j = 0; j < 8; ++j) {
      *q[j].low = std::fabs(l8[j]) < 1e-20f ? 0.0f : l8[j];
      *q[j].band = std::fabs(b8[j]) < 1e-20f ? 0.0f : b8[j];
    }
  }
};

// Every lane, in groups of sixteen; the last group is filled up with spare
// lanes that filter silence (silence in, silence out, so they may share one
// buffer), which costs less than running the few left over on their own.
__attribute__((target("avx2,fma"))) void RunFilterLanesWide(Lane* lanes, int laneCount, int len) noexcept {
  alignas(32) float spare[kMaxFrames] = {};
  float spareState[2] = {};
  for (int k = 0; k < laneCount; k += 16) {
    Lane quad[16];
    const Lane* src = lanes + k;
    const int have = std::min(16, laneCount - k);
    for (int j = 0; j < 16; ++j)
      quad[j] = j < have ? src[j] : Lane{spare, &spareState[0], &spareState[1], 0.0f, 1.0f};  // holds silence
    WideGroup g0, g1;
    g0.Load(quad);
    if (have <= 8) {
      int i = 0;
      for (; i + 8 <= len; i += 8) g0.Eight(i);
      for (; i < len; ++i) g0.One(i);
      g0.Store();
      continue;
    }
    g1.Load(quad + 8);
    int i = 0;
    for (; i + 8 <= len; i += 8) {
      g0.Eight(i);
      g1.Eight(i);
    }
    for (; i < len; ++i) {
      g0.One(i);
      g1.One(i);
    }
    g0.Store();
    g1.Store();
  }
}

// Decided once at load, before any audio thread runs.
const bool g_wideLanes = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}();
#undef QR_LANES

#endif

}  // namespace

void RunLowPassLanes(SteadyLowPassLane* lanes, int count, int len, bool plain) noexcept {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
  if (g_wideLanes && !plain && len <= kMaxFrames) {
    RunFilterLanesWide(lanes, count, len);
    return;
  }
#endif
  for (int k = 0; k < count; ++k) {
    SteadyLowPassLane& q = lanes[k];
    SteadyLowPass(q.buf, len, *q.low, *q.band, q.f, q.keep);
  }
}

}  // namespace qr
