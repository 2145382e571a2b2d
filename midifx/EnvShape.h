#pragma once
// A breakpoint envelope: a list of points in time order and the state that walks
// it. The envelope module sends it as a controller stream; the sampler's
// modulators build their shapes on the same list and walk it by ticks.
//
// Editing (the point list, the loop points) happens on the user-interface thread
// while the owner keeps its audio side away; everything else runs on the audio
// thread and never allocates.
#include <cstdint>
#include <vector>

namespace qr {

struct EnvPoint {
  int32_t delta = 0;   // ticks since the previous point (960 to a quarter note)
  float value = 0.0f;  // 0..1
};

class CEnvShape {
 public:
  // ---- Points (ui) ----
  int Count() const noexcept { return static_cast<int>(points.size()); }
  // Absolute time of a point in ticks.
  int64_t TimeOf(int index) const noexcept;
  // Places a point after every point at or before `time` without moving the
  // others; loop points keep pointing at the same points. Returns its index.
  int AddPoint(int64_t time, float value);
  void RemovePoint(int index);
  void ClearPoints();

  // ---- Playback (audio) ----
  bool Running() const noexcept { return current >= 0; }
  float Value() const noexcept { return position * slope + startValue; }
  // Starts from the first point with the gate set; fewer than two points do not run.
  void Restart() noexcept;
  void Stop() noexcept { current = -1; }
  // Moves to the next segment, taking the loop while the gate is set.
  void Advance() noexcept;
  // Note triggers by mode; NoteOn returns true when the note restarted the shape.
  bool NoteOn() noexcept;
  void NoteOff() noexcept;
  // For consumers that walk by ticks: moves `ticks` on, crossing segment ends
  // (overshoot carried), and returns the value reached.
  float Step(float ticks) noexcept;

  std::vector<EnvPoint> points;
  // 0: a note-on restarts only when no key is held; 1: every note-on restarts;
  // 2: free-running, not triggered by notes.
  int32_t mode = 0;
  int32_t loopStart = -1, loopEnd = -1;  // point indices, -1 none
  int32_t heldKeys = 0;
  int32_t minimum = 0, maximum = 127;
  int32_t loopOn = 1;
  uint8_t gate = 0;
  int32_t current = -1;      // point the running segment starts at; -1 = stopped
  float remaining = 0.0f;    // ticks left in the segment
  float position = 0.0f;     // ticks into the segment
  float slope = 0.0f;        // value per tick
  float startValue = 0.0f;   // value at the segment start

 private:
  bool LoopActive() const noexcept;
};

}  // namespace qr
