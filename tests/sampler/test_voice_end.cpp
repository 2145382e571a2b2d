// When a voice stops costing time: a release tail ends once nothing it could
// still play would show in a 16-bit render, and not a control period earlier;
// a held voice keeps its place however quiet it is made.
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

#include "tests/sampler/SamplerRig.h"

using namespace qr;
using namespace qr::test;

namespace {

// A full-scale looped sample under a flat envelope with a one-second release.
CClip* LoudLoop(SamplerRig& r) {
  const int smp = r.s->AddSample(MakeSample(2000, 44100.0f, [](int) { return 1.0; }));
  CSound* snd = r.s->NewSound("dc");
  r.s->BeginEdit();
  CClip* c = PlainClip(*r.s, *snd, smp);
  c->loop = CClip::kLoopForward;
  c->loopStart = 1;
  c->volEnv.v[8] = 1.0f;
  c->volEnv.v[9] = 0.0f;
  r.s->EndEdit();
  return c;
}

int64_t LastSounding(const std::vector<float>& x) {
  for (int64_t i = static_cast<int64_t>(x.size()) - 1; i >= 0; --i)
    if (x[static_cast<size_t>(i)] != 0.0f) return i;
  return -1;
}

}  // namespace

class SamplerVoiceEnd : public ::testing::TestWithParam<std::tuple<int, float>> {};

TEST_P(SamplerVoiceEnd, AReleaseEndsWhereItCouldNoLongerMoveA16BitSample) {
  const auto [block, rate] = GetParam();
  SamplerRig r(block, rate);
  LoudLoop(r);
  const int64_t off = static_cast<int64_t>(0.1 * rate);
  r.Render(static_cast<int64_t>(1.2 * rate), {{0, On(60)}, {off, Off(60)}});
  EXPECT_EQ(r.s->PlayingVoices(), 0);

  // The release falls 100 dB over its second. Full-scale frames, a Hermite
  // overshoot of a quarter and a centred pan put the last audible level at
  // 2^-16 / 1.25, which the release reaches this far into its second:
  const double db = 20.0 * std::log10(1.0 / 65536.0 / 1.25);
  const double end = static_cast<double>(off) + -db / 100.0 * rate;
  const int64_t last = LastSounding(r.left);
  EXPECT_NEAR(static_cast<double>(last), end, sampler_limits::kControlFrames + 1);
  // The tail that was left out could not have reached half a 16-bit step.
  for (int64_t i = last - sampler_limits::kControlFrames; i <= last; ++i)
    ASSERT_LT(std::fabs(r.left[static_cast<size_t>(i)]), 1.0f / 65536.0f) << "frame " << i;
  // Up to then the note is all there.
  EXPECT_GT(std::fabs(r.left[static_cast<size_t>(end) - 3 * sampler_limits::kControlFrames]), 0.0f);
}

INSTANTIATE_TEST_SUITE_P(BlocksAndRates, SamplerVoiceEnd,
                         ::testing::Combine(::testing::Values(1, 7, 64, 4096),
                                            ::testing::Values(44100.0f, 48000.0f)));

TEST(SamplerVoiceEnd, HeldOrSelfMovingVoicesAreNeverCutForBeingQuiet) {
  // Expression at zero silences a held note completely; raised again, the
  // note must still be there.
  {
    SamplerRig r(64);
    CClip* c = LoudLoop(r);
    r.s->BeginEdit();
    c->routings.push_back(CMod{ModSourceKind::kCC, 11, kDestVolume, 1.0f, 1.0f});
    r.s->EndEdit();
    r.Render(22050, {{0, midi::Make(0xB0, 11, 0)}, {10, On(60)}, {11025, midi::Make(0xB0, 11, 127)}});
    EXPECT_EQ(r.left[11000], 0.0f);
    EXPECT_NEAR(r.left.back(), 1.0f, 1e-3f);
    EXPECT_EQ(r.s->PlayingVoices(), 1);
  }
  // A release whose level a modulator drives may swing up again, so it runs
  // to its own end (here the modulator holds it a few decibels down, which
  // would otherwise end it early).
  {
    SamplerRig r(64);
    CClip* c = LoudLoop(r);
    r.s->BeginEdit();
    c->modulators.push_back(std::make_unique<CFreehand>());
    c->routings.push_back(CMod{ModSourceKind::kEnv, 0, kDestVolume, -0.5f, 0.0f});
    r.s->EndEdit();
    r.Render(53000, {{0, On(60)}, {100, Off(60)}});
    EXPECT_GT(LastSounding(r.left), 100 + 44100 * 99 / 100);
  }
}
