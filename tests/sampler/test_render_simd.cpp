// Mono 16-bit rendering, the form banks keep their samples in, takes eight or four
// frames at a time: it must give the plain Hermite's values to the bit at every
// length and phase, including the frames a run of four leaves over, steps on
// either side of the span the eight-frame windows fit in without gathers, and
// runs ending at the sample's last frames, where a wide load would overrun.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tests/sampler/SamplerRig.h"

using namespace qr;
using namespace qr::test;

TEST(SamplerRendering, MonoSixteenBitRunsMatchThePlainHermiteEverywhere) {
  auto smp = MakeSample(400, 44100.0f, [](int i) { return std::sin(i * 0.37) * 0.9; });
  const auto* raw = reinterpret_cast<const int16_t*>(smp->FrameData());
  // Positions are counted in 2^-24 of a frame: the start and the step rounded
  // once, each frame's position an exact sum.
  auto fixed = [](double x) { return static_cast<int64_t>(std::llround(x * 16777216.0)); };
  auto reference = [&](int64_t p) {
    const int64_t i = p >> 24;
    const float f = static_cast<float>(p & 0xFFFFFF) / 16777216.0f;
    const float ym1 = raw[i - 1], y0 = raw[i], y1 = raw[i + 1], y2 = raw[i + 2];
    const float c1 = 0.5f * (y1 - ym1);
    const float c2 = ym1 - 2.5f * y0 + 2.0f * y1 - 0.5f * y2;
    const float c3 = 1.5f * (y0 - y1) + 0.5f * (y2 - ym1);
    return (((c3 * f + c2) * f + c1) * f + y0) * (0.5f / 32768.0f);
  };
  std::vector<float> l(64), r(64);
  for (double step : {1.0, 0.4999, 1.7142, 1.7321, 1.8571, 3.0, 17.5, 40.25}) {
    for (int count = 1; count <= 21; ++count) {
      for (double phase : {1.0, 2.25, 7.9, 100.5, 400.9 - (count - 1) * step}) {
        if (phase < 1.0 || phase + (count - 1) * step > 400.9) continue;
        smp->ReadFrames(count, l.data(), nullptr, 0.0f, 0.5f, step, phase, r.data());
        for (int i = 0; i < count; ++i) {
          const float want = reference(fixed(phase) + i * fixed(step));
          ASSERT_EQ(l[static_cast<size_t>(i)], want)
              << "step " << step << " count " << count << " phase " << phase;
          ASSERT_EQ(r[static_cast<size_t>(i)], l[static_cast<size_t>(i)]);
        }
      }
    }
  }
}
