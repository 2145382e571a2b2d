#pragma once
// The one player of audio clips: a fixed set of play slots, each sounding one
// clip of an audio part from its first frame to its last. The audio part
// module starts clips from its notes, the sequencer's audio tracks from the
// song's ticks; both render through here, so a clip sounds the same in each.
#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "audio/Sample.h"

namespace qr {

class CAudioPart3;
struct CAudioClip;
class CLane;

// One clip sounding.
struct AudioPlaySlot {
  int32_t active = 0;
  int32_t offset = 0;  // frames into the next span where the clip begins
  double phase = 0.0;  // sample frame index
  double step = 0.0;
  CSample* sample = nullptr;
  int32_t channels = 0;
  int32_t bits = 0;
  int32_t first = 0;
  int32_t last = 0;
  const CAudioPart3* part = nullptr;
  int32_t bus = 0;
  float clipVolume = 1.0f;
  float clipPan = 0.0f;
  const CLane* lane = nullptr;
  const CAudioClip* clip = nullptr;  // for its ramp points
  int32_t rampPoint = -1;            // current ramp point; -1 when no ramp runs
  float rampSlope = 0.0f;            // per frame
  float rampValue = 1.0f;
  int32_t framesLeft = 0;
  int32_t rampPos = 0;     // frames into the segment
  int32_t rampLength = 0;  // frames of the segment
  // Frames into the next span at which the slot falls silent whatever the
  // clip holds (its part ends there); -1 when only the clip's end stops it.
  int64_t stopAt = -1;
};

// Where a bus of the owner writes: one or two channels, at span position 0.
struct ClipBus {
  float* ch[2] = {nullptr, nullptr};
  int channels = 0;
};

class CClipPlayer {
 public:
  static constexpr int kSlots = 128;

  CClipPlayer();
  // The longest span Render is given; sized off the audio thread.
  void SetBlockSize(int frames);
  void SetOutputRate(float rate) noexcept;

  // (audio) Starts clip `c` of `part` on `smp` `offset` frames into the next
  // span. `skip` output frames of the clip are taken as already played, for a
  // clip joined in its middle. False when the clip cannot sound: flagged
  // silent, no such channel, no sample, a step that is no number, or every
  // slot busy.
  bool Start(const CAudioPart3& part, const CAudioClip& c, CSample* smp, int offset,
             int64_t skip = 0) noexcept;
  // (audio) Adds `n` frames of every sounding slot into the buses, from frame
  // `from` of each bus. A slot whose bus does not exist plays into bus 0.
  void Render(int from, int n, std::span<const ClipBus> buses) noexcept;
  // (audio)
  void Free(const CAudioPart3* part) noexcept;
  void StopAll() noexcept;

  int Active() const noexcept;
  // One past the highest slot that may sound: slots are taken from the
  // lowest free one, so walks over the sounding slots stop here.
  int Span() const noexcept { return span_; }
  AudioPlaySlot& Slot(int i) noexcept { return slots_[static_cast<size_t>(i)]; }
  const AudioPlaySlot& Slot(int i) const noexcept { return slots_[static_cast<size_t>(i)]; }

 private:
  void RenderSlot(AudioPlaySlot& s, int from, int n, std::span<const ClipBus> buses) noexcept;

  std::array<AudioPlaySlot, kSlots> slots_{};
  std::vector<float> tmpL_, tmpR_;
  double invOutRate_ = 1.0 / 44100.0;
  std::vector<uint8_t> scratch_;  // streaming window for disk samples
  int span_ = 0;
};

}  // namespace qr
