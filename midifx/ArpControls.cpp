// The arpeggiator's controls: the module's trigger and play modes, and the
// current pattern's filter, transpose, length and swing. Single whole numbers
// the voices read once per note are written atomically; the swing changes two
// step lengths that must agree, so it goes through the busy flag.
#include <array>

#include "graph/Controls.h"
#include "midifx/Arp.h"

namespace qr {

namespace {

CArp& A(CComp& m) { return static_cast<CArp&>(m); }
const CArp& A(const CComp& m) { return static_cast<const CArp&>(m); }
CArpPattern& Pat(CComp& m) { return *A(m).CurrentPattern(); }
const CArpPattern& Pat(const CComp& m) {
  const CArp& a = A(m);
  return *a.patterns[static_cast<size_t>(a.currentPattern)];
}

constexpr const char* kTriggers[] = {"Poly", "Sync", "Mono", "Hold"};
constexpr const char* kModes[] = {"Loop", "1shot"};
constexpr const char* kInChannels[] = {"Any", "1",  "2",  "3",  "4",  "5",  "6",  "7", "8",
                                       "9",   "10", "11", "12", "13", "14", "15", "16"};
constexpr const char* kOutChannels[] = {"As played", "1",  "2",  "3",  "4",  "5",  "6",  "7", "8",
                                        "9",         "10", "11", "12", "13", "14", "15", "16"};

#define QR_PATTERN_FIELD(field)                                            \
  .get = [](const CComp& m, int32_t) { return AtomicRead(Pat(m).field); }, \
  .set = [](CComp& m, int32_t, float v) { AtomicWrite(Pat(m).field, v); }

const std::array<ControlDesc, 10> kArpControls = {{
    {.name = "Trigger",
     .min = 0,
     .max = 3,
     .def = 0,
     .step = 1,
     .get = [](const CComp& m, int32_t) { return AtomicRead(A(m).trigger); },
     .set = [](CComp& m, int32_t, float v) { AtomicWrite(A(m).trigger, v); },
     .choices = kTriggers},
    {.name = "Mode",
     .min = 0,
     .max = 1,
     .def = 0,
     .step = 1,
     .get = [](const CComp& m, int32_t) { return AtomicRead(A(m).playMode); },
     .set = [](CComp& m, int32_t, float v) { AtomicWrite(A(m).playMode, v); },
     .choices = kModes},
    {.name = "Steps", .min = 1, .max = CArpPattern::kSteps, .def = 16, .step = 1, QR_PATTERN_FIELD(steps)},
    {.name = "Swing",
     .min = 0,
     .max = 1,
     .def = 0,
     .unit = "%",
     .step = 0.01f,
     .way = ControlWay::Busy,
     .get = [](const CComp& m, int32_t) { return Pat(m).swing; },
     .set = [](CComp& m, int32_t, float v) { A(m).SetSwing(Pat(m), v); },
     .display = 100},
    {.name = "Transpose",
     .min = -CArpPattern::kRange,
     .max = CArpPattern::kRange,
     .def = 0,
     .step = 1,
     QR_PATTERN_FIELD(transpose)},
    {.name = "Key low", .min = 0, .max = 127, .def = 0, .step = 1, QR_PATTERN_FIELD(keyLow)},
    {.name = "Key high", .min = 0, .max = 127, .def = 127, .step = 1, QR_PATTERN_FIELD(keyHigh)},
    {.name = "Vel low", .min = 0, .max = 127, .def = 0, .step = 1, QR_PATTERN_FIELD(velLow)},
    {.name = "In channel",
     .min = -1,
     .max = 15,
     .def = -1,
     .step = 1,
     QR_PATTERN_FIELD(inChannel),
     .choices = kInChannels},
    {.name = "Out channel",
     .min = -1,
     .max = 15,
     .def = -1,
     .step = 1,
     QR_PATTERN_FIELD(outChannel),
     .choices = kOutChannels},
}};

#undef QR_PATTERN_FIELD

}  // namespace

std::span<const ControlDesc> CArp::Controls() const { return kArpControls; }

}  // namespace qr
