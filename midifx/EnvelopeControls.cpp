// The envelope's controls: the controller it sends, its running mode, and the
// editor's grid and length. The points themselves are edited on the curve
// under the envelope's own edit lock (EditPoints).
#include <array>

#include "graph/Controls.h"
#include "midifx/Envelope.h"

namespace qr {

namespace {

CEnvelope& E(CComp& m) { return static_cast<CEnvelope&>(m); }
const CEnvelope& E(const CComp& m) { return static_cast<const CEnvelope&>(m); }

// 0: a note restarts it when no key is held; 1: every note does; 2: runs freely.
constexpr const char* kModes[] = {"First note", "Every note", "Free"};

const std::array<ControlDesc, 5> kEnvelopeControls = {{
    {.name = "CC",
     .min = 0,
     .max = 127,
     .def = 74,
     .step = 1,
     .get = [](const CComp& m, int32_t) { return AtomicRead(E(m).controller); },
     .set = [](CComp& m, int32_t, float v) { AtomicWrite(E(m).controller, v); }},
    // SetMode takes the envelope's own edit flag around the change.
    {.name = "Mode",
     .min = 0,
     .max = 2,
     .def = 0,
     .step = 1,
     .get = [](const CComp& m, int32_t) { return static_cast<float>(E(m).shape.mode); },
     .set = [](CComp& m, int32_t, float v) { E(m).SetMode(static_cast<int32_t>(v)); },
     .choices = kModes},
    {.name = "Min",
     .min = 0,
     .max = 127,
     .def = 0,
     .step = 1,
     .get = [](const CComp& m, int32_t) { return AtomicRead(E(m).shape.minimum); },
     .set = [](CComp& m, int32_t, float v) { AtomicWrite(E(m).shape.minimum, v); }},
    {.name = "Max",
     .min = 0,
     .max = 127,
     .def = 127,
     .step = 1,
     .get = [](const CComp& m, int32_t) { return AtomicRead(E(m).shape.maximum); },
     .set = [](CComp& m, int32_t, float v) { AtomicWrite(E(m).shape.maximum, v); }},
    {.name = "Beats",
     .min = 1,
     .max = 64,
     .def = 4,
     .step = 1,
     .get = [](const CComp& m, int32_t) { return static_cast<float>(E(m).beats); },
     .set = [](CComp& m, int32_t, float v) { E(m).beats = static_cast<int32_t>(v); }},
}};

}  // namespace

std::span<const ControlDesc> CEnvelope::Controls() const { return kEnvelopeControls; }

}  // namespace qr
