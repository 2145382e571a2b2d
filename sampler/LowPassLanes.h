#pragma once
// The steady low-passes of a block's voices: settled coefficients, no blend,
// no drive, the common case of a bank's filter. Many run side by side, one
// per vector lane, so that their recursions wait for each other's arithmetic
// instead of their own.

namespace qr {

// One channel of one voice's stretch, filtered in place.
struct SteadyLowPassLane {
  float* buf;
  float* low;
  float* band;
  float f, keep;  // keep = 1 - f x damping: the part of the band a frame keeps
};

// How much of a steady low-pass's band survives a frame at cutoff
// coefficient f and resonance r.
inline float BandKept(float f, float r) noexcept { return 1.0f - f * (1.0f - r); }

// One low-pass over n frames of buf.
void SteadyLowPass(float* buf, int n, float& low, float& band, float f, float keep) noexcept;

// Every lane over len frames, side by side where the processor has 256-bit
// vectors with fused multiply-adds (up to 512 frames); `plain` runs them one
// after another instead. Either way gives the same bits.
void RunLowPassLanes(SteadyLowPassLane* lanes, int count, int len, bool plain = false) noexcept;

}  // namespace qr
