#pragma once
// Sources with a known signal for the mixer and effect tests, and a block runner
// that holds every processing call to the allocation guard.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <numbers>

#include "tests/support/RunBlock.h"
#include "tests/support/Stubs.h"

namespace qr::test {

// A stereo source whose sample at running position t is fn(channel, t).
class FnSource : public CComp {
 public:
  FnSource(CContainer* parent, std::function<float(int, long)> f) : CComp(parent), fn(std::move(f)) {
    AddAudioOut(2);
  }
  void Process(int frames) noexcept override {
    if (!BeginProcess(frames, false)) return;
    for (int c = 0; c < 2; ++c)
      for (int i = 0; i < frames; ++i) outCh[static_cast<size_t>(c)][i] = fn(c, pos + i);
    pos += frames;
    EndProcess(frames);
  }
  std::function<float(int, long)> fn;
  long pos = 0;
};

inline std::vector<float> Channel(const CComp& m, int ch, int frames) {
  const float* p = m.outCh[static_cast<size_t>(ch)];
  return {p, p + frames};
}

}  // namespace qr::test
