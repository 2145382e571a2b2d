// The mixer's controls, per channel: volume, pan, mute, solo and one level per
// send. Each is a single value the mixing loop reads once per stretch, so they
// are written atomically; rows past the channels and sends in use are hidden.
#include <array>
#include <atomic>
#include <string>

#include "graph/Controls.h"
#include "mixer/Mixer.h"

namespace qr {

namespace {

constexpr int kPerChannel = 4 + CMixer::kMaxSends;
constexpr const char* kOffOn[] = {"Off", "On"};

CMixer& M(CComp& m) { return static_cast<CMixer&>(m); }
const CMixer& M(const CComp& m) { return static_cast<const CMixer&>(m); }
// arg: channel in the low byte, send above it.
int Ch(int32_t arg) { return arg & 0xFF; }
int Send(int32_t arg) { return arg >> 8; }
bool HasChannel(const CComp& m, int32_t a) { return Ch(a) < M(m).ChannelCount(); }
bool HasSend(const CComp& m, int32_t a) { return HasChannel(m, a) && Send(a) < M(m).SendCount(); }

CMixerChannel& C(CComp& m, int32_t a) { return M(m).channels[static_cast<size_t>(Ch(a))]; }
const CMixerChannel& C(const CComp& m, int32_t a) { return M(m).channels[static_cast<size_t>(Ch(a))]; }

using Table = std::array<ControlDesc, CMixer::kMaxChannels * kPerChannel>;

Table MakeTable() {
  Table t{};
  for (int32_t ch = 0; ch < CMixer::kMaxChannels; ++ch) {
    const std::string n = "Ch " + std::to_string(ch + 1) + " ";
    ControlDesc* c = &t[static_cast<size_t>(ch * kPerChannel)];
    c[0] = {.name = n + "volume",
            .min = 0,
            .max = 1,
            .def = 1,
            .unit = "%",
            .step = 1.0f / 127.0f,
            .arg = ch,
            .get = [](const CComp& m, int32_t a) { return AtomicRead(C(m, a).volume); },
            .set = [](CComp& m, int32_t a, float v) { AtomicWrite(C(m, a).volume, v); },
            .shown = &HasChannel,
            .display = 100};
    c[1] = {.name = n + "pan",
            .min = -1,
            .max = 1,
            .def = 0,
            .step = 1.0f / 63.0f,
            .arg = ch,
            .get = [](const CComp& m, int32_t a) { return AtomicRead(C(m, a).pan); },
            .set = [](CComp& m, int32_t a, float v) { AtomicWrite(C(m, a).pan, v); },
            .shown = &HasChannel};
    c[2] = {.name = n + "mute",
            .min = 0,
            .max = 1,
            .def = 0,
            .step = 1,
            .arg = ch,
            .get = [](const CComp& m, int32_t a) { return AtomicRead(C(m, a).mute); },
            .set = [](CComp& m, int32_t a, float v) { AtomicWrite(C(m, a).mute, v); },
            .shown = &HasChannel,
            .choices = kOffOn};
    c[3] = {.name = n + "solo",
            .min = 0,
            .max = 1,
            .def = 0,
            .step = 1,
            .arg = ch,
            .get = [](const CComp& m, int32_t a) { return AtomicRead(C(m, a).solo); },
            .set = [](CComp& m, int32_t a, float v) { AtomicWrite(C(m, a).solo, v); },
            .shown = &HasChannel,
            .choices = kOffOn};
    for (int32_t s = 0; s < CMixer::kMaxSends; ++s)
      c[4 + s] = {
          .name = n + "send " + std::to_string(s + 1),
          .min = 0,
          .max = 1,
          .def = 0,
          .unit = "%",
          .step = 1.0f / 127.0f,
          .arg = ch | s << 8,
          .get = [](const CComp& m,
                    int32_t a) { return AtomicRead(C(m, a).sends[static_cast<size_t>(Send(a))].level); },
          .set = [](CComp& m, int32_t a,
                    float v) { AtomicWrite(C(m, a).sends[static_cast<size_t>(Send(a))].level, v); },
          .shown = &HasSend,
          .display = 100};
  }
  return t;
}

}  // namespace

std::span<const ControlDesc> CMixer::Controls() const {
  static const Table table = MakeTable();
  return table;
}

}  // namespace qr
