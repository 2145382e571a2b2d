// Stereo frames per second through the equaliser (1 and 8 bands), the delay and
// a 16-channel mixer with 2 sends, each beside a plain copy of the same input
// buffers in the same run. After the run the ratios are printed: module time
// over copy time.
//
// Each module runs its whole processing step (reset, outputs cleared, its own
// work, the output stage) on inputs filled once, as an insert runs.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "graph/Container.h"
#include "mixer/Delay.h"
#include "mixer/Eq.h"
#include "mixer/Mixer.h"

using namespace qr;

namespace {

constexpr int kBlock = 256;

std::unique_ptr<CGroup> Root() {
  auto g = std::make_unique<CGroup>(nullptr);
  g->SetSampleRate(44100.0f);
  g->AddAudioIn(2);
  g->SetBlockSize(kBlock);
  return g;
}

// Fills every input channel with a fixed pseudo-random signal and switches the
// module's own pull off, so each block sees the same input.
void FeedInputs(CComp& m) {
  uint32_t seed = 12345;
  for (int c = 0; c < m.TotalInputChannels(); ++c)
    for (int i = 0; i < kBlock; ++i) {
      seed = seed * 1664525u + 1013904223u;
      m.inCh[static_cast<size_t>(c)][i] = static_cast<float>(seed >> 8) / 16777216.0f - 0.5f;
    }
  m.audioInEnabled = 0;
}

void RunModule(benchmark::State& state, CComp& m) {
  FeedInputs(m);
  for (auto _ : state) {
    m.ResetForBlock(kBlock);
    m.Process(kBlock);
    benchmark::DoNotOptimize(m.outCh[0][0]);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kBlock);
}

// The baseline: a copy of the same number of input channels.
void RunCopy(benchmark::State& state, int channels) {
  std::vector<std::vector<float>> src(static_cast<size_t>(channels), std::vector<float>(kBlock, 0.25f));
  std::vector<std::vector<float>> dst = src;
  for (auto _ : state) {
    for (int c = 0; c < channels; ++c)
      std::memcpy(dst[static_cast<size_t>(c)].data(), src[static_cast<size_t>(c)].data(), sizeof(float) * kBlock);
    benchmark::DoNotOptimize(dst[0].data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kBlock);
}

void BM_Copy2(benchmark::State& state) { RunCopy(state, 2); }
void BM_Copy32(benchmark::State& state) { RunCopy(state, 32); }

void RunEq(benchmark::State& state, int bands) {
  auto root = Root();
  auto* eq = static_cast<CEq*>(root->AddChild(std::make_unique<CEq>(root.get())));
  for (int b = 1; b < bands; ++b) eq->AddBand();
  for (int b = 0; b < bands; ++b) eq->SetBand(b, 100.0f * static_cast<float>(1 << b), 3.0f, 0.5f);
  RunModule(state, *eq);
}
void BM_Eq1(benchmark::State& state) { RunEq(state, 1); }
void BM_Eq8(benchmark::State& state) { RunEq(state, 8); }

void BM_Delay(benchmark::State& state) {
  auto root = Root();
  auto* d = static_cast<CDelay*>(root->AddChild(std::make_unique<CDelay>(root.get())));
  d->SetDivisions(3, 5);  // lengths that do not divide the block, so runs wrap inside blocks
  RunModule(state, *d);
}

void BM_Mixer16x2(benchmark::State& state) {
  auto root = Root();
  auto* m = static_cast<CMixer*>(root->AddChild(std::make_unique<CMixer>(root.get())));
  for (int k = 1; k < 16; ++k) m->NewChannel();
  m->NewSend();
  m->NewSend();
  for (int k = 0; k < 16; ++k) {
    auto& ch = m->channels[static_cast<size_t>(k)];
    ch.volume = 0.8f;
    ch.pan = -0.5f + static_cast<float>(k) / 16.0f;
    ch.sends[0].level = 0.3f;
    ch.sends[1].level = 0.2f;
    ch.sends[1].pre = 1;
  }
  RunModule(state, *m);
}

BENCHMARK(BM_Copy2);
BENCHMARK(BM_Eq1);
BENCHMARK(BM_Eq8);
BENCHMARK(BM_Delay);
BENCHMARK(BM_Copy32);
BENCHMARK(BM_Mixer16x2);

// Keeps the frames per second of every run for the ratios printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& r : runs) {
      auto it = r.counters.find("items_per_second");
      if (it != r.counters.end()) rate[r.benchmark_name()] = it->second.value;
    }
  }
  std::map<std::string, double> rate;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto show = [&](const char* name, const char* base) {
    if (!reporter.rate.count(name) || !reporter.rate.count(base)) return;
    const double fps = reporter.rate[name], copy = reporter.rate[base];
    std::printf("%-14s %8.1f M stereo frames/s   copy of its inputs %8.1f M/s   module/copy time %.1fx\n", name,
                fps / 1e6, copy / 1e6, copy / fps);
  };
  show("BM_Eq1", "BM_Copy2");
  show("BM_Eq8", "BM_Copy2");
  show("BM_Delay", "BM_Copy2");
  show("BM_Mixer16x2", "BM_Copy32");
  benchmark::Shutdown();
  return 0;
}
