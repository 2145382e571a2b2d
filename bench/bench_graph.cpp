// Cost of the processing cycle itself: chains and fan-ins of stereo
// pass-through modules, beside a plain copy of the same samples.
//
// The figure to read is "per_module": the time of one block divided by the
// number of modules. BM_Copy is the baseline: one copy per module and channel,
// the least any graph of pass-through modules could cost.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "graph/Container.h"

using namespace qr;

namespace {

class Source final : public CComp {
 public:
  explicit Source(CContainer* p) : CComp(p) { AddAudioOut(2); }
  void Process(int frames) noexcept override {
    if (!BeginProcess(frames, false)) return;
    for (int c = 0; c < 2; ++c)
      for (int i = 0; i < frames; ++i) outCh[static_cast<size_t>(c)][i] = 0.25f;
    EndProcess(frames);
  }
};

class Pass final : public CComp {
 public:
  explicit Pass(CContainer* p) : CComp(p) {
    AddAudioIn(2);
    AddAudioOut(2);
  }
  void Process(int frames) noexcept override {
    if (!BeginProcess(frames, false)) return;
    PassThrough(frames);
    EndProcess(frames);
  }
};

template <typename T>
T* Add(CGroup& g) {
  return static_cast<T*>(g.AddChild(std::make_unique<T>(&g)));
}

std::unique_ptr<CGroup> Root(int block) {
  auto g = std::make_unique<CGroup>(nullptr);
  g->AddAudioIn(2);
  g->SetBlockSize(block);
  return g;
}

std::unique_ptr<CGroup> Chain(int n, int block) {
  auto g = Root(block);
  CComp* prev = Add<Source>(*g);
  for (int i = 0; i < n; ++i) {
    CComp* p = Add<Pass>(*g);
    p->ConnectAudio(prev, 0, 0);
    prev = p;
  }
  g->ConnectAudio(prev, 0, 0);
  return g;
}

std::unique_ptr<CGroup> FanIn(int n, int block) {
  auto g = Root(block);
  CComp* src = Add<Source>(*g);
  for (int i = 0; i < n; ++i) {
    CComp* p = Add<Pass>(*g);
    p->ConnectAudio(src, 0, 0);
    g->ConnectAudio(p, 0, 0);
  }
  return g;
}

void Report(benchmark::State& state, int modules) {
  state.counters["per_module"] =
      benchmark::Counter(modules, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_Chain(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0)), block = static_cast<int>(state.range(1));
  auto g = Chain(n, block);
  for (auto _ : state) {
    g->Process(block);
    benchmark::DoNotOptimize(g->inCh[0][0]);
  }
  Report(state, n);
}

void BM_FanIn(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0)), block = static_cast<int>(state.range(1));
  auto g = FanIn(n, block);
  for (auto _ : state) {
    g->Process(block);
    benchmark::DoNotOptimize(g->inCh[0][0]);
  }
  Report(state, n);
}

// Baseline: copy every module's two channels once, as a perfect graph would.
void BM_Copy(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0)), block = static_cast<int>(state.range(1));
  std::vector<float> a(static_cast<size_t>(n + 1) * 2 * static_cast<size_t>(block), 0.25f);
  for (auto _ : state) {
    for (int m = 0; m < n; ++m)
      std::memcpy(a.data() + static_cast<size_t>(m + 1) * 2 * static_cast<size_t>(block),
                  a.data() + static_cast<size_t>(m) * 2 * static_cast<size_t>(block),
                  sizeof(float) * 2 * static_cast<size_t>(block));
    benchmark::DoNotOptimize(a.data());
    benchmark::ClobberMemory();
  }
  Report(state, n);
}

void Sizes(benchmark::internal::Benchmark* b) {
  for (int block : {64, 512})
    for (int n : {10, 100, 1000}) b->Args({n, block});
}

}  // namespace

BENCHMARK(BM_Copy)->Apply(Sizes);
BENCHMARK(BM_Chain)->Apply(Sizes);
BENCHMARK(BM_FanIn)->Apply(Sizes);
BENCHMARK_MAIN();
