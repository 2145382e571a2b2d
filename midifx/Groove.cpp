#include "midifx/Groove.h"

#include <algorithm>
#include <cmath>

#include "stream/RecordStream.h"

namespace qr {

namespace {

// Nearest integer, halves to the even neighbour.
int64_t Round(double x) noexcept {
  return static_cast<int64_t>(std::nearbyint(std::clamp(x, -9.0e18, 9.0e18)));
}

int32_t Round32(double x) noexcept {
  return static_cast<int32_t>(std::clamp<int64_t>(Round(x), INT32_MIN, INT32_MAX));
}

}  // namespace

CGroove::CGroove(CContainer* parent) : CComp(parent) {
  id = "Groove";
  ResetFields();
}

void CGroove::ResetFields() noexcept {
  enabled = 1;
  strength = 100;
  strengthCC = -1;
  offsetOn = 1;
  velocityOn = 0;
  gateOn = 1;
  q = 240;
  gateMode = 2;
  steps = 4;
  offsets.fill(0);
  velocities.fill(63);
  gates.fill(100);
}

GrooveResult CGroove::Apply(int64_t t, uint32_t data, int32_t velocity, int32_t length) const noexcept {
  GrooveResult r{t, velocity, length};
  // Loaded values are clamped, but fields can be set directly; keep the
  // arithmetic defined whatever they hold.
  const int64_t Q = std::max(q, 1);
  const int n = std::clamp(steps, 1, kMaxSteps);
  // Every blend is (x x strength) x 0.01, in that order: folding strength and
  // 0.01 into one factor first rounds differently at halves (49.5 against 49.4999...).
  const double st = strength;
  auto blend = [st](double x) noexcept { return x * st * 0.01; };
  const int64_t half = Round(static_cast<double>(Q) * 0.5);
  const int64_t span = n * Q;
  const int64_t rem = ((t % span) + span) % span;
  const int64_t w = rem % Q;
  int s = static_cast<int>(rem / Q);
  const bool next = w > half;
  if (next && ++s == n) s = 0;
  const auto us = static_cast<size_t>(s);

  if (offsetOn) {
    const double target = static_cast<double>(offsets[us]) * static_cast<double>(Q) * 0.01;
    const double td = static_cast<double>(t), wd = static_cast<double>(w), qd = static_cast<double>(Q);
    r.time = next ? Round(td + blend(target + (qd - wd))) : Round(td - blend(wd - target));
  }
  if (velocityOn) {
    const double v = velocity;
    r.velocity = std::clamp(Round32(v + blend(velocities[us] - v)), 1, 127);
  }
  if (gateOn && midi::IsNoteOn(data)) {
    double ref = gateMode == 0 ? static_cast<double>(length) : static_cast<double>(Q);
    if ((gateMode == 2 || gateMode == 3) && offsetOn) {
      const auto a = static_cast<int64_t>(offsets[us] * static_cast<double>(Q) * 0.01);
      const auto b =
          static_cast<int64_t>(offsets[static_cast<size_t>((s + 1) % n)] * static_cast<double>(Q) * 0.01);
      if ((gateMode == 2 && b < a) || (gateMode == 3 && b != a)) ref = static_cast<double>(Q - a + b - 1);
    }
    const double g = static_cast<double>(std::max<int64_t>(Round(gates[us] * ref * 0.01), 2));
    r.length = Round32(ref + blend(g - ref));
  }
  return r;
}

GrooveResult GrooveTransform(std::span<const CGroove* const> grooves, int64_t t, uint32_t data,
                             int32_t velocity, int32_t length) noexcept {
  GrooveResult out{t, velocity, length};
  for (const CGroove* g : grooves) {
    if (!g || g->enabled != 1) continue;
    const GrooveResult r = g->Apply(t, data, out.velocity, length);
    out.time = r.time;
    out.velocity = r.velocity;
    out.length = r.length;
  }
  return out;
}

void CGroove::Save(CStream& s) {
  CComp::Save(s);
  s.WriteKeyInt("Enabled", enabled);
  s.WriteKeyInt("Steps", steps);
  s.WriteKeyInt("Offset", offsetOn);
  s.WriteKeyInt("Velo", velocityOn);
  s.WriteKeyInt("Gate", gateOn);
  s.WriteKeyInt("QLength", gateMode);
  s.WriteKeyInt("Strength", strength);
  s.WriteKeyInt("StrengthCC", strengthCC);
  s.WriteKeyInt("Q", q);
  const int n = std::clamp(steps, 1, kMaxSteps);
  for (const auto& [key, values] :
       {std::pair{"Offsets", &offsets}, {"Velos", &velocities}, {"Gates", &gates}}) {
    s.WriteKey(key, 4 * n);
    for (int i = 0; i < n; ++i) s.WriteInt((*values)[static_cast<size_t>(i)]);
  }
}

void CGroove::Load(CStream& s, int) { LoadSecond(s); }

void CGroove::LoadSecond(CStream& s) {
  ResetFields();
  std::string key;
  int32_t size = 0;
  auto readArray = [&](std::array<int32_t, kMaxSteps>& a) {
    const int n = std::min(size / 4, kMaxSteps);
    for (int i = 0; i < n; ++i) a[static_cast<size_t>(i)] = s.ReadInt();
    s.Skip(size - 4 * n);
  };
  while (s.NextRecord(key, size) && key != "CEnd") {
    if (LoadBaseRecord(s, key, size, false)) continue;
    int32_t* field = key == "Steps"        ? &steps
                     : key == "Offset"     ? &offsetOn
                     : key == "Velo"       ? &velocityOn
                     : key == "Gate"       ? &gateOn
                     : key == "QLength"    ? &gateMode
                     : key == "Strength"   ? &strength
                     : key == "StrengthCC" ? &strengthCC
                     : key == "Q"          ? &q
                                           : nullptr;
    if (field && size >= 4) {
      *field = s.ReadInt();
      s.Skip(size - 4);
    } else if (key == "Offsets") {
      readArray(offsets);
    } else if (key == "Velos") {
      readArray(velocities);
    } else if (key == "Gates") {
      readArray(gates);
    } else {
      s.Skip(size);
    }
  }
  steps = std::clamp(steps, 1, kMaxSteps);
  q = std::max(q, 1);
}

}  // namespace qr
