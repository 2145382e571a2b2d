// The patcher's and the channel router's controls. Each is one whole number
// the routing reads once per event, so each is written atomically.
#include <array>
#include <string>

#include "graph/Controls.h"
#include "midifx/MidiPatcher.h"

namespace qr {

namespace {

using Port = CMidiPatcher::Port;
Port& P(CComp& m, int32_t a) { return static_cast<CMidiPatcher&>(m).ports[static_cast<size_t>(a)]; }
const Port& P(const CComp& m, int32_t a) {
  return static_cast<const CMidiPatcher&>(m).ports[static_cast<size_t>(a)];
}

std::array<ControlDesc, CMidiPatcher::kPorts * 5> PatcherTable() {
  std::array<ControlDesc, CMidiPatcher::kPorts * 5> t{};
  for (int32_t p = 0; p < CMidiPatcher::kPorts; ++p) {
    const std::string n = "Out " + std::to_string(p + 1) + " ";
    ControlDesc* c = &t[static_cast<size_t>(p) * 5];
    c[0] = {.name = n + "transpose",
            .min = -48,
            .max = 48,
            .def = 0,
            .step = 1,
            .arg = p,
            .get = [](const CComp& m, int32_t a) { return AtomicRead(P(m, a).transpose); },
            .set = [](CComp& m, int32_t a, float v) { AtomicWrite(P(m, a).transpose, v); }};
    c[1] = {.name = n + "key low",
            .min = 0,
            .max = 127,
            .def = 0,
            .step = 1,
            .arg = p,
            .get = [](const CComp& m, int32_t a) { return AtomicRead(P(m, a).keyLow); },
            .set = [](CComp& m, int32_t a, float v) { AtomicWrite(P(m, a).keyLow, v); }};
    c[2] = {.name = n + "key high",
            .min = 0,
            .max = 127,
            .def = 127,
            .step = 1,
            .arg = p,
            .get = [](const CComp& m, int32_t a) { return AtomicRead(P(m, a).keyHigh); },
            .set = [](CComp& m, int32_t a, float v) { AtomicWrite(P(m, a).keyHigh, v); }};
    c[3] = {.name = n + "vel low",
            .min = 0,
            .max = 127,
            .def = 0,
            .step = 1,
            .arg = p,
            .get = [](const CComp& m, int32_t a) { return AtomicRead(P(m, a).velLow); },
            .set = [](CComp& m, int32_t a, float v) { AtomicWrite(P(m, a).velLow, v); }};
    c[4] = {.name = n + "vel high",
            .min = 0,
            .max = 127,
            .def = 127,
            .step = 1,
            .arg = p,
            .get = [](const CComp& m, int32_t a) { return AtomicRead(P(m, a).velHigh); },
            .set = [](CComp& m, int32_t a, float v) { AtomicWrite(P(m, a).velHigh, v); }};
  }
  return t;
}

// -1 drops the channel; the names follow the table's values from -1 on.
constexpr const char* kChannels[] = {"Off", "1",  "2",  "3",  "4",  "5",  "6",  "7", "8",
                                     "9",   "10", "11", "12", "13", "14", "15", "16"};

std::array<ControlDesc, 16> RouterTable() {
  std::array<ControlDesc, 16> t{};
  for (int32_t ch = 0; ch < 16; ++ch)
    t[static_cast<size_t>(ch)] = {
        .name = "Ch " + std::to_string(ch + 1) + " to",
        .min = -1,
        .max = 15,
        .def = static_cast<float>(ch),
        .step = 1,
        .arg = ch,
        .get =
            [](const CComp& m, int32_t a) {
              return AtomicRead(static_cast<const CMIDIChs&>(m).table[static_cast<size_t>(a)]);
            },
        .set = [](CComp& m, int32_t a,
                  float v) { AtomicWrite(static_cast<CMIDIChs&>(m).table[static_cast<size_t>(a)], v); },
        .choices = kChannels};
  return t;
}

}  // namespace

std::span<const ControlDesc> CMidiPatcher::Controls() const {
  static const auto table = PatcherTable();
  return table;
}

std::span<const ControlDesc> CMIDIChs::Controls() const {
  static const auto table = RouterTable();
  return table;
}

}  // namespace qr
