// Output volume and pan, controllers, mute and solo, inserts and delay compensation.
#include <gtest/gtest.h>

#include <cstring>

#include "graph/Globals.h"
#include "tests/support/RunBlock.h"
#include "tests/support/Stubs.h"

using namespace qr;
using namespace qr::test;

namespace {

// A source cabled straight to the master outputs.
struct Chain {
  std::unique_ptr<CGroup> root = MakeRoot(512);
  StubSource* src = nullptr;
  StubMidiSource* ctl = nullptr;
  explicit Chain(bool controllers = false) {
    src = Add<StubSource>(*root, std::vector<int>{2}, 0.5f);
    root->ConnectAudio(src, 0, 0);
    if (controllers) {
      ctl = Add<StubMidiSource>(*root);
      src->ConnectMidi(ctl, 0, 0);
    }
  }
};

// StubSource gathers no MIDI; this one does, so controllers reach its ports.
class ControlledSource : public StubSource {
 public:
  using StubSource::StubSource;
  void Process(int frames) noexcept override {
    if (!BeginProcess(frames, true)) return;
    for (int c = 0; c < 2; ++c)
      for (int i = 0; i < frames; ++i) outCh[static_cast<size_t>(c)][i] = 1.0f;
    EndProcess(frames);
  }
};

}  // namespace

TEST(OutputStage, VolumeRampsOverSevenMillisecondsThenHolds) {
  g_samplesPerMs = 44;
  Chain c;
  c.src->audioOuts[0]->SetVolume(0.0f, true);  // ramps from 1 down to 0 over 308 samples
  RunBlock(*c.root, 512);
  const float* l = c.root->inCh[0];
  EXPECT_NEAR(l[0], 0.5f * (1.0f - 1.0f / 308.0f), 1e-6f);
  EXPECT_NEAR(l[153], 0.5f * (1.0f - 154.0f / 308.0f), 1e-5f);
  EXPECT_NEAR(l[307], 0.0f, 1e-6f);
  EXPECT_EQ(l[400], 0.0f);
  // Monotone: no sample louder than the one before during the ramp.
  for (int i = 1; i < 308; ++i) EXPECT_LE(l[i], l[i - 1]);

  c.src->audioOuts[0]->SetVolume(2.0f, false);  // clamps to 1, takes effect at once
  RunBlock(*c.root, 512);
  EXPECT_FLOAT_EQ(c.root->inCh[0][0], 0.5f);
}

TEST(OutputStage, PanGainsFollowThePanLaw) {
  struct Case {
    int law;
    float pan, l, r;
  };
  const Case cases[] = {{0, 1.0f, 0.0f, 2.0f}, {1, 1.0f, 0.0f, 1.5f}, {2, 1.0f, 0.0f, 1.0f},
                        {0, -1.0f, 2.0f, 0.0f}, {1, -0.5f, 1.25f, 0.5f}, {0, 0.0f, 1.0f, 1.0f}};
  for (const auto& k : cases) {
    Chain c;
    c.root->SetPanLaw(k.law);
    c.src->audioOuts[0]->SetPan(k.pan, false);
    RunBlock(*c.root, 64);
    // The source writes 0.5 left and 1.0 right.
    EXPECT_FLOAT_EQ(c.root->inCh[0][10], 0.5f * k.l) << k.law << " " << k.pan;
    EXPECT_FLOAT_EQ(c.root->inCh[1][10], 1.0f * k.r) << k.law << " " << k.pan;
  }
}

TEST(OutputStage, ControllerChangesGainFromItsOwnSampleOn) {
  g_samplesPerMs = 1;  // a 7-sample ramp keeps the arithmetic visible
  auto root = MakeRoot(512);
  auto* src = Add<ControlledSource>(*root, std::vector<int>{2});
  auto* ctl = Add<StubMidiSource>(*root);
  root->ConnectAudio(src, 0, 0);
  src->ConnectMidi(ctl, 0, 0);
  src->audioOuts[0]->volumeCC = 7;
  src->audioOuts[0]->panCC = 10;
  ctl->events = {{100.0f, midi::Make(0xB0, 7, 0)}, {300.0f, midi::Make(0xB0, 7, 127)},
                 {400.0f, midi::Make(0xB0, 10, 127)}};
  RunBlock(*root, 512);
  const float* l = root->inCh[0];
  const float* r = root->inCh[1];
  EXPECT_FLOAT_EQ(l[99], 1.0f);
  EXPECT_LT(l[100], 1.0f);
  EXPECT_FLOAT_EQ(l[106], 0.0f);
  EXPECT_FLOAT_EQ(l[299], 0.0f);
  EXPECT_GT(l[300], 0.0f);
  EXPECT_FLOAT_EQ(l[306], 1.0f);
  // Pan controller 127 = hard right: left silent, right doubled under law 0.
  EXPECT_FLOAT_EQ(l[399], 1.0f);
  EXPECT_FLOAT_EQ(l[450], 0.0f);
  EXPECT_FLOAT_EQ(r[450], 2.0f);

  // A host parameter event carries its value itself, not in its data byte.
  src->audioOuts[0]->volumeCC = 3;
  float v = 0.25f;
  uint32_t bits;
  std::memcpy(&bits, &v, 4);
  ctl->events = {{0.0f, midi::Make(0xB0, 3, 32), kMidiKindParameter, bits}};
  RunBlock(*root, 512);
  EXPECT_FLOAT_EQ(root->inCh[1][100], 2.0f * 0.25f);
  g_samplesPerMs = 44;
}

TEST(OutputStage, MuteAndSolo) {
  auto root = MakeRoot(64);
  auto* a = Add<StubSource>(*root, std::vector<int>{2}, 1.0f);
  auto* b = Add<StubSource>(*root, std::vector<int>{2}, 10.0f);
  root->ConnectAudio(a, 0, 0);
  root->ConnectAudio(b, 0, 0);
  a->audioOuts[0]->mute = 1;
  root->UpdateSoloState();
  RunBlock(*root, 64);
  EXPECT_FLOAT_EQ(root->inCh[0][0], 10.0f);

  a->audioOuts[0]->mute = 0;
  a->audioOuts[0]->solo = 1;
  root->UpdateSoloState();
  RunBlock(*root, 64);
  EXPECT_FLOAT_EQ(root->inCh[0][0], 1.0f);

  // A solo-exempt module keeps sounding unless muted.
  b->soloExempt = 1;
  RunBlock(*root, 64);
  EXPECT_FLOAT_EQ(root->inCh[0][0], 11.0f);
  b->audioOuts[0]->mute = 1;
  RunBlock(*root, 64);
  EXPECT_FLOAT_EQ(root->inCh[0][0], 1.0f);
}

TEST(OutputStage, InsertReplacesOrBlendsThePortByItsWetAmount) {
  auto root = MakeRoot(64);
  auto* src = Add<StubSource>(*root, std::vector<int>{2}, 1.0f);
  root->ConnectAudio(src, 0, 0);
  auto ins = std::make_unique<StubPass>(root.get());
  ins->audioOuts[0]->SetVolume(0.5f, false);  // the insert halves the signal
  StubPass* raw = ins.get();
  src->audioOuts[0]->inserts.push_back(std::move(ins));
  RunBlock(*root, 64);
  EXPECT_FLOAT_EQ(root->inCh[0][5], 0.5f);
  EXPECT_FLOAT_EQ(root->inCh[1][5], 1.0f);
  EXPECT_EQ(raw->processCount, 1);

  src->audioOuts[0]->insertWet = 0.25f;  // 0.75 dry + 0.25 x half
  RunBlock(*root, 64);
  EXPECT_FLOAT_EQ(root->inCh[0][5], 0.75f + 0.125f);

  raw->enabled = 0;  // a disabled insert leaves the port alone
  RunBlock(*root, 64);
  EXPECT_FLOAT_EQ(root->inCh[0][5], 1.0f);
}

TEST(DelayCompensation, TheFastPathIsDelayedByTheSlowPathsLatency) {
  auto root = MakeRoot(256);
  int32_t reported = -1;
  struct Host {
    int32_t* out;
    void Changed(int32_t v) { *out = v; }
  } host{&reported};
  root->latencyChanged = Callback<void(int32_t)>::Bind<&Host::Changed>(&host);

  auto* fast = Add<StubSource>(*root, std::vector<int>{1}, 1.0f);
  auto* slowSrc = Add<StubSource>(*root, std::vector<int>{1}, 1.0f);
  auto* slow = Add<StubPass>(*root, 1, 1);
  slow->latency = 64;
  fast->ramp = slowSrc->ramp = true;
  slow->ConnectAudio(slowSrc, 0, 0);
  root->ConnectAudio(fast, 0, 0);
  root->ConnectAudio(slow, 0, 0);
  root->RecomputeDelayCompensation();
  EXPECT_EQ(reported, 64);
  EXPECT_EQ(root->largestLatency, 64);
  EXPECT_EQ(fast->audioOuts[0]->delay.length, 64);
  EXPECT_EQ(slow->audioOuts[0]->delay.length, 0);

  // Only the fast path is in the mono probe: its first 64 samples are the
  // delay line's silence, then its ramp starts.
  auto root2 = MakeRoot(128);
  auto* f2 = Add<StubSource>(*root2, std::vector<int>{1}, 1.0f);
  auto* s2 = Add<StubPass>(*root2, 1, 1);
  auto* ss = Add<StubSource>(*root2, std::vector<int>{1}, 0.0f);
  f2->ramp = true;
  s2->latency = 64;
  s2->ConnectAudio(ss, 0, 0);
  root2->ConnectAudio(f2, 0, 0);
  root2->ConnectAudio(s2, 0, 0);
  root2->RecomputeDelayCompensation();
  RunBlock(*root2, 128);
  EXPECT_FLOAT_EQ(root2->inCh[0][63], 0.0f);
  EXPECT_FLOAT_EQ(root2->inCh[0][64], 0.5f * 1.0f);  // mono into stereo: half each side
  EXPECT_FLOAT_EQ(root2->inCh[0][100], 0.5f * 37.0f);
  RunBlock(*root2, 128);  // the ring keeps its contents across blocks
  EXPECT_FLOAT_EQ(root2->inCh[0][0], 0.5f * 65.0f);

  root2->compensation = 0;
  root2->RecomputeDelayCompensation();
  EXPECT_EQ(root2->largestLatency, 0);
  EXPECT_EQ(f2->audioOuts[0]->delay.length, 0);
}

TEST(DelayCompensation, LayeredGraphsCostTheirCablesNotTheirPaths) {
  // 40 layers of two modules, each feeding both of the next: 2^40 paths. Each
  // port's latency is worked out once, so this returns at once.
  auto root = MakeRoot(64);
  std::vector<StubPass*> prev;
  auto* src = Add<StubSource>(*root, std::vector<int>{2});
  for (int layer = 0; layer < 40; ++layer) {
    std::vector<StubPass*> cur;
    for (int k = 0; k < 2; ++k) {
      auto* p = Add<StubPass>(*root);
      p->latency = 1 + k;  // the slow side of each layer decides
      if (prev.empty())
        p->ConnectAudio(src, 0, 0);
      else
        for (auto* q : prev) p->ConnectAudio(q, 0, 0);
      cur.push_back(p);
    }
    prev = cur;
  }
  root->ConnectAudio(prev[0], 0, 0);
  auto* direct = Add<StubSource>(*root, std::vector<int>{2});
  root->ConnectAudio(direct, 0, 0);
  root->RecomputeDelayCompensation();
  EXPECT_EQ(root->largestLatency, 40 * 2 - 1);  // 39 slow layers before, then the fast end
  EXPECT_EQ(direct->audioOuts[0]->delay.length, 79);
}
