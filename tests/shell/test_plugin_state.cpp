// The plug-in object in process: flags that keep the audio thread safe, and the
// sample-rate and idle behaviour a host relies on.
#include <gtest/gtest.h>

#include <stdexcept>

#include "graph/Globals.h"
#include "platform/Files.h"
#include "shell/VSTPlug.h"
#include "tests/support/AllocGuard.h"
#include "tests/support/MessageCapture.h"

using namespace qr;

namespace {

struct InProcess {
  static inline std::function<void()> onGetTime;
  static intptr_t Host(vst2::AEffect*, int32_t opcode, int32_t, intptr_t, void*, float) {
    if (opcode == vst2::audioMasterVersion) return 2400;
    if (opcode == vst2::audioMasterGetTime && onGetTime) onGetTime();
    return 0;
  }
  InProcess() {
    g_runMode = kRunEffect;
    effect = CreatePlugin(&Host, "");
    plug = static_cast<TVSTPlug*>(static_cast<AudioEffect*>(effect->object));
    plug->dispatcher(vst2::effSetBlockSize, 0, 64, nullptr, 0);
    // Master input straight to the master outputs.
    plug->Root().ConnectAudio(plug->MasterIn(), 0, 0);
  }
  ~InProcess() {
    onGetTime = nullptr;
    effect->dispatcher(effect, vst2::effClose, 0, 0, nullptr, 0);
  }
  void Run(float in_value, float* out_l) {
    std::vector<float> l(64, in_value), r(64, in_value), ol(64, 7.0f), orr(64, 7.0f);
    float* ins[2] = {l.data(), r.data()};
    float* outs[2] = {ol.data(), orr.data()};
    plug->processReplacing(ins, outs, 64);
    std::copy(ol.begin(), ol.end(), out_l);
  }
  vst2::AEffect* effect;
  TVSTPlug* plug;
};

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
    p.effect->dispatcher(p.effect, kOpSetHostChannels, c.index, c.value, nullptr, 0);
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
    p.effect->dispatcher(p.effect, vst2::effSetBlockSize, 0, frames, nullptr, 0);
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
  p.effect->dispatcher(p.effect, vst2::effSetChunk, 0, static_cast<intptr_t>(bytes.size()), bytes.data(), 0);
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
