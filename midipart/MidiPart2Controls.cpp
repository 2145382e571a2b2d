// The MIDI part module's controls: each part's trigger (key or controller and
// how it starts and stops the part) and its play and mute groups. The trigger
// reads each field once per incoming event, so each is written atomically.
#include <array>
#include <string>

#include "graph/Controls.h"
#include "midipart/MidiPart2.h"

namespace qr {

namespace {

// Parts past this have no controls in the table (they still play and save).
constexpr int kPartsWithControls = 64;

const CLiveMIDIPart& P(const CComp& m, int32_t a) { return *static_cast<const CMIDIPart2&>(m).Part(a); }
CLiveMIDIPart& P(CComp& m, int32_t a) { return *static_cast<CMIDIPart2&>(m).Part(a); }
bool Exists(const CComp& m, int32_t a) { return a < static_cast<const CMIDIPart2&>(m).PartCount(); }

constexpr const char* kTriggers[] = {"Note on/off", "Note toggle", "CC on/off", "CC toggle"};
constexpr const char* kGroups[] = {"None", "1",  "2",  "3",  "4",  "5",  "6",  "7", "8",
                                   "9",    "10", "11", "12", "13", "14", "15", "16"};

std::array<ControlDesc, kPartsWithControls * 4> MakeTable() {
  std::array<ControlDesc, kPartsWithControls * 4> t{};
  for (int32_t p = 0; p < kPartsWithControls; ++p) {
    const std::string n = "Part " + std::to_string(p + 1) + " ";
    ControlDesc* c = &t[static_cast<size_t>(p) * 4];
    c[0] = {.name = n + "key",
            .min = 0,
            .max = 127,
            .def = 36,
            .step = 1,
            .arg = p,
            .get = [](const CComp& m, int32_t a) { return AtomicRead(P(m, a).key); },
            .set = [](CComp& m, int32_t a, float v) { AtomicWrite(P(m, a).key, v); },
            .shown = &Exists};
    c[1] = {.name = n + "trigger",
            .min = 0,
            .max = 3,
            .def = 0,
            .step = 1,
            .arg = p,
            .get = [](const CComp& m, int32_t a) { return AtomicRead(P(m, a).triggerMode); },
            .set = [](CComp& m, int32_t a, float v) { AtomicWrite(P(m, a).triggerMode, v); },
            .shown = &Exists,
            .choices = kTriggers};
    c[2] = {.name = n + "play group",
            .min = -1,
            .max = 15,
            .def = -1,
            .step = 1,
            .arg = p,
            .get = [](const CComp& m, int32_t a) { return AtomicRead(P(m, a).playGroup); },
            .set = [](CComp& m, int32_t a, float v) { AtomicWrite(P(m, a).playGroup, v); },
            .shown = &Exists,
            .choices = kGroups};
    c[3] = {.name = n + "mute group",
            .min = -1,
            .max = 15,
            .def = -1,
            .step = 1,
            .arg = p,
            .get = [](const CComp& m, int32_t a) { return AtomicRead(P(m, a).muteGroup); },
            .set = [](CComp& m, int32_t a, float v) { AtomicWrite(P(m, a).muteGroup, v); },
            .shown = &Exists,
            .choices = kGroups};
  }
  return t;
}

}  // namespace

std::span<const ControlDesc> CMIDIPart2::Controls() const {
  static const auto table = MakeTable();
  return table;
}

}  // namespace qr
