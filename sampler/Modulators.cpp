#include "sampler/Modulators.h"

#include <algorithm>
#include <cmath>

namespace qr {

namespace {

constexpr double kTicksPerBeat = 960.0;

float Shape(float t, float curve) noexcept {
  if (curve == 0.0f || !std::isfinite(curve)) return t;
  const float c = std::clamp(curve, -20.0f, 20.0f);
  return (std::exp(c * t) - 1.0f) / (std::exp(c) - 1.0f);
}

}  // namespace

float CModulator::StartValue(ModRandom&) const noexcept { return 1.0f; }

void CModulator::NoteStart(ModState& st, ModRandom&) const noexcept {
  st = ModState{};
  st.value = 1.0f;
}

double CModulator::TicksPerFrame(double sample_rate, double bpm) const noexcept {
  if (!(sample_rate > 0.0)) return 0.0;
  double v;
  if (unit == 1) {
    v = CycleTicks() * static_cast<double>(rateHz) / sample_rate;
  } else {
    const double div = divider != 0.0f ? static_cast<double>(divider) : 1.0;
    v = 16.0 * bpm / sample_rate * static_cast<double>(multiplier) / div;
  }
  return std::isfinite(v) && v > 0.0 ? std::min(v, 1e6) : 0.0;
}

std::unique_ptr<CModulator> CModulator::Clone() const {
  switch (kind) {
    case kFreehand:
      return std::make_unique<CFreehand>(static_cast<const CFreehand&>(*this));
    case kGate:
      return std::make_unique<CGate>(static_cast<const CGate&>(*this));
    case kRandom:
      return std::make_unique<CRandom>(static_cast<const CRandom&>(*this));
  }
  return nullptr;
}

// ---- CFreehand

void CFreehand::NoteStart(ModState& st, ModRandom&) const noexcept {
  st = ModState{};
  st.value = points.empty() ? 1.0f : std::clamp(points.front().value, 0.0f, 1.0f);
}

double CFreehand::CycleTicks() const noexcept {
  if (points.empty()) return kTicksPerBeat;
  const double last = points.back().position;
  return last > 0.0 ? last : kTicksPerBeat;
}

float CFreehand::Advance(ModState& st, double dt, ModRandom&) const noexcept {
  const int n = static_cast<int>(points.size());
  if (n == 0) return st.value = 1.0f;
  if (n == 1) return st.value = std::clamp(points[0].value, 0.0f, 1.0f);
  st.ticks += dt;
  const int lo = std::clamp(left, 0, n - 1);
  const int hi = right < 0 ? n - 1 : std::clamp(right, 0, n - 1);
  const double loopFrom = points[static_cast<size_t>(lo)].position;
  const double loopTo = points[static_cast<size_t>(hi)].position;
  if ((loop & 1) && hi > lo && loopTo > loopFrom && st.ticks >= loopTo) {
    st.ticks = loopFrom + std::fmod(st.ticks - loopTo, loopTo - loopFrom);
    st.segment = lo;
  }
  if (st.ticks >= points.back().position) {
    st.finished = 1;
    st.segment = n - 1;
    return st.value = std::clamp(points.back().value, 0.0f, 1.0f);
  }
  int seg = std::clamp(st.segment, 0, n - 2);
  if (points[static_cast<size_t>(seg)].position > st.ticks) seg = 0;
  while (seg < n - 2 && points[static_cast<size_t>(seg + 1)].position <= st.ticks) ++seg;
  st.segment = seg;
  const ModPoint& a = points[static_cast<size_t>(seg)];
  const ModPoint& b = points[static_cast<size_t>(seg + 1)];
  const double span = static_cast<double>(b.position) - a.position;
  const float t =
      span > 0.0 ? static_cast<float>(std::clamp((st.ticks - a.position) / span, 0.0, 1.0)) : 1.0f;
  const float v = a.value + (b.value - a.value) * Shape(t, a.curve);
  return st.value = std::isfinite(v) ? std::clamp(v, 0.0f, 1.0f) : 0.0f;
}

// ---- CGate

CGate::CGate() : CModulator(kGate), levels(kMaxSteps, 1.0f), flags(kMaxSteps, 1) {
  name = "Gate";
  loop = 1;
}

int32_t CGate::TicksOfRate(const std::string& rate) noexcept {
  if (rate == "64") return 60;
  if (rate == "32") return 120;
  if (rate == "16") return 240;
  if (rate == "8") return 480;
  if (rate == "4") return 960;
  return 0;
}

double CGate::CycleTicks() const noexcept {
  return static_cast<double>(std::clamp(steps, 1, kMaxSteps)) * std::max(ticks, 1);
}

float CGate::Advance(ModState& st, double dt, ModRandom&) const noexcept {
  st.ticks += dt;
  const double cycle = CycleTicks();
  if (st.ticks >= cycle) {
    if (!(loop & 1)) {
      st.finished = 1;
      return st.value = 0.0f;
    }
    st.ticks = std::fmod(st.ticks, cycle);
  }
  const int step = std::clamp(static_cast<int>(st.ticks / std::max(ticks, 1)), 0, kMaxSteps - 1);
  const size_t i = static_cast<size_t>(step);
  const float level = i < levels.size() && i < flags.size() && flags[i] ? levels[i] : 0.0f;
  return st.value = std::isfinite(level) ? std::clamp(level, 0.0f, 1.0f) : 0.0f;
}

// ---- CRandom

double CRandom::CycleTicks() const noexcept {
  if (Ramps()) return kTicksPerBeat;
  const double w = static_cast<double>(widthBeats) * kTicksPerBeat;
  return std::isfinite(w) && w >= 1.0 ? w : kTicksPerBeat;
}

void CRandom::NoteStart(ModState& st, ModRandom& rnd) const noexcept {
  st = ModState{};
  st.from = st.to = st.value = rnd.Hundredths();
  if (Ramps()) st.to = rnd.Hundredths();
}

float CRandom::Advance(ModState& st, double dt, ModRandom& rnd) const noexcept {
  const double cycle = CycleTicks();
  st.ticks += dt;
  if (loop & 1) {
    // A huge step would draw many times over; only the last draw is heard.
    if (st.ticks >= cycle * 4.0) st.ticks = std::fmod(st.ticks, cycle) + cycle;
    while (st.ticks >= cycle) {
      st.ticks -= cycle;
      st.from = st.to;
      st.to = rnd.Hundredths();
    }
  }
  if (!Ramps()) return st.value = st.to;
  const float t = static_cast<float>(std::clamp(st.ticks / cycle, 0.0, 1.0));
  return st.value = st.from + (st.to - st.from) * t;
}

// ---- names

const char* ModSourceName(ModSourceKind k) noexcept {
  switch (k) {
    case ModSourceKind::kWheel:
      return "Wheel";
    case ModSourceKind::kBend:
      return "Bend";
    case ModSourceKind::kVelocity:
      return "Velocity";
    case ModSourceKind::kKey:
      return "MIDIKey";
    case ModSourceKind::kCC:
      return "CC";
    case ModSourceKind::kEnv:
      return "Env";
    case ModSourceKind::kGate:
      return "Gate";
    case ModSourceKind::kLFO:
      return "LFO";
    case ModSourceKind::kRnd:
      return "Rnd";
    case ModSourceKind::kNone:
      break;
  }
  return "";
}

ModSourceKind ModSourceFromName(const std::string& name) noexcept {
  for (int k = 0; k < static_cast<int>(ModSourceKind::kNone); ++k)
    if (name == ModSourceName(static_cast<ModSourceKind>(k))) return static_cast<ModSourceKind>(k);
  return ModSourceKind::kNone;
}

std::string DestinationName(int32_t dest, const std::vector<std::unique_ptr<CModulator>>& mods) {
  static const char* const kNames[] = {"None", "Cutoff", "Volume",  "Pan",  "Pitch",
                                       "Q",    "Drive",  "U.Pitch", "U.Pan"};
  const int32_t kindOf = dest & 0xFFFF;
  const int32_t index = static_cast<int32_t>(static_cast<uint32_t>(dest) >> 16);
  if (kindOf <= kDestUPan && index == 0) return kNames[kindOf];
  if ((kindOf == kDestLevel || kindOf == kDestRate) && index < static_cast<int32_t>(mods.size()))
    return mods[static_cast<size_t>(index)]->name + (kindOf == kDestLevel ? ".Level" : ".Rate");
  return "---";
}

}  // namespace qr
