// The sampler's voice loop: 128 voices of a looped 16-bit sample at 64-frame
// blocks, with the filter off and on, beside a plain copy in the same run (128
// mono buffers of 64 frames added into a stereo pair: the least a mixer of
// 128 voices does). After the run: voices one core keeps at 44.1 kHz, and the
// time of one voice over the time of its copy.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "graph/Container.h"
#include "sampler/Sampler.h"

using namespace qr;

namespace {

constexpr int kBlock = 64;
constexpr int kVoices = sampler_limits::kVoices;

// Sends its notes in the first block it is asked for.
class NoteSource final : public CComp {
 public:
  explicit NoteSource(CContainer* parent) : CComp(parent) {}
  CMIDIQ* MidiOutput(int, int) noexcept override {
    if (!sent_) {
      for (int k = 0; k < kVoices; ++k) q_.Push(midi::Make(0x90, static_cast<uint32_t>(k), 100));
      sent_ = true;
    } else {
      q_.Clear();
    }
    return &q_;
  }

 private:
  CMIDIQ q_;
  bool sent_ = false;
};

void RunVoices(benchmark::State& state, bool filter) {
  CGroup root(nullptr);
  root.SetSampleRate(44100.0f);
  root.AddAudioIn(2);
  root.SetBlockSize(kBlock);
  auto* s = static_cast<CSampler*>(root.AddChild(std::make_unique<CSampler>(&root)));
  s->SetSampleRate(44100.0f);
  s->SetBlockSize(kBlock);
  auto* src = root.AddChild(std::make_unique<NoteSource>(&root));
  s->ConnectMidi(src, 0, 0);
  auto smp = std::make_unique<CSample>();
  const int frames = 44100;
  smp->Allocate(frames, 16, 1);
  auto* d = reinterpret_cast<int16_t*>(smp->FrameData());
  for (int i = 0; i < frames; ++i) d[i + 1] = static_cast<int16_t>(12000.0 * std::sin(i * 0.0627));
  smp->rate = 44100.0f;
  smp->end = frames;
  smp->open = 1;
  const int index = s->AddSample(std::move(smp));
  CSound* snd = s->NewSound("bench");
  s->BeginEdit();
  auto c = std::make_unique<CClip>();
  c->sample = index;
  c->right = frames;
  c->loop = CClip::kLoopForward;
  c->loopStart = 1000;
  c->loopEnd = frames;
  c->volEnv.v = {0.0f, 0.0f, 0.001f, 1.0f, 0.0f, 1.0f, 0.0f, 1.0f, 0.1f, 0.0f};
  if (filter) {
    c->filterMode = CClip::kFilterLowBand;
    c->cutoff = 0.3f;
    c->q = 0.5f;
  }
  snd->Add(std::move(c));
  s->EndEdit();
  s->ResetForBlock(kBlock);
  s->Process(kBlock);  // starts the voices
  if (s->PlayingVoices() != kVoices) state.SkipWithError("voices did not start");
  for (auto _ : state) {
    s->ResetForBlock(kBlock);
    src->ResetForBlock(kBlock);
    s->Process(kBlock);
    benchmark::DoNotOptimize(s->outCh[0][0]);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kBlock * kVoices);
}

void BM_VoicesFilterOff(benchmark::State& state) { RunVoices(state, false); }
void BM_VoicesFilterOn(benchmark::State& state) { RunVoices(state, true); }

void BM_Copy(benchmark::State& state) {
  std::vector<std::vector<float>> in(kVoices, std::vector<float>(kBlock, 0.25f));
  std::vector<float> l(kBlock), r(kBlock);
  for (auto _ : state) {
    std::fill(l.begin(), l.end(), 0.0f);
    std::fill(r.begin(), r.end(), 0.0f);
    for (const auto& v : in)
      for (int i = 0; i < kBlock; ++i) {
        l[static_cast<size_t>(i)] += v[static_cast<size_t>(i)];
        r[static_cast<size_t>(i)] += v[static_cast<size_t>(i)];
      }
    benchmark::DoNotOptimize(l.data());
    benchmark::DoNotOptimize(r.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kBlock * kVoices);
}

BENCHMARK(BM_Copy);
BENCHMARK(BM_VoicesFilterOff);
BENCHMARK(BM_VoicesFilterOn);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs)
      if (r.counters.count("items_per_second")) rate[r.benchmark_name()] = r.counters.at("items_per_second");
  }
  std::map<std::string, double> rate;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (const char* name : {"BM_VoicesFilterOff", "BM_VoicesFilterOn"}) {
    if (!reporter.rate.count(name) || !reporter.rate.count("BM_Copy")) continue;
    const double vps = reporter.rate[name], copy = reporter.rate["BM_Copy"];
    std::printf("%-20s %7.0f voices per core at 44.1 kHz   voice/copy time %.1fx\n", name, vps / 44100.0,
                copy / vps);
  }
  benchmark::Shutdown();
  return 0;
}
