// The equaliser's controls: four per band slot, shown for the bands in use. A
// band's coefficients are five floats the filter must never see half-written,
// so every band control goes through the busy flag.
#include <array>
#include <string>

#include "graph/Controls.h"
#include "mixer/Eq.h"

namespace qr {

namespace {

CEq& E(CComp& m) { return static_cast<CEq&>(m); }
const CEq& E(const CComp& m) { return static_cast<const CEq&>(m); }
const CEqBand& B(const CComp& m, int32_t band) { return E(m).bands[static_cast<size_t>(band)]; }

constexpr const char* kModes[] = {"Peaking", "Low-shelf", "High-shelf"};

bool InUse(const CComp& m, int32_t band) { return band < E(m).BandCount(); }

std::array<ControlDesc, CEq::kMaxBands * 4> MakeTable() {
  std::array<ControlDesc, CEq::kMaxBands * 4> t{};
  for (int32_t b = 0; b < CEq::kMaxBands; ++b) {
    const std::string n = "Band " + std::to_string(b + 1) + " ";
    ControlDesc* c = &t[static_cast<size_t>(b) * 4];
    c[0] = {.name = n + "mode",
            .min = CEqBand::kPeaking,
            .max = CEqBand::kHighShelf,
            .def = CEqBand::kPeaking,
            .step = 1,
            .way = ControlWay::Busy,
            .arg = b,
            .get = [](const CComp& m, int32_t a) { return static_cast<float>(B(m, a).mode); },
            .set = [](CComp& m, int32_t a, float v) { E(m).SetMode(a, static_cast<int32_t>(v)); },
            .shown = &InUse,
            .choices = kModes};
    c[1] = {.name = n + "freq",
            .min = 20,
            .max = 20000,
            .def = 2000,
            .unit = "Hz",
            .way = ControlWay::Busy,
            .arg = b,
            .get = [](const CComp& m, int32_t a) { return B(m, a).frequency; },
            .set = [](CComp& m, int32_t a, float v) { E(m).SetBand(a, v, B(m, a).gain, B(m, a).bandwidth); },
            .shown = &InUse};
    c[2] = {
        .name = n + "gain",
        .min = -24,
        .max = 24,
        .def = 0,
        .unit = "dB",
        .way = ControlWay::Busy,
        .arg = b,
        .get = [](const CComp& m, int32_t a) { return B(m, a).gain; },
        .set = [](CComp& m, int32_t a, float v) { E(m).SetBand(a, B(m, a).frequency, v, B(m, a).bandwidth); },
        .shown = &InUse};
    c[3] = {.name = n + "width",
            .min = 0.05f,
            .max = 4,
            .def = 0.5f,
            .unit = "oct",
            .way = ControlWay::Busy,
            .arg = b,
            .get = [](const CComp& m, int32_t a) { return B(m, a).bandwidth; },
            .set = [](CComp& m, int32_t a, float v) { E(m).SetBand(a, B(m, a).frequency, B(m, a).gain, v); },
            .shown = &InUse};
  }
  return t;
}

}  // namespace

std::span<const ControlDesc> CEq::Controls() const {
  static const auto table = MakeTable();
  return table;
}

}  // namespace qr
