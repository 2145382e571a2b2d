#pragma once
// A sampler in a root group, fed by a MIDI stub, with every block run under the
// allocation guard; and samples with known content.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <utility>
#include <vector>

#include "graph/Container.h"
#include "sampler/Sampler.h"
#include "tests/support/AllocGuard.h"
#include "tests/support/Stubs.h"

namespace qr::test {

struct SamplerRig {
  std::unique_ptr<CGroup> root;
  CSampler* s = nullptr;
  StubMidiSource* midi = nullptr;
  int block;
  int64_t now = 0;  // frames rendered so far
  std::vector<float> left, right;

  explicit SamplerRig(int block_frames = 64, float rate = 44100.0f) : block(block_frames) {
    root = MakeRoot(block_frames, rate);
    s = Add<CSampler>(*root);
    midi = Add<StubMidiSource>(*root);
    s->ConnectMidi(midi, 0, 0);
    root->ConnectAudio(s, 0, 0);
  }
  // Renders `frames` more frames; events carry absolute frame times.
  void Render(int64_t frames, std::vector<std::pair<int64_t, uint32_t>> events = {}) {
    size_t next = 0;
    for (int64_t end = now + frames; now < end;) {
      const int n = static_cast<int>(std::min<int64_t>(block, end - now));
      midi->events.clear();
      while (next < events.size() && events[next].first < now + n) {
        MidiEvent e;
        e.msg = events[next].second;
        e.time = static_cast<float>(std::max<int64_t>(0, events[next].first - now));
        midi->events.push_back(e);
        ++next;
      }
      {
        AllocGuard g;
        root->Process(n);
        EXPECT_TRUE(g.Clean()) << g.Report();
      }
      left.insert(left.end(), s->outCh[0], s->outCh[0] + n);
      right.insert(right.end(), s->outCh[1], s->outCh[1] + n);
      now += n;
    }
  }
};

inline uint32_t On(int key, int vel = 127, int ch = 0) { return midi::Make(0x90u | ch, key, vel); }
inline uint32_t Off(int key, int ch = 0) { return midi::Make(0x80u | ch, key, 0); }

// A 16-bit mono sample whose frame i (0-based) is fn(i).
template <typename F>
std::unique_ptr<CSample> MakeSample(int frames, float rate, F fn) {
  auto smp = std::make_unique<CSample>();
  smp->Allocate(frames, 16, 1);
  auto* d = reinterpret_cast<int16_t*>(smp->FrameData());
  for (int i = 0; i < frames; ++i) d[i + 1] = static_cast<int16_t>(std::lround(fn(i) * 32767.0));
  smp->rate = rate;
  smp->start = 1;
  smp->end = frames;
  smp->open = 1;
  return smp;
}

// A clip over a whole sample with an envelope that neither ramps nor fades,
// so the output is the sample itself.
inline CClip* PlainClip(CSampler& s, CSound& sound, int sample) {
  auto c = std::make_unique<CClip>();
  c->sample = sample;
  c->left = 1;
  c->right = s.samples[static_cast<size_t>(sample)]->frames;
  c->loopEnd = c->right;
  c->volEnv = EnvelopeShape::Flat();
  c->volEnv.sustain = 3;
  return static_cast<CClip*>(sound.Add(std::move(c)));
}

// Frequency from the positive-going zero crossings, each placed between its
// two samples by straight-line interpolation.
inline double MeasureFrequency(const std::vector<float>& x, size_t from, size_t to, double rate) {
  double first = -1, last = -1;
  int crossings = 0;
  for (size_t i = from + 1; i < to; ++i)
    if (x[i - 1] < 0.0f && x[i] >= 0.0f) {
      const double t = static_cast<double>(i - 1) + x[i - 1] / (x[i - 1] - x[i]);
      if (first < 0) first = t;
      last = t;
      ++crossings;
    }
  return crossings > 1 ? (crossings - 1) * rate / (last - first) : 0.0;
}

inline double Cents(double f, double ref) { return 1200.0 * std::log2(f / ref); }

}  // namespace qr::test
