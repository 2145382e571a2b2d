// A module that leaves the graph while its notes sound: whatever its MIDI
// cables led to must hear every note end at the start of the next block,
// whichever way the user made it leave.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <map>

#include "midifx/Arp.h"
#include "midifx/Chords.h"
#include "midipart/MidiPart2.h"
#include "persist/Project.h"
#include "sequencer/Tracks.h"
#include "stream/RecordStream.h"
#include "tests/support/AllocGuard.h"
#include "tests/support/Stubs.h"
#include "ui/Graph.h"

using namespace qr;
using namespace qr::test;

namespace {

constexpr int kBlock = 64;
constexpr float kRate = 1920.0f;  // one tick a sample at 120 bpm

enum class Leave { Delete, Replace, LoadModule };

struct Heard {
  int block;
  int time;
  uint32_t msg;
};

// A MIDI part playing keys 60 and 64 from its part and holding key 70 through
// "Thru", cabled to a stub and to the master output.
class Rig {
 public:
  Rig() : root(MakeRoot(kBlock, kRate)) {
    src = Add<StubMidiSource>(*root);
    mp = Add<CMIDIPart2>(*root);
    stub = Add<StubPass>(*root);
    stub->gatherMidi = true;
    mp->ConnectMidi(src, 0, 0);
    stub->ConnectMidi(mp, 0, 0);
    root->ConnectMidi(mp, 0, 0);
    root->ConnectAudio(stub, 0, 0);
    mp->thru = 1;
    CLiveMIDIPart& p = *mp->Part(0);
    p.events.Insert(10, midi::Make(0x90, 60, 100), 3000);
    p.events.Insert(20, midi::Make(0x90, 64, 90), 3000);
    mp->PlayPart(&p);
  }

  // One block; what the stub and the master output gathered is kept apart.
  void Block(std::vector<MidiEvent> in = {}) {
    src->events = std::move(in);
    {
      AllocGuard g;
      root->Process(kBlock);
      EXPECT_TRUE(g.Clean()) << g.Report();
    }
    if (stub)
      for (const MidiEvent& e : stub->midiQueue) atStub.push_back({blocks, static_cast<int>(e.time), e.msg});
    for (const MidiEvent& e : root->midiQueue) atOut.push_back({blocks, static_cast<int>(e.time), e.msg});
    ++blocks;
  }

  std::unique_ptr<CGroup> root;
  CProject project;
  StubMidiSource* src;
  CMIDIPart2* mp;
  StubPass* stub;
  std::vector<Heard> atStub, atOut;
  int blocks = 0;
};

// Notes still sounding after `heard`, counted per channel and key.
std::map<uint32_t, int> Sounding(const std::vector<Heard>& heard) {
  std::map<uint32_t, int> n;
  for (const Heard& h : heard) {
    const uint32_t k = h.msg & 0xFF0F;
    if (midi::IsNoteOn(h.msg)) ++n[k];
    if (midi::IsNoteOff(h.msg) && --n[k] == 0) n.erase(k);
  }
  return n;
}

class ModuleFarewell : public ::testing::TestWithParam<Leave> {};

TEST_P(ModuleFarewell, EveryNoteOnGetsItsNoteOffAtTheNextBlock) {
  Rig rig;
  rig.Block({MidiEvent{5.0f, midi::Make(0x90, 70, 80)}});
  rig.Block();
  // Both part notes and the key held through sound at both ends.
  for (auto* heard : {&rig.atStub, &rig.atOut}) ASSERT_EQ(Sounding(*heard).size(), 3u);

  const int leftAt = rig.blocks;
  switch (GetParam()) {
    case Leave::Delete:
      ASSERT_TRUE(DeleteModule(*rig.root, rig.project, rig.mp));
      break;
    case Leave::Replace:
      ASSERT_TRUE(EditGraph(*rig.root, rig.project, [&] {
        auto fresh = std::make_unique<CMIDIPart2>(rig.root.get());
        fresh->SetBlockSize(kBlock);
        rig.root->ReplaceModule(rig.mp, std::move(fresh));
      }));
      break;
    case Leave::LoadModule: {
      CMIDIPart2 empty(nullptr);
      CMemStream file;
      file.WriteKeyString("CType", "CMPart");
      empty.Save(file);
      file.WriteEnd();
      file.Rewind();
      ASSERT_TRUE(EditGraph(*rig.root, rig.project, [&] { LoadModuleBytes(*rig.mp, file, "CMPart"); }));
      break;
    }
  }
  const size_t stubBefore = rig.atStub.size(), outBefore = rig.atOut.size();
  rig.Block();
  rig.Block();
  for (auto [heard, before] : {std::pair{&rig.atStub, stubBefore}, std::pair{&rig.atOut, outBefore}}) {
    EXPECT_TRUE(Sounding(*heard).empty());
    // The note-offs open the very next block, once each, and nothing follows.
    ASSERT_EQ(heard->size(), before + 3);
    for (size_t i = before; i < heard->size(); ++i) {
      EXPECT_EQ((*heard)[i].block, leftAt);
      EXPECT_EQ((*heard)[i].time, 0);
      EXPECT_TRUE(midi::IsNoteOff((*heard)[i].msg));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(DeleteReplaceLoad, ModuleFarewell,
                         ::testing::Values(Leave::Delete, Leave::Replace, Leave::LoadModule));

// A destination deleted before the block that would have carried its
// note-offs takes them with it; the survivors still get theirs.
TEST(ModuleFarewell, DeletedDestinationDropsWhatWasMeantForIt) {
  Rig rig;
  rig.Block({MidiEvent{5.0f, midi::Make(0x90, 70, 80)}});
  ASSERT_TRUE(DeleteModule(*rig.root, rig.project, rig.mp));
  EXPECT_EQ(rig.root->PendingFarewells(), 6);
  ASSERT_TRUE(DeleteModule(*rig.root, rig.project, rig.stub));
  rig.stub = nullptr;
  EXPECT_EQ(rig.root->PendingFarewells(), 3);
  rig.Block();
  EXPECT_TRUE(Sounding(rig.atOut).empty());
  EXPECT_EQ(rig.root->PendingFarewells(), 0);
}

// The modules that make notes out of their input, deleted while a key they
// answered is still down.
struct Holder {
  const char* name;
  std::function<CComp*(CGroup&)> make;
};

class NoteHolderDeleted : public ::testing::TestWithParam<Holder> {};

TEST_P(NoteHolderDeleted, NoteHolderDeletedMidNoteEndsEveryNote) {
  auto root = MakeRoot(kBlock, kRate);
  CProject project;
  auto* src = Add<StubMidiSource>(*root);
  CComp* holder = GetParam().make(*root);
  holder->ConnectMidi(src, 0, 0);
  root->ConnectMidi(holder, 0, 0);
  std::vector<Heard> heard;
  const auto block = [&] {
    root->Process(kBlock);
    for (const MidiEvent& e : root->midiQueue) heard.push_back({0, static_cast<int>(e.time), e.msg});
    src->events.clear();
  };
  // Key 36 picks the chord, key 60 plays it; the arpeggiator runs on 60 alone.
  src->events = {MidiEvent{3.0f, midi::Make(0x90, 36, 100)}, MidiEvent{4.0f, midi::Make(0x80, 36, 0)},
                 MidiEvent{10.0f, midi::Make(0x90, 60, 100)}};
  for (int i = 0; i < 4; ++i) block();
  ASSERT_FALSE(Sounding(heard).empty()) << GetParam().name << " sounds nothing to release";
  ASSERT_TRUE(DeleteModule(*root, project, holder));
  block();
  EXPECT_TRUE(Sounding(heard).empty()) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(ArpAndChords, NoteHolderDeleted,
                         ::testing::Values(Holder{"chords",
                                                  [](CGroup& g) -> CComp* {
                                                    auto* c = Add<CChords>(g);
                                                    CChord& chord = c->AddChord(36);
                                                    chord.offsets.fill(0);
                                                    chord.Offset(0) = chord.Offset(4) = 100;
                                                    return c;
                                                  }},
                                           Holder{"arpeggiator",
                                                  [](CGroup& g) -> CComp* {
                                                    auto* a = Add<CArp>(g);
                                                    a->patterns.front()->Cell(0, 0) = 100;
                                                    return a;
                                                  }},
                                           // Plays on its own; each of two tracks holds a
                                           // long note, one of them on the second port.
                                           Holder{"song",
                                                  [](CGroup& g) -> CComp* {
                                                    auto* s = Add<CTracks>(g);
                                                    s->SetSampleRate(kRate);
                                                    s->SetBlockSize(kBlock);
                                                    s->midiThru = 0;
                                                    s->midiOutPorts = 2;
                                                    CArr& arr = *s->arrs.front();
                                                    s->AddTrack(arr, TrackKind::kMidi).port = 1;
                                                    for (auto& t : arr.tracks) {
                                                      auto p = std::make_unique<CMIDIPart>();
                                                      p->length = 7680;
                                                      p->events.Insert(5 + t->port,
                                                                       midi::Make(0x90, 50 + t->port, 100),
                                                                       5000);
                                                      t->varis.front()->parts.push_back(std::move(p));
                                                    }
                                                    g.ConnectMidi(s, 1, 0);
                                                    s->Start();
                                                    return s;
                                                  }}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
