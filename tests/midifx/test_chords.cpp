#include <cmath>
#include <map>
#include <tuple>

#include "midifx/Chords.h"
#include "tests/midifx/MidiFxRig.h"

namespace qr::test {
namespace {

using ChordRig = Rig<CChords>;

// 960 ticks a beat at 120 bpm and 44100 Hz: 22.96875 samples a tick.
constexpr double kSamplesPerTick = 44100.0 / (16.0 * 120.0);

CChord& Triad(CChords& m, int trigger_key, std::initializer_list<int> offsets) {
  CChord& c = m.AddChord(trigger_key);
  c.offsets.fill(0);
  for (int o : offsets) c.Offset(o) = 100;
  return c;
}

void Rhythm(CChord& c, std::initializer_list<std::array<int, 3>> hits, int right) {
  for (const auto& [tick, vel, len] : hits) c.events.Insert(tick, On(0, vel), len);
  c.play = 1;
  c.right = right;
}

std::vector<int> Keys(const std::vector<TimedMsg>& v) {
  std::vector<int> k;
  for (const auto& e : v) k.push_back(static_cast<int>(midi::Data1(e.msg)));
  return k;
}

TEST(Chords, TranspFollowsThePlayedKeyAndSwitchesChordsByTheirKeys) {
  ChordRig rig;
  Triad(*rig.m, 36, {0, 4, 7});
  Triad(*rig.m, 37, {0, 3, 7});
  rig.Send(0, On(60, 90));
  rig.Send(10, Off(60));
  rig.Send(20, On(125, 80));  // 129 and 132 fall outside the keys
  rig.Send(30, Off(125));
  rig.Send(40, On(37));  // makes the minor chord current, sounds nothing
  rig.Send(50, On(60, 70));
  rig.Run(64);

  const std::vector<TimedMsg> want = {
      {0, On(60, 90)},  {0, On(64, 90)},  {0, On(67, 90)},   {10, On(60, 0)},
      {10, On(64, 0)},  {10, On(67, 0)},  {20, On(125, 80)}, {30, On(125, 0)},
      {50, On(60, 70)}, {50, On(63, 70)}, {50, On(67, 70)},
  };
  EXPECT_EQ(rig.out, want);
}

TEST(Chords, FixedPlaysAbsoluteKeysOnItsTriggerOnly) {
  ChordRig rig;
  rig.m->mode = CChords::kFixed;
  CChord& c = rig.m->AddChord(48);
  c.fixed[60] = 1;
  c.fixed[66] = 1;
  rig.Send(0, On(50));
  rig.Send(10, On(48, 77));
  rig.Send(20, Off(48));
  rig.Run(64);
  EXPECT_EQ(rig.out,
            (std::vector<TimedMsg>{{10, On(60, 77)}, {10, On(66, 77)}, {20, On(60, 0)}, {20, On(66, 0)}}));
}

// A rhythm's hits and their note-offs land on the sample the tick formula
// gives from the trigger's sample, lap after lap, whatever the block size;
// ticks 333 and 500 fall between samples at every rate here.
class ChordRhythmTiming : public ::testing::TestWithParam<std::tuple<int, float>> {};

TEST_P(ChordRhythmTiming, ChordRhythmsDoNotDriftWithTheBlockSize) {
  const auto [block, rate] = GetParam();
  struct RhythmHit {
    int tick, vel, len;
  };
  const std::vector<RhythmHit> hits = {{0, 90, 240}, {333, 70, 1}, {500, 80, 461}, {959, 60, 2}};
  ChordRig rig(block, rate);
  CChord& c = Triad(*rig.m, 36, {0, 7});
  for (const RhythmHit& h : hits) c.events.Insert(h.tick, On(0, h.vel), h.len);
  c.play = 1;
  c.right = 960;
  const long double spt = static_cast<long double>(rate) / (16.0L * 120.0L);
  auto sampleOf = [&](long double tick) { return static_cast<int64_t>(std::floor(tick * spt + 1e-9L)); };
  const int64_t start = 1003, release = start + sampleOf(3 * 960 + 700);
  rig.Send(start, On(60));
  rig.Send(release, Off(60));
  rig.Run(release + 2 * block + 64);

  std::vector<TimedMsg> want;
  std::map<int, int> held;
  for (int lap = 0; lap < 4; ++lap)
    for (const RhythmHit& h : hits) {
      const int64_t on = start + sampleOf(lap * 960 + h.tick),
                    off = start + sampleOf(lap * 960 + h.tick + h.len - 1);
      if (on >= release) continue;
      for (int k : {60, 67}) {
        want.push_back({on, On(k, h.vel)});
        if (off < release)
          want.push_back({off, On(k, 0)});
        else
          ++held[k];
      }
    }
  for (const auto& [k, n] : held)
    for (int i = 0; i < n; ++i) want.push_back({release, On(k, 0)});
  auto byTime = [](std::vector<TimedMsg> v) {
    std::stable_sort(v.begin(), v.end(), [](const TimedMsg& a, const TimedMsg& b) {
      return a.time != b.time ? a.time < b.time : a.msg < b.msg;
    });
    return v;
  };
  EXPECT_EQ(byTime(rig.out), byTime(want));
}

INSTANTIATE_TEST_SUITE_P(BlocksAndRates, ChordRhythmTiming,
                         ::testing::Combine(::testing::Values(1, 7, 64, 4096),
                                            ::testing::Values(22050.0f, 44100.0f, 48000.0f, 96000.0f)));

// A preset or module file replaces the chords under sounding notes: each note
// still gets its note-off, once per time it was struck.
TEST(Chords, ChordsLoadedOverSoundingNotesReleaseThem) {
  ChordRig rig;
  Triad(*rig.m, 36, {0, 4, 7});
  rig.Send(0, On(60));
  rig.Send(10, On(60));  // struck twice: two slots, each holding 60, 64, 67
  rig.Run(64);
  ASSERT_EQ(rig.NoteOns().size(), 6u);
  auto root = MakeRoot();
  CChords other(root.get());
  Triad(other, 40, {0, 3});
  LoadBlock(*rig.m, SaveBlock(other));
  rig.Run(64);
  const auto offs = rig.NoteOffs();
  auto keys = Keys(offs);
  std::sort(keys.begin(), keys.end());
  EXPECT_EQ(keys, (std::vector<int>{60, 60, 64, 64, 67, 67}));
  for (const auto& e : offs) EXPECT_EQ(e.time, 64);
  rig.Send(200, Off(60));  // the key's own release finds nothing left to end
  rig.Run(64);
  EXPECT_EQ(rig.NoteOffs().size(), 6u);
}

TEST(Chords, AllNotesOffEndsEveryChordAtTheNextBlock) {
  ChordRig rig;
  Rhythm(Triad(*rig.m, 36, {0, 4}), {{0, 90, 0}}, 960);  // length 0: no offs of their own
  rig.Send(0, On(60));
  rig.Send(0, On(62));  // joins in step with the rhythm
  rig.Send(20, CC(123, 0));
  rig.Send(30, CC(7, 5));
  rig.Run(128);
  const std::vector<TimedMsg> want = {
      {0, On(60, 90)}, {0, On(64, 90)}, {0, On(62, 90)}, {0, On(66, 90)}, {30, CC(7, 5)},
      {64, On(60, 0)}, {64, On(64, 0)}, {64, On(62, 0)}, {64, On(66, 0)},
  };
  EXPECT_EQ(rig.out, want);
  for (const auto& s : rig.m->slots) EXPECT_EQ(s.state, 0);
  EXPECT_EQ(rig.m->chords[0]->playingCount, 0);
}

TEST(Chords, ArpeggiosWalkTheTableOrTheHeldKeys) {
  const int every = 240;
  auto run = [&](int32_t mode, int32_t arp, std::vector<int> keys) {
    ChordRig rig;
    rig.m->mode = mode;
    CChord& c = Triad(*rig.m, 36, {0, 12});
    c.fixed[60] = c.fixed[64] = c.fixed[67] = 1;
    c.arp = arp;
    Rhythm(c, {{0, 100, 10}}, every);
    const int key = mode == CChords::kFixed ? 36 : keys[0];
    rig.Send(0, On(key));
    for (size_t i = 1; i < keys.size(); ++i) rig.Send(0, On(keys[i]));
    rig.Run(static_cast<int64_t>(7 * every * kSamplesPerTick) + 64);
    return Keys(rig.NoteOns());
  };
  EXPECT_EQ(run(CChords::kFixed, CChords::kArpUp, {}), (std::vector<int>{60, 64, 67, 60, 64, 67, 60, 64}));
  EXPECT_EQ(run(CChords::kFixed, CChords::kArpDown, {}), (std::vector<int>{67, 64, 60, 67, 64, 60, 67, 64}));
  // Up and down turns at the ends of the key range, so the outer keys repeat.
  EXPECT_EQ(run(CChords::kFixed, CChords::kArpUpDown, {}),
            (std::vector<int>{60, 64, 67, 67, 64, 60, 60, 64}));
  // "Transp": the chord's offsets on each held key in turn; later keys join.
  EXPECT_EQ(run(CChords::kTransp, CChords::kArpUp, {50, 55}),
            (std::vector<int>{50, 62, 55, 67, 50, 62, 55, 67, 50, 62, 55, 67, 50, 62, 55, 67}));
}

TEST(Chords, LearningTakesTheKeysPressedTogether) {
  ChordRig rig;
  Triad(*rig.m, 36, {0, 5});
  rig.m->StartLearning();
  rig.Send(0, On(62, 50));
  rig.Send(1, On(65, 60));
  rig.Send(2, On(69, 70));
  rig.Send(3, Off(62));
  rig.Send(4, Off(65));
  rig.Send(5, Off(69));
  rig.Send(10, On(40, 99));
  rig.Run(64);
  const CChord& c = *rig.m->chords[0];
  EXPECT_FALSE(rig.m->Learning());
  EXPECT_EQ(c.Offset(0), 50);
  EXPECT_EQ(c.Offset(3), 60);
  EXPECT_EQ(c.Offset(7), 70);
  EXPECT_EQ(c.Offset(5), 0);
  EXPECT_EQ(rig.out.size(), 9u);  // the learned keys pass, then the chord on 40
  EXPECT_EQ(Keys(rig.NoteOns()), (std::vector<int>{62, 65, 69, 40, 43, 47}));
}

TEST(Chords, RecordsRoundTrip) {
  auto root = MakeRoot();
  CChords m(root.get());
  m.mode = CChords::kFixed;
  CChord& a = Triad(m, 36, {-60, 0, 127});
  a.name = "Wide";
  a.fixed[0] = 3;
  a.fixed[127] = 4;
  a.arp = CChords::kArpUpDown;
  Rhythm(a, {{0, 90, 240}, {480, 70, 120}}, 1920);
  m.AddChord(40);
  const auto bytes = SaveBlock(m);

  CChords loaded(root.get());
  LoadBlock(loaded, bytes);
  EXPECT_EQ(SaveBlock(loaded), bytes);
}

}  // namespace
}  // namespace qr::test
