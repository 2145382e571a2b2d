// Port meters: processing raises them, the editor's idle pass only reads them.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/support/AllocGuard.h"
#include "tests/support/Stubs.h"

using namespace qr;
using namespace qr::test;

TEST(Meters, IdleDecayNoLongerWritesThePeakTheAudioThreadRaises) {
  constexpr int kBlock = 64;
  constexpr float kRate = 48000.0f;
  auto root = MakeRoot(kBlock, kRate);
  auto* src = Add<StubSource>(*root, std::vector<int>{2});
  root->ConnectAudio(src, 0, 0);
  const CAudioOut& port = *src->audioOuts[0];
  {
    AllocGuard g;
    root->Process(kBlock);
    EXPECT_TRUE(g.Clean()) << g.Report();
  }
  EXPECT_FLOAT_EQ(port.meter.Current(0), 1.0f);
  for (int i = 0; i < 10; ++i) root->Idle();
  EXPECT_FLOAT_EQ(port.meter.Current(0), 1.0f);  // idle left it alone
  EXPECT_FLOAT_EQ(port.shownPeak.value[0], 1.0f);

  // Silence: the processing side falls by full scale per second of samples,
  // the display by 0.05 per idle pass but never below the processing side.
  src->base = 0.0f;
  constexpr int kBlocks = 150;  // 0.2 s
  for (int i = 0; i < kBlocks; ++i) root->Process(kBlock);
  const float fallen = 1.0f - kBlocks * kBlock / kRate;
  EXPECT_NEAR(port.meter.Current(0), fallen, 1e-4f);
  EXPECT_FLOAT_EQ(port.meter.Held(0), 1.0f);
  root->Idle();
  EXPECT_FLOAT_EQ(port.shownPeak.value[0], 0.95f);
  for (int i = 0; i < 10; ++i) root->Idle();
  EXPECT_NEAR(port.shownPeak.value[0], fallen, 1e-4f);
}

// Under the thread sanitizer this is the race the idle pass used to have with
// a running block; in other builds it checks the values stay in range.
TEST(Meters, ReadAtIdleWhileBlocksRunOnAnotherThread) {
  auto root = MakeRoot(64);
  auto* src = Add<StubSource>(*root, std::vector<int>{2});
  root->ConnectAudio(src, 0, 0);
  std::atomic<bool> finished{false};
  std::thread audio([&] {
    for (int i = 0; i < 2000; ++i) root->Process(64);
    finished = true;
  });
  while (!finished.load()) {
    root->Idle();
    const float shown = src->audioOuts[0]->shownPeak.value[0];
    if (shown < 0.0f || shown > 1.0f) {
      ADD_FAILURE() << "shown peak " << shown;
      break;
    }
  }
  audio.join();
  EXPECT_FLOAT_EQ(src->audioOuts[0]->meter.Held(0), 1.0f);
}
