// Plug-ins no test here wrote: every one the scan finds in the system's plug-in
// folders loads, runs an impulse and a sine without a sample that is not a
// number, reports its latency, hands back its state and takes it again, and
// closes. An instrument played by a MIDI part of ours sounds at the notes.
// Their figures are written to vsthost-real-plugins.txt in the build folder.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <numbers>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include "graph/Container.h"
#include "midipart/MidiPart2.h"
#include "platform/Files.h"
#include "tests/support/MessageCapture.h"
#include "tests/support/Stubs.h"
#include "vsthost/PluginFolders.h"
#include "vsthost/VST.h"

using namespace qr;
using namespace qr::test;

namespace {

#if defined(__SANITIZE_ADDRESS__)
// What the installed plug-ins leak is theirs: their allocations are left out
// of the leak check, while our side still runs under the address checks.
struct TheirLeaks {
  TheirLeaks() { __lsan_disable(); }
  ~TheirLeaks() { __lsan_enable(); }
};
#else
struct TheirLeaks {};
#endif

const std::vector<std::string> kSystemFolders = {"/usr/lib/vst", "/usr/lib/lxvst"};

// An impulse on sample 0, then a 440 Hz sine at half scale, on every channel.
class ImpulseSine : public CComp {
 public:
  explicit ImpulseSine(CContainer* parent) : CComp(parent) { AddAudioOut(2); }
  void Process(int frames) noexcept override {
    if (!BeginProcess(frames, false)) return;
    for (int i = 0; i < frames; ++i) {
      const long t = pos + i;
      const float v =
          t == 0
              ? 1.0f
              : 0.5f * static_cast<float>(std::sin(2.0 * std::numbers::pi * 440.0 * static_cast<double>(t) /
                                                   static_cast<double>(sampleRate)));
      outCh[0][i] = outCh[1][i] = v;
    }
    pos += frames;
    EndProcess(frames);
  }
  long pos = 0;
};

std::vector<PluginInfo> Installed() {
  std::vector<PluginInfo> found;
  for (PluginInfo& p : ScanPlugins(kSystemFolders))
    if (p.error.empty()) found.push_back(std::move(p));
  return found;
}

}  // namespace

TEST(RealPlugins, EachLoadsProcessesRestoresItsStateAndCloses) {
  [[maybe_unused]] const TheirLeaks theirs;
  const std::vector<PluginInfo> plugins = Installed();
  if (plugins.empty())
    GTEST_SKIP() << "no VST 2 plug-ins in /usr/lib/vst or /usr/lib/lxvst (.ci/setup installs them)";
  std::ofstream table(std::string(QR_BINARY_DIR) + "/vsthost-real-plugins.txt");
  table << "plug-in | loaded | processed | latency | chunk bytes | restored | us per 256-sample block\n";
  constexpr int kBlock = 256, kBlocks = 64;
  for (const PluginInfo& info : plugins) {
    SCOPED_TRACE(info.path);
    MessageCapture m;
    auto root = MakeRoot(kBlock, 44100.0f);
    auto* vst = Add<CVST>(*root);
    const bool loaded = vst->LoadPlugin(info.path);
    EXPECT_TRUE(loaded) << vst->Problem();
    if (!loaded) continue;
    auto* src = Add<ImpulseSine>(*root);
    if (!vst->audioIns.empty()) vst->ConnectAudio(src, 0, 0);
    root->ConnectAudio(vst, 0, 0);
    auto* notes = Add<StubMidiSource>(*root);
    vst->ConnectMidi(notes, 0, 0);
    double seconds = 0.0;
    int processed = 0;
    for (int b = 0; b < kBlocks; ++b) {
      notes->events.clear();
      if (b == 0) notes->events.push_back({0.0f, midi::Make(0x90, 60, 100)});
      if (b == kBlocks / 2) notes->events.push_back({0.0f, midi::Make(0x80, 60, 0)});
      const auto t0 = std::chrono::steady_clock::now();
      root->Process(kBlock);
      seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      processed += vst->Done();
    }
    EXPECT_EQ(processed, kBlocks);
    EXPECT_EQ(vst->NonFiniteBlocks(), 0);
    const int32_t latency = vst->Latency();
    EXPECT_GE(latency, 0);
    const FxBank bank = vst->MakeBank();
    const std::vector<uint8_t> bytes = WriteFxBank(bank);
    EXPECT_TRUE(vst->ApplyBank(bank));
    const bool same = WriteFxBank(vst->MakeBank()) == bytes;
    table << FileNameOf(info.path) << " | yes | " << processed << " blocks | " << latency << " | ";
    if (bank.chunk)
      table << bank.data.size();
    else
      table << "(" << bytes.size() << " bank)";
    table << " | " << (same ? "same" : "differs") << " | " << static_cast<int>(seconds / kBlocks * 1e6)
          << "\n";
    EXPECT_TRUE(m.messages.empty()) << m.messages[0].text;
    vst->Unload();
    EXPECT_FALSE(vst->Loaded());
  }
}

// Played by a MIDI part of ours at 120 bpm (1920 ticks a second), an
// instrument is silent until the first note and sounds within a short attack
// of each note's sample.
TEST(RealPlugins, AnInstrumentSoundsAtTheNotesOfAMidiPart) {
  [[maybe_unused]] const TheirLeaks theirs;
  std::vector<std::string> instruments;
  for (const char* name : {"Kars-vst.so", "Nekobi-vst.so", "ZynAddSubFX.so"})
    if (const std::string p = FindPluginFile(name, kSystemFolders); !p.empty()) instruments.push_back(p);
  if (instruments.empty()) GTEST_SKIP() << "none of Kars, Nekobi, ZynAddSubFX is installed";
  constexpr int kAttack = 64;  // samples an instrument may take to be heard
  for (const std::string& path : instruments)
    for (int block : {64, 1000}) {
      SCOPED_TRACE(path + " block " + std::to_string(block));
      const float rate = 48000.0f;
      auto root = MakeRoot(block, rate);
      root->SetTempo(120.0f);
      auto* mp = Add<CMIDIPart2>(*root);
      auto* vst = Add<CVST>(*root);
      ASSERT_TRUE(vst->LoadPlugin(path)) << vst->Problem();
      vst->ConnectMidi(mp, 0, 0);
      root->ConnectAudio(vst, 0, 0);
      CLiveMIDIPart& p = *mp->Part(0);
      p.loopRight = p.length = 3840 * 8;
      const int ticks[] = {1000, 2500};
      for (int t : ticks) p.events.Insert(t, midi::Make(0x90, 57, 127), 480);
      mp->PlayPart(&p);
      const int total = 80000;
      std::vector<float> out;
      for (int now = 0; now < total; now += block) {
        root->Process(block);
        out.insert(out.end(), vst->outCh[0], vst->outCh[0] + block);
      }
      const int first = static_cast<int>(std::floor(ticks[0] * rate / 1920.0));
      const int second = static_cast<int>(std::floor(ticks[1] * rate / 1920.0));
      float before = 0.0f, attack = 0.0f;
      for (int i = 0; i < first; ++i) before = std::max(before, std::fabs(out[static_cast<size_t>(i)]));
      for (int i = first; i < first + kAttack; ++i)
        attack = std::max(attack, std::fabs(out[static_cast<size_t>(i)]));
      EXPECT_EQ(before, 0.0f) << "sound before the first note";
      EXPECT_GT(attack, 1e-4f) << "no sound within " << kAttack << " samples of sample " << first;
      float later = 0.0f;
      for (int i = second; i < second + 4800; ++i)
        later = std::max(later, std::fabs(out[static_cast<size_t>(i)]));
      EXPECT_GT(later, 1e-4f) << "second note";
    }
}
