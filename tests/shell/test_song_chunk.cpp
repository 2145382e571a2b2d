// A song plays in the plug-in while the host hands over a chunk that is cut
// short or garbage, and while the program opens such a file: the loader's
// message is shown and the song plays on, sample for sample as if nothing
// had been handed over.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "audio/Sample.h"
#include "graph/Container.h"
#include "graph/Globals.h"
#include "persist/Project.h"
#include "platform/Files.h"
#include "sequencer/Tracks.h"
#include "shell/VSTPlug.h"
#include "stream/RecordStream.h"
#include "tests/support/MessageCapture.h"

using namespace qr;

namespace {

constexpr int kBlock = 64;
constexpr double kRate = 48000.0;

// A song that follows the host's clock: a looping bar of four notes and a
// metronome click, its audio to the master outputs and its MIDI to the host.
std::vector<uint8_t> SongChunk() {
  CGroup root(nullptr);
  root.id = "Master Out";
  root.AddAudioIn(2);
  root.SetBlockSize(kBlock);
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
  click.rate = static_cast<float>(kRate);
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

// The host: a transport that plays at 120 bpm from the first block, and a
// MIDI input that records what the plug-in sends with its sample.
struct Host {
  static inline vst2::VstTimeInfo time{};
  static inline Heard* heard = nullptr;
  static inline int64_t now = 0;
  static intptr_t Callback(vst2::AEffect*, int32_t opcode, int32_t, intptr_t, void* ptr, float) {
    switch (opcode) {
      case vst2::audioMasterVersion:
        return 2400;
      case vst2::audioMasterGetTime:
        return reinterpret_cast<intptr_t>(&time);
      case vst2::audioMasterProcessEvents: {
        const auto* list = static_cast<const vst2::VstEvents*>(ptr);
        for (int i = 0; heard && i < list->numEvents; ++i) {
          const auto* m = reinterpret_cast<const vst2::VstMidiEvent*>(list->events[i]);
          heard->midi.push_back({now + m->deltaFrames, midi::Make(static_cast<uint8_t>(m->midiData[0]),
                                                                  static_cast<uint8_t>(m->midiData[1]),
                                                                  static_cast<uint8_t>(m->midiData[2]))});
        }
        return 1;
      }
      default:
        return 0;
    }
  }
};

class Plugin {
 public:
  Plugin() {
    g_runMode = kRunEffect;
    Host::time = {};
    Host::now = 0;
    effect_ = CreatePlugin(&Host::Callback, "");
    plug_ = static_cast<TVSTPlug*>(static_cast<AudioEffect*>(effect_->object));
    Dispatch(vst2::effOpen);
    Dispatch(vst2::effSetSampleRate, 0, 0, nullptr, static_cast<float>(kRate));
    Dispatch(vst2::effSetBlockSize, 0, kBlock);
    Dispatch(vst2::effMainsChanged, 0, 1);
  }
  ~Plugin() {
    Dispatch(vst2::effClose);
    Host::heard = nullptr;
  }
  intptr_t Dispatch(int32_t op, int32_t index = 0, intptr_t value = 0, void* ptr = nullptr, float opt = 0) {
    return effect_->dispatcher(effect_, op, index, value, ptr, opt);
  }
  void SetChunk(std::vector<uint8_t> bytes) {
    Dispatch(vst2::effSetChunk, 0, static_cast<intptr_t>(bytes.size()), bytes.data());
  }
  void Blocks(int n, Heard& h) {
    Host::heard = &h;
    for (int b = 0; b < n; ++b) {
      Host::time.flags = vst2::kVstTransportPlaying | vst2::kVstTempoValid | vst2::kVstPpqPosValid;
      Host::time.tempo = 120.0;
      Host::time.sampleRate = kRate;
      Host::time.samplePos = static_cast<double>(Host::now);
      Host::time.ppqPos = static_cast<double>(Host::now) * 2.0 / kRate;
      std::vector<float> in(kBlock, 0.0f), l(kBlock, 9.0f), r(kBlock, 9.0f);
      float* ins[2] = {in.data(), in.data()};
      float* outs[2] = {l.data(), r.data()};
      effect_->processReplacing(effect_, ins, outs, kBlock);
      h.audio.insert(h.audio.end(), l.begin(), l.end());
      Host::now += kBlock;
    }
  }
  TVSTPlug& plug() { return *plug_; }

 private:
  vst2::AEffect* effect_;
  TVSTPlug* plug_;
};

std::vector<uint8_t> Garbage(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> out(n);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

}  // namespace

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
    Plugin p;
    p.SetChunk(song);
    p.Blocks(3200, want);
  }
  ASSERT_EQ(want.midi.size(), 8u);  // the bar's four notes
  ASSERT_NE(std::count(want.audio.begin(), want.audio.end(), 0.5f), 0);

  Heard got;
  Plugin p;
  p.SetChunk(song);
  p.Blocks(200, got);
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
         for (int i = 0; i < 4; ++i) p.plug().IdlePass();
       }},
  };
  for (const Step& st : steps) {
    test::MessageCapture sink;
    st.hand();
    ASSERT_FALSE(sink.Texts().empty()) << st.what;
    EXPECT_EQ(sink.Texts().back().rfind("Main: error reading ", 0), 0u)
        << st.what << ": " << sink.Texts().back();
    p.Blocks(750, got);
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
