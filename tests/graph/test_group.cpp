// The root group: action queue, tempo, click, recorder and its records.
#include <gtest/gtest.h>

#include "graph/Globals.h"
#include "stream/RecordStream.h"
#include "tests/support/MessageCapture.h"
#include "tests/support/ModuleBlock.h"
#include "tests/support/RunBlock.h"
#include "tests/support/Stubs.h"

using namespace qr;
using namespace qr::test;

namespace {

struct Log {
  std::vector<intptr_t> ran, completed;
  void Run(intptr_t v, intptr_t) { ran.push_back(v); }
  void Complete(intptr_t v, intptr_t) { completed.push_back(v); }
};

}  // namespace

TEST(Actions, RunAtTheNextBlockInPostingOrderWithCompletionsOnTheUiSide) {
  auto root = MakeRoot();
  Log log;
  log.ran.reserve(8);
  auto run = ActionFn::Bind<&Log::Run>(&log);
  auto done = ActionFn::Bind<&Log::Complete>(&log);
  EXPECT_TRUE(root->masterIn->PostAction(1, 0, run, done));
  EXPECT_TRUE(root->masterIn->PostAction(2, 0, run));
  EXPECT_TRUE(log.ran.empty());
  RunBlock(*root, 64);
  EXPECT_EQ(log.ran, (std::vector<intptr_t>{1, 2}));
  EXPECT_TRUE(log.completed.empty());  // completions are handed out by idle
  root->Idle();
  EXPECT_EQ(log.completed, (std::vector<intptr_t>{1}));
}

TEST(Actions, TheUiRunsTheQueueItselfOnceAudioHasStalled) {
  auto root = MakeRoot();
  Log log;
  root->actions.Post(7, 0, ActionFn::Bind<&Log::Run>(&log), {});
  for (int i = 0; i < 30; ++i) root->Idle();
  EXPECT_TRUE(log.ran.empty());
  EXPECT_FALSE(root->actions.Stalled());
  root->Idle();  // the 31st idle call without audio
  EXPECT_TRUE(root->actions.Stalled());
  EXPECT_EQ(log.ran, (std::vector<intptr_t>{7}));
  RunBlock(*root, 64);
  EXPECT_FALSE(root->actions.Stalled());

  // The queue holds 128; a 129th post is refused rather than waited for.
  for (int i = 0; i < 128; ++i) EXPECT_TRUE(root->actions.Post(i, 0, ActionFn::Bind<&Log::Run>(&log), {}));
  EXPECT_FALSE(root->actions.Post(999, 0, ActionFn::Bind<&Log::Run>(&log), {}));
}

TEST(Group, TempoChangesReachChildrenAtTheNextBlock) {
  auto root = MakeRoot();
  auto* s = Add<StubSource>(*root, std::vector<int>{2});
  root->SetTempo(90.0f);
  EXPECT_FLOAT_EQ(s->tempo, 120.0f);
  RunBlock(*root, 64);
  EXPECT_FLOAT_EQ(s->tempo, 90.0f);
  EXPECT_FLOAT_EQ(root->tempo, 90.0f);
}

TEST(Group, ClickRestartsOnEveryBeat) {
  auto root = MakeRoot(512, 1000.0f);  // 120 bpm at 1000 Hz: a beat every 500 samples
  root->SetClickSample({1.0f, 1.0f, 1.0f}, {});
  root->clickVolume = 0.5f;
  root->clickState = 4;
  RunBlock(*root, 512);
  const float* l = root->inCh[0];
  EXPECT_FLOAT_EQ(l[0], 0.25f);  // volume squared
  EXPECT_FLOAT_EQ(l[2], 0.25f);
  EXPECT_FLOAT_EQ(l[3], 0.0f);
  EXPECT_FLOAT_EQ(l[499], 0.0f);
  EXPECT_FLOAT_EQ(l[500], 0.25f);
  EXPECT_FLOAT_EQ(l[503], 0.0f);
  EXPECT_EQ(root->clickState, 1);
}

TEST(Group, LiveRecorderRecordsThenPlaysBackAndPauses) {
  auto root = MakeRoot(64);
  auto* s = Add<StubSource>(*root, std::vector<int>{2}, 0.5f);
  CAudioCable* c = root->ConnectAudio(s, 0, 0);
  root->SetRecorderCapacity(100);
  root->recorderState = CGroup::kRecording;
  RunBlock(*root, 64);
  RunBlock(*root, 64);
  EXPECT_EQ(root->RecordedFrames(), 100);
  EXPECT_EQ(root->recorderState, CGroup::kPaused);
  root->DisconnectAudio(c);
  root->recorderState = CGroup::kPlaying;
  RunBlock(*root, 64);
  EXPECT_FLOAT_EQ(root->inCh[1][10], 1.0f);
  RunBlock(*root, 64);
  EXPECT_FLOAT_EQ(root->inCh[1][35], 1.0f);
  EXPECT_FLOAT_EQ(root->inCh[1][36], 0.0f);
  EXPECT_EQ(root->recorderState, CGroup::kPaused);
}

TEST(GroupRecords, InputConfigurationFromEitherForm) {
  // "AInConf" 3, 1, 2, 0 alone: a mono and a stereo port.
  CMemStream s;
  s.WriteKey("AInConf", 16);
  for (int v : {3, 1, 2, 0}) s.WriteInt(v);
  s.WriteEnd();
  s.Rewind();
  CGroup g(nullptr);
  g.blockSize = 32;
  g.Load(s, 0);
  ASSERT_EQ(g.audioIns.size(), 2u);
  EXPECT_EQ(g.audioIns[0]->channels, 1);
  EXPECT_EQ(g.audioIns[1]->channels, 2);
  EXPECT_EQ(g.audioIns[1]->firstChannel, 1);

  // With "AudioIn" records, "AInConf" is ignored.
  CMemStream t;
  t.WriteKey("AudioIn", 0);
  t.WriteKeyInt("AudioInChs", 1);
  t.WriteKey("AInConf", 16);
  for (int v : {3, 1, 2, 0}) t.WriteInt(v);
  t.WriteKeyInt("Sync", 1);
  t.WriteEnd();
  t.Rewind();
  CGroup h(nullptr);
  h.Load(t, 0);
  ASSERT_EQ(h.audioIns.size(), 1u);
  EXPECT_EQ(h.audioIns[0]->channels, 1);
  EXPECT_EQ(h.clickState, 4);  // a stored running click restarts at the next block
}

TEST(GroupRecords, SaveLoadRoundTripsAndAttributesComeBack) {
  auto root = MakeRoot();
  root->AddAudioIn(1);
  root->SetTempo(97.5f);
  root->attribs.SetText("Color", "blue");
  const auto bytes = SaveBlock(*root);
  CGroup g(nullptr);
  LoadBlock(g, bytes);
  EXPECT_EQ(g.audioIns.size(), 2u);
  EXPECT_FLOAT_EQ(g.pendingTempo, 97.5f);
  EXPECT_EQ(g.attribs.GetText("Color"), "blue");
  EXPECT_EQ(SaveBlock(g), bytes);
}

TEST(MasterIn, LoadsItsPortsAndFallsBackToOneStereoPort) {
  CMemStream s;
  s.WriteKeyInt("MIDIOutPorts", 16);
  s.WriteKey("AudioOut", 0);
  s.WriteKeyInt("AudioOutChs", 1);
  s.WriteKey("AudioOut", 0);
  s.WriteEnd();
  s.Rewind();
  CMasterIn m(nullptr);
  m.Load(s, 0);
  EXPECT_EQ(m.midiOutPorts, 16);
  ASSERT_EQ(m.audioOuts.size(), 2u);
  EXPECT_EQ(m.audioOuts[0]->channels, 1);
  EXPECT_EQ(m.audioOuts[1]->channels, 2);

  CMemStream e;
  e.WriteEnd();
  e.Rewind();
  CMasterIn n(nullptr);
  n.Load(e, 0);
  ASSERT_EQ(n.audioOuts.size(), 1u);
  EXPECT_EQ(n.audioOuts[0]->channels, 2);
}

TEST(MasterIn, PerPortQueuesAndInjectedEvents) {
  auto root = MakeRoot();
  CMasterIn& mi = *root->masterIn;
  mi.Injection().Push(midi::Make(0x90, 1, 1), 0, 0, 4.0f);
  mi.Merged().Push(midi::Make(0x90, 2, 1), 0, 0, 2.0f);
  mi.ResetForBlock(64);
  CMIDIQ* q = mi.MidiOutput(0, 64);
  ASSERT_EQ(q->Count(), 2);
  EXPECT_EQ(midi::Data1((*q)[1].msg), 1u);
  EXPECT_EQ(mi.Injection().Count(), 0);
  mi.midiOutPorts = 16;
  mi.PortQueue(3).Push(midi::Make(0x90, 9, 1));
  EXPECT_EQ(mi.MidiOutput(3, 64)->Count(), 1);
  EXPECT_EQ(mi.MidiOutput(16, 64), nullptr);
}

namespace {

// A module whose buffers cannot be had at one block size.
class RefusesSize : public StubPass {
 public:
  RefusesSize(CContainer* parent, int refused) : StubPass(parent), refused_(refused) {}
  void SetBlockSize(int frames) override {
    StubPass::SetBlockSize(frames);
    if (frames == refused_) throw std::bad_alloc();
  }

 private:
  int refused_;
};

}  // namespace

TEST(Group, SetFramesErrorLeavesEveryChildAtTheOldSize) {
  auto root = MakeRoot(64);
  test::MessageCapture sink;
  auto* before = Add<StubPass>(*root);
  Add<RefusesSize>(*root, 4096);
  auto* after = Add<StubPass>(*root);
  auto* inner = Add<CGroup>(*root);
  auto* nested = Add<RefusesSize>(*inner, 2048);
  after->ConnectAudio(before, 0, 0);
  root->ConnectAudio(after, 0, 0);

  for (int refused : {4096, 2048}) {
    sink.Clear();
    EXPECT_FALSE(root->SetFrames(refused));
    EXPECT_EQ(sink.Texts(), (std::vector<std::string>{"setFrames error: std::bad_alloc"})) << refused;
    for (const CComp* c :
         {static_cast<CComp*>(root.get()), static_cast<CComp*>(before), static_cast<CComp*>(after),
          static_cast<CComp*>(inner), static_cast<CComp*>(nested)})
      EXPECT_EQ(c->blockSize, 64) << refused;
    RunBlock(*root, 64);  // every buffer is whole again
  }
  sink.Clear();
  EXPECT_FALSE(root->SetFrames(limits::kMaxBlockFrames + 1));
  EXPECT_EQ(sink.Texts().size(), 1u);
  EXPECT_TRUE(root->SetFrames(limits::kMaxBlockFrames / 1024));
  EXPECT_EQ(nested->blockSize, limits::kMaxBlockFrames / 1024);
}
