// The sequencer at full load: 64 MIDI tracks of dense parts (a note at every
// 16th, four keys each) playing into 16 consumer modules, per block of 64 and
// 512 samples at 44100 Hz. The baseline is the same song and modules with the
// transport stopped, run in the same process, so the difference is what the
// sequencer itself spends placing events. Then the load of a 64 x 200 song,
// in time per megabyte.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>

#include "graph/Container.h"
#include "sequencer/Tracks.h"
#include "stream/RecordStream.h"

using namespace qr;

namespace {

// Reads what its MIDI cables bring, as an instrument would before it renders.
class Consumer final : public CComp {
 public:
  explicit Consumer(CContainer* parent) : CComp(parent) {}
  void Process(int frames) noexcept override {
    if (!BeginProcess(frames, true)) return;
    for (const MidiEvent& e : midiQueue) sum += e.msg;
    done[0] = 1;
  }
  uint64_t sum = 0;
};

void FillDense(CTracks& song, int tracks, int parts) {
  CArr& a = *song.arrs[0];
  a.right = parts * 3840;
  for (int i = 1; i < tracks; ++i) song.AddTrack(a, TrackKind::kMidi);
  for (int t = 0; t < tracks; ++t)
    for (int p = 0; p < parts; ++p) {
      auto part = std::make_unique<CMIDIPart>();
      part->start = p * 3840;
      part->length = 3840;
      for (int step = 0; step < 16; ++step)
        for (int k = 0; k < 4; ++k)
          part->events.Insert(step * 240, midi::Make(0x90, 36 + k + t % 40, 100), 120);
      a.tracks[static_cast<size_t>(t)]->varis[0]->parts.push_back(std::move(part));
    }
}

struct Song {
  explicit Song(int frames, bool playing) : root(nullptr) {
    root.SetSampleRate(44100.0f);
    root.SetBlockSize(frames);
    song = static_cast<CTracks*>(root.AddChild(std::make_unique<CTracks>(&root)));
    song->SetBlockSize(frames);
    FillDense(*song, 64, 50);
    for (int c = 0; c < 16; ++c) {
      CComp* m = song->AddComp(std::make_unique<Consumer>(song));
      for (int t = c; t < 64; t += 16)
        m->ConnectMidi(song->arrs[0]->tracks[static_cast<size_t>(t)].get(), 0, 0);
    }
    song->Rebuild();
    if (playing) song->Start();
  }
  int Block(int frames) noexcept {
    song->ResetForBlock(frames);
    const CMIDIQ* q = song->MidiOutput(0, frames);
    return q ? q->Count() : 0;
  }
  CGroup root;
  CTracks* song;
};

void Run(benchmark::State& state, bool playing) {
  const int frames = static_cast<int>(state.range(0));
  Song s(frames, playing);
  int64_t events = 0;
  for (auto _ : state) events += s.Block(frames);
  state.counters["events/block"] =
      benchmark::Counter(static_cast<double>(events) / static_cast<double>(state.iterations()));
}

void BM_SongPlaying(benchmark::State& state) { Run(state, true); }
void BM_SongStopped(benchmark::State& state) { Run(state, false); }
BENCHMARK(BM_SongStopped)->Arg(64)->Arg(512);
BENCHMARK(BM_SongPlaying)->Arg(64)->Arg(512);

void BM_Load64x200(benchmark::State& state) {
  CTracks song(nullptr);
  FillDense(song, 64, 200);
  CMemStream out;
  song.Save(out);
  out.WriteEnd();
  const std::vector<uint8_t>& bytes = out.Data();
  for (auto _ : state) {
    CTracks t(nullptr);
    CMemStream in(bytes);
    t.Load(in, 0);
    benchmark::DoNotOptimize(t.arrs.size());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes.size()));
  state.counters["MB"] = static_cast<double>(bytes.size()) / 1e6;
}
BENCHMARK(BM_Load64x200)->Unit(benchmark::kMillisecond);

// 16 audio tracks, each with a part every two beats holding four overlapping
// clips of half a second from one RAM sample, so about eight clips sound on
// every track at once. Beside it the same song stopped, and the least any
// player of that much audio costs: adding 16 x 8 stereo clip buffers into an
// output, read straight from the sample.
constexpr int kAudioTracks = 16;
constexpr int kSampleFrames = 44100;

std::unique_ptr<CSample> RamSample() {
  auto smp = std::make_unique<CSample>();
  smp->Allocate(kSampleFrames, 32, 1);
  smp->formatTag = 3;
  smp->rate = 44100.0f;
  for (int i = 1; i <= kSampleFrames; ++i) {
    const float v = static_cast<float>(i % 101) / 101.0f;
    std::memcpy(smp->FrameData() + static_cast<size_t>(i) * 4, &v, 4);
  }
  smp->start = smp->loopStart = 1;
  smp->end = kSampleFrames;
  smp->open = 1;
  return smp;
}

struct AudioSong {
  AudioSong(int frames, bool playing) : root(nullptr) {
    root.SetSampleRate(44100.0f);
    root.SetBlockSize(frames);
    song = static_cast<CTracks*>(root.AddChild(std::make_unique<CTracks>(&root)));
    song->SetBlockSize(frames);
    PoolSample& pool = song->samplePool.emplace_back();
    pool.inMemory = true;
    pool.sample = RamSample();
    CArr& a = *song->arrs[0];
    a.right = 50 * 1920;
    for (int t = 0; t < kAudioTracks; ++t) {
      CTrack& tr = song->AddTrack(a, TrackKind::kAudio);
      for (int p = 0; p < 50; ++p) {
        auto part = std::make_unique<CSongAudioPart>();
        part->start = p * 1920;
        part->length = 1920;
        part->AddLane();
        for (int c = 0; c < 4; ++c) {
          CAudioClip& clip = part->AppendClip(c * 480);
          clip.first = 1 + c * 100;
          clip.last = kSampleFrames / 2;
          clip.volume = 0.5f;
        }
        tr.varis[0]->parts.push_back(std::move(part));
      }
    }
    song->Rebuild();
    if (playing) song->Start();
  }
  void Block(int frames) noexcept {
    song->ResetForBlock(frames);
    song->Process(frames);
  }
  CGroup root;
  CTracks* song;
};

void RunAudio(benchmark::State& state, bool playing) {
  const int frames = static_cast<int>(state.range(0));
  AudioSong s(frames, playing);
  for (int i = 0; i < 200; ++i) s.Block(frames);  // into the song, clips sounding
  for (auto _ : state) {
    s.Block(frames);
    benchmark::DoNotOptimize(s.song->outCh[0][0]);
  }
  int sounding = 0;
  for (const auto& t : s.song->arrs[0]->tracks)
    if (const CClipPlayer* p = t->Player()) sounding += p->Active();
  state.counters["clips"] = sounding;
}

void BM_AudioTracksPlaying(benchmark::State& state) { RunAudio(state, true); }
void BM_AudioTracksStopped(benchmark::State& state) { RunAudio(state, false); }

void BM_AudioMixBaseline(benchmark::State& state) {
  const int frames = static_cast<int>(state.range(0));
  const auto smp = RamSample();
  const float* src = reinterpret_cast<const float*>(smp->FrameData()) + 1;
  std::vector<float> l(static_cast<size_t>(frames)), r(l.size());
  int pos = 0;
  for (auto _ : state) {
    for (int c = 0; c < kAudioTracks * 8; ++c) {
      const float* x = src + (pos + c * 97) % (kSampleFrames - frames);
      for (int i = 0; i < frames; ++i) {
        l[static_cast<size_t>(i)] += x[i] * 0.25f;
        r[static_cast<size_t>(i)] += x[i] * 0.25f;
      }
    }
    pos = (pos + frames) % (kSampleFrames - frames);
    benchmark::DoNotOptimize(l.data());
    benchmark::DoNotOptimize(r.data());
  }
}
BENCHMARK(BM_AudioMixBaseline)->Arg(64)->Arg(512);
BENCHMARK(BM_AudioTracksStopped)->Arg(64)->Arg(512);
BENCHMARK(BM_AudioTracksPlaying)->Arg(64)->Arg(512);

}  // namespace

BENCHMARK_MAIN();
