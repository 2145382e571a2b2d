#pragma once
// CEq: up to 32 second-order bands (peaking, low shelf, high shelf) applied in
// series to a stereo signal. It stands as a module of its own or as an insert
// of an output strip.
#include <array>
#include <cstdint>
#include <string>

#include "graph/Comp.h"

namespace qr {

struct CEqBand {
  enum Mode : int32_t { kPeaking = 4, kLowShelf = 5, kHighShelf = 6 };

  // One channel's normalised coefficients and history. The inputs x1, x2 are
  // float samples; the fed-back outputs y1, y2 are kept in double, so that the
  // recursion neither adds float rounding noise (which the poles of a low band
  // would raise to near -80 dB) nor depends on where the blocks are cut.
  struct Channel {
    float b0 = 1.0f, b1 = 0.0f, b2 = 0.0f, a1 = 0.0f, a2 = 0.0f;
    float x1 = 0.0f, x2 = 0.0f;
    double y1 = 0.0, y2 = 0.0;
  };

  int32_t mode = kPeaking;
  float gain = 0.0f;          // decibels
  float frequency = 2000.0f;  // Hz
  float bandwidth = 0.5f;     // octaves
  std::array<Channel, 2> ch{};

  // Fills both channels' coefficients for the band's settings; the history stays.
  void ComputeCoefficients(float sample_rate) noexcept;
};

class CEq final : public CComp {
 public:
  static constexpr int kMaxBands = 32;

  explicit CEq(CContainer* parent);

  // CComp
  void Process(int frames) noexcept override;
  std::string TypeKey() const override { return "Ceq"; }
  void SetSampleRate(float rate) override;
  void Save(CStream& s) override;
  void Load(CStream& s, int flag) override;
  std::span<const ControlDesc> Controls() const override;  // *Controls.cpp

  // (ui) Editor operations. A mode change sets the gain to 0 and the frequency
  // to the mode's own default (300, 2000 or 10000 Hz).
  void SetMode(int band, int32_t mode);
  // Changes a band's settings and recomputes its coefficients.
  void SetBand(int band, float frequency, float gain, float bandwidth);
  bool AddBand();
  void DeleteBand(int band);  // never the last one

  // Runs the bands over both channels in place, keeping their history (audio).
  void RunStereo(float* left, float* right, int frames) noexcept;

  int BandCount() const noexcept { return bandCount; }

  std::array<CEqBand, kMaxBands> bands{};
  int32_t bandCount = 1;
};

}  // namespace qr
