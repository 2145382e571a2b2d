// The chords module's controls: transposed or fixed chords, and the current
// chord's rhythm and arpeggio. A chord's settings change under the module's
// own edit flag (EditChords), which also re-seeks rhythms that are playing.
#include <array>

#include "graph/Controls.h"
#include "midifx/Chords.h"

namespace qr {

namespace {

CChords& C(CComp& m) { return static_cast<CChords&>(m); }
const CChords& C(const CComp& m) { return static_cast<const CChords&>(m); }
bool HasChord(const CComp& m, int32_t) {
  const CChords& c = C(m);
  return c.currentChord >= 0 && c.currentChord < static_cast<int32_t>(c.chords.size());
}
const CChord& Cur(const CComp& m) { return *C(m).chords[static_cast<size_t>(C(m).currentChord)]; }
CChord& Cur(CChords& c) { return *c.chords[static_cast<size_t>(c.currentChord)]; }

constexpr const char* kModes[] = {"Transp", "Fixed"};
constexpr const char* kOffOn[] = {"Off", "On"};
constexpr const char* kArps[] = {"Off", "Up", "Down", "Up/down"};

const std::array<ControlDesc, 3> kChordsControls = {{
    {.name = "Mode",
     .min = 0,
     .max = 1,
     .def = 0,
     .step = 1,
     .get = [](const CComp& m, int32_t) { return AtomicRead(C(m).mode); },
     .set = [](CComp& m, int32_t,
               float v) { C(m).EditChords([v](CChords& c) { c.mode = static_cast<int32_t>(v); }); },
     .choices = kModes},
    {.name = "Rhythm",
     .min = 0,
     .max = 1,
     .def = 0,
     .step = 1,
     .get = [](const CComp& m, int32_t) { return static_cast<float>(Cur(m).play); },
     .set = [](CComp& m, int32_t,
               float v) { C(m).EditChords([v](CChords& c) { Cur(c).play = static_cast<int32_t>(v); }); },
     .shown = &HasChord,
     .choices = kOffOn},
    {.name = "Arpeggio",
     .min = 0,
     .max = 3,
     .def = 0,
     .step = 1,
     .get = [](const CComp& m, int32_t) { return static_cast<float>(Cur(m).arp); },
     .set = [](CComp& m, int32_t,
               float v) { C(m).EditChords([v](CChords& c) { Cur(c).arp = static_cast<int32_t>(v); }); },
     .shown = &HasChord,
     .choices = kArps},
}};

}  // namespace

std::span<const ControlDesc> CChords::Controls() const { return kChordsControls; }

}  // namespace qr
