// The MIDI part module driven through the processing cycle by MIDI events at
// sample offsets. At 1920 Hz and 120 bpm one sample is exactly one tick.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <tuple>

#include "midipart/MidiPart2.h"
#include "stream/RecordStream.h"
#include "tests/support/FuzzSeeds.h"
#include "tests/support/RunBlock.h"
#include "tests/support/Stubs.h"

using namespace qr;
using namespace qr::test;

namespace {

struct Out {
  int time;
  uint32_t msg;
  int port;
  bool operator==(const Out&) const = default;
};
std::ostream& operator<<(std::ostream& o, const Out& e) {
  return o << "{" << e.time << ", 0x" << std::hex << e.msg << std::dec << ", port " << e.port << "}";
}

MidiEvent Ev(int t, uint32_t status, int d1, int d2) {
  return MidiEvent{static_cast<float>(t),
                   midi::Make(status, static_cast<uint32_t>(d1), static_cast<uint32_t>(d2))};
}
uint32_t On(int key, int vel = 100, int ch = 0) { return midi::Make(0x90u | ch, key, vel); }
uint32_t Off(int key, int ch = 0) { return midi::Make(0x90u | ch, key, 0); }
void Note(CMIDIPart& p, int t, int key, int len, int vel = 100) { p.events.Insert(t, On(key, vel), len); }

class Rig {
 public:
  explicit Rig(int block = 64, float rate = 1920.0f) : root(MakeRoot(block, rate)), block_(block) {
    mp = Add<CMIDIPart2>(*root);
    src = Add<StubMidiSource>(*root);
    mp->ConnectMidi(src, 0, 0);
    root->ConnectMidi(mp, 0, 0);
  }
  CLiveMIDIPart& P(int i) { return *mp->Part(i); }

  // Runs blocks until `until` (absolute samples); `in` holds input at absolute
  // sample times. Returns every output event with its absolute time.
  std::vector<Out> RunTo(int until, std::vector<MidiEvent> in = {}) {
    std::vector<Out> r;
    while (now < until) {
      src->events.clear();
      for (const MidiEvent& e : in)
        if (e.time >= now && e.time < now + block_) {
          src->events.push_back(e);
          src->events.back().time -= static_cast<float>(now);
        }
      if (followTransport) root->transport.songTicks = songStart + now;
      RunBlock(*root, block_);
      for (int p = 0; p < 16; ++p)
        for (const MidiEvent& e : *mp->MidiOutput(p, block_))
          r.push_back({now + static_cast<int>(e.time), e.msg, p});
      now += block_;
    }
    return r;
  }

  std::unique_ptr<CGroup> root;
  CMIDIPart2* mp;
  StubMidiSource* src;
  int now = 0;
  bool followTransport = false;
  double songStart = 0.0;

 private:
  int block_;
};

std::vector<Out> Only(const std::vector<Out>& v, uint32_t msg) {
  std::vector<Out> r;
  for (const Out& o : v)
    if (o.msg == msg) r.push_back(o);
  return r;
}

}  // namespace

TEST(MidiPartModule, PlaysLoopsAndQueuesNoteOffsInsideTheLoop) {
  Rig rig;
  CLiveMIDIPart& p = rig.P(0);
  p.loopRight = p.length = 1000;
  p.channel = 3;
  p.lengthScale = 50;      // lengths scale by a quarter
  Note(p, 0, 60, 100);     // 25 ticks
  Note(p, 500, 62, 4000);  // cut to the loop end
  Note(p, 700, 64, 1);     // below 2 counts as 2
  Note(p, 800, 65, 100);
  p.events[3].flags |= kEvMuted;
  rig.mp->PlayPart(&p);
  auto out = rig.RunTo(2000);
  std::erase_if(out, [](const Out& o) { return o.time >= 2000; });
  std::vector<Out> want;
  for (int base : {0, 1000}) {
    want.insert(want.end(), {{base + 0, On(60, 100, 3), 0},
                             {base + 24, Off(60, 3), 0},
                             {base + 500, On(62, 100, 3), 0},
                             {base + 700, On(64, 100, 3), 0},
                             {base + 701, Off(64, 3), 0},
                             {base + 999, Off(62, 3), 0}});
  }
  EXPECT_EQ(out, want);
}

TEST(MidiPartModule, SyncedStartStaysSilentUntilTheNextBeatThenStartsAtLoopLeft) {
  Rig rig;
  CLiveMIDIPart& p = rig.P(0);  // key 36, note on/off
  p.loopLeft = 480;
  p.loopRight = 1440;
  Note(p, 480, 60, 10);
  Note(p, 1000, 62, 10);
  Note(p, 1400, 61, 10);  // would sound during the run-up
  rig.root->transport.playing = true;
  rig.followTransport = true;
  rig.songStart = 300;  // the next beat falls at sample 660
  const auto out = rig.RunTo(2000, {Ev(10, 0x90, 36, 100)});
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.front(), (Out{660, On(60), 0}));
  EXPECT_EQ(Only(out, On(62)), (std::vector<Out>{{1180, On(62), 0}}));
  EXPECT_EQ(Only(out, On(61)), (std::vector<Out>{{1580, On(61), 0}}));
}

TEST(MidiPartModule, FreeRunPlaysToTheLoopEndAndASecondStopIsImmediate) {
  Rig rig;
  CLiveMIDIPart& p = rig.P(0);
  p.loopRight = p.length = 1000;
  p.fr = 1;
  Note(p, 0, 61, 800);
  Note(p, 900, 60, 500);
  rig.mp->PlayPart(&p);
  auto out = rig.RunTo(320);
  rig.mp->StopPart(&p);
  auto rest = rig.RunTo(1536);
  out.insert(out.end(), rest.begin(), rest.end());
  EXPECT_EQ(out, (std::vector<Out>{{0, On(61), 0}, {799, Off(61), 0}, {900, On(60), 0}, {999, Off(60), 0}}));
  EXPECT_FALSE(rig.mp->IsPlaying(&p));

  rig.mp->PlayPart(&p);
  rig.RunTo(1664);
  rig.mp->StopPart(&p);  // served at 1664: plays on towards the loop end
  EXPECT_TRUE(rig.RunTo(1728).empty());
  rig.mp->StopPart(&p);  // the second request stops at the next block start
  EXPECT_EQ(rig.RunTo(3000), (std::vector<Out>{{1728, Off(61), 0}}));
}

TEST(MidiPartModule, MuteGroupPartTakesOverExactlyWhenTheFirstEnds) {
  Rig rig;
  CLiveMIDIPart& a = rig.P(0);
  CLiveMIDIPart& b = *static_cast<CLiveMIDIPart*>(rig.mp->AddPart());
  ASSERT_EQ(b.key, 37);
  for (CLiveMIDIPart* q : {&a, &b}) {
    q->loopRight = q->length = 1000;
    q->muteGroup = 0;
  }
  a.fr = 1;
  Note(a, 0, 60, 50);
  Note(b, 0, 70, 50);
  rig.mp->PlayPart(&a);
  const auto out = rig.RunTo(2100, {Ev(200, 0x90, 37, 100)});
  EXPECT_EQ(Only(out, On(60)), (std::vector<Out>{{0, On(60), 0}}));
  EXPECT_EQ(Only(out, On(70)), (std::vector<Out>{{1000, On(70), 0}, {2000, On(70), 0}}));
}

TEST(MidiPartModule, TriggerModesAndPlayGroups) {
  Rig rig;
  auto add = [&](int mode) {
    auto* q = static_cast<CLiveMIDIPart*>(rig.mp->AddPart());
    q->triggerMode = mode;
    return q;
  };
  CLiveMIDIPart& onOff = rig.P(0);                          // key 36
  CLiveMIDIPart* toggle = add(CLiveMIDIPart::kNoteToggle);  // 37
  CLiveMIDIPart* grouped = add(CLiveMIDIPart::kNoteOnOff);  // 38
  CLiveMIDIPart* ccOnOff = add(CLiveMIDIPart::kCCOnOff);    // 39
  CLiveMIDIPart* ccToggle = add(CLiveMIDIPart::kCCToggle);  // 40
  onOff.playGroup = grouped->playGroup = 5;
  Note(onOff, 10, 60, 1000);
  auto playing = [&] {
    std::vector<bool> v;
    for (CLiveMIDIPart* q : {&onOff, toggle, grouped, ccOnOff, ccToggle}) v.push_back(rig.mp->IsPlaying(q));
    return v;
  };
  rig.RunTo(64, {Ev(0, 0x90, 36, 90), Ev(1, 0x90, 37, 90), Ev(2, 0xB0, 39, 1), Ev(3, 0xB0, 40, 0)});
  EXPECT_EQ(playing(), (std::vector<bool>{true, true, true, true, true}));
  // The note-off stops the whole play group and sends the sounding note's off.
  const auto out =
      rig.RunTo(128, {Ev(70, 0x80, 36, 0), Ev(71, 0x80, 37, 0), Ev(72, 0xB0, 39, 5), Ev(73, 0xB0, 40, 127)});
  EXPECT_EQ(playing(), (std::vector<bool>{false, true, false, true, false}));
  EXPECT_EQ(Only(out, Off(60)), (std::vector<Out>{{70, Off(60), 0}}));
  rig.RunTo(192, {Ev(130, 0x90, 37, 90), Ev(131, 0xB0, 39, 0)});
  EXPECT_EQ(playing(), (std::vector<bool>{false, false, false, false, false}));
}

TEST(MidiPartModule, ThirtyTwoSlotsAtMost) {
  Rig rig;
  for (int i = 1; i < 33; ++i) rig.mp->AddPart();
  std::vector<MidiEvent> in;
  for (int k = 36; k < 69; ++k) in.push_back(Ev(k - 36, 0x90, k, 100));
  rig.RunTo(64, in);
  for (int i = 0; i < 32; ++i) EXPECT_TRUE(rig.mp->IsPlaying(&rig.P(i))) << i;
  EXPECT_FALSE(rig.mp->IsPlaying(&rig.P(32)));
  rig.RunTo(128, {Ev(64, 0x80, 36, 0), Ev(65, 0x90, 68, 100)});
  EXPECT_FALSE(rig.mp->IsPlaying(&rig.P(0)));
  EXPECT_TRUE(rig.mp->IsPlaying(&rig.P(32)));
}

// Thru counts every strike: a key struck three times and released once still
// holds two notes, and changing the part releases exactly those.
TEST(MidiPartModule, ChangingTheThruPartReleasesEachHeldKeyAsOftenAsPressed) {
  Rig rig;
  rig.mp->thru = 1;
  CLiveMIDIPart& other = *static_cast<CLiveMIDIPart*>(rig.mp->AddPart());
  other.port = 2;
  other.channel = 5;
  auto out = rig.RunTo(64, {Ev(1, 0x90, 60, 100), Ev(2, 0x90, 60, 90), Ev(3, 0x90, 60, 80),
                            Ev(4, 0x80, 60, 0), Ev(5, 0x90, 62, 80)});
  EXPECT_EQ(out.size(), 5u);  // passed through, and no part was triggered
  EXPECT_FALSE(rig.mp->IsPlaying(&rig.P(0)));
  EXPECT_EQ(rig.mp->HeldCount(0, 60), 2);
  rig.mp->SelectPart(&other);
  out = rig.RunTo(128, {Ev(70, 0x80, 60, 0)});
  EXPECT_EQ(out,
            (std::vector<Out>{
                {64, Off(60), 0}, {64, Off(60), 0}, {64, Off(62), 0}, {70, midi::Make(0x85, 60, 0), 2}}));
  EXPECT_EQ(rig.mp->HeldCount(0, 60), 0);
  rig.mp->SelectPart(&other);
  EXPECT_TRUE(rig.RunTo(192).empty());
}

TEST(MidiPartModule, RecordsAPlayedPhraseAndPlaysItBackAtTheSameTicks) {
  Rig rig;
  CLiveMIDIPart& p = rig.P(0);
  p.loopRight = p.length = 1920;
  rig.mp->RecordPart(&p);
  const std::vector<MidiEvent> phrase = {Ev(100, 0x90, 60, 100), Ev(340, 0x80, 60, 0), Ev(500, 0x92, 64, 90),
                                         Ev(600, 0x92, 64, 0),   Ev(700, 0xB0, 7, 50), Ev(1800, 0x90, 67, 80),
                                         Ev(2020, 0x80, 67, 0)};
  rig.RunTo(1024, phrase);
  rig.mp->MoveRecorded();
  rig.RunTo(2048, phrase);
  rig.mp->MoveRecorded();
  ASSERT_TRUE(rig.mp->LiveRecording());
  rig.mp->StopPart(&p);
  rig.RunTo(2112);
  EXPECT_FALSE(rig.mp->LiveRecording());

  ASSERT_EQ(p.events.Size(), 4u);
  std::vector<CEventList::Ticks> times;
  p.events.Times(times);
  EXPECT_EQ(times, (std::vector<CEventList::Ticks>{100, 500, 700, 1800}));
  EXPECT_EQ(p.events[0].length, 241);
  EXPECT_EQ(p.events[3].length, 120);  // the note-off came after the wrap
  for (const PartEvent& e : p.events) EXPECT_EQ(e.flags & kEvRecording, 0);

  rig.mp->PlayPart(&p);
  const int start = rig.now;
  const auto out = rig.RunTo(start + 1920);
  std::vector<Out> want = {{100, On(60), 0},
                           {340, Off(60), 0},
                           {500, On(64, 90, 2), 0},
                           {600, Off(64, 2), 0},
                           {700, midi::Make(0xB0, 7, 50), 0},
                           {1800, On(67, 80), 0},
                           {1919, Off(67), 0}};
  for (Out& o : want) o.time += start;
  EXPECT_EQ(out, want);
}

TEST(MidiPartModule, StepRecordingAdvancesWhenTheChordIsReleased) {
  Rig rig;
  CLiveMIDIPart& p = rig.P(0);
  int32_t step = 120;
  rig.mp->StartStepRecord(&p, &step);
  EXPECT_TRUE(rig.mp->IsStepRecording());
  rig.RunTo(64, {Ev(0, 0x90, 60, 100), Ev(1, 0x90, 64, 100), Ev(2, 0x80, 60, 0), Ev(3, 0x80, 64, 0),
                 Ev(4, 0x90, 67, 100), Ev(5, 0x80, 67, 0)});
  rig.mp->MoveRecorded();
  std::vector<CEventList::Ticks> times;
  p.events.Times(times);
  EXPECT_EQ(times, (std::vector<CEventList::Ticks>{0, 0, 120}));
  EXPECT_EQ(p.events[2].length, 120);
  EXPECT_EQ(p.lastKey, 67);
  EXPECT_EQ(p.stepPosition, 240);
  EXPECT_EQ(p.UndoStack().size(), 3u);
  EXPECT_FALSE(rig.mp->IsPlaying(&p));
}

TEST(MidiPartModule, BusyLockSkipsTheBlockAndEditsReSeek) {
  Rig rig;
  CLiveMIDIPart& p = rig.P(0);
  p.loopRight = p.length = 1000;
  Note(p, 0, 60, 900);
  Note(p, 500, 62, 10);
  p.request = 4;
  rig.mp->LockEvents();
  EXPECT_TRUE(rig.RunTo(64).empty());
  rig.mp->UnlockEvents();
  EXPECT_EQ(rig.RunTo(128), (std::vector<Out>{{64, On(60), 0}}));
  // An edit replaces the events under the lock: the sounding note is released
  // at once and playback continues from the same tick in the new events.
  rig.mp->LockEvents();
  p.PushUndo("delete");
  p.events.Erase(0);
  rig.mp->EventsChanged(p);
  rig.mp->UnlockEvents();
  EXPECT_EQ(rig.RunTo(1000), (std::vector<Out>{{128, Off(60), 0}, {564, On(62), 0}, {573, Off(62), 0}}));
  rig.mp->UndoPart(&p);
  EXPECT_EQ(p.events.Size(), 2u);
}

TEST(MidiPartModule, RecordsRoundTripAndThePackedCopyIsReadOnlyWithoutEventRecords) {
  auto root = MakeRoot(64, 1920.0f);
  CMIDIPart2 a(root.get());
  a.ports = 3;
  a.thru = 1;
  CLiveMIDIPart& p = *a.Part(0);
  p.name = "Verse";
  p.loopLeft = 10;
  p.loopRight = 3000;
  p.fr = 1;
  p.triggerMode = 3;
  p.muteGroup = 2;
  Note(p, 0, 60, 100);
  Note(p, 240, 62, 50);
  p.events[1].flags = kEvSelected | 64;
  a.AddPart();
  CMemStream s;
  a.Save(s);
  s.WriteEnd();
  KeepFuzzSeed("midipart", "two_parts.bin", s.Data());

  s.Rewind();
  CMIDIPart2 b(root.get());
  b.Load(s, 0);
  ASSERT_EQ(b.PartCount(), 2);
  // Every value above differs from its default, so equal bytes from the loaded
  // copy prove each was read back.
  CMemStream again;
  b.Save(again);
  again.WriteEnd();
  EXPECT_EQ(again.Data(), s.Data());
  EXPECT_EQ(b.Part(0)->events, p.events);  // once, with flags, although both forms were written
  EXPECT_EQ(b.Part(1)->key, 37);

  // Only the packed form: events with flags 0.
  CMemStream old;
  old.WriteKey("MPart", 0);
  const std::vector<uint8_t> packed = PackEvents(p.events);
  old.WriteKey("MPartEvents", static_cast<int32_t>(packed.size()));
  old.WriteBytes(packed.data(), packed.size());
  old.WriteEnd();
  KeepFuzzSeed("midipart", "packed_only.bin", old.Data());
  old.Rewind();
  CMIDIPart2 c(root.get());
  c.Load(old, 0);
  ASSERT_EQ(c.Part(0)->events.Size(), 2u);
  EXPECT_EQ(c.Part(0)->events[1].flags, 0);
  EXPECT_EQ(c.Part(0)->events[1].delta, 240);
  EXPECT_EQ(c.Part(0)->key, 36);
}

// Every event, loop wrap and note-off lands on the sample the tick formula
// gives from the trigger's sample, whatever the block size; ticks 333 and 500
// fall between samples at every rate here, and the release's note-offs come on
// the release's own sample.
class MidiPartTiming : public ::testing::TestWithParam<std::tuple<int, float>> {};

TEST_P(MidiPartTiming, MidiPartEventsLandOnTheirExactSampleWhateverTheBlock) {
  const auto [block, rate] = GetParam();
  Rig rig(block, rate);
  CLiveMIDIPart& p = rig.P(0);
  p.loopRight = p.length = 960;
  struct N {
    int tick, key, len;
  };
  const std::vector<N> notes = {{0, 60, 240}, {333, 62, 1}, {500, 64, 600}, {959, 65, 10}};
  for (const N& n : notes) Note(p, n.tick, n.key, n.len);
  const long double spt = static_cast<long double>(rate) / (16.0L * 120.0L);
  auto sampleOf = [&](long double tick) { return static_cast<int>(std::floor(tick * spt + 1e-9L)); };
  const int start = 1003, release = start + sampleOf(3 * 960 + 700);
  auto out = rig.RunTo(release + 2 * block + 64, {Ev(start, 0x90, 36, 100), Ev(release, 0x80, 36, 0)});

  std::vector<Out> want;
  for (int lap = 0; lap < 4; ++lap)
    for (const N& n : notes) {
      // Shorter than 2 counts as 2; a note ends a tick before the loop end at the latest.
      const int end = std::min(n.tick + std::max(n.len, 2), 960) - 1;
      const int on = start + sampleOf(lap * 960 + n.tick), off = start + sampleOf(lap * 960 + end);
      if (on >= release) continue;
      want.push_back({on, On(n.key), 0});
      want.push_back({std::min(off, release), Off(n.key), 0});
    }
  auto byTime = [](std::vector<Out> v) {
    std::stable_sort(v.begin(), v.end(), [](const Out& a, const Out& b) {
      return a.time != b.time ? a.time < b.time : a.msg < b.msg;
    });
    return v;
  };
  EXPECT_EQ(byTime(out), byTime(want));
}

INSTANTIATE_TEST_SUITE_P(BlocksAndRates, MidiPartTiming,
                         ::testing::Combine(::testing::Values(1, 7, 64, 4096),
                                            ::testing::Values(22050.0f, 44100.0f, 48000.0f, 96000.0f)));

// An editor polling whether parts play, and its idle pass with nothing
// recorded, must never make the audio side skip a block.
TEST(MidiPartModule, MidiPartQueriesAndIdleTakeNoLockSoNoTriggerIsLost) {
  Rig rig;
  CLiveMIDIPart& p = rig.P(0);
  p.loopRight = p.length = 10000;
  Note(p, 0, 60, 5);
  std::atomic<bool> stop{false};
  std::thread editor([&] {
    while (!stop.load()) {
      (void)rig.mp->IsPlaying(&p);
      rig.mp->Idle();
    }
  });
  const int triggers = 2000;
  std::vector<MidiEvent> in;
  // Released in the next block: a part never stops in the block it started in.
  for (int i = 0; i < triggers; ++i) {
    in.push_back(Ev(128 * i, 0x90, 36, 100));
    in.push_back(Ev(128 * i + 84, 0x80, 36, 0));
  }
  const auto out = rig.RunTo(128 * triggers, in);
  stop = true;
  editor.join();
  EXPECT_EQ(Only(out, On(60)).size(), static_cast<size_t>(triggers));
  EXPECT_FALSE(rig.mp->IsPlaying(&p));
}

// Input that comes while an edit holds the events is played at the next
// block instead of being dropped.
TEST(MidiPartModule, MidiPartKeepsInputThatArrivesWhileAnEditHoldsTheLock) {
  Rig rig;
  CLiveMIDIPart& p = rig.P(0);
  Note(p, 0, 60, 5);
  rig.mp->LockEvents();
  EXPECT_TRUE(rig.RunTo(64, {Ev(10, 0x90, 36, 100)}).empty());
  rig.mp->UnlockEvents();
  const auto out = rig.RunTo(128);
  EXPECT_EQ(Only(out, On(60)), (std::vector<Out>{{64, On(60), 0}}));
  EXPECT_TRUE(rig.mp->IsPlaying(&p));
}

TEST(MidiPartModule, StoredPartWithoutLoopRightLoopsOverItsLength) {
  CMemStream s;
  s.WriteKey("MPart", 0);
  s.WriteKeyInt("MPartTicks", 1000);
  s.WriteKey("MPart", 0);
  s.WriteKeyInt("MPartTicks", 1000);
  s.WriteKeyInt("MPartLoopRight", 600);
  s.WriteEnd();
  s.Rewind();
  auto root = MakeRoot(64, 1920.0f);
  CMIDIPart2 m(root.get());
  m.Load(s, 0);
  ASSERT_EQ(m.PartCount(), 2);
  EXPECT_EQ(m.Part(0)->loopRight, 1000);
  EXPECT_EQ(m.Part(1)->loopRight, 600);
}

// An input event between samples counts from the sample it falls in, not the
// nearest one: a trigger at 100.99 starts the part on sample 100.
TEST(MidiPartModule, TriggerBetweenSamplesStartsOnTheSampleItFallsIn) {
  Rig rig;
  Note(rig.P(0), 0, 60, 5);
  MidiEvent on = Ev(0, 0x90, 36, 100);
  on.time = 100.99f;
  const auto out = rig.RunTo(192, {on});
  EXPECT_EQ(Only(out, On(60)), (std::vector<Out>{{100, On(60), 0}}));
  EXPECT_EQ(Only(out, Off(60)), (std::vector<Out>{{104, Off(60), 0}}));
}
