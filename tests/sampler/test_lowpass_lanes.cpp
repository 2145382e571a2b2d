// The steady low-passes of many voices run side by side in vector lanes, the
// last group filled up with spare lanes: every lane must come out as the same
// filter run alone would leave it, buffer and state, to the bit, whatever the
// number of lanes and their length, a stretch's or a whole chunk's.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "sampler/LowPassLanes.h"

using namespace qr;

TEST(LowPassLanes, SideBySideEqualsOneByOneForEveryCountAndLength) {
  uint32_t seed = 12345;
  auto next = [&] {
    seed = seed * 1664525u + 1013904223u;
    return static_cast<float>(seed >> 8) / static_cast<float>(1u << 24);
  };
  for (int count : {1, 3, 7, 8, 9, 15, 16, 17, 24, 33, 40}) {
    for (int len : {1, 5, 8, 13, 31, 32, 100, 512}) {
      struct Copy {
        std::vector<float> bufs, lows, bands;
        std::vector<SteadyLowPassLane> lanes;
      } a, b;
      a.bufs.resize(static_cast<size_t>(count) * 512);
      for (float& x : a.bufs) x = 2.0f * next() - 1.0f;
      for (int k = 0; k < count; ++k) {
        a.lows.push_back(next() - 0.5f);
        a.bands.push_back(next() - 0.5f);
      }
      b = a;
      for (Copy* c : {&a, &b}) {
        uint32_t keepSeed = seed;
        for (int k = 0; k < count; ++k) {
          const auto u = static_cast<size_t>(k);
          keepSeed = keepSeed * 1664525u + 1013904223u;
          const float f = 0.05f + 0.9f * static_cast<float>(keepSeed >> 8) / static_cast<float>(1u << 24);
          c->lanes.push_back({&c->bufs[u * 512], &c->lows[u], &c->bands[u], f, BandKept(f, 0.3f)});
        }
      }
      RunLowPassLanes(a.lanes.data(), count, len, true);
      RunLowPassLanes(b.lanes.data(), count, len);
      ASSERT_EQ(a.bufs, b.bufs) << count << " lanes, " << len << " frames";
      ASSERT_EQ(a.lows, b.lows);
      ASSERT_EQ(a.bands, b.bands);
    }
  }
}
