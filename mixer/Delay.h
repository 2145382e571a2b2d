#pragma once
// CDelay: a tempo-synchronised stereo echo. Each channel repeats its input one
// beat divided by its own division later, fed back by the feedback gain. The
// output carries only the echoes, so the module serves as a send effect.
#include <cstdint>
#include <memory>
#include <string>

#include "graph/Comp.h"
#include "platform/ZeroPages.h"

namespace qr {

class CDelay final : public CComp {
 public:
  // Samples of echo memory per channel: 20 s at 192 kHz, 87 s at 44.1 kHz.
  static constexpr int32_t kBufferSamples = 3'840'000;

  explicit CDelay(CContainer* parent);

  // CComp
  void Process(int frames) noexcept override;
  std::string TypeKey() const override { return "CDelay"; }
  void Save(CStream& s) override;
  void Load(CStream& s, int flag) override;
  std::span<const ControlDesc> Controls() const override;  // *Controls.cpp

  // (ui) Editor controls; a division change recomputes the lengths.
  void SetDivisions(int32_t left, int32_t right);
  // The lengths for the module's tempo and sample rate; write positions restart at 0.
  void RecomputeLengths() noexcept;
  // One beat divided by `division` in samples, limited to the buffer.
  static int32_t LengthFor(int32_t division, float sample_rate, float bpm) noexcept;

  int32_t Length(int channel) const noexcept { return length_[channel & 1]; }
  int32_t WritePosition(int channel) const noexcept { return position_[channel & 1]; }

  float feedback = 0.5f;
  float wet = 1.0f;
  int32_t division1 = 2;  // left
  int32_t division2 = 1;  // right

 private:
  CZeroPages buffer_[2];
  int32_t position_[2] = {0, 0};
  int32_t length_[2] = {1, 1};
  float lengthTempo_ = 0.0f;  // the tempo the lengths were computed for
  float lengthRate_ = 0.0f;   // and the sample rate
};

}  // namespace qr
