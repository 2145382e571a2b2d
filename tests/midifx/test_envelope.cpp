#include <cmath>
#include <tuple>

#include "midifx/Envelope.h"
#include "tests/midifx/MidiFxRig.h"

namespace qr::test {
namespace {

using EnvRig = Rig<CEnvelope>;

std::vector<TimedMsg> Controllers(const EnvRig& rig) {
  return rig.Where([](uint32_t m) { return midi::IsController(m); });
}

void SetPoints(CEnvelope& env, std::vector<EnvPoint> pts, int loop_start = -1, int loop_end = -1) {
  env.EditPoints([&](CEnvShape& s) {
    s.points = std::move(pts);
    s.loopStart = loop_start;
    s.loopEnd = loop_end;
  });
}

// 0 -> 1 over 960 ticks: a beat, 22050 samples at 120 bpm and 44100 Hz.
TEST(Envelope, RampSendsAChangingControllerEvery32SamplesInEitherRange) {
  for (const auto& [mn, mx] : {std::pair{0, 127}, std::pair{127, 0}}) {
    EnvRig rig;
    SetPoints(*rig.m, {{0, 0.0f}, {960, 1.0f}});
    rig.m->shape.minimum = mn;
    rig.m->shape.maximum = mx;
    rig.Send(0, On(60));
    rig.Run(30000);

    ASSERT_EQ(rig.out.front(), (TimedMsg{0, On(60)}));  // thru
    const auto cc = Controllers(rig);
    ASSERT_GT(cc.size(), 100u);
    EXPECT_EQ(midi::Data2(cc.front().msg), static_cast<uint32_t>(mn));
    EXPECT_EQ(midi::Data2(cc.back().msg), static_cast<uint32_t>(mx));
    // The value rounds to its end a little before the segment ends.
    EXPECT_NEAR(static_cast<double>(cc.back().time), 22050.0, 128.0);
    for (size_t i = 1; i < cc.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(midi::Data1(cc[i].msg), 74u);
      const int step =
          static_cast<int>(midi::Data2(cc[i].msg)) - static_cast<int>(midi::Data2(cc[i - 1].msg));
      EXPECT_TRUE(mn < mx ? step > 0 : step < 0) << step;
      if (i + 1 < cc.size()) {
        EXPECT_EQ(cc[i].time % 32, 0);
      }
    }
  }
}

// The 32-sample grid and the segment ends are counted from the sample the
// envelope started on, whatever the block size; computed here from the tick
// formula alone. Segment i ends on the sample before tick E_i sounds.
class EnvelopeGrid : public ::testing::TestWithParam<std::tuple<int, float>> {};

TEST_P(EnvelopeGrid, EnvelopeGridRunsOnAcrossBlocksAndSegmentEnds) {
  const auto [block, rate] = GetParam();
  const std::vector<EnvPoint> pts = {{0, 0.0f}, {960, 1.0f}, {480, 0.5f}, {25, 0.2f}};
  EnvRig rig(block, rate);
  SetPoints(*rig.m, pts);
  const int64_t start = 1003;
  rig.Send(start, On(60));
  rig.Run(3 * static_cast<int64_t>(rate));

  const long double spt = static_cast<long double>(rate) * 60.0L / (960.0L * 120.0L);  // samples per tick
  std::vector<long double> tick{0};
  for (size_t i = 1; i < pts.size(); ++i) tick.push_back(tick.back() + pts[i].delta);
  std::vector<int64_t> bound;
  for (long double t : tick) bound.push_back(static_cast<int64_t>(std::floor(t * spt + 1e-9L)));
  struct Due {
    int64_t time;
    int order;
    int value;
  };
  std::vector<Due> due;
  auto cc = [](long double v) {
    return static_cast<int>(std::clamp(std::nearbyint(v * 127.0L), 0.0L, 127.0L));
  };
  for (size_t i = 0; i + 1 < pts.size(); ++i) {
    for (int64_t r = (bound[i] + 31) / 32 * 32; r < bound[i + 1]; r += 32) {
      const long double into = r / spt - tick[i];
      due.push_back(
          {start + r, 0, cc(pts[i].value + into * (pts[i + 1].value - pts[i].value) / pts[i + 1].delta)});
    }
    due.push_back({start + bound[i + 1] - 1, 1, cc(pts[i + 1].value)});
  }
  std::stable_sort(due.begin(), due.end(), [](const Due& a, const Due& b) {
    return a.time != b.time ? a.time < b.time : a.order < b.order;
  });
  std::vector<TimedMsg> want;
  for (const Due& d : due)
    if (want.empty() || static_cast<int>(midi::Data2(want.back().msg)) != d.value)
      want.push_back({d.time, CC(74, d.value)});
  EXPECT_EQ(Controllers(rig), want);
}

INSTANTIATE_TEST_SUITE_P(BlocksAndRates, EnvelopeGrid,
                         ::testing::Combine(::testing::Values(1, 7, 64, 4096),
                                            ::testing::Values(22050.0f, 44100.0f, 48000.0f, 96000.0f)));

TEST(Envelope, EnvelopeSendsAValueClampedPastTheRangeOnce) {
  EnvRig rig;
  SetPoints(*rig.m, {{0, 0.0f}, {960, 1.0f}});
  rig.m->shape.maximum = 300;  // from half way on every value clamps to 127
  rig.Send(0, On(60));
  rig.Run(30000);
  const auto cc = Controllers(rig);
  EXPECT_EQ(std::count_if(cc.begin(), cc.end(), [](auto& e) { return midi::Data2(e.msg) == 127; }), 1);
}

// A sustain loop: up to 1.0 (loop start), down to 0.5 (loop end), then a
// release segment that a loop ending at its end never reaches.
const std::vector<EnvPoint> kLooped = {{0, 0.0f}, {480, 1.0f}, {480, 0.5f}, {480, 0.0f}};

TEST(Envelope, SustainLoopRepeatsWhileHeldAndStopsAtItsEndAfterRelease) {
  EnvRig rig;
  SetPoints(*rig.m, kLooped, 1, 2);
  rig.Send(0, On(60));
  rig.Send(30000, Off(60));
  rig.Run(80000);

  const auto cc = Controllers(rig);
  std::vector<int64_t> tops;  // each pass through the loop start sends 127 again
  for (const auto& e : cc)
    if (midi::Data2(e.msg) == 127) tops.push_back(e.time);
  ASSERT_EQ(tops.size(), 2u);
  EXPECT_NEAR(static_cast<double>(tops[0]), 11025.0, 32.0);
  EXPECT_NEAR(static_cast<double>(tops[1]), 22050.0, 32.0);
  // Released in the second pass: stops on the loop end's value at its time.
  EXPECT_EQ(midi::Data2(cc.back().msg), 64u);
  // 64 is reached on the grid a few samples before the loop end, which then has nothing new to send.
  EXPECT_LE(cc.back().time, 33074);
  EXPECT_GT(cc.back().time, 33075 - 256);
  EXPECT_EQ(rig.m->shape.Running(), false);
}

TEST(Envelope, ModeZeroSecondKeyNeitherRestartsNorHoldsBackTheRelease) {
  EnvRig rig;
  SetPoints(*rig.m, kLooped, 1, 2);
  rig.Send(0, On(60));
  rig.Send(5000, On(64));    // no restart: the ramp does not fall back to 0
  rig.Send(20000, Off(60));  // 64 still held: the loop goes on
  rig.Send(40000, Off(64));
  rig.Run(80000);

  const auto cc = Controllers(rig);
  EXPECT_EQ(std::count_if(cc.begin(), cc.end(), [](auto& e) { return midi::Data2(e.msg) == 0; }), 1);
  EXPECT_EQ(std::count_if(cc.begin(), cc.end(), [](auto& e) { return midi::Data2(e.msg) == 127; }), 3);
  EXPECT_LE(cc.back().time, 44099);
  EXPECT_GT(cc.back().time, 44100 - 256);

  // Mode 1: every note-on restarts.
  EnvRig again;
  SetPoints(*again.m, kLooped, 1, 2);
  again.m->SetMode(1);
  again.Send(0, On(60));
  again.Send(5000, On(64));
  again.Run(6000);
  const auto cc1 = Controllers(again);
  EXPECT_EQ(std::count_if(cc1.begin(), cc1.end(), [](auto& e) { return midi::Data2(e.msg) == 0; }), 2);
}

TEST(Envelope, RecordsRoundTripAndFreeRunningStartsOnLoad) {
  auto root = MakeRoot();
  CEnvelope env(root.get());
  SetPoints(env, kLooped, 1, 2);
  env.shape.mode = 2;
  env.shape.minimum = 10;
  env.shape.maximum = 100;
  env.controller = 11;
  env.beats = 8;
  const auto bytes = SaveBlock(env);

  EnvRig rig;
  LoadBlock(*rig.m, bytes);
  EXPECT_EQ(SaveBlock(*rig.m), bytes);
  rig.Run(64);  // no note needed
  const auto cc = Controllers(rig);
  ASSERT_FALSE(cc.empty());
  EXPECT_EQ(cc.front(), (TimedMsg{0, CC(11, 10)}));
}

}  // namespace
}  // namespace qr::test
