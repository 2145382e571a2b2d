// Saving and loading projects: 1,000 modules with 10,000 cables, and the same
// ten times over to show that both stay linear in the file size. The baseline
// is a plain copy of the same bytes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "graph/Container.h"
#include "persist/Project.h"
#include "stream/RecordStream.h"

namespace {

using namespace qr;

// A module with two stereo inputs and outputs and a few records of its own, the
// size of a small real module's block.
class BenchModule : public CComp {
 public:
  explicit BenchModule(CContainer* parent) : CComp(parent) {
    for (int i = 0; i < 2; ++i) {
      AddAudioIn(2);
      AddAudioOut(2);
    }
  }
  std::string TypeKey() const override { return "CBench"; }
  void Save(CStream& s) override {
    CComp::Save(s);
    s.WriteKeyFloat("BGain", gain);
    s.WriteKeyInt("BMode", mode);
    s.WriteKeyString("BName", name);
  }
  void Load(CStream& s, int) override {
    std::string key;
    int32_t size = 0;
    while (s.NextRecord(key, size) && key != "CEnd") {
      if (LoadBaseRecord(s, key, size, true)) continue;
      if (key == "BGain")
        gain = s.ReadFloat();
      else if (key == "BMode")
        mode = s.ReadInt();
      else if (key == "BName")
        name = s.ReadString();
      else
        s.Skip(size);
    }
  }
  float gain = 0.5f;
  int32_t mode = 3;
  std::string name = "bench module";
};

std::unique_ptr<CComp> MakeBench(std::string_view key, CContainer* parent) {
  if (key == "CBench") return std::make_unique<BenchModule>(parent);
  return nullptr;
}

struct Project {
  std::unique_ptr<CGroup> root;
  CProject project;
  int cables = 0;
};

// `scale` x 1,000 modules; each takes 10 cables from earlier modules (sources
// before destinations, as a signal chain is usually built), the root 10 x scale.
// The sources lie among the `window` modules before the destination, or
// anywhere before it when `window` is 0; spread sources make every cable a
// cache miss once the graph outgrows the caches.
void Build(Project& p, int scale, int window) {
  p.root = std::make_unique<CGroup>(nullptr);
  p.root->AddAudioIn(2);
  p.root->SetBlockSize(64);
  p.project.hooks.makeModule = MakeBench;
  CMemStream empty;
  LoadProject(*p.root, p.project, empty);  // the fresh master input
  std::mt19937 rng(1);
  const int n = 1000 * scale;
  std::vector<BenchModule*> mods;
  for (int i = 0; i < n; ++i) {
    auto m = std::make_unique<BenchModule>(p.root.get());
    m->x = i % 1000, m->y = i / 1000;
    m->id = "Module " + std::to_string(i);
    mods.push_back(static_cast<BenchModule*>(p.root->AddChild(std::move(m))));
  }
  for (int i = 1; i < n; ++i) {
    const int span = window > 0 ? std::min(window, i) : i;
    // Distinct (source, output) pairs, so no connect undoes another.
    std::vector<std::pair<int, int>> used;
    while (static_cast<int>(used.size()) < std::min(10, 2 * span)) {
      const std::pair<int, int> pick{i - 1 - static_cast<int>(rng() % static_cast<unsigned>(span)),
                                     static_cast<int>(rng() % 2)};
      if (std::find(used.begin(), used.end(), pick) != used.end()) continue;
      used.push_back(pick);
      BenchModule* src = mods[static_cast<size_t>(pick.first)];
      if (mods[static_cast<size_t>(i)]->ConnectAudio(src, static_cast<int>(used.size()) % 2, pick.second))
        ++p.cables;
    }
  }
  for (int k = 0; k < 10 * scale; ++k)
    if (p.root->ConnectAudio(mods[static_cast<size_t>(n - 1 - k)], 0, 0)) ++p.cables;
  for (int i = 0; i < n; i += 4) mods[static_cast<size_t>(i)]->ConnectMidi(p.root->masterIn, 0, 0);
}

std::vector<uint8_t> Saved(Project& p) {
  CMemStream s;
  SaveProject(*p.root, p.project, s);
  return s.Data();
}

void Report(benchmark::State& state, size_t bytes, const Project& p) {
  const double mb = static_cast<double>(bytes) / 1e6;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
  state.counters["MB"] = mb;
  state.counters["modules"] = static_cast<double>(p.root->ChildCount());
  state.counters["cables"] = p.cables;
  state.counters["s_per_MB"] = benchmark::Counter(static_cast<double>(state.iterations()) * mb,
                                                  benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_SaveProject(benchmark::State& state) {
  Project p;
  Build(p, static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  size_t bytes = 0;
  // One stream kept across saves, as the host chunk's stream is: the time is
  // the saving, not the growing of a fresh buffer.
  CMemStream s;
  for (auto _ : state) {
    s.Clear();
    SaveProject(*p.root, p.project, s);
    bytes = s.Data().size();
    benchmark::DoNotOptimize(s.Data().data());
  }
  Report(state, bytes, p);
}

void BM_LoadProject(benchmark::State& state) {
  Project src;
  Build(src, static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  const std::vector<uint8_t> bytes = Saved(src);
  Project p;
  Build(p, 0, 0);
  for (auto _ : state) {
    CMemStream s(bytes);
    LoadProject(*p.root, p.project, s);
    benchmark::DoNotOptimize(p.root->children.data());
  }
  if (Saved(p) != bytes) state.SkipWithError("the loaded project saves differently");
  p.cables = src.cables;
  Report(state, bytes.size(), p);
}

// The baseline: copying the same bytes once.
void BM_CopyProjectBytes(benchmark::State& state) {
  Project src;
  Build(src, static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  const std::vector<uint8_t> bytes = Saved(src);
  std::vector<uint8_t> dst(bytes.size());
  for (auto _ : state) {
    std::memcpy(dst.data(), bytes.data(), bytes.size());
    benchmark::ClobberMemory();
  }
  Report(state, bytes.size(), src);
}

// {scale, window}: 1x and 10x with chain-like cables, then with spread cables.
void Sizes(benchmark::internal::Benchmark* b) {
  for (int window : {64, 0})
    for (int scale : {1, 10}) b->Args({scale, window});
}

BENCHMARK(BM_CopyProjectBytes)->Apply(Sizes)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SaveProject)->Apply(Sizes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadProject)->Apply(Sizes)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
