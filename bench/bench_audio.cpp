// Sample rendering and the audio part module, beside a plain copy of the same
// frames.
//
// Figures are output frames per second ("items_per_second"). BM_CopyFrames is
// the baseline: 16-bit stereo frames turned into two float channels with no
// interpolation, the least any rendering of them could cost. BM_RamInterpolate
// renders the same kind of frames at a non-integer step with the 4-point
// interpolation; BM_DiskStream streams a 10-minute file through the scratch
// window; BM_AudioPart64 is the module playing 64 overlapping clips (items are
// clip frames: 64 per output frame).
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "audio/AudioPart.h"
#include "audio/Sample.h"
#include "audio/WriteSample.h"
#include "graph/Container.h"

using namespace qr;

namespace {

constexpr int kRun = 512;          // output frames per ReadFrames call
constexpr int kRamFrames = 1 << 20;

std::unique_ptr<CSample> NoiseSample(int frames) {
  auto s = std::make_unique<CSample>();
  s->computePeaks = 0;
  s->Allocate(frames, 16, 2);
  uint32_t x = 12345;
  auto* p = reinterpret_cast<int16_t*>(s->FrameData() + s->FrameBytes());
  for (int i = 0; i < frames * 2; ++i) {
    x = x * 1664525u + 1013904223u;
    p[i] = static_cast<int16_t>(x >> 16);
  }
  s->formatTag = 1;
  s->start = s->loopStart = 1;
  s->end = frames;
  s->open = 1;
  return s;
}

void BM_CopyFrames(benchmark::State& state) {
  auto s = NoiseSample(kRamFrames);
  std::vector<float> l(kRun), r(kRun);
  int pos = 0;
  for (auto _ : state) {
    const auto* p = reinterpret_cast<const int16_t*>(s->FrameData() + s->FrameBytes()) + 2 * pos;
    for (int i = 0; i < kRun; ++i) {
      l[static_cast<size_t>(i)] = p[2 * i] * kScale16;
      r[static_cast<size_t>(i)] = p[2 * i + 1] * kScale16;
    }
    benchmark::DoNotOptimize(l.data());
    benchmark::DoNotOptimize(r.data());
    pos = pos + 2 * kRun < kRamFrames ? pos + kRun : 0;
  }
  state.SetItemsProcessed(state.iterations() * kRun);
}
BENCHMARK(BM_CopyFrames);

void BM_RamInterpolate(benchmark::State& state) {
  auto s = NoiseSample(kRamFrames);
  std::vector<float> l(kRun), r(kRun);
  const double step = 0.7371;
  double phase = 1.3;
  for (auto _ : state) {
    s->ReadFrames(kRun, l.data(), nullptr, 0.0f, 1.0f, step, phase, r.data());
    benchmark::DoNotOptimize(l.data());
    benchmark::DoNotOptimize(r.data());
    phase += kRun * step;
    if (phase + kRun * step >= kRamFrames) phase = 1.3;
  }
  state.SetItemsProcessed(state.iterations() * kRun);
}
BENCHMARK(BM_RamInterpolate);

// A 10-minute 16-bit stereo file at 44.1 kHz, written once per process.
struct LongFile {
  std::string folder, path;
  LongFile() {
    std::string t = (std::filesystem::temp_directory_path() / "qr_bench_audio_XXXXXX").string();
    folder = ::mkdtemp(t.data()) ? t : "/tmp";
    path = folder + "/ten_minutes.wav";
    CWriteSample w(path, 44100.0f, 16, 2);
    auto chunk = NoiseSample(44100);
    for (int sec = 0; sec < 600; ++sec) w.AppendFrames(chunk->FrameData() + chunk->FrameBytes(), 44100);
  }
  ~LongFile() {
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
  }
};

const LongFile& TenMinutes() {
  static LongFile f;
  return f;
}

void BM_DiskStream(benchmark::State& state) {
  CDiskSample s;
  s.computePeaks = 0;
  if (!s.OpenFile(TenMinutes().path)) {
    state.SkipWithError("cannot open the streamed file");
    return;
  }
  std::vector<uint8_t> scratch(kStreamScratchBytes);
  std::vector<float> l(kRun), r(kRun);
  const double step = state.range(0) / 10000.0;
  double phase = 1.0;
  for (auto _ : state) {
    s.ReadFrames(kRun, l.data(), scratch.data(), 0.0f, 1.0f, step, phase, r.data());
    benchmark::DoNotOptimize(l.data());
    phase += kRun * step;
    if (phase + kRun * step >= s.end) phase = 1.0;
  }
  state.SetItemsProcessed(state.iterations() * kRun);
}
BENCHMARK(BM_DiskStream)->Arg(10000)->Arg(7371);

void BM_AudioPart64(benchmark::State& state) {
  const int block = 256;
  CGroup root(nullptr);
  root.SetSampleRate(44100.0f);
  root.AddAudioIn(2);
  root.SetBlockSize(block);
  auto* m = static_cast<CAudioPart2*>(root.AddChild(std::make_unique<CAudioPart2>(&root)));
  for (int i = 0; i < 4; ++i) m->samples.push_back(NoiseSample(44100 * 20));
  CLiveAudioPart& p = m->NewPart();
  p.length = 960 * 64;
  for (int k = 0; k < 8; ++k) p.AddLane(0).strip.pan = k / 8.0f - 0.5f;
  for (int c = 0; c < 64; ++c) {
    CAudioClip& clip = p.AppendClip(c);  // 64 clips one tick apart, all sounding together
    clip.sample = c % 4;
    clip.channel = c % 8;
    clip.last = 44100 * 20;
    clip.fine = static_cast<float>(c) * 0.01f;
    clip.volume = 0.5f;
  }
  m->PlayPart(&p);
  for (int b = 0; b < 8; ++b) {  // every clip starts within the first blocks
    m->ResetForBlock(block);
    m->Process(block);
  }
  if (m->ActiveSlots() != 64) state.SkipWithError("not all clips sound");
  int blocks = 0;
  for (auto _ : state) {
    m->ResetForBlock(block);
    m->Process(block);
    benchmark::DoNotOptimize(m->outCh[0]);
    if (++blocks * block > 44100 * 15) {  // start again before the clips run out
      state.PauseTiming();
      m->StopAll();
      m->PlayPart(&p);
      for (int b = 0; b < 8; ++b) {
        m->ResetForBlock(block);
        m->Process(block);
      }
      blocks = 0;
      state.ResumeTiming();
    }
  }
  state.SetItemsProcessed(state.iterations() * block * 64);
}
BENCHMARK(BM_AudioPart64);

}  // namespace

BENCHMARK_MAIN();
