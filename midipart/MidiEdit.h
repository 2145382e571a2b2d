#pragma once
// Editing operations on the events of one MIDI part: quantize, length
// quantize, delete doubles and the composer's generators. Each works on the
// part's edit target (the source of an alias), takes an undo snapshot under its
// name first, holds the owner's lock while the events change and tells the
// owner afterwards (a playing part re-seeks).
#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "midipart/MidiPart.h"

namespace qr {

struct GridEntry {
  std::string_view name;
  int32_t ticks;
};
// The snap and quantize grids.
inline constexpr std::array<GridEntry, 14> kGrids = {{{"Off", 1},
                                                     {"128", 30},
                                                     {"64", 60},
                                                     {"32", 120},
                                                     {"16", 240},
                                                     {"8", 480},
                                                     {"4", 960},
                                                     {"Bar", 3840},
                                                     {"128T", 20},
                                                     {"64T", 40},
                                                     {"32T", 80},
                                                     {"16T", 160},
                                                     {"8T", 320},
                                                     {"4T", 640}}};

// Rounds v to the nearest multiple of g, halves away from zero (g < 2 leaves v).
int64_t Snap(int64_t v, int64_t g) noexcept;

// "C3" for key 60: name and octave key / 12 - 2.
std::string NoteName(int key);
// The key of a note name ("C#3", "A-1"); none when it does not parse or lies
// outside 0..127.
std::optional<int> ParseNoteName(std::string_view text);

// Controller lanes: a controller number 0..127 or one of these.
inline constexpr int kLaneVelocity = -1;
inline constexpr int kLanePitchBend = -2;
inline constexpr int kLaneProgram = -3;

struct LaneSettings {
  int lane = 7;
  int generator = 0;  // 0 ramp from `from` to `to` over the part, 1 random between them
  int from = 0, to = 127;
};

// What the "Notes" generator does with its source notes.
struct NotesSettings {
  const CEventList* source = nullptr;  // other notes to draw from
  bool useCurrent = true;              // draw from the part's own note-ons instead
  bool fill = true;                    // random notes; otherwise copy the source in place
  int fillPercent = 50;
  bool velocity = false;  // random velocities low..high
  int velocityLow = 64, velocityHigh = 127;
  bool octave = false;  // move half the notes by this many octaves, up or down
  int octaves = 1;
  bool onlySelected = false;  // copy mode: the rules touch only selected notes
  bool randomKeys = false;    // copy mode: keys drawn from random source notes
};

class CMIDIEdit {
 public:
  explicit CMIDIEdit(uint32_t seed = 1) : rng_(seed) {}
  void Seed(uint32_t seed) { rng_.seed(seed); }

  // Each returns false when it changed nothing (a part without events; no
  // source notes for "Notes"). The generators that only add events (a
  // controller, program or pitch-bend lane, "Pattern") also fill an empty
  // part. Undo names: "compose" for lanes and patterns, "random notes" for
  // "Notes" (both forms), "slice notes" for slices.
  bool Quantize(CMIDIPart& part, int32_t grid);
  bool LengthQuantize(CMIDIPart& part, int32_t grid);
  bool DeleteDoubles(CMIDIPart& part);
  // The composer panel. `grid` is the editor grid (1 counts as 240).
  bool ControllerLane(CMIDIPart& part, int32_t grid, const LaneSettings& s);
  bool Pattern(CMIDIPart& part, int32_t grid, std::string_view pattern, std::string_view notes);
  bool Notes(CMIDIPart& part, int32_t grid, const NotesSettings& s);
  bool Slices(CMIDIPart& part, int slices);

  // A uniform integer in 0..n-1 (0 when n < 1), the same on every platform.
  int Random(int n);

 private:
  int ApplyOctave(int key, const NotesSettings& s);
  std::mt19937 rng_;
};

}  // namespace qr
