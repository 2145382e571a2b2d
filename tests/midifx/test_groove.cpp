#include "midifx/Groove.h"
#include "tests/midifx/MidiFxRig.h"

namespace qr::test {
namespace {

class GrooveTest : public ::testing::Test {
 protected:
  std::unique_ptr<CGroup> root = MakeRoot();
  CGroove g{root.get()};
  const uint32_t note = On(60, 90);
};

TEST_F(GrooveTest, TimingSnapsToTheNearestStepPlusItsOffset) {
  EXPECT_EQ(g.Apply(130, note, 90, 100).time, 240);              // past half a step: the next step
  EXPECT_EQ(g.Apply(120, note, 90, 100).time, 0);                // exactly half: stays with its own
  EXPECT_EQ(g.Apply(960 + 130, note, 90, 100).time, 960 + 240);  // the grid repeats
  EXPECT_EQ(g.Apply(3 * 240 + 200, note, 90, 100).time, 960);    // last step wraps to step 0

  g.offsets[1] = 50;
  EXPECT_EQ(g.Apply(250, note, 90, 100).time, 360);
  g.strength = 50;
  EXPECT_EQ(g.Apply(250, note, 90, 100).time, 305);
  g.strength = 0;
  EXPECT_EQ(g.Apply(250, note, 90, 100).time, 250);
}

TEST_F(GrooveTest, GatesByModeAndStrength) {
  g.gateMode = 1;
  EXPECT_EQ(g.Apply(0, note, 90, 37).length, 240);
  EXPECT_EQ(g.Apply(0, Off(60), 0, 37).length, 37);  // note-offs keep theirs
  g.strength = 0;
  EXPECT_EQ(g.Apply(0, note, 90, 37).length, 240);  // the reference, not the note's own
  g.gateMode = 0;
  EXPECT_EQ(g.Apply(0, note, 90, 37).length, 37);
  g.strength = 100;
  g.gates[0] = 50;
  EXPECT_EQ(g.Apply(0, note, 90, 37).length, 18);  // round(18.5) to even
  g.gates[0] = 1;
  EXPECT_EQ(g.Apply(0, note, 90, 37).length, 2);  // never shorter than 2

  // "Q - no overlap" shortens only when the next step starts earlier;
  // "Q - legato" fits to the next step either way.
  g.gates[0] = 100;
  g.offsets[0] = 20;  // a = 48
  g.offsets[1] = 10;  // b = 24
  g.gateMode = 2;
  EXPECT_EQ(g.Apply(0, note, 90, 37).length, 240 - 48 + 24 - 1);
  g.offsets[1] = 30;
  EXPECT_EQ(g.Apply(0, note, 90, 37).length, 240);
  g.gateMode = 3;
  EXPECT_EQ(g.Apply(0, note, 90, 37).length, 240 - 48 + 72 - 1);
}

TEST_F(GrooveTest, VelocitiesClampAndCompoundOverAList) {
  g.velocityOn = 1;
  g.velocities[0] = 0;
  EXPECT_EQ(g.Apply(0, note, 90, 10).velocity, 1);

  CGroove second(root.get()), off(root.get());
  g.velocities.fill(100);
  g.strength = 50;
  second.velocityOn = 1;
  second.velocities.fill(20);
  second.strength = 50;
  second.q = 480;
  off.enabled = 0;
  off.velocityOn = 1;
  const CGroove* list[] = {&g, &off, &second};
  const GrooveResult r = GrooveTransform(list, 300, note, 60, 10);
  EXPECT_EQ(r.velocity, 50);  // 60 -> 80 -> 50
  EXPECT_EQ(r.time, 390);     // the last groove's: half way to 480 on its own grid
}

// Each blend is (x x strength) x 0.01 in that order; a factor folded ahead of
// time lands a hair below the half and rounds the other way.
TEST_F(GrooveTest, GrooveRoundsInTheFormulasOrderAtHalves) {
  g.velocityOn = 1;
  g.velocities[0] = 33;
  g.strength = 70;
  EXPECT_EQ(g.Apply(0, note, 88, 100).velocity, 50);  // 88 - 38.5 = 49.5 -> 50
  g.strength = 55;
  EXPECT_EQ(g.Apply(110, note, 90, 100).time, 50);  // 110 - 60.5 = 49.5 -> 50
  g.gateMode = 1;
  g.gates[0] = 4;                                    // g = round(9.6) = 10 against R = Q = 240
  EXPECT_EQ(g.Apply(0, note, 90, 100).length, 114);  // 240 - 126.5 = 113.5 -> 114
}

TEST_F(GrooveTest, RecordsRoundTrip) {
  g.steps = 3;
  g.strength = 70;
  g.strengthCC = 11;
  g.velocityOn = 1;
  g.gateMode = 3;
  g.q = 160;
  g.offsets = {5, -5, 33};
  g.velocities[2] = 1;
  g.gates[1] = 150;
  CGroove loaded(root.get());
  loaded.strength = 1;
  LoadBlock(loaded, SaveBlock(g));
  EXPECT_EQ(SaveBlock(loaded), SaveBlock(g));
  EXPECT_EQ(loaded.offsets[2], 33);
  EXPECT_EQ(loaded.velocities[3], 63);  // beyond the stored steps: defaults
}

}  // namespace
}  // namespace qr::test
