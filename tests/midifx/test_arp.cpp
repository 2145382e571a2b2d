#include <cmath>
#include <tuple>

#include "midifx/Arp.h"
#include "tests/midifx/MidiFxRig.h"

namespace qr::test {
namespace {

using ArpRig = Rig<CArp>;

CArpPattern& Pat(CArp& arp) { return *arp.patterns.front(); }

// Every step plays `key offset 0` for that step only.
void EveryStep(CArpPattern& p) {
  for (int s = 0; s < p.steps; ++s) p.Cell(s, 0) = 100 | CArpPattern::kOffBit;
}

// Steps and off positions land on the sample the tick formula gives from the
// sample the key was pressed on, whatever the block size and rate. With swing
// 0.5 a sixteenth's pair of steps splits 279.6 : 200.4 ticks, and an off bit on
// a note's own step ends it one even pattern tick (4.66 ticks) before the next.
class ArpSteps : public ::testing::TestWithParam<std::tuple<int, float>> {};

TEST_P(ArpSteps, ArpStepsLandOnTheirExactSampleWhateverTheBlock) {
  const auto [block, rate] = GetParam();
  ArpRig rig(block, rate);
  EveryStep(Pat(*rig.m));
  rig.m->SetSwing(Pat(*rig.m), 0.5f);
  Pat(*rig.m).lanes[0].values[1] = 10;
  const int64_t start = 1003;
  rig.Send(start, On(60));
  const long double spt = static_cast<long double>(rate) / (16.0L * 120.0L);
  const long double even = 240.0L * (1.0L + 0.33L * 0.5L), odd = 480.0L - even,
                    tick = 4.0L * (1.0L + 0.33L * 0.5L);
  auto at = [&](long double t) { return start + static_cast<int64_t>(std::floor(t * spt + 1e-9L)); };
  const int steps = 6;
  rig.Run(at(240 * steps + 100) + block);

  std::vector<TimedMsg> want;
  long double b = 0;
  for (int k = 0; k < steps; ++k) {
    want.push_back({at(b), On(60)});
    if (k == 1) want.insert(want.end() - 1, {at(b), CC(1, 10)});  // a lane goes out before the step's notes
    b += k % 2 ? odd : even;
    want.push_back({at(b - tick), On(60, 0)});
  }
  auto out = rig.out;
  std::erase_if(out, [&](const TimedMsg& e) { return e.time > want.back().time; });
  EXPECT_EQ(out, want);
}

INSTANTIATE_TEST_SUITE_P(BlocksAndRates, ArpSteps,
                         ::testing::Combine(::testing::Values(1, 7, 64, 4096),
                                            ::testing::Values(22050.0f, 44100.0f, 48000.0f, 96000.0f)));

// A preset or module file replaces the patterns under a sounding voice: the
// note it holds still gets its note-off.
TEST(Arp, ArpLoadedOverASoundingVoiceReleasesItsNotes) {
  ArpRig rig;
  Pat(*rig.m).Cell(0, 0) = 100;  // no off bit: sounds until the voice stops
  rig.Send(0, On(60));
  rig.Run(64);
  ASSERT_EQ(rig.NoteOns(), (std::vector<TimedMsg>{{0, On(60)}}));
  auto root = MakeRoot();
  CArp other(root.get());
  LoadBlock(*rig.m, SaveBlock(other));
  rig.Send(100, Off(60));  // the key's own release finds nothing left to end
  rig.Run(128);
  EXPECT_EQ(rig.NoteOffs(), (std::vector<TimedMsg>{{64, On(60, 0)}}));
  EXPECT_EQ(rig.m->ActiveVoices(), 0);
}

TEST(Arp, SwingSharesTwoStepsUnevenly) {
  ArpRig rig;
  EveryStep(Pat(*rig.m));
  rig.m->SetSwing(Pat(*rig.m), 1.0f);
  rig.Send(0, On(60));
  rig.Run(11025 + 64);
  const auto ons = rig.NoteOns();
  ASSERT_EQ(ons.size(), 3u);
  EXPECT_EQ(ons[1].time, static_cast<int64_t>(60 * 91.875 * 1.33));
  EXPECT_NEAR(static_cast<double>(ons[2].time), 11025.0, 1.0);
}

TEST(Arp, MonoRetuneEndsEachNoteOnTheKeyThatSounds) {
  ArpRig rig;
  auto& p = Pat(*rig.m);
  p.Cell(0, 0) = 100;  // held over three steps
  p.Cell(2, 0) = CArpPattern::kOffBit;
  p.Cell(1, 4) = 90 | CArpPattern::kOffBit;
  rig.m->trigger = CArp::kMono;
  rig.Send(0, On(60));
  rig.Send(1000, On(62));    // retunes the voice; no second voice
  rig.Send(19000, Off(60));  // no longer the voice's key
  rig.Send(20000, Off(62));
  rig.Run(21000);

  EXPECT_EQ(rig.m->ActiveVoices(), 0);
  const std::vector<TimedMsg> want = {
      {0, On(60)},
      {5512, On(66, 90)},
      {10933, On(66, 0)},  // step 1's own note, at its own off position
      {16445, On(60, 0)},  // the note played on 60 ends on 60, not on 62
  };
  EXPECT_EQ(rig.out, want);
}

TEST(Arp, AllNotesOffAndAllSoundOffSilenceEveryVoiceAndPassOn) {
  ArpRig rig;
  auto& p = Pat(*rig.m);
  p.Cell(0, 0) = 100;
  p.Cell(0, 7) = 100;
  p.keyHigh = 100;
  rig.Send(0, On(60));
  rig.Send(10, On(64));
  rig.Send(20, On(101));  // refused by the pattern: dropped
  rig.Send(30, CC(123, 0));
  rig.Send(40, On(50));
  rig.Send(50, CC(7, 1));
  rig.Send(60, CC(120, 0));
  rig.Run(64);

  const std::vector<TimedMsg> want = {
      {0, On(60)},     {0, On(67)},     {10, On(64)},    {10, On(71)},     {30, On(60, 0)},
      {30, On(67, 0)}, {30, On(64, 0)}, {30, On(71, 0)}, {30, CC(123, 0)}, {40, On(50)},
      {40, On(57)},    {50, CC(7, 1)},  {60, On(50, 0)}, {60, On(57, 0)},  {60, CC(120, 0)},
  };
  EXPECT_EQ(rig.out, want);
  EXPECT_EQ(rig.m->ActiveVoices(), 0);
}

TEST(Arp, KeyboardRecordingWritesOneStepNotesFromTheRoot) {
  ArpRig rig;
  auto& p = Pat(*rig.m);
  p.steps = 2;
  p.Cell(5, 5) = 1;  // emptied when the root key comes
  rig.m->StartRecording();
  rig.Send(0, On(60));
  rig.Send(10, On(62, 80));
  rig.Send(20, On(20));  // beyond three octaves: skipped
  rig.Send(30, On(55, 70));
  rig.Send(40, On(48));  // recording is over: this one plays
  rig.Run(64);

  EXPECT_FALSE(rig.m->Recording());
  EXPECT_EQ(p.Cell(0, 2), 80 | CArpPattern::kOffBit);
  EXPECT_EQ(p.Cell(1, -5), 70 | CArpPattern::kOffBit);
  EXPECT_EQ(p.Cell(5, 5), 0);
  EXPECT_EQ(rig.NoteOns(), (std::vector<TimedMsg>{{40, On(50, 80)}}));
}

TEST(Arp, RandomiserKeepsItsRules) {
  auto root = MakeRoot();
  CArp arp(root.get());
  auto& p = Pat(arp);
  p.Cell(0, 0) = 100;
  p.Cell(3, 0) = CArpPattern::kOffBit;
  p.Cell(4, 7) = 90 | CArpPattern::kOffBit;
  p.Cell(6, -12) = 80;  // no off bit after it: not a source note
  arp.CaptureRandomSource();
  ASSERT_EQ(arp.randomSource.size(), 2u);
  EXPECT_EQ(arp.randomSource[0].length, 3);

  ArpRandomSettings st;
  st.steps = 1;
  st.stepsRate = 0;
  arp.Randomize(st);
  for (int s = 0; s < CArpPattern::kSteps; ++s)
    for (int o = -36; o <= 36; ++o) ASSERT_EQ(p.Cell(s, o), 0) << s << " " << o;

  // By notes, with own offsets: the notes stay where they were, with drawn velocities.
  st = {};
  st.notes = 0;
  st.velo = 1;
  st.veloMin = 10;
  st.veloMax = 20;
  arp.Random().Seed(7);
  arp.Randomize(st);
  EXPECT_GE(p.Cell(0, 0), 10);
  EXPECT_LE(p.Cell(0, 0), 20);
  EXPECT_EQ(p.Cell(3, 0), CArpPattern::kOffBit);
  EXPECT_EQ(p.Cell(4, 7) & CArpPattern::kOffBit, CArpPattern::kOffBit);

  // By steps with every step filled: each note fits and nothing overlaps.
  st = {};
  st.steps = 1;
  st.stepsRate = 100;
  st.oct = 1;
  st.octRange = 5;
  arp.Randomize(st);
  for (int o = -36; o <= 36; ++o) {
    bool open = false;
    for (int s = 0; s < p.steps; ++s) {
      const uint8_t c = p.Cell(s, o);
      if (c & 0x7F) {
        ASSERT_FALSE(open) << s << " " << o;
        open = true;
      }
      if (c & CArpPattern::kOffBit) open = false;
    }
    EXPECT_FALSE(open) << o;
  }
}

TEST(Arp, RecordsRoundTripAndPatternRange) {
  auto root = MakeRoot();
  CArp arp(root.get());
  arp.trigger = CArp::kHold;
  arp.playMode = CArp::kOneShot;
  auto& p = Pat(arp);
  p.name = "Up";
  p.steps = 8;
  p.inChannel = 2;
  p.velLow = 11;
  p.velHigh = 99;
  p.transpose = -3;
  p.swing = 0.25f;
  p.ticksPerStep = 30;
  p.Cell(0, -36) = 127;
  p.Cell(7, 36) = CArpPattern::kOffBit | 5;
  p.Cell(9, 0) = 1;  // beyond the steps: not stored
  p.lanes[0].values[3] = 0;
  auto& q = arp.AddPattern();
  q.lanes.emplace_back(74);
  q.lanes[1].values[15] = 127;

  const auto bytes = SaveBlock(arp);
  CArp loaded(root.get());
  LoadBlock(loaded, bytes);
  EXPECT_EQ(SaveBlock(loaded), bytes);
  ASSERT_EQ(loaded.PatternCount(), 2);
  const auto& lp = *loaded.patterns[0];
  EXPECT_EQ(lp.Cell(9, 0), 0);
  EXPECT_FLOAT_EQ(lp.stepEven, 91.875f * (1.0f + 0.33f * 0.25f));

  // The velocity range's size field says 4 although two values follow.
  const std::string key = "PatVelRng";
  auto at = std::search(bytes.begin(), bytes.end(), key.begin(), key.end());
  ASSERT_NE(at, bytes.end());
  EXPECT_EQ(std::vector<uint8_t>(at + 9, at + 21),
            (std::vector<uint8_t>{4, 0, 0, 0, 11, 0, 0, 0, 99, 0, 0, 0}));

  test::MessageCapture sink;
  EXPECT_EQ(arp.Pattern(2), nullptr);
  EXPECT_EQ(sink.Texts(), std::vector<std::string>{"Pattern out of range 2 of 2"});
}

}  // namespace
}  // namespace qr::test
