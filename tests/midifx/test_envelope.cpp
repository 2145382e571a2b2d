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
      const int step = static_cast<int>(midi::Data2(cc[i].msg)) - static_cast<int>(midi::Data2(cc[i - 1].msg));
      EXPECT_TRUE(mn < mx ? step > 0 : step < 0) << step;
      if (i + 1 < cc.size()) {
        EXPECT_EQ(cc[i].time % 32, 0);
      }
    }
  }
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
  EXPECT_NEAR(static_cast<double>(cc.back().time), 33075.0, 32.0);
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
  EXPECT_NEAR(static_cast<double>(cc.back().time), 44100.0, 32.0);

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
  const auto bytes = Block(env);

  EnvRig rig;
  LoadBlock(*rig.m, bytes);
  EXPECT_EQ(Block(*rig.m), bytes);
  EXPECT_EQ(rig.m->shape.points.size(), 4u);
  EXPECT_EQ(rig.m->shape.points[2].delta, 480);
  EXPECT_EQ(rig.m->shape.loopEnd, 2);
  rig.Run(64);  // no note needed
  const auto cc = Controllers(rig);
  ASSERT_FALSE(cc.empty());
  EXPECT_EQ(cc.front(), (TimedMsg{0, CC(11, 10)}));
}

}  // namespace
}  // namespace qr::test
