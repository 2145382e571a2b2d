// The MIDI part module at full load: 32 slots playing dense parts (a note on
// each of 16 channels at every 16th) into a consumer that reads all 16 output
// ports, per block of 64 and 512 samples. The baseline is the same graph with
// no part playing, run in the same process.
#include <benchmark/benchmark.h>

#include <memory>

#include "graph/Container.h"
#include "midipart/MidiPart2.h"

using namespace qr;

namespace {

// Reads every output port of the module once per block, as a module cabled to
// all of them would.
class PortReader : public CComp {
 public:
  explicit PortReader(CContainer* parent) : CComp(parent) {}
  int Pull(CComp& source, int frames) noexcept {
    int n = 0;
    for (int p = 0; p < CMIDIPart2::kPorts; ++p)
      if (const CMIDIQ* q = source.MidiOutput(p, frames)) n += q->Count();
    return n;
  }
};

struct Graph {
  explicit Graph(int frames, bool playing) : root(nullptr) {
    root.SetSampleRate(48000.0f);
    root.SetBlockSize(frames);
    auto m = std::make_unique<CMIDIPart2>(&root);
    mp = m.get();
    root.AddChild(std::move(m));
    mp->SetBlockSize(frames);
    for (int i = 1; i < CMIDIPart2::kSlots; ++i) mp->AddPart();
    for (int i = 0; i < CMIDIPart2::kSlots; ++i) {
      CLiveMIDIPart& p = *mp->Part(i);
      p.length = p.loopRight = 3840;
      p.port = i % CMIDIPart2::kPorts;
      for (int step = 0; step < 16; ++step)
        for (int ch = 0; ch < 16; ++ch)
          p.events.Insert(step * 240, midi::Make(0x90u | static_cast<uint32_t>(ch), 60 + ch, 100), 120);
      if (playing) p.request = 4;
    }
  }
  int Block(int frames) noexcept {
    mp->ResetForBlock(frames);
    return reader.Pull(*mp, frames);
  }
  CGroup root;
  CMIDIPart2* mp;
  PortReader reader{&root};
};

void Run(benchmark::State& state, bool playing) {
  const int frames = static_cast<int>(state.range(0));
  Graph g(frames, playing);
  int64_t events = 0;
  for (auto _ : state) {
    events += g.Block(frames);
    benchmark::ClobberMemory();
  }
  state.counters["events/block"] = benchmark::Counter(static_cast<double>(events) / state.iterations());
  state.SetItemsProcessed(events);
}

void BM_DenseSlots(benchmark::State& state) { Run(state, true); }
void BM_IdleBaseline(benchmark::State& state) { Run(state, false); }

}  // namespace

BENCHMARK(BM_IdleBaseline)->Arg(64)->Arg(512);
BENCHMARK(BM_DenseSlots)->Arg(64)->Arg(512);

BENCHMARK_MAIN();
