#pragma once
// A sequencer in a root group, driven block by block the way the graph does,
// with every MIDI event it sends recorded at its sample in the song.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "graph/Container.h"
#include "sequencer/Tracks.h"
#include "stream/RecordStream.h"
#include "tests/support/AllocGuard.h"
#include "tests/support/ModuleBlock.h"
#include "tests/support/Stubs.h"

namespace qr::test {

struct SentEvent {
  int64_t sample;
  uint32_t msg;
  bool operator<(const SentEvent& o) const { return sample != o.sample ? sample < o.sample : msg < o.msg; }
  bool operator==(const SentEvent& o) const = default;
};

// The sequencer's internal tempo message: a 0x10 status whose value carries bpm / 250.
inline MidiEvent TempoMessage(float bpm, float at) {
  MidiEvent e;
  e.time = at;
  e.msg = midi::Make(0x10, 0, 0);
  e.kind = 1;
  const float v = bpm / 250.0f;
  std::memcpy(&e.value, &v, sizeof v);
  return e;
}
inline uint32_t NoteOn(int key, int vel = 100, int ch = 0) { return midi::Make(0x90u | ch, key, vel); }

// The reference the exactness tests compute from ticks alone: the passes of a
// loop [left, right) played from tick 0 at `a` ticks per sample, switching to
// `b` on sample `x`, up to sample `n`. Each pass lists the samples where the
// slope changes.
struct LoopReference {
  struct Seg {
    int64_t k0;
    double p0;
    double slope;  // ticks per sample
  };
  std::vector<std::vector<Seg>> passes;

  LoopReference(double a, double b, int64_t x, int64_t n, double left, double right)
      : passes{{{0, 0.0, a}, {x, static_cast<double>(x) * a, b}}} {
    for (;;) {
      const Seg& last = passes.back().back();
      const int64_t w = last.k0 + static_cast<int64_t>(std::floor((right - last.p0) / last.slope));
      if (w >= n) break;
      const double pw = last.p0 + static_cast<double>(w - last.k0) * last.slope;
      passes.push_back({{w, pw - (right - left), last.slope}});
    }
  }
  // The sample on which `tick` sounds in pass `pass`.
  int64_t SampleOf(size_t pass, double tick) const {
    const Seg* s = &passes[pass][0];
    for (const Seg& g : passes[pass])
      if (tick >= g.p0) s = &g;
    return s->k0 + static_cast<int64_t>(std::floor((tick - s->p0) / s->slope));
  }
};

struct SongRig {
  std::unique_ptr<CGroup> root;
  CTracks* seq = nullptr;
  StubMidiSource* input = nullptr;  // MIDI into the sequencer, by block
  std::vector<SentEvent> sent;
  int64_t now = 0;
  bool guard = true;

  explicit SongRig(int block = 64, float rate = 44100.0f) {
    root = MakeRoot(block, rate);
    auto t = std::make_unique<CTracks>(root.get());
    seq = static_cast<CTracks*>(root->AddChild(std::move(t)));
    seq->SetSampleRate(rate);
    seq->SetBlockSize(block);
    root->ConnectAudio(seq, 0, 0);
    input = Add<StubMidiSource>(*root);
    seq->ConnectMidi(input, 0, 0);
  }

  CArr& Arr(int i = 0) { return *seq->arrs[static_cast<size_t>(i)]; }
  CTrack& Track(int t, int a = 0) { return *Arr(a).tracks[static_cast<size_t>(t)]; }
  // A MIDI part on a track's variation 0 with notes (tick, key, length).
  CMIDIPart& Part(CTrack& t, int32_t start, int32_t length, std::vector<std::array<int32_t, 3>> notes,
                  int vari = 0) {
    auto p = std::make_unique<CMIDIPart>();
    p->start = start;
    p->length = length;
    for (const auto& n : notes) p->events.Insert(n[0], NoteOn(n[1]), n[2]);
    auto* raw = p.get();
    t.varis[static_cast<size_t>(vari)]->parts.push_back(std::move(p));
    return *raw;
  }

  // Plays from the start to sample `n` in blocks of `block`, with the internal
  // tempo message for `bpm` on sample `x`; `after(frames)` follows each block.
  template <class After>
  void PlayWithTempoChange(int block, int64_t n, int64_t x, float bpm, After after) {
    seq->Start();
    bool told = false;
    while (now < n) {
      const int frames = static_cast<int>(std::min<int64_t>(block, n - now));
      std::vector<MidiEvent> in;
      if (!told && x < now + frames) {
        in.push_back(TempoMessage(bpm, static_cast<float>(x - now)));
        told = true;
      }
      Block(frames, in);
      after(frames);
    }
  }

  // One block; `events` reach the sequencer's input at their sample offsets.
  void Block(int frames, std::vector<MidiEvent> events = {}) {
    input->events = std::move(events);
    {
      AllocGuard g;
      root->Process(frames);
      if (guard) {
        EXPECT_TRUE(g.Clean()) << g.Report();
      }
    }
    if (CMIDIQ* q = seq->MidiOutput(0, frames))
      for (const MidiEvent& e : *q) sent.push_back({now + static_cast<int64_t>(e.time), e.msg & 0xFFFFFFu});
    now += frames;
  }
  void Run(int64_t samples, int block) {
    while (samples > 0) {
      const int n = static_cast<int>(std::min<int64_t>(block, samples));
      Block(n);
      samples -= n;
    }
  }
  // Every note-on has its note-off: counts per channel and key balance.
  ::testing::AssertionResult Balanced() const {
    std::map<std::pair<int, int>, int> held;
    for (const auto& e : sent) {
      if (midi::IsNoteOn(e.msg)) ++held[{midi::Channel(e.msg), midi::Data1(e.msg)}];
      if (midi::IsNoteOff(e.msg)) --held[{midi::Channel(e.msg), midi::Data1(e.msg)}];
    }
    for (const auto& [k, n] : held)
      if (n != 0) return ::testing::AssertionFailure() << "key " << k.second << " left at " << n;
    return ::testing::AssertionSuccess();
  }
};

}  // namespace qr::test
