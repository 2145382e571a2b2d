// Cost of the MIDI effects per block: the arpeggiator with 16 voices playing
// into a running envelope, the same pair with nothing playing or running, and two
// baselines in the same run: a cycle through the channel router (the least a
// MIDI module in a graph costs) and a plain copy of a full event queue.
//
// Read "ns per block" (real_time) and compare each against BM_RouterCycle at
// the same block size.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "graph/Container.h"
#include "midifx/Arp.h"
#include "midifx/Envelope.h"
#include "midifx/MidiPatcher.h"

using namespace qr;

namespace {

// Sends its events in the first block only: the keys stay held.
class Keys final : public CComp {
 public:
  explicit Keys(CContainer* p) : CComp(p) {}
  CMIDIQ* MidiOutput(int port, int) noexcept override {
    if (port != 0) return nullptr;
    if (!done[0]) {
      done[0] = 1;
      out_.Clear();
      if (!sent_)
        for (uint32_t msg : events) out_.Push(msg);
      sent_ = true;
    }
    return &out_;
  }
  std::vector<uint32_t> events;

 private:
  CMIDIQ out_;
  bool sent_ = false;
};

template <typename T>
T* Add(CGroup& g) {
  return static_cast<T*>(g.AddChild(std::make_unique<T>(&g)));
}

struct Graph {
  std::unique_ptr<CGroup> root;
  CArp* arp = nullptr;
};

// keys -> arpeggiator -> envelope -> root. `voices` keys are held; with
// `running` the envelope runs free in a loop whatever the keys do, else it
// waits for notes that never come.
Graph ArpAndEnvelope(int block, int voices, bool running) {
  Graph g{std::make_unique<CGroup>(nullptr)};
  g.root->SetSampleRate(44100.0f);
  g.root->SetBlockSize(block);
  auto* keys = Add<Keys>(*g.root);
  g.arp = Add<CArp>(*g.root);
  auto* env = Add<CEnvelope>(*g.root);
  CArpPattern& p = *g.arp->patterns.front();
  p.ticksPerStep = 15;  // 64th notes: busy voices
  for (int s = 0; s < p.steps; ++s)
    for (int o : {0, 7, 12}) p.Cell(s, o) = 100 | CArpPattern::kOffBit;
  for (int v = 0; v < voices; ++v) keys->events.push_back(midi::Make(0x90, 40 + v, 100));
  env->EditPoints([running](CEnvShape& s) {
    s.points = {{0, 0.0f}, {480, 1.0f}, {480, 0.0f}};
    s.loopStart = 0;
    s.loopEnd = 2;
    s.mode = running ? 2 : 0;
  });
  g.arp->ConnectMidi(keys, 0, 0);
  env->ConnectMidi(g.arp, 0, 0);
  g.root->ConnectMidi(env, 0, 0);
  return g;
}

void Run(benchmark::State& state, Graph g, int expect_voices) {
  const int block = static_cast<int>(state.range(0));
  g.root->Process(block);
  if (g.arp && g.arp->ActiveVoices() != expect_voices) state.SkipWithError("voices did not start");
  for (auto _ : state) {
    g.root->Process(block);
    benchmark::DoNotOptimize(g.root->midiQueue.Count());
  }
  state.SetItemsProcessed(state.iterations() * block);
}

void BM_ArpVoices16WithEnvelope(benchmark::State& state) {
  Run(state, ArpAndEnvelope(static_cast<int>(state.range(0)), 16, true), 16);
}

// Nothing plays: the arpeggiator's per-sample loop must cost next to nothing.
void BM_ArpIdle(benchmark::State& state) {
  Run(state, ArpAndEnvelope(static_cast<int>(state.range(0)), 0, false), 0);
}

void BM_RouterCycle(benchmark::State& state) {
  const int block = static_cast<int>(state.range(0));
  Graph g{std::make_unique<CGroup>(nullptr)};
  g.root->SetBlockSize(block);
  auto* keys = Add<Keys>(*g.root);
  auto* router = Add<CMIDIChs>(*g.root);
  router->ConnectMidi(keys, 0, 0);
  g.root->ConnectMidi(router, 0, 0);
  Run(state, std::move(g), 0);
}

void BM_CopyFullQueue(benchmark::State& state) {
  CMIDIQ a, b;
  for (int i = 0; i < CMIDIQ::kCapacity; ++i) a.Push(midi::Make(0x90, i & 127, 1), 0, 0, static_cast<float>(i));
  for (auto _ : state) {
    std::memcpy(static_cast<void*>(&b), &a, sizeof a);
    benchmark::DoNotOptimize(&b);
    benchmark::ClobberMemory();
  }
}

}  // namespace

BENCHMARK(BM_RouterCycle)->Arg(64)->Arg(512);
BENCHMARK(BM_ArpIdle)->Arg(64)->Arg(512);
BENCHMARK(BM_ArpVoices16WithEnvelope)->Arg(64)->Arg(512);
BENCHMARK(BM_CopyFullQueue);

BENCHMARK_MAIN();
