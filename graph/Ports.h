#pragma once
// Audio ports and cables of the module graph.
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "graph/PeakMeter.h"

namespace qr {

class CComp;

class CCable {
 public:
  CCable(CComp* source, CComp* dest) : source_(source), dest_(dest) {}
  virtual ~CCable() = default;
  CComp* Source() const noexcept { return source_; }
  CComp* Dest() const noexcept { return dest_; }

 private:
  CComp* source_;  // neither end is owned by the cable
  CComp* dest_;
};

class CAudioCable final : public CCable {
 public:
  CAudioCable(CComp* source, CComp* dest, int source_out, int dest_in)
      : CCable(source, dest), sourceOut(source_out), destIn(dest_in) {}
  float gain = 1.0f;
  int32_t pathLatency = 0;  // samples, computed by delay compensation
  int32_t sourceOut;
  int32_t destIn;
};

class CMidiCable final : public CCable {
 public:
  CMidiCable(CComp* source, CComp* dest, int source_port, int dest_port)
      : CCable(source, dest), sourcePort(source_port), destPort(dest_port) {}
  int32_t sourcePort;
  int32_t destPort;
};

struct CAudioIn {
  int32_t firstChannel = 0;
  int32_t channels = 2;  // 1 mono, 2 stereo
  float gain = 1.0f;
};

// A ring buffer that delays one channel by a fixed number of samples.
struct CDelayLine {
  std::vector<float> left, right;
  int32_t capacity = 0;
  int32_t length = 0;
  int32_t readPos = 0;
  int32_t writePos = 0;

  // Allocates only when the new length exceeds the capacity; not for the audio thread.
  void SetLength(int32_t samples);
  void Run(float* l, float* r, int frames) noexcept;
};

class CAudioOut {
 public:
  CAudioOut() = default;
  CAudioOut(const CAudioOut&) = delete;
  CAudioOut& operator=(const CAudioOut&) = delete;
  ~CAudioOut();

  // Volume: the gain applied to the port's channels, 0..1.
  float volume = 1.0f;
  float volumeTarget = 1.0f;
  float volumeStep = 0.0f;
  int32_t volumeRamp = 0;
  int32_t solo = 0;
  int32_t mute = 0;
  // Pan: -1 (left) .. +1 (right), turned into a gain per side by the pan law.
  float pan = 0.0f;
  float panLeft = 1.0f, panRight = 1.0f;
  float panLeftTarget = 1.0f, panRightTarget = 1.0f;
  float panLeftStep = 0.0f, panRightStep = 0.0f;
  int32_t panRamp = 0;
  float panLawFactor = 1.0f;  // 1.0, 0.5 or 0.0 for the "-6dB", "-3dB" and "-0dB" laws
  int32_t volumeCC = -1;
  int32_t panCC = -1;
  CPeakMeter meter;        // written by processing only
  MeterDisplay shownPeak;  // the editor's decayed copy, updated at idle
  int32_t firstChannel = 0;
  int32_t channels = 2;
  // Modules run on this port's channels after the owner computes, before volume and pan.
  std::vector<std::unique_ptr<CComp>> inserts;
  float insertWet = 1.0f;
  std::array<float*, 2> ch{};  // the port's own copies of its channel pointers
  uint8_t fresh = 0;
  CDelayLine delay;
  CDelayLine delay2;  // kept for the second delay stage; not used by compensation

  void SetVolume(float v, bool smooth) noexcept;
  void SetPan(float p, bool smooth) noexcept;
  // Recomputes the pan gains after the pan law changed.
  void SetPanLaw(float factor) noexcept;
  bool Ramping() const noexcept { return volumeRamp > 0 || panRamp > 0; }
};

}  // namespace qr
