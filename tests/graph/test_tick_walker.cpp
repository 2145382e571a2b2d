#include <gtest/gtest.h>

#include <cmath>
#include <tuple>
#include <vector>

#include "graph/TickWalker.h"

namespace qr {
namespace {

// Walks `total` samples in blocks of `block` and records the sample each tick
// of `ticks` was taken at; every tick must be taken exactly once.
std::vector<int64_t> Walk(const std::vector<double>& ticks, double bpm, double rate, int block,
                          int64_t total) {
  TickWalker w;
  w.SetTempo(bpm, rate);
  w.Locate(0.0);
  std::vector<int64_t> at(ticks.size(), -1);
  for (int64_t now = 0; now < total; now += block) {
    const int n = static_cast<int>(std::min<int64_t>(block, total - now));
    for (size_t i = 0; i < ticks.size(); ++i)
      if (w.Within(ticks[i], n)) {
        EXPECT_EQ(at[i], -1) << "tick " << ticks[i] << " taken twice";
        at[i] = now + w.SampleOf(ticks[i]);
      }
    w.Advance(n);
  }
  return at;
}

class TickWalkerBlocks : public ::testing::TestWithParam<std::tuple<int, double, double>> {};

TEST_P(TickWalkerBlocks, EveryTickLandsOnItsExactSampleWhateverTheBlockSize) {
  const auto [block, rate, bpm] = GetParam();
  std::vector<double> ticks;
  for (int t = 0; t < 4 * kTicksPerBeat; t += 37) ticks.push_back(t);
  ticks.push_back(kTicksPerBeat);  // exactly on a sample at every rate here with 120 bpm
  const double seconds = 4.0 * 60.0 / bpm + 0.01;
  const auto at = Walk(ticks, bpm, rate, block, static_cast<int64_t>(seconds * rate) + 1);
  for (size_t i = 0; i < ticks.size(); ++i) {
    // Independently: tick t is t / 960 beats, beats x 60 / bpm seconds.
    const long double exact = static_cast<long double>(ticks[i]) * 60.0L * rate / (960.0L * bpm);
    EXPECT_EQ(at[i], static_cast<int64_t>(std::floor(exact + 1e-9L))) << "tick " << ticks[i];
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, TickWalkerBlocks,
                         ::testing::Combine(::testing::Values(1, 7, 64, 4096),
                                            ::testing::Values(22050.0, 44100.0, 48000.0, 96000.0),
                                            ::testing::Values(120.0, 97.3)));

TEST(TickWalker, TempoChangeAndRelocationAnchorWithoutDrift) {
  TickWalker w;
  w.SetTempo(120.0, 44100.0);
  w.Locate(0.0);
  w.Advance(441);
  EXPECT_DOUBLE_EQ(w.TickAt(0), 19.2);
  for (int i = 0; i < 100000; ++i) w.Advance(1);  // long walk in 1-sample steps
  EXPECT_EQ(w.SampleOf(19.2 + 100000 * 1920.0 / 44100.0), 0);
  w.SetTempo(60.0, 44100.0);  // from here a tick lasts twice as long
  const double here = w.TickAt(0);
  EXPECT_EQ(w.SampleOf(here + 960.0), 44100);
  w.Locate(960.0);  // a loop wrap: the loop's left edge sounds on the current sample
  EXPECT_EQ(w.SampleOf(960.0), 0);
  w.Locate(0.0, 5);  // a start inside a block anchors on its own sample
  EXPECT_EQ(w.SampleOf(0.0), 5);
  EXPECT_EQ(w.SampleOf(960.0), 5 + 44100);
  w.SetTempo(0.0, 44100.0);  // time stands still on a damaged tempo
  EXPECT_EQ(w.SampleOf(961.0), TickWalker::kNever);
}

}  // namespace
}  // namespace qr
