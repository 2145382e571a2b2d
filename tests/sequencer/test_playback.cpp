// Playback: every note lands on the sample its tick gives at any block size,
// loops and tempo changes included, and no note is ever left sounding.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>

#include "graph/WorkerPool.h"
#include "midipart/MidiPart2.h"
#include "sequencer/Tracks.h"
#include "shell/Core.h"
#include "tests/sequencer/SongRig.h"

using namespace qr;
using namespace qr::test;

namespace {

struct Exact {
  float rate;
  float tempo;
  int block;
};

class SampleExact : public ::testing::TestWithParam<Exact> {};

TEST_P(SampleExact, NotesLandOnTheirTicksAcrossWrapAndTempoChange) {
  const auto [rate, bpm, block] = GetParam();
  constexpr int32_t kRight = 3840;
  constexpr float kNewTempo = 133.7f;
  SongRig rig(block, rate);
  rig.seq->songTempo = bpm;
  CArr& arr = rig.Arr();
  arr.left = 0;
  arr.right = kRight;
  arr.loop = 1;
  CTrack& t = rig.Track(0);
  // Notes on odd ticks, one cut by the loop end, one held across it.
  rig.Part(t, 0, kRight,
           {{0, 60, 240}, {1, 62, 100}, {479, 64, 3500}, {1000, 65, 37}, {2399, 67, 10}, {3839, 69, 500}});
  // A part that starts late and plays its content from an offset.
  CMIDIPart& late = rig.Part(t, 1920, 1920, {{50, 70, 10}, {100, 71, 30}, {777, 72, 3000}, {2100, 73, 10}});
  late.offset = 100;

  const double a = 16.0 * bpm / rate;
  const float taken = static_cast<float>(static_cast<double>(kNewTempo / 250.0f) * 250.0);
  const double b = 16.0 * static_cast<double>(taken) / rate;
  const int64_t X = static_cast<int64_t>(rate * 0.7);  // the tempo message's sample
  const int64_t N = static_cast<int64_t>(2.3 * kRight / a);

  const LoopReference ref(a, b, X, N, 0, kRight);
  const auto& passes = ref.passes;
  auto sampleOf = [&](size_t pass, double tick) { return ref.SampleOf(pass, tick); };
  // (song tick, key, end tick) of every note the two parts play.
  const std::vector<std::array<double, 3>> notes = {{0, 60, 240},     {1, 62, 101},     {479, 64, 3840},
                                                    {1000, 65, 1037}, {2399, 67, 2409}, {3839, 69, 3840},
                                                    {1920, 71, 1950}, {2597, 72, 3840}};
  std::vector<SentEvent> want;
  for (size_t p = 0; p < passes.size(); ++p) {
    const int64_t wrapAt = p + 1 < passes.size() ? passes[p + 1][0].k0 : INT64_MAX;
    for (const auto& [on, key, off] : notes) {
      const uint32_t k = static_cast<uint32_t>(key);
      want.push_back({sampleOf(p, on), midi::Make(0x90, k, 100)});
      if (off < kRight)
        want.push_back({sampleOf(p, off), midi::Make(0x80, k, 0)});
      else if (wrapAt != INT64_MAX)
        want.push_back({wrapAt, midi::Make(0x90, k, 0)});
    }
  }
  std::erase_if(want, [&](const SentEvent& e) { return e.sample >= N; });
  std::sort(want.begin(), want.end());

  rig.PlayWithTempoChange(block, N, X, kNewTempo, [](int) {});
  std::sort(rig.sent.begin(), rig.sent.end());
  ASSERT_EQ(rig.sent.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i)
    ASSERT_EQ(rig.sent[i], want[i]) << "event " << i << " wanted at " << want[i].sample << " msg " << std::hex
                                    << want[i].msg << ", sent at " << std::dec << rig.sent[i].sample
                                    << " msg " << std::hex << rig.sent[i].msg;
  EXPECT_GE(passes.size(), 3u);
}

std::vector<Exact> ExactCases() {
  std::vector<Exact> v;
  for (float rate : {44100.0f, 48000.0f})
    for (float bpm : {97.3f, 120.0f})
      for (int block : {1, 64, 333, 4096}) v.push_back({rate, bpm, block});
  return v;
}

INSTANTIATE_TEST_SUITE_P(Blocks, SampleExact, ::testing::ValuesIn(ExactCases()), [](const auto& info) {
  return std::to_string(static_cast<int>(info.param.rate)) + "Hz_" +
         std::to_string(static_cast<int>(info.param.tempo * 10)) + "_b" + std::to_string(info.param.block);
});

// The performance loop 0..960 at 120 bpm and 44100 Hz wraps on sample 22050,
// inside a block of 1000: the held note is released there, then tick 0 plays.
TEST(Playback, PerformanceLoopCutsTheBlockAtTheRightLocator) {
  SongRig rig(1000, 44100.0f);
  rig.seq->arrMode = CTracks::kMulti;
  rig.seq->multiLeft = 0;
  rig.seq->multiRight = 960;
  CArr& arr = rig.Arr();
  arr.mode = 2;  // repeated with its active variation
  arr.left = 0;
  arr.right = 960;
  rig.Part(rig.Track(0), 0, 960, {{0, 60, 5000}, {480, 62, 100}});
  rig.seq->Start();
  rig.Run(30000, 1000);
  const std::vector<SentEvent> want = {{0, NoteOn(60)},
                                       {11025, NoteOn(62)},
                                       {13321, midi::Make(0x80, 62, 0)},
                                       {22050, NoteOn(60, 0)},
                                       {22050, NoteOn(60)}};
  EXPECT_EQ(rig.sent, want);
  EXPECT_EQ(rig.seq->stats.wraps, 1);
}

TEST(Playback, LiveModePositionStaysBelowABeatAndCountsTheCycle) {
  SongRig rig(333, 48000.0f);
  rig.seq->arrMode = CTracks::kLive;
  rig.seq->songBeats = 3;
  rig.seq->Start();
  int last = 0, steps = 0;
  for (int i = 0; i < 2000; ++i) {
    rig.Block(333);
    ASSERT_LT(rig.seq->SongPosition(), 960.0);
    ASSERT_GE(rig.seq->SongPosition(), 0.0);
    const int b = rig.seq->BeatCounter();
    ASSERT_TRUE(b >= 0 && b < 3);
    if (b != last) {
      EXPECT_EQ(b, (last + 1) % 3);
      ++steps;
    }
    last = b;
  }
  EXPECT_GT(steps, 20);
}

struct TempoCase {
  int32_t lo, hi, value;
  float want;
};

class TempoController : public ::testing::TestWithParam<TempoCase> {};

TEST_P(TempoController, MapsTheRangeAndClamps) {
  const auto c = GetParam();
  SongRig rig(64);
  rig.seq->arrMode = CTracks::kLive;
  rig.seq->tempoCC = 7;
  rig.seq->tempoCCMin = c.lo;
  rig.seq->tempoCCMax = c.hi;
  rig.Block(64, {{10.0f, midi::Make(0xB0, 7, static_cast<uint32_t>(c.value))}});
  EXPECT_FLOAT_EQ(rig.seq->songTempo, c.want);
  // A taken event never reaches the tracks as live input.
  EXPECT_EQ(rig.seq->ThruQueue().Count(), 0);
}

INSTANTIATE_TEST_SUITE_P(Range, TempoController,
                         ::testing::Values(TempoCase{80, 160, 0, 80.0f}, TempoCase{80, 160, 127, 160.0f},
                                           TempoCase{5, 5, 64, 10.0f}, TempoCase{300, 300, 64, 250.0f}));

TEST(Playback, ControllersTheSequencerDoesNotTakeGoThru) {
  SongRig rig(64);
  rig.seq->arrMode = CTracks::kLive;
  rig.seq->tempoCC = 7;
  rig.Block(64, {{3.0f, midi::Make(0xB0, 8, 5)}, {9.0f, midi::Make(0xB0, 7, 100)}, {20.0f, NoteOn(40)}});
  // The tempo change cut the block at sample 9: only what came after is left.
  ASSERT_EQ(rig.seq->ThruQueue().Count(), 1);
  EXPECT_EQ(rig.seq->ThruQueue()[0].msg, NoteOn(40));
  // Outside live mode the controller is the tracks' to take.
  rig.seq->arrMode = CTracks::kSingle;
  rig.Block(64, {{9.0f, midi::Make(0xB0, 7, 10)}});
  EXPECT_EQ(rig.seq->ThruQueue().Count(), 1);
}

TEST(ArrQueue, EqualTimesServeInTheOrderQueued) {
  CArrQ q;
  int tags[4];
  q.Insert({CArrQ::Target::kArr, &tags[0], 5.0, 0, 0, 0});
  q.Insert({CArrQ::Target::kArr, &tags[1], 2.0, 0, 0, 0});
  q.Insert({CArrQ::Target::kArr, &tags[2], 5.0, 0, 0, 0});
  q.Insert({CArrQ::Target::kArr, &tags[3], 2.0, 0, 0, 0});
  std::vector<void*> order;
  while (q.Count()) {
    order.push_back(q.Front().target);
    q.PopFront();
  }
  EXPECT_EQ(order, (std::vector<void*>{&tags[1], &tags[3], &tags[0], &tags[2]}));
  for (int i = 0; i < 1100; ++i) q.Insert({CArrQ::Target::kArr, nullptr, 1.0, 0, 0, 0});
  EXPECT_EQ(q.Count(), 1024);
}

// ---------------------------------------------------------------- hanging notes

enum class Cut { kStop, kWrap, kMute, kSolo, kDelete, kSwitch, kPartEnd };

class NoHangingNotes : public ::testing::TestWithParam<Cut> {};

int Holding(const SongRig& rig, int key) {
  int n = 0;
  for (const auto& e : rig.sent) {
    if (midi::Data1(e.msg) != static_cast<uint32_t>(key)) continue;
    if (midi::IsNoteOn(e.msg)) ++n;
    if (midi::IsNoteOff(e.msg)) --n;
  }
  return n;
}

// The most notes of one key sounding at once: a second note-on before the
// first one's note-off means the first was left behind.
int MostAtOnce(const SongRig& rig) {
  std::map<uint32_t, int> held;
  int most = 0;
  for (const auto& e : rig.sent) {
    int& n = held[midi::Data1(e.msg)];
    if (midi::IsNoteOn(e.msg)) most = std::max(most, ++n);
    if (midi::IsNoteOff(e.msg)) --n;
  }
  return most;
}

TEST_P(NoHangingNotes, EveryNoteOnGetsItsNoteOff) {
  const Cut cut = GetParam();
  SongRig rig(128);
  CArr& a = rig.Arr();
  a.right = cut == Cut::kWrap ? 400 : 100000;  // 400 ticks wrap after about 9200 samples
  rig.seq->AddTrack(a, TrackKind::kMidi);
  // Track 0 holds keys 60 and 61 long; track 1 holds key 70 and is not touched.
  rig.Part(rig.Track(0), 0, cut == Cut::kPartEnd ? 300 : 50000, {{0, 60, 40000}, {10, 61, 40000}});
  rig.Part(rig.Track(1), 0, 50000, {{0, 70, 40000}});
  CArr& other = rig.seq->AddArr();
  rig.seq->AddTrack(other, TrackKind::kMidi);
  rig.Part(*other.tracks[0], 0, 50000, {{0, 80, 40000}});

  rig.seq->Start();
  rig.Run(128 * 100, 128);  // about 557 ticks
  ASSERT_EQ(Holding(rig, 60), cut == Cut::kPartEnd ? 0 : 1);
  ASSERT_EQ(Holding(rig, 70), 1);

  switch (cut) {
    case Cut::kStop:
      rig.seq->Stop();
      break;
    case Cut::kMute:
      rig.Track(0).varis[0]->state |= CTrackVari::kMuted;
      break;
    case Cut::kSolo:
      rig.Track(1).varis[0]->state |= CTrackVari::kSoloed;
      break;
    case Cut::kDelete:
      rig.seq->DeleteTrack(a, 0);
      break;
    case Cut::kSwitch:
      rig.seq->activeArr = 1;
      rig.seq->RequestSwitch();
      break;
    case Cut::kWrap:
    case Cut::kPartEnd:
      break;
  }
  rig.Run(128 * 3, 128);
  const bool keeps = cut == Cut::kWrap;
  EXPECT_EQ(Holding(rig, 60), keeps ? 1 : 0);
  EXPECT_EQ(Holding(rig, 61), keeps ? 1 : 0);
  EXPECT_EQ(Holding(rig, 70), cut == Cut::kStop || cut == Cut::kSwitch ? 0 : 1);
  if (cut == Cut::kSwitch) {
    EXPECT_EQ(Holding(rig, 80), 1);
  }
  EXPECT_EQ(MostAtOnce(rig), 1);
  rig.seq->Stop();
  rig.Run(128, 128);
  EXPECT_TRUE(rig.Balanced());
  for (auto& arr : rig.seq->arrs)
    for (auto& t : arr->tracks) EXPECT_FALSE(t->Held().Any());
}

INSTANTIATE_TEST_SUITE_P(Cuts, NoHangingNotes,
                         ::testing::Values(Cut::kStop, Cut::kWrap, Cut::kMute, Cut::kSolo, Cut::kDelete,
                                           Cut::kSwitch, Cut::kPartEnd));

TEST(Playback, GhostCopyPlaysItsSourceThroughItsOwnFrame) {
  SongRig rig(64);
  CArr& a = rig.Arr();
  GhostEntry& g = a.ghosts.emplace_back();
  auto src = std::make_unique<CMIDIPart>();
  src->events.Insert(0, NoteOn(50), 10);
  src->events.Insert(480, NoteOn(52), 10);
  g.part = std::move(src);
  CMIDIPart& copy = rig.Part(rig.Track(0), 960, 480, {});
  copy.ghostSource = g.part.get();
  copy.source = static_cast<CMIDIPart*>(g.part.get());
  rig.seq->Start();
  rig.Run(44100, 64);
  // 960 ticks at 120 bpm is half a second; the second event is past the copy's end.
  ASSERT_EQ(rig.sent.size(), 2u);
  EXPECT_EQ(rig.sent[0], (SentEvent{22050, NoteOn(50)}));
}

// ---------------------------------------------------------------- worker cores

// A comp that turns each note-on into a decaying tone from its exact sample.
class ToneComp final : public CComp {
 public:
  explicit ToneComp(CContainer* p) : CComp(p) { AddAudioOut(2); }
  void Process(int frames) noexcept override {
    if (!BeginProcess(frames, true)) return;
    if (std::this_thread::get_id() != audioThread) ranElsewhere = true;
    int next = 0;
    for (int i = 0; i < frames; ++i) {
      for (; next < midiQueue.Count() && static_cast<int>(midiQueue[next].time) <= i; ++next)
        if (midi::IsNoteOn(midiQueue[next].msg)) {
          level = 1.0f;
          phase = 0.0f;
          step = 0.01f * static_cast<float>(midi::Data1(midiQueue[next].msg));
        }
      phase += step;
      level *= 0.9995f;
      outCh[0][i] = level * std::sin(phase);
      outCh[1][i] = level * std::cos(phase);
    }
    EndProcess(frames);
  }
  std::thread::id audioThread = std::this_thread::get_id();
  bool ranElsewhere = false;
  float level = 0, phase = 0, step = 0;
};

std::vector<float> RenderWithComps(int core, bool& elsewhere) {
  SongRig rig(256);
  CCoreSet cores(2);
  rig.root->workers = &cores;
  rig.guard = false;  // the worker's first wake-up may touch the semaphore's lock
  std::vector<ToneComp*> tones;
  for (int i = 0; i < 3; ++i) {
    CTrack& t = i == 0 ? rig.Track(0) : rig.seq->AddTrack(rig.Arr(), TrackKind::kMidi);
    rig.Part(t, 0, 7680, {{i * 100, 40 + i, 200}, {1000 + i * 7, 50 + i, 300}, {3001, 60 + i, 10}});
    auto* tone = static_cast<ToneComp*>(rig.seq->AddComp(std::make_unique<ToneComp>(rig.seq)));
    tone->coreIndex = core;
    tone->ConnectMidi(&t, 0, 0);
    tones.push_back(tone);
  }
  rig.seq->Rebuild();
  rig.seq->Start();
  std::vector<float> out;
  for (int b = 0; b < 400; ++b) {
    rig.Block(256);
    for (int i = 0; i < 256; ++i) {
      out.push_back(rig.seq->outCh[0][i]);
      out.push_back(rig.seq->outCh[1][i]);
    }
  }
  elsewhere = tones[0]->ranElsewhere;
  rig.root->workers = nullptr;
  return out;
}

TEST(Cores, CompsOnASecondCoreRenderTheSameBits) {
  bool onZero = true, onOne = false;
  const auto a = RenderWithComps(0, onZero);
  const auto b = RenderWithComps(1, onOne);
  EXPECT_FALSE(onZero);
  EXPECT_TRUE(onOne);
  ASSERT_EQ(a.size(), b.size());
  EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof(float)), 0);
  float peak = 0;
  for (float x : a) peak = std::max(peak, std::fabs(x));
  EXPECT_GT(peak, 0.5f);
}

// A MIDI part module inside the song reads the song's transport, not the
// root group's.
TEST(Playback, ModulesInsideTheSongReadItsTransport) {
  SongRig rig(441, 44100.0f);
  auto* mp = static_cast<CMIDIPart2*>(rig.seq->AddComp(std::make_unique<CMIDIPart2>(rig.seq)));
  ASSERT_EQ(mp->transport, &rig.seq->transport);
  rig.Arr().left = 960;
  rig.Arr().right = 1920;
  rig.seq->Locate(1900);
  rig.seq->Start();
  rig.Block(441);
  EXPECT_TRUE(mp->transport->playing);
  EXPECT_DOUBLE_EQ(mp->transport->songTicks, 1900.0);
  EXPECT_TRUE(mp->transport->loop);
  EXPECT_EQ(mp->transport->loopStart, 960.0);
  rig.Block(441);
  rig.Block(441);
  // 19.2 ticks a block: the third block starts after the wrap at the right locator.
  EXPECT_NEAR(mp->transport->songTicks, 1900.0 + 2 * 19.2 - 960.0, 1e-9);
  rig.seq->Stop();
  rig.Block(441);
  EXPECT_FALSE(mp->transport->playing);
}

// An envelope part rising from 0 to 1 over 960 ticks: a controller every 32
// samples' worth of ticks, rising, never repeated, ending at 127, on the same
// samples at every block size.
TEST(Playback, EnvelopeTracksSendTheirControllerOnTheSongsGrid) {
  std::vector<SentEvent> first;
  for (int block : {1, 7, 64, 4096}) {
    SongRig rig(block, 44100.0f);
    CTrack& t = rig.seq->AddTrack(rig.Arr(), TrackKind::kEnvelope);
    t.cc = 11;
    auto p = std::make_unique<CEnvelopePart>();
    p->length = 1920;
    p->points = {{0, 0.0f, 0, 0}, {960, 1.0f, 0, 0}};
    t.varis[0]->parts.push_back(std::move(p));
    rig.seq->Start();
    rig.Run(44100, block);
    ASSERT_GT(rig.sent.size(), 100u);
    uint32_t last = 0;
    for (size_t i = 0; i < rig.sent.size(); ++i) {
      const uint32_t m = rig.sent[i].msg;
      ASSERT_EQ(midi::Status(m), 0xB0u);
      ASSERT_EQ(midi::Data1(m), 11u);
      if (i > 0) {
        ASSERT_GT(midi::Data2(m), last) << i;
      }
      last = midi::Data2(m);
      // 32 samples of 120 bpm at 44100 Hz are 1.393 ticks: grid point k sounds on sample 32 k.
      ASSERT_EQ(rig.sent[i].sample % 32, 0) << "block " << block << " sample " << rig.sent[i].sample;
    }
    EXPECT_EQ(midi::Data2(rig.sent.front().msg), 0u);
    EXPECT_EQ(last, 127u);
    if (first.empty()) first = rig.sent;
    EXPECT_EQ(rig.sent, first) << "block " << block;
  }
}

// Recording starts the song on an exact sample: after a count-in of one beat
// (22050 samples at 120 bpm and 44100 Hz), or on the first incoming event.
TEST(Playback, RecordingStartsOnTheCountInsLastSampleOrTheFirstNote) {
  for (int mode : {1, 2}) {
    SongRig rig(1000, 44100.0f);
    rig.seq->countIn = 1;
    rig.seq->recordStartMode = mode;
    rig.Part(rig.Track(0), 0, 7680, {{0, 60, 10}});
    ASSERT_TRUE(rig.seq->Command("Record"));
    rig.Run(12000, 1000);
    rig.Block(1000, {{345.0f, NoteOn(30)}});
    rig.Run(20000, 1000);
    ASSERT_FALSE(rig.sent.empty());
    EXPECT_EQ(rig.sent[0], (SentEvent{mode == 1 ? 22050 : 12345, NoteOn(60)})) << "mode " << mode;
    EXPECT_TRUE(rig.seq->Playing());
  }
}

// The performance plays an arrangement by its timeline: each event starts the
// arrangement from its left locator with the event's variation, on the
// sample the event's tick gives, and ends it with the event.
TEST(Playback, TimelineEventsStartTheirVariationsOnTheirSamples) {
  for (int block : {1, 64, 4096}) {
    SongRig rig(block, 44100.0f);
    rig.seq->arrMode = CTracks::kMulti;
    rig.seq->multiLoop = 0;
    CArr& a = rig.Arr();
    a.mode = 3;
    a.variCount = 2;
    a.timeline = {{0, 0, 960, 0, 0}, {960, 0, 960, 1, 0}};
    CTrack& t = rig.Track(0);
    t.varis.push_back(std::make_unique<CTrackVari>());
    rig.Part(t, 0, 7680, {{100, 60, 2000}}, 0);
    rig.Part(t, 0, 7680, {{200, 62, 10}}, 1);
    rig.seq->Start();
    rig.Run(60000, block);
    // 960 ticks are 22050 samples; the held note ends with its event.
    const std::vector<SentEvent> want = {{2296, NoteOn(60)},
                                         {22050, NoteOn(60, 0)},
                                         {22050 + 4593, NoteOn(62)},
                                         {22050 + 4823, midi::Make(0x80, 62, 0)}};
    EXPECT_EQ(rig.sent, want) << "block " << block;
  }
}

// Under the host's clock the song starts, jumps and stops with the host.
TEST(Playback, TheHostsClockStartsMovesAndStopsTheSong) {
  SongRig rig(441, 44100.0f);
  rig.seq->clock = 1;
  rig.Part(rig.Track(0), 0, 7680, {{960, 60, 5000}, {1000, 62, 5000}});
  TransportInfo& host = rig.root->transport;
  rig.Block(441);
  EXPECT_TRUE(rig.sent.empty());
  host.playing = true;
  host.songTicks = 960.0;
  rig.Block(441);  // plays 960 .. 979.2
  ASSERT_EQ(rig.sent.size(), 1u);
  EXPECT_EQ(rig.sent[0], (SentEvent{441, NoteOn(60)}));
  host.songTicks = 979.2;  // the host moved on as we did: no jump
  rig.Block(441);          // 979.2 .. 998.4
  host.songTicks = 998.4;
  rig.Block(441);  // 998.4 .. 1017.6: key 62 at 1000
  ASSERT_EQ(rig.sent.size(), 2u);
  EXPECT_EQ(rig.sent[1], (SentEvent{1323 + 36, NoteOn(62)}));
  host.songTicks = 960.0;  // the host loops back: both notes end, 60 starts again
  rig.Block(441);
  ASSERT_EQ(rig.sent.size(), 5u);
  EXPECT_EQ(rig.sent[4], (SentEvent{1764, NoteOn(60)}));
  host.playing = false;
  rig.Block(441);
  EXPECT_FALSE(rig.seq->Playing());
  EXPECT_TRUE(rig.Balanced());
}

}  // namespace
