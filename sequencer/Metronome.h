#pragma once
// CClicker: the song's metronome. It plays the click sample on every beat into
// the sequencer's two outputs, while the transport plays and while a count-in
// runs before recording.
//
// Beats are placed by a TickWalker of its own, located on the song position
// when the click is phased: a beat at tick k x 960 sounds on the sample the
// walker gives it, so the click lands on the same samples as notes written on
// beats, whatever the block size.
#include <array>
#include <cstdint>
#include <vector>

#include "graph/TickWalker.h"

namespace qr {

class CClicker {
 public:
  static constexpr int kVoices = 16;
  // The first beat of a bar sounds at the full click volume, the others at
  // this share of it, so the bar can be heard without a second sample.
  static constexpr float kOffBeatGain = 0.5f;

  // (ui) Takes the click from its stored sample block; false, and no click,
  // when the block holds no playable frames.
  bool LoadSample(const std::vector<uint8_t>& block);
  void Clear() noexcept;
  bool Loaded() const noexcept { return !left_.empty(); }

  // (audio) The click restarts its beats from `tick`: the next beat sounds
  // where the song reaches the next multiple of 960 ticks.
  void Phase(double tick, double bpm, double rate) noexcept;
  // (audio) Ends every sounding click (the transport stopped).
  void Silence() noexcept;
  // (audio) Adds m samples of clicks at `left` and `right`. `coarse` tunes
  // the sample in semitones; `beats_per_bar` picks the accented beats.
  void Render(int m, float* left, float* right, double bpm, double rate, float volume, int32_t coarse,
              int32_t beats_per_bar) noexcept;

  bool running = false;
  // Clicks started so far (for the editor's blinking beat and for tests).
  int64_t clicks = 0;

 private:
  struct Voice {
    bool active = false;
    int32_t delay = 0;  // samples of the next block before it starts
    double pos = 0.0;   // frames into the click
    double speed = 1.0;
    float gain = 0.0f;
  };
  void StartVoice(int32_t delay, double speed, float gain) noexcept;

  std::vector<float> left_, right_;  // right empty for a mono click
  float clickRate_ = 44100.0f;
  TickWalker walker_;
  std::array<Voice, kVoices> voices_{};
};

}  // namespace qr
