#include "midifx/MidiPatcher.h"
#include "tests/midifx/MidiFxRig.h"

namespace qr::test {
namespace {

TEST(MidiPatcher, RangesTransposeAndLayer) {
  Rig<CMidiPatcher> rig;
  auto& split = rig.m->ports[0];
  split.keyLow = 60, split.keyHigh = 72, split.transpose = 12, split.velLow = 100;
  auto& layer = rig.m->ports[1];
  layer.keyLow = 55, layer.keyHigh = 65, layer.transpose = -24;
  rig.Root().ConnectMidi(rig.m, 1, 0);

  rig.Send(0, On(59, 110));
  rig.Send(10, On(60, 110));
  rig.Send(20, Off(60));      // velocity 0: outside port 0's range, passes anyway
  rig.Send(30, On(61, 50));   // too soft for port 0, fine for the layer
  rig.Send(40, CC(7, 99));    // not a note: both ports pass it
  rig.Send(50, On(70, 120));  // above the layer
  rig.Run(64);

  const std::vector<TimedMsg> want = {
      {0, On(35, 110)}, {10, On(72, 110)}, {10, On(36, 110)}, {20, Off(72)},     {20, Off(36)},
      {30, On(37, 50)}, {40, CC(7, 99)},   {40, CC(7, 99)},   {50, On(82, 120)},
  };
  EXPECT_EQ(rig.out, want);
}

TEST(MIDIChs, ClearResetAndRemap) {
  Rig<CMIDIChs> rig;
  rig.m->ClearTable();
  rig.Send(0, On(60, 100, 3));
  rig.Run(64);
  EXPECT_TRUE(rig.out.empty());

  rig.m->Reset();
  rig.Send(64, On(60, 100, 3));
  rig.Send(65, CC(1, 2, 15));
  rig.Run(64);
  EXPECT_EQ(rig.out, (std::vector<TimedMsg>{{64, On(60, 100, 3)}, {65, CC(1, 2, 15)}}));

  rig.out.clear();
  rig.m->table[2] = 9;
  rig.m->table[4] = -1;
  rig.Send(128, midi::Make(0xE2, 0, 64));  // pitch bend on channel 2 moves too
  rig.Send(129, On(1, 1, 4));
  rig.Run(64);
  EXPECT_EQ(rig.out, (std::vector<TimedMsg>{{128, midi::Make(0xE9, 0, 64)}}));
}

// Every field away from its default, so equal bytes prove each was read back.
TEST(MIDIChs, PatcherAndRouterRecordsRoundTrip) {
  auto root = MakeRoot();
  CMidiPatcher patcher(root.get()), patcherBack(root.get());
  patcher.ports[3] = {5, 10, 20, 30, 40};
  patcher.ports[7] = {-12, 0, 127, 1, 126};
  LoadBlock(patcherBack, SaveBlock(patcher));
  EXPECT_EQ(SaveBlock(patcherBack), SaveBlock(patcher));
  CMIDIChs router(root.get()), routerBack(root.get());
  router.ClearTable();
  router.table[15] = 3;
  LoadBlock(routerBack, SaveBlock(router));
  EXPECT_EQ(SaveBlock(routerBack), SaveBlock(router));
}

}  // namespace
}  // namespace qr::test
