// Audio tracks: every clip sounds from the sample its tick falls on, its
// frames in order at the clip's gain, joined in the middle where playing
// starts inside it, cut at its part's end and at a loop's wrap; and the clips
// travel through the song's records unchanged.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "sequencer/Tracks.h"
#include "tests/audio/AudioTestUtil.h"
#include "tests/sequencer/SongRig.h"

using namespace qr;
using namespace qr::test;

namespace {

// Exact in float, so sums of overlapping clips do not depend on their order.
float FrameValue(int i) { return static_cast<float>((i * 7) % 509 + 1) / 1024.0f; }

struct ClipPlan {
  int32_t tick;  // in the part's content
  int32_t first, last;
  float volume;
};
struct PartPlan {
  int32_t start, length, offset;
  std::vector<ClipPlan> clips;
};

CSongAudioPart& AddAudioPart(CTrack& t, const PartPlan& plan) {
  auto p = std::make_unique<CSongAudioPart>();
  p->start = plan.start;
  p->length = plan.length;
  p->offset = plan.offset;
  p->AddLane();
  for (const ClipPlan& c : plan.clips) {
    CAudioClip& clip = p->AppendClip(c.tick);
    clip.first = c.first;
    clip.last = c.last;
    clip.volume = c.volume;
  }
  auto* raw = p.get();
  t.varis[0]->parts.push_back(std::move(p));
  return *raw;
}

struct Case {
  float rate;
  int block;
};
class AudioTrackExact : public ::testing::TestWithParam<Case> {};

TEST_P(AudioTrackExact, ClipsSoundOnTheirSamplesAcrossWrapAndTempoChange) {
  const auto [rate, block] = GetParam();
  constexpr float kTempo = 120.0f, kNewTempo = 133.7f;
  constexpr int32_t kLeft = 480, kRight = 3840;
  SongRig rig(block, rate);
  rig.seq->songTempo = kTempo;
  CArr& arr = rig.Arr();
  arr.left = kLeft;
  arr.right = kRight;
  arr.loop = 1;
  CTrack& t = rig.seq->AddTrack(arr, TrackKind::kAudio);
  PoolSample& pool = rig.seq->samplePool.emplace_back();
  pool.inMemory = true;
  pool.sample = FloatSample(
      60000, 1, [](int i, int) { return FrameValue(i); }, rate);
  // A clip on tick 1, one that outlives its part's end, one still sounding
  // at the loop's left locator (joined there in its middle after each wrap),
  // one cut by the right locator.
  const std::vector<PartPlan> parts = {
      {0, kRight, 0, {{1, 1, 3000, 1.0f}, {100, 5, 45000, 0.5f}, {3800, 1, 9000, 1.0f}}},
      // Starts inside its first clip (the offset passes the clip's start).
      {1920, 1500, 100, {{50, 1, 50000, 1.0f}, {777, 200, 300, 0.5f}}},
  };
  for (const PartPlan& p : parts) AddAudioPart(t, p);
  rig.seq->Rebuild();

  const double a = 16.0 * kTempo / rate;
  const float taken = static_cast<float>(static_cast<double>(kNewTempo / 250.0f) * 250.0);
  const double b = 16.0 * static_cast<double>(taken) / rate;
  const int64_t X = static_cast<int64_t>(rate * 0.7);  // the tempo change's sample, before any join
  const int64_t N = static_cast<int64_t>(2.6 * kRight / a);
  const LoopReference ref(a, b, X, N, kLeft, kRight);
  const auto& passes = ref.passes;
  auto sampleOf = [&](size_t pass, double tick) { return ref.SampleOf(pass, tick); };
  // The sound worked out from the ticks alone: in pass p a clip starting on
  // sample S(T) plays frame first + (k - S(T)) on sample k, from where it
  // begins (its tick, its part's start, or the pass's start) until its last
  // frame, its part's end or the wrap.
  std::vector<float> want(static_cast<size_t>(N), 0.0f);
  for (size_t p = 0; p < passes.size(); ++p) {
    const int64_t k0 = passes[p][0].k0;
    const int64_t kEnd = p + 1 < passes.size() ? passes[p + 1][0].k0 : N;
    const double from = p == 0 ? 0.0 : kLeft;
    for (const PartPlan& part : parts) {
      const double partEnd = part.start + part.length;
      for (const ClipPlan& c : part.clips) {
        const double T = part.start - part.offset + c.tick;
        const double begin = std::max({T, static_cast<double>(part.start), from});
        if (T >= partEnd || begin >= partEnd) continue;
        const int64_t sT = sampleOf(p, T);
        const int64_t ks = std::max(sampleOf(p, begin), k0);
        const int64_t ke = std::min({kEnd, sampleOf(p, partEnd), sT + (c.last - c.first + 1)});
        if (ke <= ks) continue;
        for (int64_t k = ks; k < ke && k < N; ++k)
          want[static_cast<size_t>(k)] +=
              FrameValue(c.first + static_cast<int>(k - sT)) * (c.volume * c.volume);
      }
    }
  }
  ASSERT_GE(passes.size(), 3u);

  std::vector<float> left, right;
  rig.PlayWithTempoChange(block, N, X, kNewTempo, [&](int n) {
    left.insert(left.end(), rig.seq->outCh[0], rig.seq->outCh[0] + n);
    right.insert(right.end(), rig.seq->outCh[1], rig.seq->outCh[1] + n);
  });
  for (size_t k = 0; k < want.size(); ++k) {
    ASSERT_EQ(left[k], want[k]) << "sample " << k;
    ASSERT_EQ(right[k], want[k]) << "sample " << k;
  }
}

INSTANTIATE_TEST_SUITE_P(Blocks, AudioTrackExact,
                         ::testing::Values(Case{44100.0f, 1}, Case{44100.0f, 7}, Case{44100.0f, 64},
                                           Case{44100.0f, 4096}, Case{48000.0f, 1}, Case{48000.0f, 7},
                                           Case{48000.0f, 64}, Case{48000.0f, 4096}),
                         [](const auto& info) {
                           return std::to_string(static_cast<int>(info.param.rate)) + "Hz_b" +
                                  std::to_string(info.param.block);
                         });

}  // namespace

namespace {

// A song of audio parts (one a ghost copy), a sample kept in the song and one
// on disk found by its name in the song's sample folder.
TEST(AudioTrackSong, ClipsPoolAndGhostsSurviveSaveLoadSaveAndPlay) {
  TempDir dir;
  const std::vector<uint8_t> pcm = Pcm16(2000, 1, 7);
  WriteFile(dir / "loop.wav", WavBuilder().Fmt(1, 1, 44100, 16).Chunk("data", pcm).Bytes());
  int16_t firstFrame = 0;
  std::memcpy(&firstFrame, pcm.data(), 2);

  SongRig rig(64, 44100.0f);
  CTracks& seq = *rig.seq;
  seq.sampleFolder = dir.Path();
  CArr& arr = rig.Arr();
  arr.loop = 0;
  CTrack& t = seq.AddTrack(arr, TrackKind::kAudio);
  PoolSample& mem = seq.samplePool.emplace_back();
  mem.inMemory = true;
  mem.sample = FloatSample(5000, 2, [](int i, int c) { return FrameValue(i + c); });
  seq.samplePool.push_back({1, "loop.wav", {}, false, nullptr});

  CSongAudioPart& own = AddAudioPart(t, {0, 960, 0, {{0, 1, 4000, 0.75f}}});
  CAudioClip& c = *own.ClipHead();
  c.pan = -0.25f, c.coarse = 2, c.fine = -0.5f, c.style = 4, c.fadeIn = 3, c.fadeOut = 9;
  c.AddRampPoint(0.0f, 1.0f);
  c.AddRampPoint(480.0f, 0.5f);
  own.Lanes()[0]->strip = {0.9f, 0.1f, 0, 1};
  own.Lanes()[0]->bus = 0;

  GhostEntry& g = arr.ghosts.emplace_back();
  g.kind = GhostEntry::kAudio;
  auto src = std::make_unique<CSongAudioPart>();
  src->AddLane();
  src->AppendClip(0).sample = 1;
  src->ClipHead()->last = 2000;
  auto ghost = std::make_unique<CSongAudioPart>();
  ghost->start = 3840;
  ghost->ghostSource = src.get();
  ghost->link = src.get();
  g.part = std::move(src);
  t.varis[0]->parts.push_back(std::move(ghost));

  const std::vector<uint8_t> first = SaveBlock(seq);
  SongRig back(64, 44100.0f);
  LoadBlock(*back.seq, first);
  EXPECT_EQ(SaveBlock(*back.seq), first);

  CTracks& loaded = *back.seq;
  ASSERT_EQ(loaded.samplePool.size(), 2u);
  ASSERT_TRUE(loaded.samplePool[0].sample);
  EXPECT_EQ(loaded.samplePool[0].sample->frames, 5000);
  ASSERT_TRUE(loaded.samplePool[1].sample) << "the name alone is found in the sample folder";
  EXPECT_EQ(loaded.samplePool[1].sample->frames, 2000);
  const CTrack& lt = *loaded.arrs[0]->tracks[1];
  ASSERT_EQ(lt.varis[0]->parts.size(), 2u);
  const auto& lp = static_cast<const CSongAudioPart&>(*lt.varis[0]->parts[0]);
  const CAudioClip& lc = *lp.ClipHead();
  EXPECT_EQ(lc.coarse, 2);
  EXPECT_EQ(lc.fine, -0.5f);
  EXPECT_EQ(lc.ramp.size(), 2u);
  EXPECT_EQ(lp.Lanes()[0]->strip.volume, 0.9f);

  // The ghost copy plays its source's clip (the disk sample) from its own start.
  const int64_t at = 88200;                                  // tick 3840 at 120 beats a minute and 44100 Hz
  loaded.arrs[0]->tracks[1]->varis[0]->parts[0]->style = 2;  // only the ghost sounds
  loaded.Start();
  std::vector<float> out;
  while (back.now < at + 64) {
    back.Block(64);
    out.insert(out.end(), loaded.outCh[0], loaded.outCh[0] + 64);
  }
  EXPECT_EQ(out[static_cast<size_t>(at - 1)], 0.0f);
  EXPECT_EQ(out[static_cast<size_t>(at)], static_cast<float>(firstFrame) * kScale16);
}

// Records another writer may leave short or hostile: the clip keeps what it
// had, a float that is no number does not reach the output.
TEST(AudioTrackSong, OddClipRecordsLeaveFieldsPlayable) {
  CSongAudioPart p;
  CMemStream s;
  s.WriteKeyMarker("AuEvDt");  // before any clip: ignored
  s.WriteKeyMarker("AuEv");
  s.WriteKey("AuEvSm", 2);  // a short value
  s.WriteShort(5);
  s.WriteKeyFloat("AuEvVol", std::nanf(""));
  s.WriteKeyFloat("AuEvRmpTim", 5.0f);  // a ramp value before its marker
  s.WriteKeyMarker("AuEvRmp");
  s.WriteKeyFloat("AuEvRmpTim", -3.0f);
  CMemStream in(s.Data());
  std::string key;
  int32_t size = 0;
  while (in.NextRecord(key, size)) {
    const int64_t end = in.Position() + size;
    EXPECT_TRUE(p.LoadContent(in, key, size));
    in.Seek(end);
  }
  ASSERT_NE(p.ClipHead(), nullptr);
  const CAudioClip& c = *p.ClipHead();
  EXPECT_EQ(c.sample, 0);
  EXPECT_EQ(c.volume, 1.0f);
  ASSERT_EQ(c.ramp.size(), 1u);
  EXPECT_EQ(c.ramp[0].position, 0.0f);
}

}  // namespace
