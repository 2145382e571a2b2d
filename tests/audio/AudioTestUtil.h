#pragma once
// Shared helpers of the audio tests: a scratch folder, WAV files built chunk by
// chunk, samples made in memory.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "audio/AudioPart.h"
#include "audio/Sample.h"
#include "tests/support/AllocGuard.h"
#include "tests/support/Stubs.h"
#include "tests/support/TempDir.h"
#include "tests/support/WavBuilder.h"

namespace qr::test {

inline void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// Interleaved 16-bit frames with a deterministic pattern.
inline std::vector<uint8_t> Pcm16(int frames, int channels, uint32_t seed = 1) {
  std::vector<uint8_t> v;
  uint32_t x = seed;
  for (int i = 0; i < frames * channels; ++i) {
    x = x * 1664525u + 1013904223u;
    WavBuilder::Put(v, static_cast<int16_t>(x >> 16));
  }
  return v;
}

// A 32-bit float RAM sample whose frame index i (1-based) holds value(i, channel).
inline std::unique_ptr<CSample> FloatSample(int frames, int channels,
                                            const std::function<float(int, int)>& value,
                                            float rate = 44100.0f) {
  auto s = std::make_unique<CSample>();
  s->Allocate(frames, 32, channels);
  s->formatTag = 3;
  s->rate = rate;
  for (int i = 1; i <= frames; ++i)
    for (int c = 0; c < channels; ++c) {
      const float v = value(i, c);
      std::memcpy(s->FrameData() + (static_cast<size_t>(i) * channels + c) * 4, &v, 4);
    }
  s->start = s->loopStart = 1;
  s->end = frames;
  s->open = 1;
  return s;
}

inline MidiEvent KeyDown(int key, float time = 0.0f) { return {time, midi::Make(0x90, key, 100)}; }

// An audio part module fed by a MIDI stub, run block by block under the
// allocation guard; both outputs of every block are kept.
struct PartPlayer {
  StubMidiSource* midi;
  CAudioPart2* m;
  int block;
  std::vector<float> left, right;
  bool clean = true;

  PartPlayer(CGroup& root, CAudioPart2* module, int block_size)
      : midi(Add<StubMidiSource>(root)), m(module), block(block_size) {
    m->ConnectMidi(midi, 0, 0);
  }
  void Block(std::vector<MidiEvent> events = {}) {
    midi->events = std::move(events);
    midi->ResetForBlock(block);
    m->ResetForBlock(block);
    {
      AllocGuard g;
      m->Process(block);
      clean = clean && g.Clean();
    }
    left.insert(left.end(), m->outCh[0], m->outCh[0] + block);
    right.insert(right.end(), m->outCh[1], m->outCh[1] + block);
  }
  void Run(int frames, const std::vector<MidiEvent>& first_events) {
    for (int done = 0; done < frames; done += block)
      Block(done == 0 ? first_events : std::vector<MidiEvent>{});
  }
};

}  // namespace qr::test
