// The tempo-synchronised echo: lengths, feedback, tempo changes, records.
#include <gtest/gtest.h>

#include "mixer/Delay.h"
#include "stream/RecordStream.h"
#include "tests/mixer/Signals.h"

using namespace qr;
using namespace qr::test;

namespace {

// A delay fed by a unit impulse at sample 0 (left) and sample 1 (right), with the
// whole output recorded over `blocks` blocks.
struct EchoRig {
  std::unique_ptr<CGroup> root = MakeRoot(512);
  CDelay* delay = nullptr;
  std::vector<float> left, right;
  EchoRig() {
    delay = Add<CDelay>(*root);
    auto* src = Add<FnSource>(*root, [](int c, long t) { return t == c ? 1.0f : 0.0f; });
    delay->ConnectAudio(src, 0, 0);
    root->ConnectAudio(delay, 0, 0);
  }
  void Run(int blocks) {
    for (int b = 0; b < blocks; ++b) {
      RunBlock(*root, 512);
      left.insert(left.end(), delay->outCh[0], delay->outCh[0] + 512);
      right.insert(right.end(), delay->outCh[1], delay->outCh[1] + 512);
    }
  }
};

std::vector<std::pair<size_t, float>> NonZero(const std::vector<float>& v) {
  std::vector<std::pair<size_t, float>> out;
  for (size_t i = 0; i < v.size(); ++i)
    if (v[i] != 0.0f) out.emplace_back(i, v[i]);
  return out;
}

}  // namespace

TEST(Delay, LengthsAreABeatDividedAndFollowTheTempo) {
  auto root = MakeRoot(64, 44100.0f);
  root->pendingTempo = 120.0f;
  auto* d = Add<CDelay>(*root);
  EXPECT_EQ(d->Length(0), 11025);  // division 2
  EXPECT_EQ(d->Length(1), 22050);  // division 1
  root->ConnectAudio(d, 0, 0);
  root->pendingTempo = 90.0f;
  RunBlock(*root, 64);
  EXPECT_EQ(d->Length(0), 14700);
  EXPECT_EQ(d->Length(1), 29400);
  EXPECT_EQ(d->WritePosition(0), 64);  // restarted at 0 when recomputed, then one block on

  d->SetDivisions(3, 0);  // out of range: 1..16
  EXPECT_EQ(d->division2, 1);
  EXPECT_EQ(d->Length(0), 9800);
  // 7 does not divide 960; the beat is divided exactly and the result rounded.
  EXPECT_EQ(CDelay::LengthFor(7, 44100.0f, 120.0f), 3150);
  // Far too slow for the buffer, or no tempo at all: the whole buffer.
  EXPECT_EQ(CDelay::LengthFor(1, 192000.0f, 2.0f), CDelay::kBufferSamples);
  EXPECT_EQ(CDelay::LengthFor(1, 44100.0f, 0.0f), CDelay::kBufferSamples);
  EXPECT_EQ(CDelay::LengthFor(16, 8000.0f, 1e6f), 1);
}

TEST(Delay, FeedbackZeroGivesOneEchoAndFeedbackRepeatsIt) {
  EchoRig r;
  r.root->pendingTempo = 480.0f;  // lengths 2756 (left, division 2) and 5512.5 -> 5512 (right)
  r.delay->feedback = 0.0f;
  r.delay->wet = 0.5f;
  r.Run(30);
  const std::vector<std::pair<size_t, float>> left1 = {{2756, 0.5f}};
  const std::vector<std::pair<size_t, float>> right1 = {{5513, 0.5f}};
  EXPECT_EQ(NonZero(r.left), left1);
  EXPECT_EQ(NonZero(r.right), right1);

  EchoRig f;
  f.root->pendingTempo = 480.0f;
  f.delay->feedback = 0.5f;
  f.delay->wet = 0.5f;
  f.Run(12);
  // Each pass through the buffer halves the echo; the wrap falls inside blocks.
  const std::vector<std::pair<size_t, float>> left2 = {{2756, 0.5f}, {2 * 2756, 0.25f}};
  EXPECT_EQ(NonZero(f.left), left2);
}

TEST(Delay, SwitchedOffIsSilentAndRecordsLoadBack) {
  EchoRig r;
  r.root->pendingTempo = 480.0f;
  r.delay->enabled = 0;
  r.Run(8);
  EXPECT_TRUE(NonZero(r.left).empty());

  r.delay->enabled = 1;
  r.delay->wet = 0.75f;
  r.delay->feedback = 0.25f;
  r.delay->SetDivisions(4, 8);
  CMemStream s;
  r.delay->Save(s);
  s.WriteEnd();
  s.Rewind();
  auto root = MakeRoot(64, 48000.0f);
  auto* d = Add<CDelay>(*root);
  d->Load(s, 0);
  EXPECT_EQ(d->enabled, 1);
  EXPECT_EQ(d->wet, 0.75f);
  EXPECT_EQ(d->feedback, 0.25f);
  EXPECT_EQ(d->division1, 4);
  EXPECT_EQ(d->division2, 8);
  EXPECT_EQ(d->Length(0), 6000);  // recomputed for this module's rate and tempo
}

// At tempo 130 no division gives a whole number of samples, and every length
// rounds up: an echo one sample early means truncation. A change of sample
// rate moves the lengths at the next block as a tempo change does. Impulses on
// both channels at sample 0 and again after the rate has changed; the echoes
// must land exactly where the test's own arithmetic puts them, at every block size.
struct DelayTiming {
  int block;
  float rate, nextRate;
};

void PrintTo(const DelayTiming& t, std::ostream* os) {
  *os << "block " << t.block << ", " << t.rate << " Hz, then " << t.nextRate << " Hz";
}

class DelayLengthRounding : public ::testing::TestWithParam<DelayTiming> {};

TEST_P(DelayLengthRounding, EchoesLandOnTheRoundedLengthBeforeAndAfterARateChange) {
  const DelayTiming p = GetParam();
  constexpr double kTempo = 130.0;
  // One beat is 60 / tempo seconds; the division splits it.
  const auto length = [&](double rate, int division) {
    const double exact = rate * 60.0 / (kTempo * division);
    EXPECT_NE(std::nearbyint(exact), std::trunc(exact)) << "a case where rounding matters";
    return static_cast<long>(std::nearbyint(exact));
  };
  const long second = (length(p.rate, 1) + 10 + p.block - 1) / p.block * p.block + 3;  // inside a block
  const long total = second + length(p.nextRate, 1) + 10;

  auto root = MakeRoot(p.block, p.rate);
  root->pendingTempo = static_cast<float>(kTempo);
  auto* delay = Add<CDelay>(*root);
  auto* src = Add<FnSource>(*root, [second](int, long t) { return t == 0 || t == second ? 1.0f : 0.0f; });
  delay->ConnectAudio(src, 0, 0);
  root->ConnectAudio(delay, 0, 0);
  delay->feedback = 0.0f;
  delay->wet = 1.0f;
  std::vector<float> out[2];
  for (long t = 0; t < total; t += p.block) {
    if (t == second / p.block * p.block) root->SetSampleRate(p.nextRate);
    RunBlock(*root, p.block);
    for (int c = 0; c < 2; ++c) out[c].insert(out[c].end(), delay->outCh[c], delay->outCh[c] + p.block);
  }
  for (int c = 0; c < 2; ++c) {
    const int division = c == 0 ? 2 : 1;
    const std::vector<std::pair<size_t, float>> want = {
        {static_cast<size_t>(length(p.rate, division)), 1.0f},
        {static_cast<size_t>(second + length(p.nextRate, division)), 1.0f}};
    EXPECT_EQ(NonZero(out[c]), want) << "channel " << c;
  }
}

std::vector<DelayTiming> DelayTimings() {
  std::vector<DelayTiming> out;
  for (int block : {1, 7, 64, 4096}) {
    out.push_back({block, 44100.0f, 48000.0f});
    out.push_back({block, 96000.0f, 44100.0f});
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(BlocksAndRates, DelayLengthRounding, ::testing::ValuesIn(DelayTimings()));
