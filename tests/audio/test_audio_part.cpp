#include <gtest/gtest.h>

#include <cmath>

#include "audio/AudioPart.h"
#include "stream/RecordStream.h"
#include "tests/audio/AudioTestUtil.h"
#include "tests/support/AllocGuard.h"
#include "tests/support/ModuleBlock.h"
#include "tests/support/Stubs.h"

namespace qr::test {
namespace {

constexpr int kBlock = 64;

// An audio part module at 44.1 kHz and its player, one 64-sample block at a time.
struct Rig {
  std::unique_ptr<CGroup> root = MakeRoot(kBlock, 44100.0f);
  CAudioPart2* m = Add<CAudioPart2>(*root);
  PartPlayer play{*root, m, kBlock};
  std::vector<float>& left = play.left;
  std::vector<float>& right = play.right;

  void Block(std::vector<MidiEvent> events = {}) { play.Block(std::move(events)); }
  // A part with one channel and one clip at tick 0 playing sample `smp` whole.
  CAudioClip& PartWithClip(int smp) {
    CLiveAudioPart& p = m->NewPart();
    p.AddLane();
    CAudioClip& c = p.AppendClip(0);
    c.sample = smp;
    c.first = 1;
    c.last = m->samples[static_cast<size_t>(smp)]->frames;
    return c;
  }
};

MidiEvent NoteOff(int key, float time = 0.0f) { return {time, midi::Make(0x80, key, 0)}; }

float Ramp(int i, int c) { return static_cast<float>(i) * 0.001f + (c ? 0.5f : 0.0f); }

TEST(AudioPart, NotesStartTheirPartsOnly) {
  Rig r;
  r.m->samples.push_back(FloatSample(1000, 1, Ramp));
  r.PartWithClip(0);
  r.PartWithClip(0);
  r.Block({KeyDown(35), KeyDown(38), {0.0f, midi::Make(0xB0, 36, 100)}});
  EXPECT_EQ(r.m->ActiveSlots(), 0);
  EXPECT_FALSE(r.m->IsPlaying(r.m->PartAt(0)) || r.m->IsPlaying(r.m->PartAt(1)));

  r.Block({KeyDown(37, 10.0f)});
  EXPECT_TRUE(r.m->IsPlaying(r.m->PartAt(1)));
  ASSERT_EQ(r.m->ActiveSlots(), 1);
  // The clip sounds from the note's own sample, a mono one on both sides.
  EXPECT_EQ(r.left[kBlock + 9], 0.0f);
  EXPECT_FLOAT_EQ(r.left[kBlock + 10], Ramp(1, 0));
  EXPECT_FLOAT_EQ(r.right[kBlock + 20], Ramp(11, 0));

  r.Block({NoteOff(37, 5.0f)});
  EXPECT_EQ(r.m->ActiveSlots(), 0);
  EXPECT_FALSE(r.m->IsPlaying(r.m->PartAt(1)));
  EXPECT_NE(r.left[2 * kBlock + 4], 0.0f);
  EXPECT_EQ(r.left[2 * kBlock + 5], 0.0f);
  EXPECT_TRUE(r.play.clean);
}

TEST(AudioPart, CoarseTuningAndPanShapeTheClip) {
  Rig r;
  r.m->samples.push_back(FloatSample(1000, 2, Ramp));
  CAudioClip& c = r.PartWithClip(0);
  c.coarse = 12;
  c.pan = 1.0f;
  c.volume = 0.5f;
  r.m->parts[0]->Lanes()[0]->strip.volume = 0.8f;
  r.Block({KeyDown(36)});
  const AudioPlaySlot& s = r.m->Slot(0);
  EXPECT_NEAR(s.step, 2.0, 1e-12);
  const float g = 0.8f * 0.5f;
  for (int j : {0, 1, 17, 63}) {
    EXPECT_EQ(r.left[static_cast<size_t>(j)], 0.0f);
    EXPECT_NEAR(r.right[static_cast<size_t>(j)], 2.0f * g * g * Ramp(1 + 2 * j, 1), 1e-6f);
  }
  EXPECT_NEAR(s.phase, 1.0 + 2.0 * kBlock, 1e-9);
  EXPECT_TRUE(r.play.clean);
}

TEST(AudioPart, SilencedChannelsKeepTheirPhase) {
  Rig r;
  r.m->samples.push_back(FloatSample(5000, 1, Ramp));
  r.PartWithClip(0);
  CLane& lane = *r.m->parts[0]->Lanes()[0];
  lane.strip.mute = 1;
  r.Block({KeyDown(36)});
  r.Block();
  EXPECT_EQ(r.left, std::vector<float>(2 * kBlock, 0.0f));
  EXPECT_DOUBLE_EQ(r.m->Slot(0).phase, 1.0 + 2 * kBlock);
  lane.strip.mute = 0;
  r.Block();
  EXPECT_FLOAT_EQ(r.left[2 * kBlock], Ramp(1 + 2 * kBlock, 0));

  // Solo on another channel of the part silences this one as well.
  CLane& other = r.m->parts[0]->AddLane();
  other.strip.solo = 1;
  r.Block();
  EXPECT_EQ(r.left[3 * kBlock + 7], 0.0f);
  EXPECT_DOUBLE_EQ(r.m->Slot(0).phase, 1.0 + 4 * kBlock);
}

TEST(AudioPart, PartsLoopOverTheirLength) {
  Rig r;
  // A click: only the first frame sounds.
  r.m->samples.push_back(FloatSample(10, 1, [](int i, int) { return i == 1 ? 1.0f : 0.0f; }));
  r.PartWithClip(0);
  ASSERT_EQ(r.m->parts[0]->length, 7680);
  r.Block({KeyDown(36, 3.0f)});
  const int blocks = 3 * 176400 / kBlock + 2;
  for (int b = 1; b < blocks; ++b) r.Block();
  std::vector<size_t> clicks;
  for (size_t i = 0; i < r.left.size(); ++i)
    if (r.left[i] > 0.4f) clicks.push_back(i);
  EXPECT_EQ(clicks, (std::vector<size_t>{3, 3 + 176400, 3 + 2 * 176400, 3 + 3 * 176400}));
  EXPECT_TRUE(r.play.clean);
}

TEST(AudioPart, RampsSlotsAndSkippedClips) {
  Rig r;
  r.m->samples.push_back(FloatSample(1000, 1, [](int, int) { return 1.0f; }));
  CAudioClip& c = r.PartWithClip(0);
  c.AddRampPoint(32.0f, 1.0f);
  c.AddRampPoint(-5.0f, 0.0f);  // becomes the first point, at 0
  r.Block({KeyDown(36)});
  for (int j : {0, 8, 16, 31, 32, 50}) {
    const float g = std::min(j, 32) / 32.0f;
    EXPECT_NEAR(r.left[static_cast<size_t>(j)], g * g, 1e-6f) << j;
  }

  // Clips marked silent, or pointing past the lists, never take a slot; past
  // 128 sounding clips the rest stay silent.
  CLiveAudioPart& p = r.m->NewPart();
  p.AddLane();
  for (int i = 0; i < 140; ++i) {
    CAudioClip& k = p.AppendClip(0);
    k.last = 1000;
    if (i == 0) k.style = CAudioClip::kStyleSilent;
    if (i == 1) k.sample = 5;
    if (i == 2) k.channel = 3;
  }
  r.Block({KeyDown(37)});
  EXPECT_EQ(r.m->ActiveSlots(), CAudioPart2::kPlaySlots);
  EXPECT_TRUE(r.play.clean);
}

TEST(AudioPart, RecordsRoundTripIncludingTheOlderSampleForm) {
  Rig r;
  r.m->samples.push_back(FloatSample(300, 2, Ramp));
  r.m->samples.push_back(FloatSample(20, 1, Ramp));
  CAudioClip& c = r.PartWithClip(1);
  c.coarse = -3;
  c.fine = 0.25f;
  c.pan = -0.5f;
  c.AddRampPoint(0.0f, 0.2f);
  c.AddRampPoint(100.0f, 0.9f);
  CLiveAudioPart& p = *r.m->parts[0];
  p.name = "Verse";
  p.length = 1000;
  CAudioClip& c2 = p.AppendClip(480);
  c2.style = 2;
  p.AddLane(1).strip.solo = 1;
  r.m->AddAudioOut(1)->SetVolume(0.25f, false);
  r.m->id = "Loops";

  const auto bytes = SaveBlock(*r.m);
  CAudioPart2 back(r.root.get());
  LoadBlock(back, bytes);
  EXPECT_EQ(SaveBlock(back), bytes);
  EXPECT_EQ(back.id, "Loops");
  ASSERT_EQ(back.samples.size(), 2u);
  EXPECT_EQ(back.samples[0]->data, r.m->samples[0]->data);
  ASSERT_EQ(back.audioOuts.size(), 2u);
  EXPECT_EQ(back.audioOuts[1]->channels, 1);
  EXPECT_EQ(back.parts[0]->ClipHead()->next->delta, 480);

  // The older form: 16-bit frames beside the name, rate, bits and channels;
  // a clip with only its absolute start.
  CMemStream o;
  o.WriteKeyString("APartSmpName", "old.wav");
  o.WriteKeyInt("APartSmpRate", 22050);
  o.WriteKeyInt("APartSmpBits", 16);
  o.WriteKeyInt("APartSmpChs", 2);
  o.WriteKey("APartSmpData16IntStereo", 8);
  for (int16_t v : {100, -100, 16384, -16384}) o.WriteShort(v);
  o.WriteKeyMarker("APartSmp");
  o.WriteKeyMarker("APartPart");
  o.WriteKeyInt("APartPartBeats", 4);
  for (int start : {960, 2880}) {
    o.WriteKeyMarker("APartClip");
    o.WriteKeyInt("APartClipStart", start);
  }
  o.WriteKeyInt("Unknown", 5);
  o.WriteEnd();
  o.Rewind();
  back.Load(o, 0);
  ASSERT_EQ(back.samples.size(), 1u);
  const CSample& old = *back.samples[0];
  EXPECT_EQ(old.fileName, "old.wav");
  EXPECT_EQ(old.rate, 22050.0f);
  EXPECT_EQ(old.frames, 2);
  EXPECT_TRUE(old.open);
  EXPECT_FLOAT_EQ(old.Value(2, 1), -0.5f);
  ASSERT_EQ(back.parts.size(), 1u);
  EXPECT_EQ(back.parts[0]->length, 3840);
  EXPECT_EQ(back.parts[0]->ClipHead()->delta, 960);
  EXPECT_EQ(back.parts[0]->ClipHead()->next->delta, 1920);
  EXPECT_EQ(back.audioOuts.size(), 1u);
}

TEST(AudioPart, CopiesAndLinksShareOrDuplicateContent) {
  CAudioPart3 a;
  a.AddLane(2).strip.pan = 0.3f;
  a.AppendClip(100).AddRampPoint(5.0f, 0.5f);
  a.AppendClip(300);
  auto copy = a.Copy();
  auto& c = dynamic_cast<CAudioPart3&>(*copy);
  EXPECT_NE(c.ClipHead(), a.ClipHead());
  EXPECT_EQ(c.ClipHead()->next->delta, 200);
  EXPECT_EQ(c.ClipHead()->ramp.size(), 1u);
  EXPECT_EQ(c.Lanes()[0]->bus, 2);
  EXPECT_NE(c.Lanes()[0].get(), a.Lanes()[0].get());

  CAudioPart3 linked;
  linked.link = &a;
  EXPECT_EQ(linked.ClipHead(), a.ClipHead());
  linked.AppendClip(500);
  EXPECT_EQ(a.ClipHead()->next->next->delta, 200);
  auto fresh = linked.NewInstance();
  EXPECT_EQ(dynamic_cast<CAudioPart3&>(*fresh).link, &a);
}

}  // namespace
}  // namespace qr::test
