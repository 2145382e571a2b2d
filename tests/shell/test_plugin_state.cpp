// The plug-in object in process: flags that keep the audio thread safe, the
// sample-rate and idle behaviour a host relies on, and a playing song that
// survives the broken chunks and files it is handed.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <stdexcept>

#include "audio/Sample.h"
#include "graph/Globals.h"
#include "persist/Project.h"
#include "platform/Files.h"
#include "sequencer/Tracks.h"
#include "shell/VSTPlug.h"
#include "stream/RecordStream.h"
#include "tests/support/AllocGuard.h"
#include "tests/support/MessageCapture.h"

using namespace qr;

namespace {

// The plug-in object in this process, driven through its entry record as a
// host drives it. The host hands out `time` while its flags are set and keeps
// what the plug-in sends, at its sample, in `sent`.
struct InProcess {
  static inline std::function<void()> onGetTime;
  static inline vst2::VstTimeInfo time{};
  static inline std::vector<std::pair<int64_t, uint32_t>>* sent = nullptr;
  static inline int64_t now = 0;
  static intptr_t Host(vst2::AEffect*, int32_t opcode, int32_t, intptr_t, void* ptr, float) {
    if (opcode == vst2::audioMasterVersion) return 2400;
    if (opcode == vst2::audioMasterGetTime) {
      if (onGetTime) onGetTime();
      return time.flags ? reinterpret_cast<intptr_t>(&time) : 0;
    }
    if (opcode == vst2::audioMasterProcessEvents) {
      const auto* list = static_cast<const vst2::VstEvents*>(ptr);
      for (int i = 0; sent && i < list->numEvents; ++i) {
        const auto* m = reinterpret_cast<const vst2::VstMidiEvent*>(list->events[i]);
        sent->push_back({now + m->deltaFrames, midi::Make(static_cast<uint8_t>(m->midiData[0]),
                                                          static_cast<uint8_t>(m->midiData[1]),
                                                          static_cast<uint8_t>(m->midiData[2]))});
      }
      return 1;
    }
    return 0;
  }
  InProcess() {
    g_runMode = kRunEffect;
    time = {};
    now = 0;
    effect = CreatePlugin(&Host, "");
    plug = static_cast<TVSTPlug*>(static_cast<AudioEffect*>(effect->object));
    Dispatch(vst2::effSetBlockSize, 0, 64);
    // Master input straight to the master outputs.
    plug->Root().ConnectAudio(plug->MasterIn(), 0, 0);
  }
  ~InProcess() {
    onGetTime = nullptr;
    sent = nullptr;
    Dispatch(vst2::effClose);
  }
  intptr_t Dispatch(int32_t op, int32_t index = 0, intptr_t value = 0, void* ptr = nullptr, float opt = 0) {
    return effect->dispatcher(effect, op, index, value, ptr, opt);
  }
  void SetChunk(std::vector<uint8_t> bytes) {
    Dispatch(vst2::effSetChunk, 0, static_cast<intptr_t>(bytes.size()), bytes.data());
  }
  void Run(float in_value, float* out_l) {
    std::vector<float> l(64, in_value), r(64, in_value), ol(64, 7.0f), orr(64, 7.0f);
    float* ins[2] = {l.data(), r.data()};
    float* outs[2] = {ol.data(), orr.data()};
    plug->processReplacing(ins, outs, 64);
    std::copy(ol.begin(), ol.end(), out_l);
    now += 64;
  }
  vst2::AEffect* effect;
  TVSTPlug* plug;
};

// A song that follows the host's clock: a looping bar of four notes and a
// metronome click, its audio to the master outputs and its MIDI to the host.
std::vector<uint8_t> SongChunk() {
  CGroup root(nullptr);
  root.id = "Master Out";
  root.AddAudioIn(2);
  root.SetBlockSize(64);
  auto mi = std::make_unique<CMasterIn>(&root);
  mi->x = 16;
  mi->y = 32;
  root.masterIn = static_cast<CMasterIn*>(root.AddChild(std::move(mi)));
  auto* seq = static_cast<CTracks*>(root.AddChild(std::make_unique<CTracks>(&root)));
  seq->clock = 1;
  CArr& arr = *seq->arrs[0];
  arr.left = 0;
  arr.right = 3840;
  auto part = std::make_unique<CMIDIPart>();
  part->length = 3840;
  for (int32_t i = 0; i < 4; ++i) part->events.Insert(i * 960, midi::Make(0x90, 60 + i, 100), 480);
  arr.tracks[0]->varis[0]->parts.push_back(std::move(part));
  seq->clickEnabled = 1;
  seq->clickVol = 0.5f;
  CSample click;
  click.formatTag = 3;
  click.rate = 48000.0f;
  click.Allocate(3, 32, 1);
  const float frames[3] = {1.0f, 0.5f, 0.25f};
  std::memcpy(click.data.data() + 4, frames, sizeof frames);
  click.end = 3;
  CMemStream c;
  click.SaveRecords(c);
  seq->clickWav = c.Data();
  root.ConnectAudio(seq, 0, 0);
  root.ConnectMidi(seq, 0, 0);
  CProject project;
  CMemStream s;
  SaveProject(root, project, s);
  return s.Data();
}

struct Heard {
  std::vector<float> audio;
  std::vector<std::pair<int64_t, uint32_t>> midi;
};

// `n` blocks under a host whose transport plays at 120 bpm from the first
// block; the left output and the MIDI sent are kept.
void Blocks(InProcess& p, int n, Heard& h) {
  InProcess::sent = &h.midi;
  for (int b = 0; b < n; ++b) {
    vst2::VstTimeInfo& t = InProcess::time;
    t.flags = vst2::kVstTransportPlaying | vst2::kVstTempoValid | vst2::kVstPpqPosValid;
    t.tempo = 120.0;
    t.sampleRate = 48000.0;
    t.samplePos = static_cast<double>(InProcess::now);
    t.ppqPos = static_cast<double>(InProcess::now) * 2.0 / 48000.0;
    std::vector<float> in(64, 0.0f), l(64, 9.0f), r(64, 9.0f);
    float* ins[2] = {in.data(), in.data()};
    float* outs[2] = {l.data(), r.data()};
    p.effect->processReplacing(p.effect, ins, outs, 64);
    h.audio.insert(h.audio.end(), l.begin(), l.end());
    InProcess::now += 64;
  }
}

void StartAt48k(InProcess& p) {
  p.Dispatch(vst2::effOpen);
  p.Dispatch(vst2::effSetSampleRate, 0, 0, nullptr, 48000.0f);
  p.Dispatch(vst2::effMainsChanged, 0, 1);
}

std::vector<uint8_t> Garbage(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> out(n);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

}  // namespace

TEST(PluginState, ProcessingAllocatesNothing) {
  InProcess p;
  std::vector<float> l(64, 0.5f), r(64, 0.5f), ol(64), orr(64);
  float* ins[2] = {l.data(), r.data()};
  float* outs[2] = {ol.data(), orr.data()};
  p.plug->processReplacing(ins, outs, 64);  // the first block settles the tempo
  test::AllocGuard g;
  for (int i = 0; i < 10; ++i) p.plug->processReplacing(ins, outs, 64);
  EXPECT_TRUE(g.Clean()) << g.Report();
  EXPECT_FLOAT_EQ(ol[10], 0.5f);
}

TEST(PluginState, SilentWhileRebuildingAndWhenReentered) {
  InProcess p;
  float out[64];
  p.Run(0.25f, out);
  EXPECT_FLOAT_EQ(out[5], 0.25f);
  p.plug->Root().rebuild = true;
  p.Run(0.25f, out);
  EXPECT_FLOAT_EQ(out[5], 0.0f);
  p.plug->Root().rebuild = false;

  // A process call made from inside the host callback of a running block.
  float inner[64];
  bool entered = false;
  InProcess::onGetTime = [&] {
    if (entered) return;
    entered = true;
    p.Run(0.75f, inner);
  };
  p.Run(0.5f, out);
  EXPECT_TRUE(entered);
  EXPECT_FLOAT_EQ(inner[3], 0.0f);
  EXPECT_FLOAT_EQ(out[3], 0.5f);  // the outer block was untouched by the attempt
}

TEST(PluginState, UnchangedSampleRateLeavesTheGraphButSetsSamplesPerMillisecond) {
  InProcess p;
  p.plug->Root().sampleRate = 1.0f;  // a marker the graph would overwrite
  g_samplesPerMs = 0;
  p.plug->dispatcher(vst2::effSetSampleRate, 0, 0, nullptr, 44100.0f);
  EXPECT_FLOAT_EQ(p.plug->Root().sampleRate, 1.0f);
  EXPECT_EQ(g_samplesPerMs.load(), 44);
  p.plug->dispatcher(vst2::effSetSampleRate, 0, 0, nullptr, 48000.0f);
  EXPECT_FLOAT_EQ(p.plug->Root().sampleRate, 48000.0f);
  EXPECT_EQ(g_samplesPerMs.load(), 48);
}

TEST(PluginState, HostChannelCountOpcodeIsBoundedLikeTheIni) {
  InProcess p;
  test::MessageCapture sink;
  struct Case {
    int32_t index;
    intptr_t value;
    int32_t inputs, outputs;
    size_t notices;
  };
  for (const Case c :
       {Case{32, 0, 32, 0, 0}, Case{33, -1, 32, 0, 1}, Case{-7, intptr_t{1} << 40, 0, 32, 1}}) {
    sink.Clear();
    p.Dispatch(kOpSetHostChannels, c.index, c.value);
    EXPECT_EQ(p.plug->HostInputs(), c.inputs) << c.index;
    EXPECT_EQ(p.plug->HostOutputs(), c.outputs) << c.value;
    EXPECT_EQ(sink.Texts(), std::vector<std::string>(c.notices, "Max 32 mono channels"));
  }
}

TEST(PluginState, UnallocatableBlockSizeShowsSetFramesErrorAndKeepsTheOldSize) {
  InProcess p;
  // Sizes whose buffers cannot be had, also one that does not fit 32 bits.
  for (intptr_t frames : {intptr_t{0x7fffffff}, intptr_t{1} << 40, intptr_t{-5}}) {
    test::MessageCapture sink;
    p.Dispatch(vst2::effSetBlockSize, 0, frames);
    ASSERT_EQ(sink.Texts().size(), 1u) << frames;
    EXPECT_EQ(sink.Texts()[0].rfind("setFrames error: ", 0), 0u) << sink.Texts()[0];
    EXPECT_EQ(p.plug->Root().blockSize, 64);
    float out[64];
    p.Run(0.25f, out);
    EXPECT_FLOAT_EQ(out[63], 0.25f);
  }
}

TEST(PluginState, HostChunkWinsOverAnOpenStillWaitingForIdle) {
  InProcess p;
  CMemStream song;  // the wired project the host restores
  SaveProject(p.plug->Root(), p.plug->Project(), song);
  // An open from the menu (an empty file: a project without cables) is posted
  // and waits for idle passes.
  const std::string file = ::testing::TempDir() + "/posted-open.qrw";
  ASSERT_TRUE(WriteFileAtomically(file, {}));
  ASSERT_TRUE(OpenProjectFile(p.plug->Root(), p.plug->Project(), file, false));
  test::MessageCapture sink;
  std::vector<uint8_t> bytes = song.Data();
  p.SetChunk(bytes);
  EXPECT_TRUE(sink.Texts().empty());
  for (int i = 0; i < 40; ++i) p.plug->IdlePass();  // the dropped open stays dropped
  float out[64];
  p.Run(0.5f, out);
  EXPECT_FLOAT_EQ(out[0], 0.5f);
}

namespace {
struct ThrowingObserver {
  int calls = 0;
  void Seen(const CMIDIQ&) {
    if (++calls == 1) throw std::runtime_error("observer failed");
  }
};
}  // namespace

TEST(PluginState, AnExceptionInsideABlockStaysOnOurSideOfTheHostEntry) {
  InProcess p;
  ThrowingObserver obs;
  p.plug->midiObserver = Callback<void(const CMIDIQ&)>::Bind<&ThrowingObserver::Seen>(&obs);
  std::vector<float> in(64, 0.5f), l(64), r(64);
  float* ins[2] = {in.data(), in.data()};
  float* outs[2] = {l.data(), r.data()};
  p.effect->processReplacing(p.effect, ins, outs, 64);  // the host's call returns
  EXPECT_FLOAT_EQ(l[10], 0.0f);                         // with silence, not what the block made
  p.effect->processReplacing(p.effect, ins, outs, 64);  // and the next block is not locked out
  EXPECT_FLOAT_EQ(l[10], 0.5f);
  EXPECT_EQ(obs.calls, 2);
  p.plug->midiObserver.Clear();
}

// A song playing while the host hands over a chunk cut short or garbage, or
// the program opens such a file: the loader's message is shown and the song
// plays on, sample for sample as if nothing had been handed over.
TEST(SongChunk, ABrokenSongIsRefusedAndThePlayingOneGoesOn) {
  const std::vector<uint8_t> song = SongChunk();
  std::vector<uint8_t> cut = song;
  cut.resize(song.size() * 2 / 3);
  // The song's own start, then a record that claims far more than follows.
  std::vector<uint8_t> hostile(song.begin(), song.begin() + static_cast<std::ptrdiff_t>(song.size() / 2));
  {
    CMemStream s;
    s.WriteKey("MultiArr", 0x7ffffff0);
    hostile.insert(hostile.end(), s.Data().begin(), s.Data().end());
  }
  const std::string file = ::testing::TempDir() + "/qr-cut-song.qrw";
  ASSERT_TRUE(WriteFileAtomically(file, cut));

  // What the song sounds like when left alone.
  Heard want;
  {
    InProcess p;
    StartAt48k(p);
    p.SetChunk(song);
    Blocks(p, 3200, want);
  }
  ASSERT_EQ(want.midi.size(), 8u);  // the bar's four notes
  ASSERT_NE(std::count(want.audio.begin(), want.audio.end(), 0.5f), 0);

  Heard got;
  InProcess p;
  StartAt48k(p);
  p.SetChunk(song);
  Blocks(p, 200, got);
  struct Step {
    const char* what;
    std::function<void()> hand;
  };
  const Step steps[] = {
      {"cut chunk", [&] { p.SetChunk(cut); }},
      {"hostile chunk", [&] { p.SetChunk(hostile); }},
      {"garbage chunk", [&] { p.SetChunk(Garbage(5000, 7)); }},
      {"cut file",
       [&] {
         p.Dispatch(kOpOpenProject, 0, 0, const_cast<char*>(file.c_str()));
         for (int i = 0; i < 4; ++i) p.plug->IdlePass();
       }},
  };
  for (const Step& st : steps) {
    test::MessageCapture sink;
    st.hand();
    ASSERT_FALSE(sink.Texts().empty()) << st.what;
    EXPECT_EQ(sink.Texts().back().rfind("Main: error reading ", 0), 0u)
        << st.what << ": " << sink.Texts().back();
    Blocks(p, 750, got);
  }
  ASSERT_EQ(got.audio.size(), want.audio.size());
  EXPECT_TRUE(got.audio == want.audio);
  EXPECT_EQ(got.midi, want.midi);
  // And a good chunk is still taken.
  test::MessageCapture sink;
  p.SetChunk(song);
  EXPECT_TRUE(sink.Texts().empty());
  std::remove(file.c_str());
}
