// Worker cores: the same modules give the same bits on any core, the audio
// thread never waits on a worker it did not start, and closing waits for a pass.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "shell/Core.h"
#include "tests/support/Stubs.h"

using namespace qr;
using namespace qr::test;

namespace {

// A one-pole filter over its input with some arithmetic to do: on a worker its
// input is gathered on the audio thread and the filter runs on the core.
class Work final : public CComp {
 public:
  explicit Work(CContainer* p) : CComp(p) {
    AddAudioIn(2);
    AddAudioOut(2);
  }
  void Process(int frames) noexcept override {
    if (!BeginProcess(frames, false)) return;
    if (onWorker) {
      done[0] = 1;  // the core finishes the block
      return;
    }
    Compute(frames);
    EndProcess(frames);
  }
  void ProcessOnCore(int frames) noexcept override {
    onCoreThread = std::this_thread::get_id();
    Compute(frames);
    if (slow) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    finishedPasses.fetch_add(1);
  }
  void Compute(int frames) noexcept {
    for (int c = 0; c < 2; ++c)
      for (int i = 0; i < frames; ++i) {
        state[c] = state[c] * 0.99f + inCh[static_cast<size_t>(c)][i] * 0.01f;
        outCh[static_cast<size_t>(c)][i] = state[c] * 3.0f;
      }
  }
  float state[2] = {0, 0};
  bool slow = false;
  std::atomic<int> finishedPasses{0};
  std::thread::id onCoreThread{};
};

struct Graph {
  std::unique_ptr<CGroup> root = MakeRoot(128);
  std::vector<Work*> work;
  std::vector<CComp*> list;
  StubPass* sink = nullptr;
  explicit Graph(int core) {
    sink = Add<StubPass>(*root);
    auto* src = Add<StubSource>(*root, std::vector<int>{2}, 0.3f);
    src->ramp = true;
    for (int i = 0; i < 4; ++i) {
      auto* w = Add<Work>(*root);
      w->coreIndex = core;
      w->ConnectAudio(src, 0, 0);
      sink->ConnectAudio(w, 0, 0);
      work.push_back(w);
      list.push_back(w);
    }
  }
  // One block the way the sequencer runs a phase inside the cycle: reset, hand
  // the phase to the cores, then pull the consumer, which waits for each module.
  void Block(CCoreSet& cores) {
    for (auto& c : root->children) c->ResetForBlock(128);
    cores.RunPhase(list, 128);
    sink->PullAudio(128);
    cores.WaitForPhase(list);
  }
};

}  // namespace

TEST(Cores, AModuleOnAWorkerGivesTheSameBitsAsOnTheAudioThread) {
  CCoreSet cores(3);
  Graph onAudio(0), onWorker(1);
  for (int block = 0; block < 20; ++block) {
    onAudio.Block(cores);
    onWorker.Block(cores);
    for (size_t k = 0; k < onAudio.work.size(); ++k)
      for (int c = 0; c < 2; ++c)
        ASSERT_EQ(std::memcmp(onAudio.work[k]->outCh[static_cast<size_t>(c)],
                              onWorker.work[k]->outCh[static_cast<size_t>(c)], 128 * sizeof(float)),
                  0)
            << "block " << block << " module " << k;
    ASSERT_EQ(std::memcmp(onAudio.sink->inCh[0], onWorker.sink->inCh[0], 128 * sizeof(float)), 0);
  }
  EXPECT_EQ(onWorker.work[0]->finishedPasses.load(), 20);
  EXPECT_NE(onWorker.work[0]->onCoreThread, std::this_thread::get_id());
  EXPECT_EQ(onAudio.work[0]->finishedPasses.load(), 0);
}

TEST(Cores, ACoreIndexBeyondTheMachineRunsOnTheAudioThread) {
  CCoreSet cores(2);
  Graph g(5);
  EXPECT_EQ(cores.RunPhase(g.list, 128), 0);
  g.Block(cores);
  EXPECT_EQ(g.work[0]->onWorker, 0);
  EXPECT_EQ(g.work[0]->finishedPasses.load(), 0);
  EXPECT_NE(g.sink->inCh[0][100], 0.0f);

  CCoreSet none(1);  // a single processor: no worker exists
  Graph h(1);
  h.Block(none);
  EXPECT_EQ(h.work[0]->finishedPasses.load(), 0);
}

TEST(Cores, ClosingWaitsForAPassInProgress) {
  Graph g(1);
  g.work[0]->slow = true;
  {
    CCoreSet cores(2);
    for (auto& c : g.root->children) c->ResetForBlock(128);
    cores.RunPhase(g.list, 128);
  }  // destroyed while the worker sleeps inside its pass
  EXPECT_EQ(g.work[0]->finishedPasses.load(), 1);
  EXPECT_EQ(g.work[3]->finishedPasses.load(), 1);
}
