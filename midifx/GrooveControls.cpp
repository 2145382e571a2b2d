// The groove's controls. The sequencer reads each field once per event it
// moves, so single whole numbers are written atomically; the per-step values
// are edited on the editor's step grid the same way.
#include <array>

#include "graph/Controls.h"
#include "midifx/Groove.h"

namespace qr {

namespace {

CGroove& G(CComp& m) { return static_cast<CGroove&>(m); }
const CGroove& G(const CComp& m) { return static_cast<const CGroove&>(m); }

constexpr const char* kOffOn[] = {"Off", "On"};
constexpr const char* kGateModes[] = {"Note length", "One step", "Q - no overlap", "Q - legato"};

#define QR_GROOVE_FIELD(field)                                           \
  .get = [](const CComp& m, int32_t) { return AtomicRead(G(m).field); }, \
  .set = [](CComp& m, int32_t, float v) { AtomicWrite(G(m).field, v); }

const std::array<ControlDesc, 7> kGrooveControls = {{
    {.name = "Strength", .min = 0, .max = 100, .def = 100, .unit = "%", .step = 1, QR_GROOVE_FIELD(strength)},
    {.name = "Offset", .min = 0, .max = 1, .def = 1, .step = 1, QR_GROOVE_FIELD(offsetOn), .choices = kOffOn},
    {.name = "Velocity",
     .min = 0,
     .max = 1,
     .def = 0,
     .step = 1,
     QR_GROOVE_FIELD(velocityOn),
     .choices = kOffOn},
    {.name = "Gate", .min = 0, .max = 1, .def = 1, .step = 1, QR_GROOVE_FIELD(gateOn), .choices = kOffOn},
    {.name = "Q", .min = 1, .max = 3840, .def = 240, .unit = "ticks", .step = 1, QR_GROOVE_FIELD(q)},
    {.name = "Gate mode",
     .min = 0,
     .max = 3,
     .def = 2,
     .step = 1,
     QR_GROOVE_FIELD(gateMode),
     .choices = kGateModes},
    {.name = "Steps", .min = 1, .max = CGroove::kMaxSteps, .def = 4, .step = 1, QR_GROOVE_FIELD(steps)},
}};

#undef QR_GROOVE_FIELD

}  // namespace

std::span<const ControlDesc> CGroove::Controls() const { return kGrooveControls; }

}  // namespace qr
