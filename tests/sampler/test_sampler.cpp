// The sampler module through its block processing: which clips notes reach,
// voices, pitch, loops, envelopes, presets by channel and modulation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>

#include "tests/sampler/SamplerRig.h"

using namespace qr;
using namespace qr::test;

namespace {

int VoicesOf(const CSampler& s, const CClip* clip) {
  int n = 0;
  for (int i = 0; i < sampler_limits::kVoices; ++i) n += s.VoiceAt(i).state == 1 && s.VoiceAt(i).clip == clip;
  return n;
}

const CClip* ClipAt(const CSound& s, size_t i) { return static_cast<const CClip*>(s.children[i].get()); }

}  // namespace

TEST(SamplerNotes, SlicerKeysAndLayerZonesPickTheirClips) {
  SamplerRig r;
  const int smp = r.s->AddSample(MakeSample(2000, 44100.0f, [](int) { return 0.5; }));
  CSound* slicer = r.s->NewSound("beats", CSound::kSlicer);
  CSound* layer = r.s->NewSound("keys");
  r.s->BeginEdit();
  slicer->sliceRoot = 36;
  for (int i = 0; i < 4; ++i) PlainClip(*r.s, *slicer, smp);
  CClip* zone = PlainClip(*r.s, *layer, smp);
  zone->mapping = {60, 72, 1, 127};
  r.s->EndEdit();

  // Slice i answers on slice root + 1 + i: key 39 is the third slice.
  r.Render(64, {{0, On(39)}});
  EXPECT_EQ(VoicesOf(*r.s, ClipAt(*slicer, 2)), 1);
  EXPECT_EQ(r.s->PlayingVoices(), 1);
  // The zone ends where its mapping says, on both sides.
  r.Render(64, {{r.now, On(59)}, {r.now, On(73)}, {r.now, On(36)}});
  EXPECT_EQ(r.s->PlayingVoices(), 1);
  r.Render(64, {{r.now, On(60, 1)}, {r.now, On(72, 127)}});
  EXPECT_EQ(VoicesOf(*r.s, zone), 2);
}

TEST(SamplerNotes, UnisonFansOutAndThe129thNoteIsDropped) {
  SamplerRig r;
  const int smp = r.s->AddSample(MakeSample(1000, 44100.0f, [](int i) { return std::sin(i * 0.05); }));
  CSound* snd = r.s->NewSound("pad");
  r.s->BeginEdit();
  CClip* c = PlainClip(*r.s, *snd, smp);
  c->loop = CClip::kLoopForward;
  c->loopStart = 1;
  c->unisonVoices = 3;
  r.s->EndEdit();
  r.Render(64, {{0, On(60)}});
  const auto& v = r.s->VoiceAt(0);
  ASSERT_EQ(v.subCount, 3);
  EXPECT_FLOAT_EQ(v.sub[0].panOffset, -1.0f);
  EXPECT_FLOAT_EQ(v.sub[1].panOffset, 0.0f);
  EXPECT_FLOAT_EQ(v.sub[2].panOffset, 1.0f);

  r.s->BeginEdit();
  c->unisonVoices = 1;
  r.s->EndEdit();
  std::vector<std::pair<int64_t, uint32_t>> notes;
  for (int k = 0; k < 128; ++k) notes.push_back({r.now + k / 4, On(k)});
  r.Render(64, notes);
  ASSERT_EQ(r.s->PlayingVoices(), 128);
  r.Render(64, {{r.now, On(5)}});
  EXPECT_EQ(r.s->PlayingVoices(), 128);
  int fives = 0;
  for (int i = 0; i < sampler_limits::kVoices; ++i) fives += r.s->VoiceAt(i).key == 5;
  EXPECT_EQ(fives, 1);  // no voice was stolen for it
}

TEST(SamplerNotes, MonoVoiceReturnsToTheHeldKeyWithoutRestarting) {
  SamplerRig r;
  const int smp = r.s->AddSample(MakeSample(40000, 44100.0f, [](int i) { return std::sin(i * 0.05); }));
  CSound* snd = r.s->NewSound("lead");
  r.s->BeginEdit();
  CClip* c = PlainClip(*r.s, *snd, smp);
  c->voiceMode = 1;
  r.s->EndEdit();
  r.Render(640, {{0, On(60)}, {320, On(64)}});
  ASSERT_EQ(VoicesOf(*r.s, c), 1);
  const auto& v = r.s->VoiceAt(0);
  EXPECT_FLOAT_EQ(v.sub[0].keyOffset, 4.0f);
  const double before = v.sub[0].pos;
  r.Render(64, {{r.now, Off(64)}});
  EXPECT_EQ(VoicesOf(*r.s, c), 1);
  EXPECT_FLOAT_EQ(v.sub[0].keyOffset, 0.0f);
  EXPECT_GT(v.sub[0].pos, before);  // kept running
  r.Render(4096, {{r.now, Off(60)}});
  EXPECT_EQ(r.s->PlayingVoices(), 0);
}

// Note-ons land on their own frame and the pitch follows key, bend and the
// sample's rate, at every block size and at two output rates.
class SamplerTiming : public ::testing::TestWithParam<std::tuple<int, float>> {};

TEST_P(SamplerTiming, NotesStartOnTheirFrameAtTheirPitch) {
  const auto [block, rate] = GetParam();
  SamplerRig r(block, rate);
  // 441 Hz at 44.1 kHz: 441 whole periods, looped seamlessly.
  const int smp = r.s->AddSample(MakeSample(44100, 44100.0f, [](int i) {
    return 0.5 * std::sin(2.0 * std::numbers::pi * 441.0 * i / 44100.0 + 1.0);
  }));
  CSound* snd = r.s->NewSound("sine");
  r.s->BeginEdit();
  CClip* c = PlainClip(*r.s, *snd, smp);
  c->loop = CClip::kLoopForward;
  c->loopStart = 1;
  c->loopEnd = 44100;
  r.s->EndEdit();
  const int64_t at = static_cast<int64_t>(0.25 * rate) + 3;
  const int64_t bendAt = at + static_cast<int64_t>(rate);
  r.Render(static_cast<int64_t>(2.5 * rate), {{at, On(67)}, {bendAt, midi::Make(0xE0, 127, 127)}});
  const auto first =
      std::find_if(r.left.begin(), r.left.end(), [](float x) { return x != 0.0f; }) - r.left.begin();
  EXPECT_EQ(first, at);
  const double f = MeasureFrequency(r.left, static_cast<size_t>(at + 64), static_cast<size_t>(bendAt), rate);
  EXPECT_NEAR(Cents(f, 441.0 * std::pow(2.0, 7.0 / 12.0)), 0.0, 0.5);
  // Full bend up with a range of 2: (16383 - 8192) / 8192 of two semitones.
  const double bent = MeasureFrequency(r.left, static_cast<size_t>(bendAt + 64), r.left.size(), rate);
  EXPECT_NEAR(Cents(bent, 441.0 * std::pow(2.0, (7.0 + 2.0 * 8191.0 / 8192.0) / 12.0)), 0.0, 0.5);
}

INSTANTIATE_TEST_SUITE_P(BlocksAndRates, SamplerTiming,
                         ::testing::Combine(::testing::Values(1, 7, 64, 4096),
                                            ::testing::Values(44100.0f, 48000.0f)));

// A note of an exclusive class fades the channel's ringing notes of its class
// within the choke's 3 ms (and one control period), the same key's other
// layers and the other channels' notes play on.
class SamplerExclusive : public ::testing::TestWithParam<std::tuple<int, float>> {};

TEST_P(SamplerExclusive, ANoteOfAClassFadesTheChannelsOthersOfItsClass) {
  const auto [block, rate] = GetParam();
  const int64_t t1 = 100, t2 = static_cast<int64_t>(0.2 * rate) + 5,
                end = t2 + static_cast<int64_t>(0.1 * rate);
  auto render = [&](bool withOpenOnFirstChannel) {
    SamplerRig r(block, rate);
    r.s->multimode = 1;
    auto dc = [&](double level) {
      return r.s->AddSample(MakeSample(44100, rate, [=](int) { return level; }));
    };
    const int open = dc(0.5), low = dc(0.25), high = dc(0.125);
    CSound* kit = r.s->NewSound("kit");
    r.s->BeginEdit();
    auto clip = [&](int smp, int key) {
      CClip* c = PlainClip(*r.s, *kit, smp);
      c->mapping = {key, key, 0, 127};
      c->volEnv.v[8] = 2.0f;  // a long release: the open hat rings on
      c->exclusiveClass = 1;
    };
    clip(open, 46);
    clip(low, 42);  // two layers of one key
    clip(high, 42);
    r.s->EndEdit();
    std::vector<std::pair<int64_t, uint32_t>> notes = {
        {t1, On(46, 127, 1)}, {t1 + 10, Off(46, 1)}, {t2, On(42)}};
    if (withOpenOnFirstChannel) notes.insert(notes.begin() + 1, {{t1, On(46)}, {t1 + 10, Off(46)}});
    r.Render(end, notes);
    EXPECT_EQ(r.s->PlayingVoices(), 3);  // both layers and the other channel's open hat
    return r.left;
  };
  const std::vector<float> test = render(true), without = render(false);
  EXPECT_GT(std::fabs(test[static_cast<size_t>(t2 - 1)] - without[static_cast<size_t>(t2 - 1)]), 0.01f);
  const int64_t faded = t2 + static_cast<int64_t>(std::ceil(0.003 * rate)) + 32;
  for (int64_t i = faded; i < end; ++i)
    ASSERT_NEAR(test[static_cast<size_t>(i)], without[static_cast<size_t>(i)], 1e-6f) << "frame " << i;
}

INSTANTIATE_TEST_SUITE_P(BlocksAndRates, SamplerExclusive,
                         ::testing::Combine(::testing::Values(1, 7, 64, 4096),
                                            ::testing::Values(44100.0f, 48000.0f)));

TEST(SamplerLoops, EachLoopModeWalksTheFramesItNames) {
  struct Case {
    int loop, playMode;
    std::vector<int> expect;  // 1-based frames
  };
  auto seq = [](std::initializer_list<std::pair<int, int>> runs) {
    std::vector<int> v;
    for (auto [a, b] : runs)
      for (int i = a; a <= b ? i <= b : i >= b; i += a <= b ? 1 : -1) v.push_back(i);
    return v;
  };
  const std::vector<Case> cases = {
      {CClip::kLoopForward, 0, seq({{1, 20}, {11, 20}, {11, 20}})},
      {CClip::kLoopBackward, 0, seq({{1, 20}, {19, 11}, {20, 11}, {20, 11}})},
      {CClip::kLoopAlternate, 0, seq({{1, 20}, {19, 11}, {12, 20}, {19, 11}})},
      {CClip::kLoopOff, 1, seq({{30, 1}})},
      {CClip::kLoopOff, 0, seq({{1, 30}})},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << "loop " << k.loop << " play mode " << k.playMode);
    SamplerRig r;
    const int smp = r.s->AddSample(MakeSample(30, 44100.0f, [](int i) { return (i + 1) / 1000.0; }));
    CSound* snd = r.s->NewSound("ramp");
    r.s->BeginEdit();
    CClip* c = PlainClip(*r.s, *snd, smp);
    c->loop = k.loop;
    c->playMode = k.playMode;
    c->loopStart = 11;
    c->loopEnd = 20;
    r.s->EndEdit();
    r.Render(128, {{0, On(60)}});
    for (size_t i = 0; i < k.expect.size(); ++i)
      ASSERT_NEAR(r.left[i] * 1000.0f, k.expect[i], 0.05) << "frame " << i;
    if (k.loop == CClip::kLoopOff) {
      EXPECT_EQ(r.left[k.expect.size()], 0.0f);  // the end is the end
      EXPECT_EQ(r.s->PlayingVoices(), 0);
    }
  }
}

class SamplerEnvelope : public ::testing::TestWithParam<float> {};

TEST_P(SamplerEnvelope, AttackAndReleaseTakeTheirTimeWithinOneControlPeriod) {
  const float rate = GetParam();
  SamplerRig r(64, rate);
  const int smp = r.s->AddSample(MakeSample(1000, 44100.0f, [](int) { return 0.5; }));
  CSound* snd = r.s->NewSound("dc");
  r.s->BeginEdit();
  CClip* c = PlainClip(*r.s, *snd, smp);
  c->loop = CClip::kLoopForward;
  c->loopStart = 1;
  c->volEnv.sustain = 3;
  c->volEnv.v = {0.0f, 0.0f, 0.1f, 1.0f, 0.0f, 1.0f, 0.0f, 1.0f, 0.2f, 0.0f};
  r.s->EndEdit();
  const int64_t off = static_cast<int64_t>(0.5 * rate);
  r.Render(static_cast<int64_t>(0.9 * rate), {{0, On(60)}, {off, Off(60)}});
  const double period = sampler_limits::kControlFrames;
  const auto peak =
      std::find_if(r.left.begin(), r.left.end(), [](float x) { return x >= 0.4999f; }) - r.left.begin();
  EXPECT_NEAR(static_cast<double>(peak), 0.1 * rate, period);
  // Half-way through the release the level is 50 dB down.
  const float half = 0.5f * std::pow(10.0f, -50.0f / 20.0f);
  const auto fall =
      std::find_if(r.left.begin() + off, r.left.end(), [&](float x) { return x <= half; }) - r.left.begin();
  EXPECT_NEAR(static_cast<double>(fall - off), 0.1 * rate, period);
  EXPECT_EQ(r.s->PlayingVoices(), 0);
  EXPECT_EQ(r.left.back(), 0.0f);
}

INSTANTIATE_TEST_SUITE_P(Rates, SamplerEnvelope, ::testing::Values(44100.0f, 96000.0f));

namespace {
// One clip of a sine through the low-pass; `more` sets the rest of the clip.
// The sine moves `step` radians a frame.
void FilteredSine(SamplerRig& r, int frames, double amplitude, double step, float cutoff, float q,
                  const std::function<void(CClip&)>& more = {}) {
  const int smp =
      r.s->AddSample(MakeSample(frames, 44100.0f, [=](int i) { return amplitude * std::sin(i * step); }));
  CSound* snd = r.s->NewSound("f");
  r.s->BeginEdit();
  CClip* c = PlainClip(*r.s, *snd, smp);
  c->filterMode = CClip::kFilterLowBand;
  c->cutoff = cutoff;
  c->q = q;
  if (more) more(*c);
  r.s->EndEdit();
}
}  // namespace

TEST(SamplerFilter, LowPassKeepsTheLowAndDriveBendsTheTop) {
  auto level = [](double hz, float cutoff, float drive) {
    SamplerRig r;
    FilteredSine(r, 44100, 0.25, 2.0 * std::numbers::pi * hz / 44100.0, cutoff, 0.0f,
                 [&](CClip& c) { c.drive = drive; });
    r.Render(8192, {{0, On(60)}});
    float peak = 0.0f;
    for (size_t i = 4096; i < r.left.size(); ++i) peak = std::max(peak, std::fabs(r.left[i]));
    return peak;
  };
  // f = c^2 = 0.04: about 280 Hz at 44.1 kHz.
  EXPECT_NEAR(level(50.0, 0.2f, 0.0f), 0.25f, 0.03f);
  EXPECT_LT(level(8000.0, 0.2f, 0.0f), 0.25f * 0.01f);
  // Drive 0.5 at the peak of a passed tone: 0.25 / (1 + 8 x 0.25) x (1 - 0.5 + 1.5).
  EXPECT_NEAR(level(50.0, 0.2f, 0.5f), 0.25f / 3.0f * 2.0f, 0.01f);
}

TEST(SamplerFilter, VoicesFilteredSideBySideSoundAsEachAlone) {
  // Thirteen voices: eight share the interleaved pair of side-by-side groups,
  // four the single group, the last runs alone.
  auto render = [](std::vector<int> keys) {
    SamplerRig r(64);
    FilteredSine(r, 8000, 0.3, 0.21, 0.35f, 0.6f);
    std::vector<std::pair<int64_t, uint32_t>> notes;
    for (int k : keys) notes.push_back({3, On(k)});
    r.Render(2000, notes);
    return r.left;
  };
  const std::vector<int> keys = {48, 50, 52, 53, 55, 57, 59, 60, 62, 64, 65, 67, 69};
  const std::vector<float> together = render(keys);
  std::vector<float> sum(together.size(), 0.0f);
  for (int k : keys) {
    const auto one = render({k});
    for (size_t i = 0; i < sum.size(); ++i) sum[i] += one[i];
  }
  for (size_t i = 0; i < sum.size(); ++i) ASSERT_NEAR(together[i], sum[i], 1e-5f) << "frame " << i;
}

// A filter envelope that rests (its level held through a segment) and then
// falls: the settled stretches and the moving ones must reach the filter in
// their order whatever the block size, so blocks of 256 and 4096 frames sound
// as blocks of 32, where every block is one control stretch.
TEST(SamplerFilter, AFilterThatRestsAndThenMovesSoundsTheSameInLongBlocks) {
  auto render = [](int block) {
    SamplerRig r(block);
    FilteredSine(r, 20000, 0.3, 0.41, 0.6f, 0.5f, [](CClip& c) {
      // At 1 at once, held there 3 ms, down to 0.2 over 20 ms, sustained.
      c.filterEnv.v = {0.0f, 1.0f, 0.003f, 1.0f, 0.02f, 0.2f, 0.0f, 0.2f, 0.05f, 0.0f};
      c.filterEnv.sustain = 3;
    });
    r.Render(8192, {{64, On(60)}, {96, On(67)}});  // on stretch boundaries in every block size
    return r.left;
  };
  const std::vector<float> reference = render(32);
  for (int block : {256, 4096}) {
    const std::vector<float> got = render(block);
    for (size_t i = 0; i < got.size(); ++i)
      ASSERT_NEAR(got[i], reference[i], 1e-6f) << "block " << block << " frame " << i;
  }
}

TEST(SamplerBank, PresetsChooseSoundsByChannelAndProgram) {
  SamplerRig r;
  const int smp = r.s->AddSample(MakeSample(20000, 44100.0f, [](int) { return 0.5; }));
  CSound* piano = r.s->NewSound("piano");
  CSound* drums = r.s->NewSound("drums");
  r.s->BeginEdit();
  const CClip* p = PlainClip(*r.s, *piano, smp);
  const CClip* d = PlainClip(*r.s, *drums, smp);
  r.s->multimode = 1;
  r.s->bank[0] = std::make_unique<Preset>(Preset{"GM 0", {{0, 1, 1}, {1, 1, 10}}});
  r.s->bank[1] = std::make_unique<Preset>(Preset{"GM 1", {{1, 1, 1}}});
  r.s->EndEdit();
  r.Render(64, {{0, On(60, 100, 0)}, {0, On(36, 100, 9)}});
  EXPECT_EQ(VoicesOf(*r.s, p), 1);
  EXPECT_EQ(VoicesOf(*r.s, d), 1);
  // Program 1 on the first channel plays the other sound there; program 7 has
  // no preset and leaves the channel as it was.
  r.Render(64, {{r.now, midi::Make(0xC0, 1, 0)},
                {r.now, On(62, 100, 0)},
                {r.now, midi::Make(0xC1, 7, 0)},
                {r.now, On(64, 100, 1)}});
  EXPECT_EQ(VoicesOf(*r.s, p), 1);
  EXPECT_EQ(VoicesOf(*r.s, d), 2);
  // Without multimode every channel is the first, whose program now plays the drums.
  r.s->BeginEdit();
  r.s->multimode = 0;
  r.s->EndEdit();
  r.Render(64, {{r.now, On(40, 100, 0)}, {r.now, On(41, 100, 9)}});
  EXPECT_EQ(VoicesOf(*r.s, p), 0);
  EXPECT_EQ(VoicesOf(*r.s, d), 2);
}

TEST(SamplerModulators, GateAndVelocityShapeTheLevel) {
  SamplerRig r(64, 48000.0f);
  r.root->SetTempo(120.0f);
  const int smp = r.s->AddSample(MakeSample(1000, 48000.0f, [](int) { return 0.5; }));
  CSound* snd = r.s->NewSound("gated");
  r.s->BeginEdit();
  CClip* c = PlainClip(*r.s, *snd, smp);
  c->loop = CClip::kLoopForward;
  c->loopStart = 1;
  auto gate = std::make_unique<CGate>();
  gate->steps = 2;
  gate->ticks = CGate::TicksOfRate("16");
  gate->flags[1] = 0;
  c->modulators.push_back(std::move(gate));
  c->routings.push_back(CMod{ModSourceKind::kGate, 0, kDestVolume, 1.0f, 1.0f});
  c->routings.push_back(CMod{ModSourceKind::kVelocity, 0, kDestVolume, 1.0f, 1.0f});
  r.s->EndEdit();
  r.Render(48000, {{0, On(60, 64)}});
  // A sixteenth at 120 bpm is 6000 frames at 48 kHz; the gate switches within a control period.
  const float vel = 64.0f / 127.0f;
  EXPECT_NEAR(r.left[3000], 0.5f * vel * vel, 1e-4f);
  EXPECT_EQ(r.left[9000], 0.0f);
  EXPECT_NEAR(r.left[15000], 0.5f * vel * vel, 1e-4f);
  for (int edge : {6000, 12000, 18000}) {
    const float a = r.left[static_cast<size_t>(edge - 33)], b = r.left[static_cast<size_t>(edge + 33)];
    EXPECT_NE(a == 0.0f, b == 0.0f) << "edge at " << edge;
  }
}

TEST(SamplerModulators, NamesRatesAndRandomHundredths) {
  std::vector<std::unique_ptr<CModulator>> mods;
  for (const char* n : {"Env", "Swell", "Wobble"}) {
    mods.push_back(std::make_unique<CFreehand>());
    mods.back()->name = n;
  }
  EXPECT_EQ(DestinationName((2 << 16) | 9, mods), "Wobble.Level");
  EXPECT_EQ(DestinationName((1 << 16) | 10, mods), "Swell.Rate");
  EXPECT_EQ(DestinationName(4, mods), "Pitch");
  EXPECT_EQ(DestinationName((3 << 16) | 9, mods), "---");
  EXPECT_EQ(DestinationName(11, mods), "---");
  EXPECT_EQ(CGate::TicksOfRate("16"), 240);
  EXPECT_EQ(CGate::TicksOfRate("64"), 60);

  CRandom rnd;
  rnd.loop = 1;
  ModRandom gen;
  ModState st;
  rnd.NoteStart(st, gen);
  bool zero = false, one = false;
  for (int i = 0; i < 5000; ++i) {
    const float v = rnd.Advance(st, rnd.CycleTicks(), gen);
    ASSERT_GE(v, 0.0f);
    ASSERT_LE(v, 1.0f);
    ASSERT_NEAR(v * 100.0f, std::round(v * 100.0f), 1e-3f);
    zero |= v == 0.0f;
    one |= v == 1.0f;
  }
  EXPECT_TRUE(zero && one);
}

TEST(SamplerTempo, SlicerGuessesBeatsAndTempoFromTheLength) {
  CSampler s(nullptr);
  for (auto [seconds, beats, bpm] : {std::tuple{2.0, 4.0f, 120.0f}, {10.0, 16.0f, 96.0f}}) {
    const int smp =
        s.AddSample(MakeSample(static_cast<int>(seconds * 1000), 1000.0f, [](int) { return 0.0; }));
    CSound* snd = s.NewSound("loop", CSound::kSlicer);
    const CClip* c = s.SetSliceSample(*snd, smp);
    ASSERT_NE(c, nullptr);
    EXPECT_FLOAT_EQ(snd->beats, beats);
    EXPECT_FLOAT_EQ(snd->bpm, bpm);
    EXPECT_EQ(c->left, 1);
    EXPECT_EQ(c->right, static_cast<int>(seconds * 1000));
  }
  float beats = 4.0f, bpm = 0.0f;
  CSampler::GuessTempo(10000.0, beats, bpm);  // far too long: the doubling stops
  EXPECT_FLOAT_EQ(beats, 1024.0f);
}

// Controller routings of a held note follow each message within one control
// period, however the blocks fall, and a note started later starts at the
// controllers' values of that moment.
class SamplerControllers : public ::testing::TestWithParam<std::tuple<int, float>> {};

TEST_P(SamplerControllers, VolumeAndPanOfAHeldNoteFollowEachMessage) {
  const auto [block, rate] = GetParam();
  SamplerRig r(block, rate);
  const int smp = r.s->AddSample(MakeSample(1000, rate, [](int) { return 0.5; }));
  CSound* snd = r.s->NewSound("held");
  r.s->BeginEdit();
  CClip* c = PlainClip(*r.s, *snd, smp);
  c->loop = CClip::kLoopForward;
  c->loopStart = 1;
  c->routings.push_back(CMod{ModSourceKind::kCC, 7, kDestVolume, 1.0f, 1.0f});
  c->routings.push_back(CMod{ModSourceKind::kCC, 10, kDestPan, 2.0f, 64.0f / 127.0f});
  r.s->EndEdit();
  auto cc = [](int n, int v) { return midi::Make(0xB0u, n, v); };
  // Frames of the changes, off any block or stretch grid.
  const int64_t quiet = static_cast<int64_t>(rate / 10) + 3, loud = 2 * quiet + 5, aside = 3 * quiet + 1;
  r.Render(4 * quiet, {{0, cc(7, 127)},
                       {0, cc(10, 64)},
                       {0, On(60)},
                       {quiet, cc(7, 64)},
                       {loud, cc(7, 127)},
                       {aside, cc(10, 127)},
                       {aside + 100, On(62)}});
  const float half = (64.0f / 127.0f) * (64.0f / 127.0f);
  const auto at = [&](int64_t i) { return r.left[static_cast<size_t>(i)]; };
  EXPECT_FLOAT_EQ(at(quiet - 1), 0.5f);
  EXPECT_FLOAT_EQ(at(quiet + 32), 0.5f * half);
  EXPECT_FLOAT_EQ(at(loud - 1), 0.5f * half);
  EXPECT_FLOAT_EQ(at(loud + 32), 0.5f);
  EXPECT_FLOAT_EQ(r.right[static_cast<size_t>(aside - 1)], 0.5f);
  // Panned hard right: the left keeps 1 - 126/127 of the full level.
  EXPECT_NEAR(at(aside + 32), 0.5f / 127.0f, 1e-6f);
  // The second note sounds panned from its first frame on.
  EXPECT_NEAR(at(aside + 100), 1.0f / 127.0f, 1e-6f);
  EXPECT_NEAR(r.right[static_cast<size_t>(aside + 100)], 2.0f * 0.5f * 253.0f / 127.0f, 1e-5f);
}

INSTANTIATE_TEST_SUITE_P(BlocksAndRates, SamplerControllers,
                         ::testing::Combine(::testing::Values(1, 7, 64, 4096),
                                            ::testing::Values(44100.0f, 48000.0f)));
