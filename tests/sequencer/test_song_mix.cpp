// What runs around the tracks' parts: MIDI insert modules on tracks, the
// inserts of comps' and audio tracks' output strips, and the send levels
// that decide how much of every strip each send hears.
#include <gtest/gtest.h>

#include "sequencer/Tracks.h"
#include "tests/audio/AudioTestUtil.h"
#include "tests/sequencer/SongRig.h"

using namespace qr;
using namespace qr::test;

namespace {

// Sends its input at three times its level: an insert whose effect shows.
class Triple final : public CComp {
 public:
  explicit Triple(CContainer* parent) : CComp(parent) {
    AddAudioIn(2);
    AddAudioOut(2);
  }
  void Process(int frames) noexcept override {
    if (!BeginProcess(frames, false)) return;
    for (int c = 0; c < 2; ++c)
      for (int i = 0; i < frames; ++i)
        outCh[static_cast<size_t>(c)][i] = 3.0f * inCh[static_cast<size_t>(c)][i];
    EndProcess(frames);
  }
};

// Moves every note up an octave.
class Octave final : public CComp {
 public:
  explicit Octave(CContainer* parent) : CComp(parent) {}
  void Process(int frames) noexcept override {
    if (!BeginProcess(frames, true)) return;
    q_.Clear();
    for (const MidiEvent& e : midiQueue)
      q_.Push(midi::Make(midi::Status(e.msg), midi::Data1(e.msg) + 12, midi::Data2(e.msg)), e.kind, e.value,
              e.time);
    EndProcess(frames);
  }
  CMIDIQ* MidiOutput(int, int frames) noexcept override {
    Process(frames);
    return &q_;
  }

 private:
  CMIDIQ q_;
};

// A comp giving 1 (left) and 2 (right), an audio track playing a constant
// 0.25 from tick 0 through a strip at volume 0.5, and two sends.
struct MixSong {
  SongRig rig;
  SongComp* comp = nullptr;
  CTrack* track = nullptr;
  explicit MixSong(int block) : rig(block) {
    CTracks& seq = *rig.seq;
    seq.AddComp(std::make_unique<StubSource>(&seq, std::vector<int>{2}, 1.0f));
    comp = &seq.comps.back();
    comp->outs.resize(1);
    seq.AddSend(std::make_unique<StubPass>(&seq));
    seq.AddSend(std::make_unique<StubPass>(&seq));
    track = &seq.AddTrack(rig.Arr(), TrackKind::kAudio);
    PoolSample& pool = seq.samplePool.emplace_back();
    pool.inMemory = true;
    pool.sample = FloatSample(100000, 1, [](int, int) { return 0.25f; });
    auto part = std::make_unique<CSongAudioPart>();
    part->AddLane();
    part->AppendClip(0).last = 100000;
    track->varis[0]->parts.push_back(std::move(part));
    track->strips.emplace_back().volume = 0.5f;
  }
  // Plays a few blocks and checks every sample of the last.
  void Expect(float left, float right) {
    rig.seq->Rebuild();
    rig.seq->Start();
    for (int i = 0; i < 3; ++i) rig.Block(rig.seq->blockSize);
    for (int i = 0; i < rig.seq->blockSize; ++i) {
      ASSERT_EQ(rig.seq->outCh[0][i], left) << "sample " << i;
      ASSERT_EQ(rig.seq->outCh[1][i], right) << "sample " << i;
    }
  }
};

class Mix : public ::testing::TestWithParam<int> {};

TEST_P(Mix, EachSendHearsEveryStripAtItsLevel) {
  MixSong song(GetParam());
  song.comp->outs[0].sends = {{0.5f, -1, 0}, {0.25f, -1, 0}};
  // The track's first send follows its strip's volume, the second does not.
  song.track->strips[0].sends = {{1.0f, -1, 0}, {1.0f, -1, 1}};
  // comp 1 | 2, track 0.25 x 0.5 on both sides, send 0: comp x 0.5 + track
  // after volume, send 1: comp x 0.25 + track before volume.
  song.Expect(1.0f + 0.125f + (0.5f + 0.125f) + (0.25f + 0.25f),
              2.0f + 0.125f + (1.0f + 0.125f) + (0.5f + 0.25f));
}

TEST_P(Mix, StripInsertsRunBeforeTheSongAndTheSendsHearThem) {
  MixSong song(GetParam());
  song.comp->outs[0].inserts.push_back({std::make_unique<Triple>(song.rig.seq), 0.5f});
  song.comp->outs[0].sends = {{1.0f, -1, 0}};
  song.track->strips[0].inserts.push_back({std::make_unique<Triple>(song.rig.seq), 1.0f});
  // comp: half dry, half tripled = 2 | 4; track 0.75 x 0.5; send 0 hears the comp.
  song.Expect(2.0f + 0.375f + 2.0f, 4.0f + 0.375f + 4.0f);
}

TEST_P(Mix, MidiInsertsChangeWhatTheTrackSendsAndItsReleases) {
  const int block = GetParam();
  SongRig rig(block);
  CTrack& t = rig.Track(0);
  rig.Part(t, 0, 7680, {{0, 60, 480}, {960, 62, 5000}});
  t.midiInserts.push_back(std::make_unique<Octave>(rig.seq));
  t.midiInserts.push_back(std::make_unique<Octave>(rig.seq));
  rig.seq->Rebuild();
  rig.seq->Start();
  rig.Run(30000, block);  // tick 960 falls on sample 22050
  rig.seq->Stop();
  rig.Run(2 * block, block);
  std::sort(rig.sent.begin(), rig.sent.end());
  const std::vector<SentEvent> want = {
      {0, NoteOn(84)}, {11025, midi::Make(0x80, 84, 0)}, {22050, NoteOn(86)}, {30000, NoteOn(86, 0)}};
  EXPECT_EQ(rig.sent, want);
  EXPECT_TRUE(rig.Balanced());
}

INSTANTIATE_TEST_SUITE_P(Blocks, Mix, ::testing::Values(1, 7, 64, 4096));

}  // namespace

namespace {

TEST(Monitor, AMonitoredAudioTrackPlaysItsInputAtItsVolume) {
  SongRig rig(64);
  CTracks& seq = *rig.seq;
  auto* source = Add<StubSource>(*rig.root, std::vector<int>{2}, 1.0f);  // 1 | 2
  seq.ConnectAudio(source, 0, 0);
  seq.audioInStrips.push_back({0, 0.5f, 0});
  CTrack& t = seq.AddTrack(rig.Arr(), TrackKind::kAudio);
  t.audioIn = 0;
  rig.Block(64);
  EXPECT_EQ(seq.outCh[0][10], 0.0f) << "not monitored: the input is not heard";
  t.monitor = 1;
  rig.Block(64);
  EXPECT_EQ(seq.outCh[0][10], 0.5f);
  EXPECT_EQ(seq.outCh[1][63], 1.0f);
  seq.audioInStrips[0].mute = 1;
  rig.Block(64);
  EXPECT_EQ(seq.outCh[1][0], 0.0f);
}

}  // namespace

namespace {

TEST(SongStrip, TheSongsOutputRunsItsInsertsVolumePanAndMute) {
  SongRig rig(64);
  CTracks& seq = *rig.seq;
  seq.AddComp(std::make_unique<StubSource>(&seq, std::vector<int>{2}, 1.0f));  // 1 | 2
  StripOut& o = seq.audioOutStrips.emplace_back();
  o.volume = 0.5f;
  o.pan = 0.5f;
  o.inserts.push_back({std::make_unique<Triple>(&seq), 1.0f});
  seq.Rebuild();
  rig.Block(64);
  EXPECT_EQ(seq.outCh[0][5], 3.0f * 0.5f * 0.5f);
  EXPECT_EQ(seq.outCh[1][5], 6.0f * 0.5f * 1.5f);
  o.mute = 1;
  rig.Block(64);
  EXPECT_EQ(seq.outCh[0][5], 0.0f);
  EXPECT_EQ(seq.outCh[1][63], 0.0f);
}

}  // namespace
