#pragma once
// CGroove: a groove template — a repeating grid of steps, each with a timing
// offset, a target velocity and a gate. It processes nothing in the graph; the
// sequencer's tracks pass the events of their parts through their grooves.
#include <array>
#include <cstdint>
#include <span>

#include "graph/Comp.h"

namespace qr {

struct GrooveResult {
  int64_t time = 0;  // ticks
  int32_t velocity = 0;
  int32_t length = 0;  // ticks
};

class CGroove final : public CComp {
 public:
  static constexpr int kMaxSteps = 256;

  explicit CGroove(CContainer* parent);

  std::string TypeKey() const override { return "CGroove"; }
  std::span<const ControlDesc> Controls() const override;  // GrooveControls.cpp
  void Save(CStream& s) override;
  void Load(CStream& s, int flag) override;
  void LoadSecond(CStream& s) override;

  // Applies this groove to an event whose time, velocity and length are `in`;
  // `velocity` is the velocity as earlier grooves left it. Ignores `enabled`.
  GrooveResult Apply(int64_t t, uint32_t data, int32_t velocity, int32_t length) const noexcept;
  // Every default, as a new groove has them.
  void ResetFields() noexcept;

  int32_t strength = 100;   // percent, 0-100
  int32_t strengthCC = -1;  // controller that may set the strength; -1 none
  int32_t offsetOn = 1;
  int32_t velocityOn = 0;
  int32_t gateOn = 1;
  int32_t q = 240;                           // step length in ticks
  int32_t gateMode = 2;                      // 0 note length, 1 one step, 2 "Q - no overlap", 3 "Q - legato"
  int32_t steps = 4;                         // 1-256
  std::array<int32_t, kMaxSteps> offsets{};  // percent of Q
  std::array<int32_t, kMaxSteps> velocities{};  // 1-127
  std::array<int32_t, kMaxSteps> gates{};       // percent of the reference length
};

// Passes an event through every enabled groove of a list, in order: the last
// groove's time and length stand, velocities compound.
GrooveResult GrooveTransform(std::span<const CGroove* const> grooves, int64_t t, uint32_t data,
                             int32_t velocity, int32_t length) noexcept;

}  // namespace qr
