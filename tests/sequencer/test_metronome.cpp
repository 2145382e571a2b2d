// The metronome: the click sounds on the exact sample of every beat at any
// block size, rate and tempo, the bar's first beat louder, through the
// count-in before recording and only while the song plays or counts in.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "audio/Sample.h"
#include "sequencer/Tracks.h"
#include "tests/sequencer/SongRig.h"

using namespace qr;
using namespace qr::test;

namespace {

// A click sample block of 32-bit float frames, as the song stores it.
std::vector<uint8_t> ClickBlock(const std::vector<float>& frames, float rate) {
  CSample smp;
  smp.formatTag = 3;
  smp.rate = rate;
  EXPECT_TRUE(smp.Allocate(static_cast<int32_t>(frames.size()), 32, 1));
  for (size_t i = 0; i < frames.size(); ++i) std::memcpy(smp.data.data() + (i + 1) * 4, &frames[i], 4);
  smp.start = 1;
  smp.end = static_cast<int32_t>(frames.size());
  CMemStream s;
  smp.SaveRecords(s);
  return s.Data();
}

// The song's output, both channels, sample by sample from the first block.
struct Heard {
  std::vector<float> l, r;
};

void Play(SongRig& rig, int64_t samples, int block, Heard& h) {
  while (samples > 0) {
    const int n = static_cast<int>(std::min<int64_t>(block, samples));
    rig.Block(n);
    h.l.insert(h.l.end(), rig.seq->outCh[0], rig.seq->outCh[0] + n);
    h.r.insert(h.r.end(), rig.seq->outCh[1], rig.seq->outCh[1] + n);
    samples -= n;
  }
}

// A song with a one-frame click of full scale: each click is one sample.
std::unique_ptr<SongRig> ClickSong(int block, float rate, float bpm, std::vector<float> click = {1.0f}) {
  auto rig = std::make_unique<SongRig>(block, rate);
  CTracks& seq = *rig->seq;
  seq.songTempo = bpm;
  seq.clickEnabled = 1;
  seq.clickVol = 0.8f;
  seq.timeSig = {3, 4};
  seq.clickWav = ClickBlock(click, rate);
  // Through the song's own records, as a saved song brings its click.
  const auto bytes = SaveBlock(seq);
  LoadBlock(seq, bytes);
  EXPECT_TRUE(seq.clicker.Loaded());
  return rig;
}

struct Case {
  int block;
  float rate;
  float bpm;
};

class Beats : public ::testing::TestWithParam<Case> {};

TEST_P(Beats, ClickOnEveryBeatsSampleAndAccentTheBar) {
  const auto [block, rate, bpm] = GetParam();
  auto rig = ClickSong(block, rate, bpm);
  Heard h;
  Play(*rig, 3000, block, h);  // stopped: silent
  rig->seq->Start();
  const auto total = static_cast<int64_t>(rate * 5.3);
  Play(*rig, total, block, h);

  std::vector<float> want(h.l.size(), 0.0f);
  const double samplesPerBeat = 960.0 * rate / (16.0 * static_cast<double>(bpm));
  for (int64_t k = 0;; ++k) {
    const auto at = 3000 + static_cast<int64_t>(std::floor(static_cast<double>(k) * samplesPerBeat));
    if (at >= static_cast<int64_t>(want.size())) break;
    want[static_cast<size_t>(at)] = k % 3 == 0 ? 0.8f : 0.4f;
  }
  for (size_t i = 0; i < want.size(); ++i) {
    ASSERT_EQ(h.l[i], want[i]) << "sample " << i;
    ASSERT_EQ(h.r[i], want[i]) << "sample " << i;
  }
}

std::vector<Case> BeatCases() {
  std::vector<Case> out;
  for (int block : {1, 7, 64, 4096})
    for (float rate : {44100.0f, 48000.0f})
      for (float bpm : {120.0f, 97.3f}) out.push_back({block, rate, bpm});
  return out;
}

INSTANTIATE_TEST_SUITE_P(Blocks, Beats, ::testing::ValuesIn(BeatCases()), [](const auto& info) {
  std::string name = "b";
  name += std::to_string(info.param.block) + "_" + std::to_string(static_cast<int>(info.param.rate)) + "_" +
          std::to_string(static_cast<int>(info.param.bpm * 10));
  return name;
});

// Four beats of count-in at 120 bpm and 44100 Hz last 88200 samples and click
// on each beat even with the metronome off; playing then starts on sample
// 88200, and the click goes on only when the metronome is on.
TEST(CountIn, ClicksFourBeatsThenPlaysOnSample88200) {
  for (int enabled : {0, 1}) {
    for (int block : {1, 64, 4096}) {
      auto rig = ClickSong(block, 44100.0f, 120.0f);
      CTracks& seq = *rig->seq;
      seq.clickEnabled = enabled;
      seq.timeSig = {4, 4};
      seq.countIn = 4;
      seq.recordStartMode = 1;
      rig->Part(rig->Track(0), 0, 7680, {{0, 60, 10}});
      ASSERT_TRUE(seq.Command("Record"));
      Heard h;
      Play(*rig, 140000, block, h);
      std::vector<int64_t> clicks;
      for (size_t i = 0; i < h.l.size(); ++i)
        if (h.l[i] != 0.0f) clicks.push_back(static_cast<int64_t>(i));
      std::vector<int64_t> want = {0, 22050, 44100, 66150};
      if (enabled) want.insert(want.end(), {88200, 110250, 132300});
      EXPECT_EQ(clicks, want) << "block " << block << " enabled " << enabled;
      ASSERT_FALSE(rig->sent.empty());
      EXPECT_EQ(rig->sent[0], (SentEvent{88200, NoteOn(60)}));
      EXPECT_FLOAT_EQ(h.l[88200], enabled ? 0.8f : 0.0f);  // the song's first beat is a bar's
    }
  }
}

// Twelve semitones up play the click at twice its speed; stopping cuts it off.
TEST(Metronome, CoarseTuningAndStop) {
  auto rig = ClickSong(64, 48000.0f, 120.0f, {0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f});
  CTracks& seq = *rig->seq;
  seq.clickCoarse = 12;
  seq.clickVol = 1.0f;
  seq.Start();
  Heard h;
  Play(*rig, 64, 64, h);
  EXPECT_FLOAT_EQ(h.l[0], 0.1f);
  EXPECT_FLOAT_EQ(h.l[1], 0.3f);
  EXPECT_FLOAT_EQ(h.l[2], 0.5f);
  EXPECT_FLOAT_EQ(h.l[3], 0.0f);
  // A click sounding when the song stops does not come back at the next start.
  seq.clickCoarse = -12;
  Play(*rig, 24004 - 64, 64, h);
  ASSERT_FLOAT_EQ(h.l[24003], 0.5f * 0.25f);  // an off-beat at half speed, between frames
  seq.Stop();
  Play(*rig, 1, 64, h);
  seq.Start();
  Play(*rig, 64, 64, h);
  for (size_t i = 24004; i < h.l.size(); ++i) ASSERT_EQ(h.l[i], 0.0f) << i;
  EXPECT_EQ(seq.clicker.clicks, 2);
}

}  // namespace
