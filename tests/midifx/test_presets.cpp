#include "graph/ModuleTypes.h"
#include "midifx/Arp.h"
#include "midifx/Chords.h"
#include "midifx/Envelope.h"
#include "midifx/Groove.h"
#include "midifx/MidiPatcher.h"
#include "persist/Project.h"
#include "platform/Files.h"
#include "tests/midifx/MidiFxRig.h"
#include "tests/support/TempDir.h"

namespace qr::test {
namespace {

class Presets : public ::testing::Test {
 protected:
  // Saves `m`, loads the file into a fresh module placed elsewhere, and checks
  // that the preset changed the module but not its name or place, and that
  // saving it again writes the same bytes.
  template <typename M>
  void RoundTrip(M& m) {
    const std::string a = dir / "a.preset", b = dir / "b.preset";
    ASSERT_TRUE(SaveModuleFile(m, a));
    auto fresh = CreateModule(m.TypeKey(), root.get());
    ASSERT_NE(dynamic_cast<M*>(fresh.get()), nullptr) << m.TypeKey();
    fresh->id = "Mine";
    fresh->x = 300;
    fresh->y = 400;
    ASSERT_TRUE(LoadModuleFile(*fresh, a, m.TypeKey()));
    EXPECT_EQ(fresh->id, "Mine");
    EXPECT_EQ(fresh->x, 300);
    fresh->id = m.id;
    fresh->x = m.x;
    fresh->y = m.y;
    ASSERT_TRUE(SaveModuleFile(*fresh, b));
    std::vector<uint8_t> first, second;
    ASSERT_TRUE(ReadWholeFile(a, first));
    ASSERT_TRUE(ReadWholeFile(b, second));
    EXPECT_EQ(second, first) << m.TypeKey();
  }

  std::unique_ptr<CGroup> root = MakeRoot();
  TempDir dir;
};

TEST_F(Presets, EveryModuleRoundTripsThroughItsPresetFile) {
  CArp arp(root.get());
  arp.patterns[0]->Cell(3, -2) = 77 | CArpPattern::kOffBit;
  arp.patterns[0]->velLow = 5;
  arp.AddPattern().name = "Second";
  RoundTrip(arp);

  CChords chords(root.get());
  CChord& c = chords.AddChord(36);
  c.events.Insert(240, On(0, 99), 120);
  c.play = 1;
  RoundTrip(chords);

  CGroove groove(root.get());
  groove.steps = 16;
  groove.offsets[15] = -20;
  RoundTrip(groove);

  CEnvelope env(root.get());
  env.EditPoints([](CEnvShape& s) {
    s.points = {{0, 0.2f}, {100, 0.9f}, {50, 0.1f}};
    s.loopStart = 0;
    s.loopEnd = 2;
  });
  RoundTrip(env);

  CMidiPatcher patcher(root.get());
  patcher.ports[3] = {5, 10, 20, 30, 40};
  patcher.ports[7] = {-12, 0, 127, 1, 126};
  RoundTrip(patcher);
  CMIDIChs router(root.get());
  router.ClearTable();
  router.table[15] = 3;
  RoundTrip(router);
}

TEST_F(Presets, AFileOfAnotherKindLeavesTheModuleAlone) {
  CEnvelope env(root.get());
  const std::string path = dir / "env.preset";
  ASSERT_TRUE(SaveModuleFile(env, path));
  CArp arp(root.get());
  arp.patterns[0]->name = "Kept";
  test::MessageCapture sink;
  EXPECT_FALSE(LoadModuleFile(arp, path, "CArp"));
  EXPECT_EQ(sink.Texts(), std::vector<std::string>{"Can't read this file. Found \"CEnv\" expected \"CArp\""});
  EXPECT_EQ(arp.patterns[0]->name, "Kept");
}

}  // namespace
}  // namespace qr::test
