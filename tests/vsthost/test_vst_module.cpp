// A hosted plug-in driven through the processing cycle: the probe plug-in logs
// what reaches it, so each test checks the calls a real plug-in would see.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "graph/Container.h"
#include "midipart/MidiPart2.h"
#include "platform/Settings.h"
#include "sequencer/Tracks.h"
#include "tests/support/MessageCapture.h"
#include "tests/vsthost/ProbeRig.h"

using namespace qr;
using namespace qr::test;
using probe::kEvent;
using probe::kMains;
using probe::kParam;
using probe::kProcess;

namespace {

std::vector<int> Widths(const auto& ports) {
  std::vector<int> w;
  for (const auto& p : ports) w.push_back(p->channels);
  return w;
}

struct PortCase {
  int inputs, outputs;
  bool stereoPins, defaultStereo;
  std::vector<int> ins, outs;
};

}  // namespace

TEST(VstPorts, PinsBecomePortsByTheStereoRules) {
  const PortCase cases[] = {
      {2, 2, true, false, {2}, {2}},          // reported stereo: one port whatever the setting
      {2, 2, false, true, {2}, {2}},          // "DefaultStereo" merges two mono pins
      {2, 2, false, false, {1, 1}, {1, 1}},   // and without it they stay apart
      {3, 5, true, true, {2, 1}, {2, 2, 1}},  // the last pin cannot start a pair
      {0, 1, true, true, {}, {1}},
      // Past a module's 64 channels the pins still run, into spare buffers.
      {65, 70, true, false, std::vector<int>(32, 2), std::vector<int>(32, 2)},
      {65, 1, false, false, std::vector<int>(64, 1), {1}},
  };
  for (const PortCase& c : cases) {
    CSettings{}.Set(keys::kVSTDefaultStereo, c.defaultStereo);
    probe::Config cfg;
    cfg.inputs = c.inputs;
    cfg.outputs = c.outputs;
    cfg.stereoPins = c.stereoPins;
    ProbeRig r(cfg);
    ASSERT_TRUE(r.loaded);
    EXPECT_EQ(Widths(r.vst->audioIns), c.ins) << c.inputs << " in, stereo " << c.stereoPins;
    EXPECT_EQ(Widths(r.vst->audioOuts), c.outs) << c.outputs << " out, stereo " << c.stereoPins;
    r.Run(256);
    EXPECT_EQ(r.lib.Since(0, {kProcess}).size(), 1u);
  }
  CSettings{}.Set(keys::kVSTDefaultStereo, true);
}

TEST(VstLoad, FailuresSayWhyAndLeaveAnEmptySilentModule) {
  const std::string junk = ::testing::TempDir() + "/junk.so";
  {
    FILE* f = std::fopen(junk.c_str(), "wb");
    std::fputs("not a library", f);
    std::fclose(f);
  }
  struct Case {
    std::string path;
    int entry;
    std::string title, text;  // empty text: any non-empty platform explanation
  };
  const Case cases[] = {
      {"/nowhere/qr-missing-plugin.so", 0, "", "qr-missing-plugin.so not found"},
      {kNoEntryPath, 0, "Error", "This is not a VST plug-in:\nnoentry.so"},
      {kProbePath, 1, "Error", "Get VST record: failed"},
      {kProbePath, 2, "Error", "Testing VST magic: failed"},
      {junk, 0, "Error", ""},
  };
  for (const Case& c : cases) {
    probe::Config cfg;
    cfg.entry = c.entry;
    ProbeLib lib(cfg);
    auto root = MakeRoot(64);
    MessageCapture m;
    auto* vst = Add<CVST>(*root);
    EXPECT_FALSE(vst->LoadPlugin(c.path));
    ASSERT_EQ(m.messages.size(), 1u) << c.path;
    EXPECT_EQ(m.messages[0].title, c.title);
    if (!c.text.empty()) {
      EXPECT_EQ(m.messages[0].text, c.text);
    }
    EXPECT_FALSE(m.messages[0].text.empty());
    EXPECT_EQ(vst->Problem(), m.messages[0].text);
    EXPECT_FALSE(vst->Loaded());
    EXPECT_TRUE(vst->audioOuts.empty());
    EXPECT_EQ(lib.log->opens, 0);  // a refused record is never called
    root->ConnectAudio(vst, 0, 0);
    RunBlock(*root, 64);
  }
}

TEST(VstLoad, AMovedLibraryIsFoundInThePluginFolders) {
  ProbeLib lib;
  setenv("VST_PATH", (std::string("/nowhere-first:") + QR_PROBE_DIR).c_str(), 1);
  auto root = MakeRoot(64);
  auto* vst = Add<CVST>(*root);
  EXPECT_TRUE(vst->LoadPlugin("/old/studio/probe.so"));
  EXPECT_EQ(vst->folder, QR_PROBE_DIR);
  EXPECT_EQ(vst->file, "probe.so");
  unsetenv("VST_PATH");
}

TEST(VstProcess, AMappedControllerSplitsTheBlockAtItsSample) {
  ProbeRig r;
  r.vst->ccMap.push_back({7, 0, 127, 2});
  r.midi->events = {Ev(10, 0x90, 60, 100), Ev(100, 0xB0, 7, 127), Ev(100.5f, 0x90, 64, 90),
                    Ev(200, 0xB0, 1, 5)};
  const int from = r.lib.log->count;
  r.Run(256);
  const std::vector<std::vector<int32_t>> want = {
      {kEvent, static_cast<int32_t>(midi::Make(0x90, 60, 100)), 10},
      {kProcess, 100, 0},
      {kParam, 2, 1000},
      // Times inside the second piece count from its start.
      {kEvent, static_cast<int32_t>(midi::Make(0x90, 64, 90)), 0},
      {kEvent, static_cast<int32_t>(midi::Make(0xB0, 1, 5)), 100},  // not mapped: passed on
      {kProcess, 156, 0},
  };
  EXPECT_EQ(r.lib.Since(from, {kEvent, kProcess, kParam}), want);
  // The probe marks each note-on at its sample and echoes it: both land where
  // the note was, counted from the block's start.
  EXPECT_EQ(r.vst->outCh[0][10], 1.0f);
  EXPECT_EQ(r.vst->outCh[0][100], 1.0f);
  std::vector<float> times;
  for (const MidiEvent& e : *r.vst->MidiOutput(0, 256)) times.push_back(e.time);
  EXPECT_EQ(times, (std::vector<float>{10.0f, 100.0f}));
}

TEST(VstProcess, SwitchingOffReleasesEveryHeldCountBeforeMainsOff) {
  ProbeRig r;
  r.vst->channelFilter = 2;
  r.midi->events = {Ev(0, 0x92, 60, 100), Ev(1, 0x92, 60, 100), Ev(2, 0x92, 62, 100), Ev(3, 0x82, 62, 0),
                    Ev(4, 0x90, 61, 100)};  // channel 1 is filtered out
  r.Run(64);
  EXPECT_EQ(r.vst->Held().Count(2, 60), 2);
  EXPECT_EQ(r.vst->Held().Count(0, 61), 0);
  // The filter moves on, yet the note-off of a held note still gets through.
  r.vst->channelFilter = 5;
  r.midi->events = {Ev(5, 0x82, 60, 0)};
  const int from = r.lib.log->count;
  r.Run(64);
  EXPECT_EQ(r.lib.Since(from, {kEvent}).size(), 1u);
  EXPECT_EQ(r.vst->Held().Count(2, 60), 1);

  // New state lets go of the notes the old one holds.
  r.vst->channelFilter = 2;
  r.vst->ApplyProgram(r.vst->MakeProgram());
  r.midi->events = {Ev(0, 0x92, 60, 100), Ev(1, 0x92, 61, 100)};
  const int newState = r.lib.log->count;
  r.Run(64);
  EXPECT_EQ(r.lib.Since(newState, {kEvent}).back(),
            (std::vector<int32_t>{kEvent, static_cast<int32_t>(midi::Make(0x82, 61, 0)), 1}));
  EXPECT_FALSE(r.vst->Held().Any());

  r.midi->events = {Ev(0, 0x92, 60, 100), Ev(0, 0x92, 60, 100)};
  r.Run(64);
  r.midi->events = {Ev(9, 0x91, 60, 100)};  // filtered out: nothing to release
  r.vst->SetEnabled(0);
  const int off = r.lib.log->count;
  r.Run(64);
  const int32_t noteOff = static_cast<int32_t>(midi::Make(0x82, 60, 0));
  const std::vector<std::vector<int32_t>> want = {
      {kEvent, noteOff, 0}, {kEvent, noteOff, 0}, {kProcess, 64, 0}, {kMains, 0, 0}};
  EXPECT_EQ(r.lib.Since(off, {kEvent, kProcess, kMains}), want);
  EXPECT_EQ(r.vst->enabled, 0);
  EXPECT_FALSE(r.vst->Held().Any());
  // Off, the plug-in is bypassed: its input passes and it is not called.
  const int idle = r.lib.log->count;
  r.Run(64);
  EXPECT_TRUE(r.lib.Since(idle).empty());
  r.vst->SetEnabled(1);
  r.Run(64);
  EXPECT_EQ(r.lib.Since(idle, {kMains, kProcess}),
            (std::vector<std::vector<int32_t>>{{kMains, 1, 0}, {kProcess, 64, 0}}));
}

TEST(VstProcess, LatencyAndChangedPinsReachTheGraph) {
  probe::Config cfg;
  cfg.latency = 64;
  ProbeRig r(cfg);
  auto* dry = Add<StubSource>(*r.root, std::vector<int>{2});
  r.root->ConnectAudio(dry, 0, 0);
  // Loaded into a running graph, the plug-in's latency is compensated at once.
  r.root->Idle();
  r.Run(256);
  r.root->Idle();
  EXPECT_EQ(r.vst->Latency(), 64);
  EXPECT_EQ(dry->audioOuts[0]->delay.length, 64);

  // The plug-in grows to four inputs and a longer latency: it is not run
  // until its ports follow, and the graph holds still while the paths are
  // compensated again.
  r.vst->Effect()->initialDelay = 100;
  r.vst->PluginDispatch(vst2::effVendorSpecific, probe::kChangeInputs, 4, nullptr, 0.0f, 0, 0);
  const int from = r.lib.log->count;
  r.Run(256);
  EXPECT_TRUE(r.lib.Since(from, {kProcess}).empty());
  r.root->Idle();
  EXPECT_EQ(Widths(r.vst->audioIns), (std::vector<int>{1, 1, 1, 1}));
  EXPECT_EQ(r.vst->audioOuts.size(), 1u);
  EXPECT_EQ(r.vst->audioOutCables.size(), 1u);  // the kept output keeps its cable
  EXPECT_TRUE(r.root->rebuild.load());
  EXPECT_EQ(dry->audioOuts[0]->delay.length, 64);
  r.Run(256);  // the audio side passes the posted action
  r.root->Idle();
  EXPECT_FALSE(r.root->rebuild.load());
  EXPECT_EQ(dry->audioOuts[0]->delay.length, 100);
  r.Run(256);
  EXPECT_EQ(r.lib.Since(from, {kProcess}).size(), 2u);
}

TEST(VstProcess, SamplesThatAreNotNumbersBecomeSilenceReportedOnce) {
  probe::Config cfg;
  cfg.badSamples = 1;
  ProbeRig r(cfg);
  MessageCapture m;
  for (int b = 0; b < 3; ++b) {
    r.midi->events = {Ev(3, 0x90, 60, 100)};
    r.Run(128);
    for (int i = 0; i < 128; ++i) ASSERT_EQ(r.vst->outCh[0][i], 0.0f) << i;
    r.root->Idle();
  }
  EXPECT_EQ(r.vst->NonFiniteBlocks(), 3);
  EXPECT_EQ(m.messages.size(), 1u);
}

TEST(VstHostCallback, AnswersAndTimeFollowTheParentsTransport) {
  ProbeRig r;
  using namespace vst2;
  auto ask = [&](int32_t op, intptr_t value = 0, void* ptr = nullptr) {
    return CVST::HostCallback(r.vst->Effect(), op, 0, value, ptr, 0.0f);
  };
  char sizeWindow[] = "sizeWindow", nope[] = "somethingElse";
  EXPECT_EQ(ask(audioMasterCanDo, 0, sizeWindow), 1);
  EXPECT_EQ(ask(audioMasterCanDo, 0, nope), 0);
  EXPECT_EQ(ask(audioMasterSizeWindow), 0);
  EXPECT_EQ(ask(12345), 0);
  EXPECT_EQ(ask(audioMasterGetSampleRate), 44100);
  EXPECT_EQ(CVST::HostCallback(nullptr, audioMasterVersion, 0, 0, nullptr, 0.0f), kHostVersion);

  // Without an outer host, the group's transport and tempo are the time.
  r.root->SetTempo(133.0f);
  r.root->transport.playing = true;
  r.root->transport.songTicks = 1920.0;
  r.Run(256);
  EXPECT_DOUBLE_EQ(r.lib.log->lastTempo, 133.0);
  EXPECT_DOUBLE_EQ(r.lib.log->lastPpq, 2.0);
  EXPECT_TRUE(r.lib.log->lastTimeFlags & kVstTransportPlaying);
  EXPECT_EQ(ask(audioMasterTempoAt), 1330000);
}

namespace {

// Stands in for the sequencer: a container with a timeline of its own.
class OwnTimeline : public CPartComp {
 public:
  OwnTimeline() : CPartComp(nullptr) {}
  TransportInfo transport;
};

vst2::VstTimeInfo g_outerTime{};
intptr_t OuterHost(vst2::AEffect*, int32_t op, int32_t, intptr_t, void*, float) {
  if (op == vst2::audioMasterGetTime) return reinterpret_cast<intptr_t>(&g_outerTime);
  if (op == vst2::audioMasterTempoAt) return 1500000;
  if (op == vst2::audioMasterVersion) return vst2::kHostVersion;
  return 0;
}

}  // namespace

TEST(VstHostCallback, InsideATimelineOfItsOwnItsTempoWinsOverTheOuterHost) {
  using namespace vst2;
  ProbeLib lib;
  g_outerTime = {};
  g_outerTime.tempo = 150.0;
  g_outerTime.ppqPos = 99.0;
  g_outerTime.flags = kVstTempoValid | kVstPpqPosValid | kVstTransportPlaying;
  SetOuterHost(&OuterHost, nullptr);
  struct Restore {
    ~Restore() { SetOuterHost(nullptr, nullptr); }
  } restore;
  OwnTimeline seq;
  seq.transport.songTicks = 4800.0;
  seq.transport.loop = true;
  seq.transport.loopStart = 960.0;
  seq.transport.loopEnd = 3840.0;
  CVST vst(&seq);
  vst.SetSampleRate(48000.0f);
  vst.SetTempo(90.0f);
  ASSERT_TRUE(vst.LoadPlugin(kProbePath));
  vst.SetTransport(&seq.transport, true);
  const auto* t = reinterpret_cast<const VstTimeInfo*>(CVST::HostCallback(
      vst.Effect(), audioMasterGetTime, 0, kVstPpqPosValid | kVstBarsValid, nullptr, 0.0f));
  EXPECT_DOUBLE_EQ(t->tempo, 90.0);
  EXPECT_DOUBLE_EQ(t->ppqPos, 5.0);
  EXPECT_DOUBLE_EQ(t->barStartPos, 5.0);
  EXPECT_DOUBLE_EQ(t->samplePos, 4800.0 * 48000.0 / (16.0 * 90.0));
  EXPECT_DOUBLE_EQ(t->cycleStartPos, 1.0);
  EXPECT_DOUBLE_EQ(t->cycleEndPos, 4.0);
  EXPECT_EQ(t->flags & (kVstTransportPlaying | kVstTransportCycleActive), kVstTransportCycleActive);
  EXPECT_EQ(CVST::HostCallback(vst.Effect(), audioMasterTempoAt, 0, 0, nullptr, 0.0f), 900000);

  // In a plain group the outer host's own answer stands.
  auto root = MakeRoot(64);
  auto* plain = Add<CVST>(*root);
  ASSERT_TRUE(plain->LoadPlugin(kProbePath));
  t = reinterpret_cast<const VstTimeInfo*>(
      CVST::HostCallback(plain->Effect(), audioMasterGetTime, 0, kVstPpqPosValid, nullptr, 0.0f));
  EXPECT_DOUBLE_EQ(t->tempo, 150.0);
  EXPECT_DOUBLE_EQ(t->ppqPos, 99.0);
  EXPECT_EQ(CVST::HostCallback(plain->Effect(), audioMasterTempoAt, 0, 0, nullptr, 0.0f), 1500000);

  // The sequencer itself hands its comps its tempo and transport.
  auto* song = Add<CTracks>(*root);
  song->songTempo = 90.0f;
  auto* inSong = static_cast<CVST*>(song->AddComp(std::make_unique<CVST>(song)));
  ASSERT_TRUE(inSong->LoadPlugin(kProbePath));
  song->ResetForBlock(64);
  song->Process(64);
  song->transport.songTicks = 4800.0;
  t = reinterpret_cast<const VstTimeInfo*>(
      CVST::HostCallback(inSong->Effect(), audioMasterGetTime, 0, kVstPpqPosValid, nullptr, 0.0f));
  EXPECT_DOUBLE_EQ(t->tempo, 90.0);
  EXPECT_DOUBLE_EQ(t->ppqPos, 5.0);
  EXPECT_EQ(CVST::HostCallback(inSong->Effect(), audioMasterTempoAt, 0, 0, nullptr, 0.0f), 900000);
}

// A MIDI part of ours plays the probe as an instrument: each note must sound
// on the sample the exact tick conversion gives, at any block size and rate.
TEST(VstProcess, NotesFromAMidiPartSoundOnTheirSamples) {
  const int ticks[] = {0, 480, 1001, 1919};
  for (float rate : {44100.0f, 48000.0f})
    for (int block : {1, 7, 64, 4096}) {
      probe::Config cfg;
      cfg.inputs = 0;
      cfg.synth = 1;
      ProbeLib lib(cfg);
      auto root = MakeRoot(block, rate);
      root->SetTempo(120.0f);
      auto* mp = Add<CMIDIPart2>(*root);
      auto* vst = Add<CVST>(*root);
      ASSERT_TRUE(vst->LoadPlugin(kProbePath));
      vst->ConnectMidi(mp, 0, 0);
      root->ConnectAudio(vst, 0, 0);
      CLiveMIDIPart& p = *mp->Part(0);
      p.loopRight = p.length = 3840 * 4;
      for (int t : ticks) p.events.Insert(t, midi::Make(0x90, 60, 100), 10);
      mp->PlayPart(&p);
      const int total = static_cast<int>(std::ceil(2000.0 * rate / 1920.0));
      std::vector<int> heard;
      for (int now = 0; now < total; now += block) {
        AllocGuard g;
        root->Process(block);
        ASSERT_TRUE(g.Clean()) << g.Report();
        for (int i = 0; i < block; ++i)
          if (vst->outCh[0][i] != 0.0f) heard.push_back(now + i);
      }
      std::vector<int> want;
      // 120 beats a minute: 1920 ticks a second.
      for (int t : ticks)
        want.push_back(static_cast<int>(std::floor(static_cast<double>(t) * rate / 1920.0)));
      EXPECT_EQ(heard, want) << "block " << block << " at " << rate;
    }
}
