// Cables, the pull-based cycle and its mixing rules, run under the allocation guard.
#include <gtest/gtest.h>

#include "graph/Globals.h"
#include "tests/support/MessageCapture.h"
#include "tests/support/RunBlock.h"
#include "tests/support/Stubs.h"

using namespace qr;
using namespace qr::test;

namespace {

float Out(CGroup& root, int ch, int i) { return root.inCh[static_cast<size_t>(ch)][i]; }

}  // namespace

TEST(Cables, ConnectingTwiceTogglesAndSelfConnectIsRefusedWithAMessage) {
  auto root = MakeRoot();
  auto* a = Add<StubSource>(*root, std::vector<int>{2});
  EXPECT_NE(root->ConnectAudio(a, 0, 0), nullptr);
  EXPECT_EQ(root->ConnectAudio(a, 0, 0), nullptr);
  EXPECT_TRUE(root->audioInCables.empty());
  EXPECT_TRUE(a->audioOutCables.empty());
  EXPECT_EQ(root->modified, 1);

  MessageCapture sink;
  auto* p = Add<StubPass>(*root);
  EXPECT_EQ(p->ConnectAudio(p, 0, 0), nullptr);
  EXPECT_EQ(sink.Texts(), std::vector<std::string>{"error: can't connect to itself"});
}

TEST(Cables, CyclesAreRefusedSilentlyForAudioAndMidi) {
  auto root = MakeRoot();
  auto* a = Add<StubPass>(*root);
  auto* b = Add<StubPass>(*root);
  auto* c = Add<StubPass>(*root);
  ASSERT_NE(b->ConnectAudio(a, 0, 0), nullptr);
  ASSERT_NE(c->ConnectAudio(b, 0, 0), nullptr);
  EXPECT_EQ(a->ConnectAudio(c, 0, 0), nullptr);
  EXPECT_TRUE(a->audioInCables.empty());

  b->ConnectMidi(a, 0, 0);
  c->ConnectMidi(b, 0, 0);
  a->ConnectMidi(c, 0, 0);
  EXPECT_TRUE(a->midiIn.empty());
  EXPECT_EQ(c->midiIn.size(), 1u);
  c->ConnectMidi(b, 0, 0);  // toggles off
  EXPECT_TRUE(c->midiIn.empty());
  EXPECT_TRUE(b->midiOut.empty());
}

TEST(Cables, DestroyingAModuleDisconnectsBothEnds) {
  auto root = MakeRoot();
  auto* a = Add<StubSource>(*root, std::vector<int>{2});
  auto* b = Add<StubPass>(*root);
  b->ConnectAudio(a, 0, 0);
  root->ConnectAudio(b, 0, 0);
  b->ConnectMidi(a, 0, 0);
  root->children.pop_back();  // destroys b
  EXPECT_TRUE(a->audioOutCables.empty());
  EXPECT_TRUE(a->midiOut.empty());
  EXPECT_TRUE(root->audioInCables.empty());
}

TEST(Cycle, ModuleFeedingTwoConsumersIsProcessedOncePerBlock) {
  auto root = MakeRoot();
  auto* src = Add<StubSource>(*root, std::vector<int>{2}, 0.25f);
  auto* p1 = Add<StubPass>(*root);
  auto* p2 = Add<StubPass>(*root);
  p1->ConnectAudio(src, 0, 0);
  p2->ConnectAudio(src, 0, 0);
  root->ConnectAudio(p1, 0, 0);
  root->ConnectAudio(p2, 0, 0);
  RunBlock(*root, 64);
  RunBlock(*root, 64);
  EXPECT_EQ(src->processCount, 2);
  EXPECT_EQ(p1->processCount, 2);
  EXPECT_FLOAT_EQ(Out(*root, 0, 10), 0.5f);  // both consumers saw the same output
  EXPECT_FLOAT_EQ(Out(*root, 1, 10), 1.0f);
}

TEST(Cycle, UnconnectedModulesAreNotProcessed) {
  auto root = MakeRoot();
  auto* lone = Add<StubSource>(*root, std::vector<int>{2});
  RunBlock(*root, 64);
  EXPECT_EQ(lone->processCount, 0);
}

TEST(Cycle, MixingRulesForEveryWidthPair) {
  // source width, destination width, expected left and right at the destination
  struct Case {
    int src, dst;
    float l, r;
  };
  // A stub source writes 1.0 on its left (or only) channel and 2.0 on its right.
  const Case cases[] = {{1, 1, 0.5f, 0}, {1, 2, 0.25f, 0.25f}, {2, 1, 0.75f, 0}, {2, 2, 0.5f, 1.0f}};
  for (const auto& c : cases) {
    auto root = MakeRoot();
    auto* src = Add<StubSource>(*root, std::vector<int>{c.src});
    auto* probe = Add<StubPass>(*root, c.dst, 2);
    CAudioCable* cable = probe->ConnectAudio(src, 0, 0);
    ASSERT_NE(cable, nullptr);
    cable->gain = 0.5f;
    root->ConnectAudio(probe, 0, 0);
    RunBlock(*root, 32);
    EXPECT_FLOAT_EQ(probe->inCh[0][5], c.l) << c.src << "->" << c.dst;
    if (c.dst == 2) {
      EXPECT_FLOAT_EQ(probe->inCh[1][5], c.r) << c.src << "->" << c.dst;
    }
    // The source port's peaks record the largest contribution.
    EXPECT_GT(src->audioOuts[0]->meter.Held(0), 0.0f);
  }
}

TEST(Cycle, CopyRulesOfThePassThrough) {
  struct Case {
    int in, out;
    float l, r;
  };
  const Case cases[] = {{1, 2, 0.5f, 0.5f}, {2, 1, 1.5f, 0}, {2, 2, 1.0f, 2.0f}, {1, 1, 1.0f, 0}};
  for (const auto& c : cases) {
    auto root = MakeRoot();
    auto* src = Add<StubSource>(*root, std::vector<int>{c.in});
    auto* pass = Add<StubPass>(*root, c.in, c.out);
    pass->ConnectAudio(src, 0, 0);
    root->ConnectAudio(pass, 0, 0);
    RunBlock(*root, 16);
    EXPECT_FLOAT_EQ(pass->outCh[0][3], c.l) << c.in << "->" << c.out;
    if (c.out == 2) {
      EXPECT_FLOAT_EQ(pass->outCh[1][3], c.r);
    }
  }
}

TEST(Cycle, CablesWhosePortsVanishedAreSkippedNotRemoved) {
  auto root = MakeRoot();
  auto* src = Add<StubSource>(*root, std::vector<int>{2});
  CAudioCable* c = root->ConnectAudio(src, 0, 3);  // no port 3 yet
  ASSERT_NE(c, nullptr);
  RunBlock(*root, 16);
  EXPECT_EQ(src->processCount, 0);
  EXPECT_EQ(root->audioInCables.size(), 1u);
}

TEST(Ports, ChannelsAreNumberedAcrossPortsAndNamed) {
  auto root = MakeRoot();
  auto* m = Add<StubSource>(*root, std::vector<int>{2, 1});
  EXPECT_EQ(m->audioOuts[0]->firstChannel, 0);
  EXPECT_EQ(m->audioOuts[1]->firstChannel, 2);
  EXPECT_EQ(m->TotalOutputChannels(), 3);
  EXPECT_EQ(m->OutputName(0), "Audio out stereo");
  EXPECT_EQ(m->OutputName(1), "Audio out mono");
  EXPECT_EQ(m->OutputName(2), "?");
  EXPECT_EQ(m->InputName(0), "Bad channel");
  auto* p = Add<StubPass>(*root);
  EXPECT_EQ(p->InputName(0), "Audio in 0");

  MessageCapture sink;
  for (int i = 0; i < 40; ++i) m->AddAudioOut(2);
  EXPECT_EQ(m->TotalOutputChannels(), 63);
  ASSERT_FALSE(sink.messages.empty());
  EXPECT_EQ(sink.messages.back().text, "no more buffers");
}

TEST(Ports, BlockSizeChangesReallocateOnlyWhenDifferent) {
  auto root = MakeRoot(64);
  auto* src = Add<StubSource>(*root, std::vector<int>{2});
  root->ConnectAudio(src, 0, 0);
  float* before = src->outCh[0];
  root->SetBlockSize(64);
  EXPECT_EQ(src->outCh[0], before);
  root->SetBlockSize(256);
  EXPECT_EQ(src->blockSize, 256);
  EXPECT_EQ(src->audioOuts[0]->ch[0], src->outCh[0]);
  RunBlock(*root, 256);
  EXPECT_FLOAT_EQ(Out(*root, 1, 255), 2.0f);
  root->SetBlockSize(16);
  RunBlock(*root, 16);
  EXPECT_FLOAT_EQ(Out(*root, 0, 15), 1.0f);
}

TEST(Queue, TiesKeepArrivalOrderAndTheQueueHoldsFiveHundredTwelve) {
  CMIDIQ q;
  q.InsertSorted(midi::Make(0x90, 60, 1), 0, 0, 10.0f);
  q.InsertSorted(midi::Make(0x90, 61, 1), 0, 0, 5.0f);
  q.InsertSorted(midi::Make(0x90, 62, 1), 0, 0, 10.0f);
  q.InsertSorted(midi::Make(0x90, 63, 1), 0, 0, 5.0f);
  ASSERT_EQ(q.Count(), 4);
  EXPECT_EQ(midi::Data1(q[0].msg), 61u);
  EXPECT_EQ(midi::Data1(q[1].msg), 63u);
  EXPECT_EQ(midi::Data1(q[2].msg), 60u);
  EXPECT_EQ(midi::Data1(q[3].msg), 62u);

  CMIDIQ full;
  for (int i = 0; i < 600; ++i) full.Push(midi::Make(0x90, i & 127, 1), 0, 0, static_cast<float>(i));
  EXPECT_EQ(full.Count(), 512);
  EXPECT_FALSE(full.InsertSorted(midi::Make(0x80, 1, 0), 0, 0, 0.0f));
  EXPECT_FLOAT_EQ(full[511].time, 511.0f);
}

TEST(Queue, MessageHelpersAndLabels) {
  const uint32_t m = midi::WithPort(midi::Make(0x93, 60, 0), 5);
  EXPECT_EQ(midi::Channel(m), 3u);
  EXPECT_EQ(midi::Port(m), 5u);
  EXPECT_TRUE(midi::IsNoteOff(m));
  EXPECT_FALSE(midi::IsNoteOn(m));
  EXPECT_EQ(midi::ControllerLabel(7), "CC 007");
  EXPECT_EQ(midi::ControllerLabel(-2), "P.Bend");
}

TEST(Cycle, MidiFlowsAlongCablesSortedAndMidiLearnConsumesAController) {
  auto root = MakeRoot();
  auto* s1 = Add<StubMidiSource>(*root);
  auto* s2 = Add<StubMidiSource>(*root);
  s1->events = {{3.0f, midi::Make(0x90, 60, 100)}, {20.0f, midi::Make(0x80, 60, 0)}};
  s2->events = {{3.0f, midi::Make(0xB0, 7, 90)}, {10.0f, midi::Make(0x90, 64, 100)}};
  root->ConnectMidi(s1, 0, 0);
  root->ConnectMidi(s2, 0, 0);
  RunBlock(*root, 64);
  ASSERT_EQ(root->midiQueue.Count(), 4);
  EXPECT_EQ(midi::Data1(root->midiQueue[0].msg), 60u);  // s1 arrived first at t=3
  EXPECT_EQ(midi::Type(root->midiQueue[1].msg), 0xB0u);
  EXPECT_FLOAT_EQ(root->midiQueue[3].time, 20.0f);

  int32_t learned = -1;
  root->midiLearnTarget = &learned;
  RunBlock(*root, 64);
  EXPECT_EQ(learned, 7);
  EXPECT_EQ(root->notifyBits & 1, 1);
  EXPECT_EQ(root->midiQueue.Count(), 3);
}
