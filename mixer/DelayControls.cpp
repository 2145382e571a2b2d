// The delay's controls: the two gains are single floats the block reads once,
// the beat divisions recompute both lengths and positions together.
#include <array>

#include "graph/Controls.h"
#include "mixer/Delay.h"

namespace qr {

namespace {

CDelay& D(CComp& m) { return static_cast<CDelay&>(m); }
const CDelay& D(const CComp& m) { return static_cast<const CDelay&>(m); }

const std::array<ControlDesc, 4> kDelayControls = {{
    {.name = "Wet",
     .min = 0,
     .max = 1,
     .def = 1,
     .unit = "%",
     .step = 0.01f,
     .get = [](const CComp& m, int32_t) { return AtomicRead(D(m).wet); },
     .set = [](CComp& m, int32_t, float v) { AtomicWrite(D(m).wet, v); },
     .display = 100},
    {.name = "Feedback",
     .min = 0,
     .max = 1,
     .def = 0.5f,
     .unit = "%",
     .step = 0.01f,
     .get = [](const CComp& m, int32_t) { return AtomicRead(D(m).feedback); },
     .set = [](CComp& m, int32_t, float v) { AtomicWrite(D(m).feedback, v); },
     .display = 100},
    {.name = "Beat div 1",
     .min = 1,
     .max = 16,
     .def = 2,
     .step = 1,
     .way = ControlWay::Busy,
     .get = [](const CComp& m, int32_t) { return static_cast<float>(D(m).division1); },
     .set = [](CComp& m, int32_t, float v) { D(m).SetDivisions(static_cast<int32_t>(v), D(m).division2); }},
    {.name = "Beat div 2",
     .min = 1,
     .max = 16,
     .def = 1,
     .step = 1,
     .way = ControlWay::Busy,
     .get = [](const CComp& m, int32_t) { return static_cast<float>(D(m).division2); },
     .set = [](CComp& m, int32_t, float v) { D(m).SetDivisions(D(m).division1, static_cast<int32_t>(v)); }},
}};

}  // namespace

std::span<const ControlDesc> CDelay::Controls() const { return kDelayControls; }

}  // namespace qr
