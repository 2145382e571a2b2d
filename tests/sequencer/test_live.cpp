// Live input: the trigger modes start and stop a play item's arrangement on
// the live cycle's exact samples, step recording writes chords a step at a
// time, and the internal tempo message maps and clamps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "sequencer/Tracks.h"
#include "tests/sequencer/SongRig.h"

using namespace qr;
using namespace qr::test;

namespace qr::test {
void PrintTo(const SentEvent& e, std::ostream* os) {
  *os << "{" << e.sample << ", 0x" << std::hex << e.msg << std::dec << "}";
}
}  // namespace qr::test

namespace {

constexpr uint32_t kKey = 36;

// Both forms of a note-off as one, so a release and a part's own note-off on
// the same sample compare equal.
uint32_t Off(uint32_t msg) { return midi::IsNoteOff(msg) ? midi::Make(0x80, midi::Data1(msg), 0) : msg; }

struct TriggerCase {
  int32_t mode;  // CTracks::TriggerMode
  int32_t loop;
  uint32_t on, off;                                // what the performer sends at ticks 1440 and 4800
  std::vector<std::pair<int64_t, int64_t>> plays;  // where the arrangement plays, in song ticks
  const char* name;
};

struct LiveRun {
  TriggerCase c;
  int block;
  float rate;
};

class Triggers : public ::testing::TestWithParam<LiveRun> {};

// A four-beat cycle at 120 bpm. The item plays arrangement 0 (a two-beat loop
// with a short note and one held past the loop end) from its second left
// locator. Pressed during the first cycle, it starts at the second (tick
// 3840); released in the second, it stops at the third (7680), or a
// non-looping item stops by itself after Right2 - Left2 ticks, and a second
// press plays it once more from the next cycle.
TEST_P(Triggers, StartAndStopOnTheCyclesSamples) {
  const auto [c, block, rate] = GetParam();
  SongRig rig(block, rate);
  CTracks& seq = *rig.seq;
  seq.arrMode = CTracks::kLive;
  seq.songBeats = 4;
  CArr& arr = rig.Arr();
  arr.left = arr.left2 = 0;
  arr.right = arr.right2 = 1920;
  arr.loop = 1;
  rig.Part(rig.Track(0), 0, 1920, {{0, 60, 480}, {960, 62, 1500}});
  CPlayGroup& g = seq.playGroups.emplace_back();
  CPlayItem& it = g.items.emplace_back();
  it.arr = &arr;
  it.arrIndex = 0;
  it.trig = c.mode;
  it.loop = c.loop;
  it.key = static_cast<int32_t>(kKey);
  seq.Start();

  // Exact at 120 bpm: a tick is 735/32 samples at 44100 Hz and 25 at 48000.
  const double spt = rate / 1920.0;
  auto at = [&](double tick) { return static_cast<int64_t>(tick * spt); };
  const int64_t total = at(10500);
  // The keys of Trigger and Toggle are let go as well; those releases change nothing.
  const bool keys = c.mode == CTracks::kTrigger || c.mode == CTracks::kToggle;
  const uint32_t up = keys ? midi::Make(0x80, kKey, 0) : 0;
  const std::pair<int64_t, uint32_t> input[] = {
      {at(1440), c.on}, {at(1500), up}, {at(4800), c.off}, {at(4860), up}};
  while (rig.now < total) {
    const int n = static_cast<int>(std::min<int64_t>(block, total - rig.now));
    std::vector<MidiEvent> in;
    for (const auto& [s, msg] : input)
      if (msg && s >= rig.now && s < rig.now + n) in.push_back({static_cast<float>(s - rig.now), msg});
    rig.Block(n, std::move(in));
    // Triggers are the sequencer's: none reaches the tracks as live input.
    ASSERT_EQ(seq.ThruQueue().Count(), 0) << "at " << rig.now;
  }

  std::vector<SentEvent> want;
  for (const auto& [from, to] : c.plays)
    for (int64_t lap = from; lap < to; lap += 1920) {
      want.push_back({at(lap), NoteOn(60)});
      want.push_back({at(lap + 480), Off(NoteOn(60, 0))});
      want.push_back({at(lap + 960), NoteOn(62)});
      // Held past the loop's end: it ends where the loop wraps or the item stops.
      want.push_back({at(lap + 1920), Off(NoteOn(62, 0))});
    }
  std::vector<SentEvent> got = rig.sent;
  for (auto& e : got) e.msg = Off(e.msg);
  std::stable_sort(got.begin(), got.end());
  std::stable_sort(want.begin(), want.end());
  EXPECT_EQ(got, want);
  EXPECT_TRUE(rig.Balanced());
  EXPECT_FALSE(arr.playing);
  EXPECT_FALSE(it.running);
}

std::vector<LiveRun> TriggerRuns() {
  const uint32_t on = midi::Make(0x90, kKey, 100);
  const TriggerCase cases[] = {
      // A second press of a trigger key does not stop it: it plays it again.
      {CTracks::kTrigger, 0, on, on, {{3840, 5760}, {7680, 9600}}, "Trigger"},
      {CTracks::kToggle, 1, on, on, {{3840, 7680}}, "Toggle"},
      {CTracks::kHold, 1, on, midi::Make(0x80, kKey, 0), {{3840, 7680}}, "Hold"},
      {CTracks::kKnob, 1, midi::Make(0xB0, kKey, 64), midi::Make(0xB0, kKey, 63), {{3840, 7680}}, "Knob"},
      {CTracks::kSlider, 1, midi::Make(0xB0, kKey, 127), midi::Make(0xB0, kKey, 0), {{3840, 7680}}, "Slider"},
  };
  std::vector<LiveRun> out;
  for (const auto& c : cases)
    for (int block : {1, 7, 64, 4096})
      for (float rate : {44100.0f, 48000.0f}) out.push_back({c, block, rate});
  return out;
}

INSTANTIATE_TEST_SUITE_P(Modes, Triggers, ::testing::ValuesIn(TriggerRuns()), [](const auto& info) {
  return std::string(info.param.c.name) + "_b" + std::to_string(info.param.block) + "_" +
         std::to_string(static_cast<int>(info.param.rate));
});

// A trigger with a grid of its own waits for the next grid line, not the cycle.
TEST(LiveTriggers, ItemQuantiseWaitsForItsOwnGrid) {
  SongRig rig(64, 48000.0f);
  CTracks& seq = *rig.seq;
  seq.arrMode = CTracks::kLive;
  seq.songBeats = 8;
  CArr& arr = rig.Arr();
  rig.Part(rig.Track(0), 0, 7680, {{0, 60, 100}});
  CPlayItem& it = seq.playGroups.emplace_back().items.emplace_back();
  it.arr = &arr;
  it.key = static_cast<int32_t>(kKey);
  it.q = 2;  // every second beat
  it.loop = 1;
  seq.Start();
  rig.Run(25 * 2500, 64);  // to tick 2500, in the third beat
  rig.Block(64, {{0.0f, midi::Make(0x90, kKey, 90)}});
  rig.Run(25 * 2000, 64);
  ASSERT_FALSE(rig.sent.empty());
  EXPECT_EQ(rig.sent[0], (SentEvent{25 * 3840, NoteOn(60)}));
}

// Sub-items switch their track in and out at once; the track lets go of what
// it held.
TEST(LiveTriggers, SubItemMutesItsTrackAndReleasesItsNotes) {
  SongRig rig(64, 48000.0f);
  CTracks& seq = *rig.seq;
  seq.arrMode = CTracks::kLive;
  CArr& arr = rig.Arr();
  CTrack& t = rig.Track(0);
  rig.Part(t, 0, 7680, {{0, 60, 5000}});
  CPlayItem& it = seq.playGroups.emplace_back().items.emplace_back();
  it.arr = &arr;
  CPlaySub& sub = it.subs.emplace_back();
  sub.track = &t;
  sub.key = 40;
  sub.trig = CTracks::kToggle;
  sub.play = 1;
  seq.Start();
  rig.Block(64);
  // The item comes due: its arrangement starts with the sub-item's track on.
  it.play = 1;
  seq.Queue().Insert({CArrQ::Target::kItem, &it, 0.0, 0.0, 0, 0.0});
  rig.Run(25 * 1000, 64);
  ASSERT_EQ(rig.sent.size(), 1u);
  rig.Block(64, {{10.0f, midi::Make(0x90, 40, 100)}});
  EXPECT_TRUE(t.varis[0]->state & CTrackVari::kMuted);
  EXPECT_TRUE(rig.Balanced());
  EXPECT_EQ(seq.ThruQueue().Count(), 0);
}

// A chord is one step: its notes share a position, which moves on by the step
// length when the last key is up. Nothing step-recorded plays through.
TEST(StepRecording, ChordsShareAStepAndTheStepMovesOnTheLastRelease) {
  SongRig rig(64);
  CTracks& seq = *rig.seq;
  CMIDIPart& part = rig.Part(rig.Track(0), 0, 7680, {});
  int32_t step = 120;
  seq.StartStepRecord(&part, &step);
  ASSERT_TRUE(seq.IsStepRecording());
  seq.notifyBits = 0;
  rig.Block(64, {{1.0f, NoteOn(60)},
                 {2.0f, NoteOn(64)},
                 {3.0f, midi::Make(0x80, 60, 0)},
                 {4.0f, midi::Make(0x80, 99, 0)},  // a stray release does not end the chord
                 {5.0f, NoteOn(64, 0)},
                 {6.0f, midi::Make(0x80, 64, 0)},  // nor one beyond it
                 {7.0f, NoteOn(67)},
                 {8.0f, midi::Make(0xB0, 1, 5)}});
  EXPECT_EQ(part.stepPosition, 120);
  EXPECT_TRUE(seq.notifyBits & 4352);
  // Only the controller was not the step recorder's.
  ASSERT_EQ(seq.ThruQueue().Count(), 1);
  step = 240;
  rig.Block(64, {{0.0f, midi::Make(0x80, 67, 0)}});
  EXPECT_EQ(part.stepPosition, 360);
  EXPECT_EQ(part.events.Size(), 0u);  // written by the idle pass, not the audio thread
  seq.Idle();
  ASSERT_EQ(part.events.Size(), 3u);
  EXPECT_EQ(part.events.TimeAt(0), 0);
  EXPECT_EQ(part.events.TimeAt(1), 0);
  EXPECT_EQ(part.events.TimeAt(2), 120);
  EXPECT_EQ(part.events[2].data, NoteOn(67));
  EXPECT_EQ(part.events[2].length, 240);
  EXPECT_EQ(part.lastKey, 67);
  EXPECT_TRUE(rig.sent.empty());

  // Armed recording takes the notes itself; the step recorder stays out of it.
  seq.recordStartMode = 0;
  ASSERT_TRUE(seq.Command("Record"));
  rig.Block(64, {{3.0f, NoteOn(72)}});
  EXPECT_EQ(part.stepPosition, 360);
  seq.StartStepRecord(nullptr, nullptr);
  EXPECT_FALSE(seq.IsStepRecording());
}

struct TempoByte {
  uint32_t data2;
  float want;
};

class InternalTempo : public ::testing::TestWithParam<TempoByte> {};

// The message without a float maps its data byte over 0..250, rounded, then
// clamped; one that asks for the tempo the song has is not taken.
TEST_P(InternalTempo, DataByteMapsRoundsAndClamps) {
  const auto [d2, want] = GetParam();
  SongRig rig(64);
  ASSERT_FLOAT_EQ(rig.seq->songTempo, 120.0f);
  rig.Block(64, {{5.0f, midi::Make(0x10, 0, d2)}});
  EXPECT_FLOAT_EQ(rig.seq->songTempo, want);
  EXPECT_EQ(rig.seq->ThruQueue().Count(), want == 120.0f ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Bytes, InternalTempo,
                         ::testing::Values(TempoByte{64, 126.0f}, TempoByte{127, 250.0f}, TempoByte{2, 10.0f},
                                           TempoByte{0, 10.0f}, TempoByte{61, 120.0f}));

}  // namespace
