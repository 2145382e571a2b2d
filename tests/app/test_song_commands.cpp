// The standalone program with songs: a new sequencer project, a render that
// knows how long the song is, and what `info` tells about it.
#include <gtest/gtest.h>

#include <cmath>

#include "app/SongCommands.h"
#include "sequencer/Tracks.h"
#include "tests/app/AppTestSupport.h"

using namespace qr;
using namespace qr::test;

namespace {

std::vector<uint8_t> SongProject() {
  CGroup root(nullptr);
  root.AddAudioIn(2);
  CProject project;
  CTracks& song = MakeSequencerProject(root, project);
  song.songTempo = 97.3f;
  CArr& a = *song.arrs[0];
  a.left = 960;
  a.right = 4800;
  CTrack& lead = *a.tracks[0];
  lead.name = "lead";
  for (int i = 0; i < 2; ++i) {
    auto p = std::make_unique<CMIDIPart>();
    p->name = i ? "answer" : "call";
    p->start = i * 1920;
    p->events.Insert(0, midi::Make(0x90, 60 + i, 100), 240);
    lead.varis[0]->parts.push_back(std::move(p));
  }
  lead.varis[0]->state = CTrackVari::kSoloed;
  song.AddTrack(a, TrackKind::kMarker);
  CMemStream s;
  SaveProject(root, project, s);
  return s.Data();
}

TEST(SongCommands, NewSequencerProjectIsWiredAndDocked) {
  const std::string dir = TempDir();
  const RunResult r = RunQuillrowBinary("new --sequencer -o " + dir + "/song.qrw", dir);
  ASSERT_EQ(r.code, 0) << r.err;
  const RunResult info = RunQuillrowBinary("info " + dir + "/song.qrw", dir);
  EXPECT_EQ(info.code, 0) << info.err;
  EXPECT_NE(info.out.find("2  CTracks  \"Sequencer\"  at 108, 116"), std::string::npos) << info.out;
  // MIDI from the master input, audio from it and into the root.
  EXPECT_NE(info.out.find("2:0 -> 0:0"), std::string::npos);
  EXPECT_NE(info.out.find("1:0 -> 2:0\nmidi cables: 1\n  1:0 -> 2:0"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("track 0 midi \"midi\": 0 part(s)"), std::string::npos);
  EXPECT_NE(Slurp(dir + "/song.qrw").find("Sequencer"), std::string::npos);
}

TEST(SongCommands, RenderPlaysTheActiveArrangementFromLeftToRight) {
  const std::string dir = TempDir();
  ASSERT_TRUE(WriteBytes(dir + "/song.qrw", SongProject()));
  const RunResult r = RunQuillrowBinary(
      "render " + dir + "/song.qrw -o " + dir + "/out.wav --rate 48000 --block 333 --quiet", dir);
  ASSERT_EQ(r.code, 0) << r.err;
  const size_t frames = ReadFloatWavData(dir + "/out.wav").size() / 2;
  const double ticksPerSecond = 16.0 * static_cast<double>(97.3f);
  EXPECT_EQ(frames, static_cast<size_t>(std::ceil(3840.0 / ticksPerSecond * 48000.0)));

  const RunResult info = RunQuillrowBinary("info " + dir + "/song.qrw", dir);
  EXPECT_NE(info.out.find("arrangement 0 \"Arrangement 1\" (active): left 960, right 4800, loop, 2 track(s)"),
            std::string::npos)
      << info.out;
  EXPECT_NE(info.out.find("track 0 midi \"lead\": 2 part(s), solo"), std::string::npos);
  EXPECT_NE(info.out.find("part \"answer\" at 1920, 7680 ticks, 1 event(s)"), std::string::npos);
  EXPECT_NE(info.out.find("track 1 marker \"marker\": 0 part(s)"), std::string::npos);
}

TEST(SongCommands, ATruncatedSongSaysWhereItStopped) {
  const std::string dir = TempDir();
  auto bytes = SongProject();
  bytes.resize(bytes.size() * 2 / 3);
  ASSERT_TRUE(WriteBytes(dir + "/cut.qrw", bytes));
  const RunResult info = RunQuillrowBinary("info " + dir + "/cut.qrw", dir);
  EXPECT_EQ(info.code, 1);
  EXPECT_NE(info.err.find("Main: error reading"), std::string::npos) << info.err;
}

}  // namespace
