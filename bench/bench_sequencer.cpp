// The sequencer at full load: 64 MIDI tracks of dense parts (a note at every
// 16th, four keys each) playing into 16 consumer modules, per block of 64 and
// 512 samples at 44100 Hz. The baseline is the same song and modules with the
// transport stopped, run in the same process, so the difference is what the
// sequencer itself spends placing events. Then the load of a 64 x 200 song,
// in time per megabyte.
#include <benchmark/benchmark.h>

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

}  // namespace

BENCHMARK_MAIN();
