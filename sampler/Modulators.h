#pragma once
// The modulators a sampler clip owns (envelopes and LFOs, step gates, random
// generators) and the routings that connect a source to a voice parameter.
//
// A modulator's shape is shared by every voice of its clip; what moves while a
// note plays (position, current value, the random targets) lives in a
// ModState inside the voice, so the audio side never touches the shapes'
// memory except to read it.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qr {

class CStream;

// Destination kinds: the low 16 bits of a routing's destination; the high 16
// bits pick a modulator for the Level and Rate kinds.
enum ModDest : int32_t {
  kDestNone = 0,
  kDestCutoff = 1,
  kDestVolume = 2,
  kDestPan = 3,
  kDestPitch = 4,
  kDestQ = 5,
  kDestDrive = 6,
  kDestUPitch = 7,
  kDestUPan = 8,
  kDestLevel = 9,
  kDestRate = 10,
};

enum class ModSourceKind : int32_t { kWheel, kBend, kVelocity, kKey, kCC, kEnv, kGate, kLFO, kRnd, kNone };

// One breakpoint of a freehand shape: ticks from the shape's start, value 0..1
// and a curve (0 straight; positive bends towards the later value, negative
// towards the earlier one).
struct ModPoint {
  float position = 0.0f;
  float value = 0.0f;
  float curve = 0.0f;
};

// The running state of one modulator in one voice.
struct ModState {
  double ticks = 0.0;    // position inside the current cycle
  float value = 0.0f;    // last evaluated output, 0..1
  float from = 0.0f;     // random generators: the value a ramp leaves
  float to = 0.0f;       //   and the one it reaches
  int32_t segment = 0;   // point the position is past
  uint8_t finished = 0;  // a one-shot shape has reached its last point
};

// Deterministic generator owned by the module (xorshift): rendering the same
// notes gives the same samples every time.
struct ModRandom {
  uint32_t state = 0x9E3779B9u;
  uint32_t Next() noexcept {
    uint32_t x = state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return state = x;
  }
  // Whole hundredths, 0.00 .. 1.00.
  float Hundredths() noexcept { return static_cast<float>(Next() % 101u) * 0.01f; }
};

class CModulator {
 public:
  enum Kind : int32_t { kFreehand = 0, kGate = 1, kRandom = 2 };
  explicit CModulator(Kind k) : kind(k) {}
  virtual ~CModulator() = default;

  // Value at note start for a voice (before the first advance).
  virtual float StartValue(ModRandom& rnd) const noexcept;
  // Resets a voice's running state for a new note.
  virtual void NoteStart(ModState& st, ModRandom& rnd) const noexcept;
  // Advances by `ticks` (already scaled by the rate) and returns the output 0..1.
  virtual float Advance(ModState& st, double ticks, ModRandom& rnd) const noexcept = 0;
  // The length of one cycle in ticks.
  virtual double CycleTicks() const noexcept = 0;
  std::unique_ptr<CModulator> Clone() const;

  // Ticks that pass per output frame, from the unit: in "Beat" the song tempo
  // times multiplier / divider; in "Hz" one cycle takes 1 / rate seconds.
  double TicksPerFrame(double sample_rate, double bpm) const noexcept;

  Kind kind;
  std::string name = "Env";
  int32_t unit = 0;              // 0 "Beat", 1 "Hz"
  int32_t sync = 0;              // 0 "Poly", 1 "Mono", 2 "Run"
  int32_t loop = 0;              // bit 0 "Loop", bit 1 "Ramp" (random generators)
  int32_t left = 0, right = -1;  // loop range in points
  float widthBeats = 1.0f;
  float multiplier = 1.0f;
  float divider = 1.0f;
  float rateHz = 1.0f;
};

// Envelopes and LFOs: a breakpoint shape walked by ticks; with loop on it
// repeats between its left and right points.
class CFreehand : public CModulator {
 public:
  CFreehand() : CModulator(kFreehand) {}
  void NoteStart(ModState& st, ModRandom& rnd) const noexcept override;
  float Advance(ModState& st, double ticks, ModRandom& rnd) const noexcept override;
  double CycleTicks() const noexcept override;
  std::vector<ModPoint> points;
};

// A step sequence of levels, one step per `ticks`; a step whose flag is 0 is
// silent (level 0), so the flag works as the step's on switch.
class CGate : public CModulator {
 public:
  static constexpr int kMaxSteps = 256;
  CGate();
  float Advance(ModState& st, double ticks, ModRandom& rnd) const noexcept override;
  double CycleTicks() const noexcept override;
  // "64", "32", "16", "8", "4": the step length in ticks; 0 for other names.
  static int32_t TicksOfRate(const std::string& rate) noexcept;
  int32_t steps = 16;
  int32_t ticks = 240;
  std::vector<float> levels;
  std::vector<int32_t> flags;
};

// Whole hundredths drawn at note start and, with loop on, at each cycle end;
// with ramp and loop on it glides from the old value to the new over 960 ticks.
class CRandom : public CModulator {
 public:
  CRandom() : CModulator(kRandom) { name = "Rnd"; }
  float StartValue(ModRandom& rnd) const noexcept override { return rnd.Hundredths(); }
  void NoteStart(ModState& st, ModRandom& rnd) const noexcept override;
  float Advance(ModState& st, double ticks, ModRandom& rnd) const noexcept override;
  double CycleTicks() const noexcept override;
  bool Ramps() const noexcept { return (loop & 3) == 3; }
};

// One routing: source value s (0..1) gives m = amount x (s - centre) at the
// destination. How each destination takes m is in Sampler.cpp (ApplyRouting).
struct CMod {
  ModSourceKind source = ModSourceKind::kVelocity;
  int32_t sourceIndex = 0;  // controller number or modulator index
  int32_t dest = kDestNone;
  float amount = 0.0f;
  float centre = 0.0f;
};

// "Wheel", "Bend", "Velocity", "MIDIKey", "CC", "Env", "Gate", "LFO", "Rnd".
const char* ModSourceName(ModSourceKind k) noexcept;
ModSourceKind ModSourceFromName(const std::string& name) noexcept;
// What the destination menu shows for a stored destination value.
std::string DestinationName(int32_t dest, const std::vector<std::unique_ptr<CModulator>>& mods);

}  // namespace qr
