// The built plug-in libraries, loaded with dlopen and driven exactly as a host
// drives them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "graph/Container.h"
#include "midipart/MidiPart2.h"
#include "persist/Project.h"
#include "stream/RecordStream.h"
#include "tests/shell/TestHost.h"
#include "tests/support/Projects.h"

using namespace qr;
using namespace qr::test;

namespace {

std::vector<std::vector<float>> Buffers(int channels, int frames, float value = 0.0f) {
  return std::vector<std::vector<float>>(static_cast<size_t>(channels),
                                         std::vector<float>(static_cast<size_t>(frames), value));
}

}  // namespace

TEST(PluginLibrary, EntryPointsAndTheTwoVariants) {
  for (bool instrument : {false, true}) {
    TestHost h(PluginPath(instrument));
    ASSERT_TRUE(h.Loaded()) << h.Error();
    vst2::AEffect* e = h.Open();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->magic, vst2::kEffectMagic);
    EXPECT_EQ(e->numParams, 128);
    EXPECT_EQ(e->numPrograms, 1);
    EXPECT_EQ(e->version, 2);
    EXPECT_EQ(e->numOutputs, 2);
    EXPECT_TRUE(e->flags & vst2::effFlagsCanReplacing);
    EXPECT_TRUE(e->flags & vst2::effFlagsProgramChunks);
    EXPECT_FALSE(e->flags & vst2::effFlagsCanMono);
    EXPECT_EQ(e->uniqueID, vst2::FourCC('q', 'r', 'w', instrument ? 'i' : 'e'));
    EXPECT_EQ(e->numInputs, instrument ? 0 : 2);
    EXPECT_EQ((e->flags & vst2::effFlagsIsSynth) != 0, instrument);
    EXPECT_EQ(h.Dispatch(vst2::effGetPlugCategory),
              instrument ? vst2::kPlugCategSynth : vst2::kPlugCategEffect);
    for (int32_t op : {vst2::effGetEffectName, vst2::effGetProductString}) {
      char text[65] = {};
      h.Dispatch(op, 0, 0, text);
      EXPECT_STREQ(text, instrument ? "Quillrow Instrument" : "Quillrow") << op;
    }
    EXPECT_EQ(h.Dispatch(vst2::effGetVstVersion), 2);
    EXPECT_EQ(h.Dispatch(vst2::effCanDo, 0, 0, const_cast<char*>("receiveVstTimeInfo")), 1);
    EXPECT_EQ(h.Dispatch(vst2::effCanDo, 0, 0, const_cast<char*>("offline")), 0);
    char name[64] = {};
    h.Dispatch(vst2::effGetProgramName, 0, 0, name);
    EXPECT_STREQ(name, "Quillrow");
    // The editor opcodes answer without a window of our own.
    vst2::ERect* rect = nullptr;
    EXPECT_EQ(h.Dispatch(vst2::effEditGetRect, 0, 0, &rect), 1);
    ASSERT_NE(rect, nullptr);
    EXPECT_GT(rect->right, 0);
    EXPECT_EQ(h.Dispatch(vst2::effEditOpen), 1);
    EXPECT_EQ(h.Dispatch(vst2::effEditClose), 1);
  }
  // The older entry name leads to the same plug-in; a host without version support gets none.
  TestHost legacy(PluginPath(false));
  ASSERT_NE(legacy.Open("main"), nullptr);
  TestHost old(PluginPath(false));
  old.version = 0;
  EXPECT_EQ(old.Open(), nullptr);
}

TEST(PluginLibrary, ParametersAreMaskedToOneHundredTwentyEight) {
  TestHost h(PluginPath(false));
  vst2::AEffect* e = h.Open();
  ASSERT_NE(e, nullptr);
  e->setParameter(e, 200, 0.75f);
  EXPECT_FLOAT_EQ(e->getParameter(e, 72), 0.75f);
  EXPECT_FLOAT_EQ(e->getParameter(e, 200), 0.75f);
  char text[16] = {};
  h.Dispatch(vst2::effGetParamName, 72, 0, text);
  EXPECT_STREQ(text, "param72");
}

TEST(PluginLibrary, PinPropertiesWalkThePorts) {
  TestHost h(PluginPath(false));
  ASSERT_NE(h.Open(), nullptr);
  h.SetChunk(WiredProject({2, 2}));
  vst2::VstPinProperties pin{};
  for (int i : {2, 3}) {
    ASSERT_EQ(h.Dispatch(vst2::effGetInputProperties, i, 0, &pin), 1);
    EXPECT_STREQ(pin.label, "qrw2");
    EXPECT_EQ(pin.flags, 3);
  }
  EXPECT_EQ(h.Dispatch(vst2::effGetInputProperties, 4, 0, &pin), 0);
  ASSERT_EQ(h.Dispatch(vst2::effGetOutputProperties, 1, 0, &pin), 1);
  EXPECT_STREQ(pin.label, "qrw1");
}

TEST(PluginLibrary, ChunkRoundTripsAndCarriesTheGraph) {
  TestHost h(PluginPath(false));
  ASSERT_NE(h.Open(), nullptr);
  const auto bytes = WiredProject();
  h.SetChunk(bytes);
  EXPECT_EQ(h.Chunk(), bytes);

  // An empty chunk leaves only a fresh master input, at 16, 32, with no cables.
  h.SetChunk({});
  CGroup root(nullptr);
  CProject project;
  CMemStream s(h.Chunk());
  ASSERT_TRUE(LoadProject(root, project, s));
  ASSERT_EQ(root.children.size(), 1u);
  EXPECT_EQ(root.children[0]->TypeKey(), "CMidiIn");
  EXPECT_EQ(root.children[0]->x, 16);
  EXPECT_EQ(root.children[0]->y, 32);
  EXPECT_TRUE(root.audioInCables.empty());
  EXPECT_TRUE(root.midiIn.empty());
}

TEST(PluginLibrary, AudioAndMidiPassThroughAProjectWithCables) {
  TestHost h(PluginPath(false));
  ASSERT_NE(h.Open(), nullptr);
  h.Dispatch(vst2::effSetSampleRate, 0, 0, nullptr, 48000.0f);
  h.Dispatch(vst2::effSetBlockSize, 0, 256);
  h.Dispatch(vst2::effMainsChanged, 0, 1);
  h.SetChunk(WiredProject());
  auto in = Buffers(2, 256);
  for (int i = 0; i < 256; ++i) {
    in[0][static_cast<size_t>(i)] = std::sin(0.05f * static_cast<float>(i));
    in[1][static_cast<size_t>(i)] = 0.5f;
  }
  auto out = Buffers(2, 256, 9.0f);
  h.SendMidi(17, 0x90, 60, 100);
  h.SendMidi(200, 0x80, 60, 0);
  h.Process(in, out, 256);
  EXPECT_EQ(out, in);
  ASSERT_EQ(h.midi.size(), 2u);
  EXPECT_EQ(h.midi[0].deltaFrames, 17);
  EXPECT_EQ(h.midi[0].status, 0x90);
  EXPECT_EQ(h.midi[0].data1, 60);
  EXPECT_EQ(h.midi[1].deltaFrames, 200);
  // The host input queue was consumed: the next block sends nothing.
  h.Process(in, out, 256);
  EXPECT_EQ(h.midi.size(), 2u);
}

TEST(PluginLibrary, RealtimeFlaggedEventGoesToPerPortQueueOne) {
  TestHost h(PluginPath(false));
  ASSERT_NE(h.Open(), nullptr);
  h.Dispatch(vst2::effSetBlockSize, 0, 64);
  h.SetChunk(WiredProject({2}, 16, 1));  // only port 1 is cabled to the MIDI output
  auto in = Buffers(2, 64), out = Buffers(2, 64);
  h.SendMidi(3, 0x90, 64, 90, vst2::kVstMidiEventIsRealtime);
  h.SendMidi(4, 0x90, 65, 90, 0);
  h.Process(in, out, 64);
  ASSERT_EQ(h.midi.size(), 1u);
  EXPECT_EQ(h.midi[0].data1, 64);
}

TEST(PluginLibrary, TempoFromTempoAtIsWholeBeatsPerMinute) {
  TestHost h(PluginPath(false));
  ASSERT_NE(h.Open(), nullptr);
  h.Dispatch(vst2::effSetBlockSize, 0, 64);
  h.giveTimeInfo = false;
  h.tempoAt = 1205000;  // 120.5 bpm
  auto in = Buffers(2, 64), out = Buffers(2, 64);
  h.Process(in, out, 64);
  h.Process(in, out, 64);  // the root applies a new tempo at the next block
  EXPECT_EQ(h.Dispatch(-108), 120);
  h.tempoAt = 1405000;
  h.Process(in, out, 64);
  h.Process(in, out, 64);
  EXPECT_EQ(h.Dispatch(-108), 140);

  // With time information the host's tempo is taken as it is.
  h.giveTimeInfo = true;
  h.timeInfo.tempo = 97.0;
  h.timeInfo.flags = vst2::kVstTempoValid;
  h.Process(in, out, 64);
  h.Process(in, out, 64);
  EXPECT_EQ(h.Dispatch(-108), 97);
}

TEST(PluginLibrary, NotesTriggerAMidiPartWhoseEventsComeBackAtTheirSamples) {
  // Master input MIDI -> MIDI part -> master MIDI output. The part holds two
  // notes, 48 ticks apart: at 120 bpm and 48000 Hz a tick is 25 samples.
  std::vector<uint8_t> bytes;
  {
    CGroup root(nullptr);
    root.AddAudioIn(2);
    root.SetSampleRate(48000.0f);
    auto mi = std::make_unique<CMasterIn>(&root);
    CComp* in = root.AddChild(std::move(mi));
    root.masterIn = static_cast<CMasterIn*>(in);
    auto part = std::make_unique<CMIDIPart2>(&root);
    CLiveMIDIPart* p = part->Part(0);
    ASSERT_NE(p, nullptr);
    p->events.Insert(0, midi::Make(0x90, 60, 100), 24);
    p->events.Insert(48, midi::Make(0x90, 62, 90), 24);
    CComp* pm = root.AddChild(std::move(part));
    pm->ConnectMidi(in, 0, 0);
    root.ConnectMidi(pm, 0, 0);
    CProject project;
    CMemStream s;
    SaveProject(root, project, s);
    bytes = s.Data();
  }
  TestHost h(PluginPath(true));  // the instrument variant: hosts send it MIDI
  ASSERT_NE(h.Open(), nullptr);
  h.Dispatch(vst2::effSetSampleRate, 0, 0, nullptr, 48000.0f);
  h.Dispatch(vst2::effSetBlockSize, 0, 1024);
  h.SetChunk(bytes);
  auto in = Buffers(2, 1024), out = Buffers(2, 1024);
  h.SendMidi(10, 0x90, 36, 127);  // key 36 starts the first part
  h.Process(in, out, 1024);
  h.Process(in, out, 1024);
  std::vector<SentMidi> ons;
  for (const auto& m : h.midi)
    if ((m.status & 0xF0) == 0x90 && m.data2 > 0) ons.push_back(m);
  ASSERT_GE(ons.size(), 2u);
  EXPECT_EQ(ons[0].data1, 60);
  EXPECT_EQ(ons[0].deltaFrames, 10);
  EXPECT_EQ(ons[1].data1, 62);
  EXPECT_EQ(ons[1].deltaFrames, 10 + 1200 - 1024);  // in the second block
}
