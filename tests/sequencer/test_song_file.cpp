// The song's records: a song reads back into the same bytes, the records
// whose sizes have always been odd keep their shape, and stored indices that
// point nowhere are dropped instead of followed.
#include <gtest/gtest.h>

#include <random>

#include "graph/ModuleTypes.h"
#include "midifx/Groove.h"
#include "persist/Project.h"
#include "persist/TextForm.h"
#include "sequencer/Tracks.h"
#include "tests/sequencer/SongRig.h"
#include "tests/support/MessageCapture.h"

using namespace qr;
using namespace qr::test;

namespace {

// A song that uses every kind of object the sequencer stores.
void FillSong(CTracks& t) {
  t.sampleFolder = "/songs/audio";
  t.tempoCC = 7;
  t.audioInStrips.push_back({2, 0.5f, 0});
  StripOut out;
  out.channels = 2;
  out.inserts.push_back({CreateModule("Ceq", &t), 0.25f});
  t.audioOutStrips.push_back(std::move(out));
  t.samplePool.push_back({1, "kick.wav", {}, false, nullptr});
  t.ccMap.push_back({74, 3});
  CComp* part = t.AddComp(CreateModule("CMPart", &t));
  part->hasEditorWindow = 1;
  part->dockPage = 2;
  t.comps.back().outs.resize(1);
  t.comps.back().outs[0].sends.push_back({0.5f, 11, 1});
  t.AddSend(CreateModule("CDelay", &t));
  t.compCables.push_back({"comps", 0, 0, "sends", 0, 0});
  t.compMidiCables.push_back({"tracks", 0, 0, "comps", 0, 0});

  CArr& a = *t.arrs[0];
  a.variCount = 2;
  a.timeline = {{0, 1, 3840, 0, 0}, {3840, 2, 1920, 1, 0}, {1920, 3, 960, 0, 0}};
  GhostEntry& g = a.ghosts.emplace_back();
  auto src = std::make_unique<CMIDIPart>();
  src->events.Insert(0, NoteOn(60), 120, 1);
  src->events.Insert(240, NoteOn(64), 120);
  src->colour = 0x123456;
  g.part = std::move(src);
  GhostEntry& ge = a.ghosts.emplace_back();
  ge.kind = GhostEntry::kEnvelope;
  auto env = std::make_unique<CEnvelopePart>();
  env->points.push_back({0, 0.5f, 0.1f, 1});
  ge.part = std::move(env);

  CTrack& midi = *a.tracks[0];
  midi.varis.push_back(std::make_unique<CTrackVari>());
  midi.midiInserts.push_back(CreateModule("CArp", &t));
  auto groove = std::make_unique<CGroove>(&t);
  groove->steps = 3;
  midi.grooves.push_back(std::move(groove));
  auto p = std::make_unique<CMIDIPart>();
  p->name = "verse";
  p->events.Insert(0, NoteOn(60), 100);
  p->events.Insert(480, midi::Make(0xB0, 7, 90), 0);
  midi.varis[0]->parts.push_back(std::move(p));
  auto ghost = std::make_unique<CMIDIPart>();
  ghost->start = 7680;
  ghost->ghostSource = a.ghosts[0].part.get();
  midi.varis[1]->parts.push_back(std::move(ghost));
  midi.varis[0]->freeze.push_back({"frozen.wav", 0, -1, 1, part, 0});

  CTrack& folder = t.AddTrack(a, TrackKind::kFolder);
  folder.name = "drums";
  CTrack& audio = t.AddTrack(a, TrackKind::kAudio);
  audio.folderIndex = 1;
  audio.folder = &folder;
  audio.strips.emplace_back().sends.push_back({0.3f, -1, 0});
  audio.audioCables.push_back({"comps", 0, 0, "", 0, 0});
  auto clip = std::make_unique<CSongAudioPart>();
  CAudioClip& c = clip->AppendClip(1);
  c.last = 99;
  c.AddRampPoint(10.0f, 0.5f);
  clip->AddLane(1).strip.solo = 1;
  audio.varis[0]->parts.push_back(std::move(clip));
  CTrack& envTrack = t.AddTrack(a, TrackKind::kEnvelope);
  auto ep = std::make_unique<CEnvelopePart>();
  ep->tsDenominator = 8;
  ep->points.push_back({10, 0.25f, 0.0f, 2});
  envTrack.varis[0]->parts.push_back(std::move(ep));
  CTrack& marker = t.AddTrack(a, TrackKind::kMarker);
  marker.varis[0]->parts.push_back(std::make_unique<CMarkerPart>());

  CArr& b = t.AddArr();
  b.mode = 2;
  t.AddTrack(b, TrackKind::kMidi);
  CPlayGroup& pg = t.playGroups.emplace_back();
  pg.name = "intro";
  CPlayItem& it = pg.items.emplace_back();
  it.arrIndex = 1;
  it.arr = &b;
  it.subs.push_back({0, 0, 0, 36, -1, 1, 0, b.tracks[0].get()});
  t.Rebuild();
}

std::unique_ptr<CTracks> Loaded(const std::vector<uint8_t>& bytes, CContainer* parent = nullptr) {
  InstallModuleTypes();  // inserts are made by type, as the loader and the plug-in arrange
  auto t = std::make_unique<CTracks>(parent);
  LoadBlock(*t, bytes);
  return t;
}

TEST(SongFile, SaveLoadSaveGivesTheSameBytesAndTheSameSong) {
  CTracks song(nullptr);
  FillSong(song);
  const auto first = SaveBlock(song);
  auto back = Loaded(first);
  EXPECT_EQ(SaveBlock(*back), first);

  CArr& a = *back->arrs[0];
  ASSERT_EQ(a.tracks.size(), 5u);
  EXPECT_EQ(a.tracks[2]->folder, a.tracks[1].get());
  EXPECT_EQ(a.timeline.size(), 3u);
  EXPECT_EQ(a.timeline[1].vari, 1);
  // The ghost copy shows and plays its source.
  const auto& ghost = static_cast<const CMIDIPart&>(*a.tracks[0]->varis[1]->parts[0]);
  EXPECT_EQ(ghost.ghostSource, a.ghosts[0].part.get());
  EXPECT_EQ(ShownColour(ghost), 0x123456);
  EXPECT_EQ(ghost.PlayEvents().Size(), 2u);
  EXPECT_EQ(ghost.PlayEvents()[0].flags, 1);  // the flags came from the four-value form
  EXPECT_EQ(a.tracks[0]->varis[0]->freeze[0].target, back->comps[0].module.get());
  EXPECT_EQ(back->playGroups[0].items[0].arr, back->arrs[1].get());
  EXPECT_EQ(back->playGroups[0].items[0].subs[0].track, back->arrs[1]->tracks[0].get());
  ASSERT_EQ(back->comps.size(), 1u);
  EXPECT_EQ(back->comps[0].module->TypeKey(), "CMPart");
  // The MIDI cable from the first track into the comp is linked again.
  ASSERT_EQ(back->comps[0].module->midiIn.size(), 1u);
  EXPECT_EQ(back->comps[0].module->midiIn[0]->Source(), a.tracks[0].get());
}

// The text form names every record and builds the bytes back; the odd sizes
// show as what they are.
TEST(SongFile, OddSizedRecordsKeepTheirShapeThroughTheTextForm) {
  CTracks song(nullptr);
  FillSong(song);
  const auto bytes = SaveBlock(song);
  const std::string text = DumpRecords(bytes);
  EXPECT_NE(text.find("ArrParts2 ints 0 1 3840 0 0 3840 2 1920 1 0 1920 3 960 0 0 !size 48"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("TrackVariFzStart int 0 !size 0"), std::string::npos);
  EXPECT_NE(text.find("TrackVariFzTicks int 0 !size 0"), std::string::npos);
  EXPECT_NE(text.find("GhostPME ints 0 6569104 120 1 240 6570128 120 0"), std::string::npos);
  EXPECT_NE(text.find("GhostPartEvents ints 0 6569104 120 240 6570128 120"), std::string::npos);
  EXPECT_NE(text.find("PartOriginal int 0"), std::string::npos);
  EXPECT_EQ(text.find(" hex "),
            text.find("CompACable2 hex") + 11);  // nothing else undecoded before the cables
  // After a comp's own block the song's records read as the song's again.
  EXPECT_NE(text.find("MultiArr int 0"), std::string::npos);
  std::vector<uint8_t> built;
  std::string error;
  ASSERT_TRUE(BuildRecords(text, built, error)) << error;
  EXPECT_EQ(built, bytes);
}

// Records written by hand, as another writer might have.
struct Writer {
  CMemStream s;
  Writer() { s.WriteKeyString("CType", "CTracks"); }
  Writer& Int(const char* k, int32_t v) { return s.WriteKeyInt(k, v), *this; }
  Writer& Mark(const char* k) { return s.WriteKeyMarker(k), *this; }
  Writer& Ints(const char* k, std::vector<int32_t> v, int32_t size) {
    s.WriteKey(k, size);
    for (int32_t x : v) s.WriteInt(x);
    return *this;
  }
  std::vector<uint8_t> Done() {
    s.WriteEnd();
    return s.Data();
  }
};

TEST(SongFile, ASecondFormTimelineWinsOverALaterFirstForm) {
  Writer w;
  w.Mark("Arr").Ints("ArrParts2", {10, 0, 100, 1, 0, 20, 0, 200, 2, 0, 30, 0, 300, 0, 0}, 48);
  w.Ints("ArrParts", {99, 0, 99, 0}, 16).Int("ArrActiveVari", 0);
  auto t = Loaded(w.Done());
  ASSERT_EQ(t->arrs.size(), 1u);
  const auto& tl = t->arrs[0]->timeline;
  ASSERT_EQ(tl.size(), 3u);
  EXPECT_EQ(tl[2].delta, 30);
  EXPECT_EQ(tl[1].vari, 2);
  EXPECT_EQ(tl[1].length, 200);
}

TEST(SongFile, UnderTheHostsClockNoTempoIsStoredAndLoadingKeepsTheTempo) {
  CTracks song(nullptr);
  song.clock = 1;
  song.songTempo = 133.0f;
  const auto bytes = SaveBlock(song);
  EXPECT_EQ(DumpRecords(bytes).find("Tempo float"), std::string::npos);
  CTracks other(nullptr);
  other.SetTempo(77.0f);
  other.tempo = 77.0f;
  LoadBlock(other, bytes);
  EXPECT_FLOAT_EQ(other.tempo, 77.0f);
}

// A fuzzed song with tempo 3e29 served four million arrangement starts a
// block; the file's and the host's tempi are held to what a song can play.
TEST(SongFile, AHostileTempoIsHeldToWhatASongCanPlay) {
  for (const float bpm : {3e29f, 1e-20f}) {
    CTracks song(nullptr);
    song.songTempo = bpm;
    CTracks loaded(nullptr);
    LoadBlock(loaded, SaveBlock(song));
    EXPECT_FLOAT_EQ(loaded.songTempo, bpm > 1.0f ? 999.0f : 1.0f) << bpm;
    loaded.clock = 1;
    loaded.SetTempo(bpm);
    EXPECT_FLOAT_EQ(loaded.tempo, bpm > 1.0f ? 999.0f : 1.0f) << bpm;
  }
}

TEST(SongFile, IndicesOutsideTheirListsAreDropped) {
  Writer w;
  w.Int("ActiveArr", 5);
  w.s.WriteKey("CompACable2", 24 + 10);
  w.s.WriteString("comps");
  w.s.WriteInt(3);
  w.s.WriteInt(0);
  w.s.WriteString("sends");
  w.s.WriteInt(0);
  w.s.WriteInt(0);
  w.Mark("Arr").Mark("ArrVari");
  w.Mark("Track").Int("TrackMode", 0).Int("TrackFolder", 7);
  w.Mark("TrackVari").Mark("Part").Int("PartOriginal", 4);
  w.s.WriteKey("TrackVariFzStart", 0);
  w.s.WriteInt(0);
  w.Mark("TrackVariFz").Int("TrackVariFzComp", 9);
  w.Mark("playgr").Mark("playgrit").Int("playgritarr", 12).Mark("playgritit").Int("playgritittr", 3);
  MessageCapture messages;
  auto t = Loaded(w.Done());
  ASSERT_EQ(t->arrs.size(), 1u);
  CTrack& track = *t->arrs[0]->tracks[0];
  EXPECT_EQ(track.folder, nullptr);
  EXPECT_EQ(track.varis[0]->parts[0]->ghostSource, nullptr);
  EXPECT_EQ(track.varis[0]->freeze[0].target, nullptr);
  EXPECT_EQ(t->playGroups[0].items[0].arr, nullptr);
  EXPECT_EQ(t->playGroups[0].items[0].subs[0].track, nullptr);
  EXPECT_TRUE(t->compCables.empty());
  EXPECT_EQ(t->ActiveArr(), nullptr);
  // The dropped references are not written back.
  const std::string text = DumpRecords(SaveBlock(*t));
  EXPECT_EQ(text.find("TrackFolder"), std::string::npos);
  EXPECT_EQ(text.find("TrackVariFz "), std::string::npos);
  EXPECT_NE(text.find("playgritarr int -1"), std::string::npos);
  // A song that plays nothing is still a song that plays.
  SongRig rig;
  LoadBlock(*rig.seq, SaveBlock(*t));
  rig.seq->Start();
  rig.Run(4096, 64);
  EXPECT_TRUE(rig.sent.empty());
}

// Every cut of a song and bytes flipped at random load without a crash or a
// hang, and what loaded still saves.
TEST(SongFile, TruncatedAndDamagedSongsLoadSafely) {
  CTracks song(nullptr);
  FillSong(song);
  const auto bytes = SaveBlock(song);
  MessageCapture messages;
  for (size_t n = 0; n < bytes.size(); n += 7) {
    auto t = Loaded(std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n)));
    SaveBlock(*t);
  }
  std::mt19937 rng(7);
  for (int i = 0; i < 300; ++i) {
    auto damaged = bytes;
    for (int k = 0; k < 4; ++k) damaged[rng() % damaged.size()] = static_cast<uint8_t>(rng());
    auto t = Loaded(damaged);
    SaveBlock(*t);
  }
}

// 64 tracks of 200 parts: the same bytes back through a load and through the
// text form.
TEST(SongFile, ALargeSongRoundTrips) {
  CTracks song(nullptr);
  CArr& a = *song.arrs[0];
  for (int i = 1; i < 64; ++i) song.AddTrack(a, TrackKind::kMidi);
  for (auto& t : a.tracks)
    for (int p = 0; p < 200; ++p) {
      auto part = std::make_unique<CMIDIPart>();
      part->start = p * 960;
      part->length = 960;
      for (int e = 0; e < 4; ++e) part->events.Insert(e * 240, NoteOn(36 + e + p % 40), 120);
      t->varis[0]->parts.push_back(std::move(part));
    }
  const auto bytes = SaveBlock(song);
  auto back = Loaded(bytes);
  EXPECT_EQ(SaveBlock(*back), bytes);
  std::vector<uint8_t> built;
  std::string error;
  ASSERT_TRUE(BuildRecords(DumpRecords(bytes), built, error)) << error;
  EXPECT_EQ(built, bytes);
}

}  // namespace
