#pragma once
// CEnvelope: a breakpoint envelope started by incoming notes and sent out as a
// controller stream (controller 74 by default) scaled between a minimum and a
// maximum. Incoming MIDI passes through as well.
#include <atomic>
#include <cstdint>

#include "graph/BusyFlag.h"
#include "graph/Comp.h"
#include "graph/TickWalker.h"
#include "midifx/EnvShape.h"

namespace qr {

class CEnvelope final : public CComp {
 public:
  explicit CEnvelope(CContainer* parent);

  CMIDIQ* MidiOutput(int port, int frames) noexcept override;
  std::string TypeKey() const override { return "CEnv"; }
  std::span<const ControlDesc> Controls() const override;  // EnvelopeControls.cpp
  void Save(CStream& s) override;
  void Load(CStream& s, int flag) override;

  // (ui) Changes the points or the loop: waits until the audio side has left
  // them, applies `edit` to the shape, stops it, and restarts it in mode 2.
  template <typename F>
  void EditPoints(F&& edit) {
    Lock();
    edit(shape);
    shape.Stop();
    if (shape.mode == 2) Restart(0);
    Unlock();
  }
  // (ui) Selecting mode 2 starts the envelope running.
  void SetMode(int32_t mode);

  CEnvShape shape;
  uint8_t thru = 1;         // input events pass to the output
  int32_t snap = 240;       // editor grid in ticks
  int32_t controller = 74;  // "CC"
  int32_t beats = 4;        // editor length in beats
  int32_t lastSent = -1;    // last controller value sent, -1 none

 private:
  void Lock() noexcept { editing_.Take(); }
  void Unlock() noexcept { editing_.Release(); }
  // Starts the shape with its first sample `at` samples into the coming block.
  void Restart(int at) noexcept;
  void Anchor(int at) noexcept;
  double SegmentTicks() const noexcept;
  void Render(int from, int n) noexcept;
  void Send(int64_t at, float value) noexcept;

  // Held by the audio side for the block and by an edit while it runs; the audio
  // side skips its block instead of waiting.
  CBusyFlag editing_;
  CMIDIQ out_;
  // Envelope time: tick 0 stands on the sample the shape started at. Segment
  // ends and the 32-sample output grid are both counted from that sample, so
  // neither depends on where blocks or input events cut the stream.
  TickWalker walker_;
  int64_t gridNext_ = 0;   // next grid sample, from the start of the current block
  double segStart_ = 0.0;  // envelope ticks where the running segment began
  double segEnd_ = 0.0;    // and where it ends
};

}  // namespace qr
