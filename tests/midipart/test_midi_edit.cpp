#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "graph/MidiQueue.h"
#include "midipart/MidiEdit.h"
#include "tests/support/MessageCapture.h"

using namespace qr;

namespace {

using Ticks = CEventList::Ticks;

uint32_t On(int key, int vel = 100, int ch = 0) { return midi::Make(0x90u | ch, key, vel); }

std::vector<Ticks> TimesOf(const CEventList& l) {
  std::vector<Ticks> t;
  l.Times(t);
  return t;
}

}  // namespace

TEST(MidiEdit, SnapAndNoteNames) {
  EXPECT_EQ(Snap(119, 240), 0);
  EXPECT_EQ(Snap(120, 240), 240);
  EXPECT_EQ(Snap(-119, 240), 0);
  EXPECT_EQ(Snap(-120, 240), -240);
  EXPECT_EQ(Snap(7, 1), 7);
  EXPECT_EQ(NoteName(60), "C3");
  EXPECT_EQ(NoteName(1), "C#-2");
  EXPECT_EQ(ParseNoteName("C3"), 60);
  EXPECT_EQ(ParseNoteName("c#-2"), 1);
  EXPECT_EQ(ParseNoteName("G8"), 127);
  EXPECT_EQ(ParseNoteName("G#8"), std::nullopt);
  EXPECT_EQ(ParseNoteName("H3"), std::nullopt);
  EXPECT_EQ(ParseNoteName("C3x"), std::nullopt);
}

TEST(MidiEdit, QuantizeMovesOnlyNoteOnsInScopeAndUndoRestoresExactly) {
  CMIDIPart p;
  p.events.Insert(119, On(60), 100);
  p.events.Insert(120, On(62), 100);
  p.events.Insert(130, midi::Make(0xB0, 7, 1), 0);
  p.events[2].flags = 64;
  const CEventList before = p.events;
  CMIDIEdit ed;
  ASSERT_TRUE(ed.Quantize(p, 240));
  EXPECT_EQ(TimesOf(p.events), (std::vector<Ticks>{0, 240, 130}));  // list order kept
  EXPECT_EQ(p.UndoStack().back().name, "Quantize");
  ASSERT_TRUE(p.PopUndo());
  EXPECT_EQ(p.events, before);

  // With a selection only the selected note moves; placement shifts the grid.
  p.events[1].flags |= kEvSelected;
  p.start = 100;
  ASSERT_TRUE(ed.Quantize(p, 240));
  EXPECT_EQ(TimesOf(p.events), (std::vector<Ticks>{119, 140, 130}));

  CMIDIPart empty;
  EXPECT_FALSE(ed.Quantize(empty, 240));
  EXPECT_TRUE(empty.UndoStack().empty());
}

TEST(MidiEdit, LengthQuantizeNeverShorterThanOneGrid) {
  CMIDIPart p;
  for (int len : {10, 350, 370}) p.events.Insert(0, On(60), len);
  CMIDIEdit ed;
  ASSERT_TRUE(ed.LengthQuantize(p, 240));
  EXPECT_EQ(p.events[0].length, 240);
  EXPECT_EQ(p.events[1].length, 240);
  EXPECT_EQ(p.events[2].length, 480);
  EXPECT_EQ(p.UndoStack().back().name, "Length quantize");
}

TEST(MidiEdit, DeleteDoublesKeepsTheFirstAcrossChannels) {
  CMIDIPart p;
  p.events.Insert(0, On(60, 100, 0), 10);
  p.events.Insert(0, On(60, 50, 3), 20);           // double: other channel and velocity
  p.events.Insert(0, On(61), 10);                  // other key
  p.events.Insert(0, midi::Make(0xB0, 60, 1), 0);  // other class
  p.events.Insert(10, On(60), 10);                 // other time
  p.events.Insert(10, On(60, 1, 9), 10);           // double of the one before
  for (PartEvent& e : p.events) e.flags |= kEvSelected;
  CMIDIEdit ed;
  ASSERT_TRUE(ed.DeleteDoubles(p));
  ASSERT_EQ(p.events.Size(), 4u);
  EXPECT_EQ(p.events[0].length, 10);
  EXPECT_EQ(TimesOf(p.events), (std::vector<Ticks>{0, 0, 0, 10}));
  for (const PartEvent& e : p.events) EXPECT_FALSE(e.Selected());
  EXPECT_EQ(p.UndoStack().back().name, "delete doubles");
}

TEST(MidiEdit, ControllerLanes) {
  CMIDIPart p;
  p.length = 960;
  p.events.Insert(0, midi::Make(0xB0, 7, 99), 0);   // replaced
  p.events.Insert(5, midi::Make(0xB1, 10, 99), 0);  // other controller: kept
  p.events.Insert(600, On(60, 100), 10);
  CMIDIEdit ed;
  ASSERT_TRUE(ed.ControllerLane(p, 240, {7, 0, 0, 127}));
  std::vector<int> values;
  for (const PartEvent& e : p.events)
    if (midi::Type(e.data) == 0xB0 && midi::Data1(e.data) == 7)
      values.push_back(static_cast<int>(midi::Data2(e.data)));
  EXPECT_EQ(values, (std::vector<int>{0, 32, 64, 95}));  // 63.5 rounds to even
  EXPECT_EQ(p.events.Size(), 6u);

  ASSERT_TRUE(ed.ControllerLane(p, 1, {kLanePitchBend, 0, 127, 127}));  // grid 1 steps by 240
  int bends = 0;
  for (const PartEvent& e : p.events)
    if (midi::Type(e.data) == 0xE0) {
      ++bends;
      EXPECT_EQ(e.data, midi::Make(0xE0, 0x7F, 0x7F));
    }
  EXPECT_EQ(bends, 4);

  ASSERT_TRUE(ed.ControllerLane(p, 240, {kLaneVelocity, 0, 0, 0}));  // clamped to 1
  for (const PartEvent& e : p.events)
    if (midi::Type(e.data) == 0x90) {
      EXPECT_EQ(midi::Data2(e.data), 1u);
    }
  EXPECT_EQ(p.UndoStack().back().name, "compose");
}

TEST(MidiEdit, PatternPlacesNamedKeysOnTheOnes) {
  CMIDIPart p;
  p.length = 1920;
  CMIDIEdit ed;
  ASSERT_TRUE(ed.Pattern(p, 480, "10", "C3, E3 bogus"));
  EXPECT_EQ(TimesOf(p.events), (std::vector<Ticks>{0, 0, 960, 960}));
  EXPECT_EQ(p.events[1].data, On(64, 63));
  EXPECT_EQ(p.events[1].length, 240);
  EXPECT_FALSE(ed.Pattern(p, 480, "1", "nothing"));
}

TEST(MidiEdit, RandomNotesNeedSourceNotesAndFillTheirShare) {
  test::MessageCapture sink;
  CMIDIPart p;
  p.length = 3840;
  p.events.Insert(0, midi::Make(0xB0, 1, 1), 0);
  CMIDIEdit ed(7);
  NotesSettings s;
  EXPECT_FALSE(ed.Notes(p, 240, s));
  EXPECT_EQ(sink.Texts(), (std::vector<std::string>{"Can't randomize a MIDI part without any notes"}));
  EXPECT_EQ(p.events.Size(), 1u);
  EXPECT_TRUE(p.UndoStack().empty());

  for (int k : {60, 64, 67}) p.events.Insert(0, On(k), 240);
  s.fillPercent = 50;
  s.octave = true;
  s.velocity = true;
  s.velocityLow = 10;
  s.velocityHigh = 20;
  ASSERT_TRUE(ed.Notes(p, 240, s));
  int notes = 0;
  for (const PartEvent& e : p.events) {
    if (!midi::IsNoteOn(e.data)) continue;
    ++notes;
    EXPECT_TRUE(std::set<uint32_t>({48, 52, 55, 60, 64, 67, 72, 76, 79}).count(midi::Data1(e.data)));
    EXPECT_GE(midi::Data2(e.data), 10u);
    EXPECT_LE(midi::Data2(e.data), 20u);
  }
  EXPECT_GE(notes, 8);  // at least half of 16 steps
  EXPECT_EQ(p.UndoStack().back().name, "random notes");

  // The same seed gives the same notes.
  CMIDIPart q;
  q.length = 3840;
  q.events = p.UndoStack().back().events;
  CMIDIPart r = q;
  CMIDIEdit a(7), b(7);
  ASSERT_TRUE(a.Notes(q, 240, s));
  ASSERT_TRUE(b.Notes(r, 240, s));
  EXPECT_EQ(q.events, r.events);
}

// Fill sets how many notes the part gets at least; every step still draws, so
// a lucky walk places more than the share, and Fill 0 places none even on a
// length that ends in a partial step.
TEST(MidiEdit, RandomNotesPlaceByTheDrawPastTheirShare) {
  auto placed = [](uint32_t seed, int fill, Ticks length) {
    CMIDIPart p;
    p.length = length;
    p.events.Insert(0, On(60), 240);
    NotesSettings s;
    s.fillPercent = fill;
    CMIDIEdit ed(seed);
    EXPECT_TRUE(ed.Notes(p, 240, s));
    int n = 0;
    for (const PartEvent& e : p.events) n += midi::IsNoteOn(e.data);
    return n;
  };
  int most = 0;
  for (uint32_t seed = 1; seed <= 20; ++seed) {
    const int n = placed(seed, 50, 3840);
    EXPECT_GE(n, 8) << "seed " << seed;
    most = std::max(most, n);
  }
  EXPECT_GT(most, 8);
  EXPECT_EQ(placed(3, 0, 3840 + 100), 0);
  EXPECT_EQ(placed(3, 100, 3840), 16);
}

TEST(MidiEdit, CopiedNotesApplyRulesToSelectedOnly) {
  CMIDIPart p;
  p.events.Insert(0, On(60, 100), 100);
  p.events.Insert(240, On(62, 100), 100);
  p.events[1].flags |= kEvSelected;
  NotesSettings s;
  s.fill = false;
  s.onlySelected = true;
  s.velocity = true;
  s.velocityLow = s.velocityHigh = 5;
  CMIDIEdit ed;
  ASSERT_TRUE(ed.Notes(p, 240, s));
  EXPECT_EQ(TimesOf(p.events), (std::vector<Ticks>{0, 240}));
  EXPECT_EQ(p.events[0].data, On(60, 100));
  EXPECT_EQ(p.events[1].data, On(62, 5));
  EXPECT_TRUE(p.events[1].Selected());
}

TEST(MidiEdit, SlicesSplitSelectedNotes) {
  CMIDIPart p;
  p.events.Insert(0, On(60), 480);
  p.events.Insert(100, On(62), 480);
  p.events.Insert(200, On(64), 2);  // too short for three slices
  p.events[0].flags |= kEvSelected;
  p.events[2].flags |= kEvSelected;
  CMIDIEdit ed;
  ASSERT_TRUE(ed.Slices(p, 3));
  EXPECT_EQ(TimesOf(p.events), (std::vector<Ticks>{0, 100, 160, 200, 320}));
  EXPECT_EQ(p.events[0].length, 160);
  EXPECT_EQ(p.events[1].length, 480);
  EXPECT_EQ(p.events[3].length, 2);
  EXPECT_EQ(p.UndoStack().back().name, "slice notes");
}
