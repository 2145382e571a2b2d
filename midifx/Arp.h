#pragma once
// CArp: the arpeggiator. Each note-on that a pattern accepts starts a voice that
// plays the pattern's step grid transposed to the played key until the key is
// released. Patterns can be recorded from the keyboard and generated from the
// notes of a pattern by the randomiser.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "graph/BusyFlag.h"
#include "graph/Comp.h"
#include "graph/HeldNotes.h"
#include "graph/TickWalker.h"
#include "midifx/Random.h"
#include "platform/Settings.h"

namespace qr {

// One controller lane of a pattern: a value per step, -1 = nothing sent.
struct CArpCC {
  CArpCC() { values.fill(-1); }
  explicit CArpCC(int32_t number) : CArpCC() { controller = number; }
  int32_t controller = 1;
  std::array<int16_t, 128> values{};
};

// A note of the randomiser's source: where it starts, its velocity and how many
// steps it lasts to its off bit (0 = the same step).
struct CNote {
  int32_t step = 0;
  int32_t offset = 0;
  int32_t velocity = 0;
  int32_t length = 0;
};

class CArpPattern {
 public:
  static constexpr int kSteps = 128;
  static constexpr int kRange = 36;  // offsets -36..+36 semitones from the played key
  static constexpr int kOffsets = 2 * kRange + 1;
  static constexpr uint8_t kOffBit = 0x80;

  // A new pattern has one controller lane; a loaded one starts without.
  explicit CArpPattern(bool with_lane = true);

  uint8_t& Cell(int step, int offset) noexcept {
    return grid[static_cast<size_t>(step)][static_cast<size_t>(offset + kRange)];
  }
  uint8_t Cell(int step, int offset) const noexcept {
    return grid[static_cast<size_t>(step)][static_cast<size_t>(offset + kRange)];
  }
  void ClearGrid() noexcept { grid = {}; }
  // Even steps last p + 0.33 p swing samples per pattern tick and odd steps
  // the rest of 2p, p being a sixteenth of a beat's samples over 60 ticks.
  void UpdateStepLengths(float sample_rate, float tempo) noexcept;
  // The same in musical ticks (960 a beat), which is what voices walk: the
  // length of an even (index 0) or odd (index 1) step, and of one pattern
  // tick at the even rate.
  double StepTicks(int swing_index) const noexcept;
  double EvenPatternTick() const noexcept;
  bool Accepts(uint32_t msg) const noexcept;

  float stepEven = 0.0f, stepOdd = 0.0f;  // samples per pattern tick
  std::array<std::array<uint8_t, kOffsets>, kSteps> grid{};
  int32_t inChannel = -1;   // -1: any
  int32_t outChannel = -1;  // -1: the input note's channel
  int32_t keyLow = 0, keyHigh = 127;
  int32_t velLow = 0, velHigh = 127;
  int32_t transpose = 0;
  std::string name = "Untitled";
  float swing = 0.0f;
  int32_t steps = 16;  // 1-128
  std::vector<CArpCC> lanes;
  int32_t ticksPerStep = 60;  // 240 pattern ticks to a beat
};

struct ArpVoice {
  int32_t inChannel = 0;
  int32_t outChannel = 0;
  int32_t root = 0;  // the pattern's transpose when the voice started
  uint8_t active = 0;
  const CArpPattern* pattern = nullptr;
  int32_t key = 0;
  int32_t pendingKey = -1;  // "Hold": taken at the next wrap
  int32_t onStep = 0;
  int32_t offStep = -1;
  int32_t steps = 16;
  // Voice time: tick 0 stands on the sample the voice started on. The next
  // step and the next off position are ticks on it, each moved on by its
  // step's exact length, so block ends change nothing.
  TickWalker walker;
  double nextOn = 0.0;
  double nextOff = 0.0;
  int32_t onSwing = 0;
  int32_t offSwing = 0;
  HeldNotes notes;                    // note-ons out, not yet ended
  std::array<uint8_t, 128> offMap{};  // off position -> the key that actually sounds
  uint8_t release = 0;                // its pattern was replaced: end its notes next block
};

class CArp final : public CComp {
 public:
  static constexpr int kVoices = 16;
  enum Trigger : int32_t { kPoly = 0, kSync = 1, kMono = 2, kHold = 3 };
  enum PlayMode : int32_t { kLoop = 0, kOneShot = 1 };

  explicit CArp(CContainer* parent);

  CMIDIQ* MidiOutput(int port, int frames) noexcept override;
  void SetSampleRate(float rate) override;
  void SetTempo(float bpm) override;
  std::string TypeKey() const override { return "CArp"; }
  std::span<const ControlDesc> Controls() const override;  // ArpControls.cpp
  void Save(CStream& s) override;
  void Load(CStream& s, int flag) override;
  void ReleaseNotes(NoteOffSink& sink) noexcept override;

  // (ui) A pattern by index; out of range tells the user and yields none.
  CArpPattern* Pattern(int index);
  CArpPattern* CurrentPattern() { return Pattern(currentPattern); }
  int PatternCount() const noexcept { return static_cast<int>(patterns.size()); }
  CArpPattern& AddPattern();
  void SetSwing(CArpPattern& p, float swing) noexcept;

  // (ui) Keyboard recording into the current pattern: the next note-on sets the
  // root key, each later one writes a one-step note and moves a step on.
  void StartRecording() noexcept;
  bool Recording() const noexcept { return recording != 0; }

  // (ui) The randomiser: "Use as random source", then randomise the current pattern.
  void CaptureRandomSource();
  void Randomize(const ArpRandomSettings& settings);
  // The same with the settings the editors last stored ("Arp" in the settings file).
  void RandomizeFromSettings();
  CModuleRandom& Random() noexcept { return random_; }

  int ActiveVoices() const noexcept;

  int32_t trigger = kPoly;   // "Trigger"
  int32_t playMode = kLoop;  // "Mode"
  int32_t currentPattern = 0;
  uint8_t recording = 0;
  int32_t recordStep = -1;  // -1: waiting for the root key
  int32_t recordRoot = 0;
  std::vector<std::unique_ptr<CArpPattern>> patterns;  // never empty
  std::array<ArpVoice, kVoices> voices{};
  std::vector<CNote> randomSource;

 private:
  void HandleInput(const MidiEvent& e, int at) noexcept;
  void Record(uint32_t msg) noexcept;
  void NoteOn(uint32_t msg, int at) noexcept;
  void StartVoice(const CArpPattern& p, uint32_t msg, const ArpVoice* sync, int at) noexcept;
  void RunVoices(int from, int to) noexcept;
  void OnStep(ArpVoice& v, int at) noexcept;
  void OffStep(ArpVoice& v, int at) noexcept;
  void Sound(ArpVoice& v, int at) noexcept;
  void StopVoice(ArpVoice& v, int at) noexcept;
  void Retune(ArpVoice& v, int new_key) noexcept;
  // Output is produced in time order, so it is appended.
  void Emit(uint32_t msg, int at) noexcept { out_.Push(msg, kMidiKindMessage, 0, static_cast<float>(at)); }
  CArpPattern* PatternOrNull(int index) noexcept;

  CModuleRandom random_;
  CMIDIQ out_;
  // Held by the audio side for the block and by a load while it replaces the
  // patterns the voices point into; the audio side skips instead of waiting.
  CBusyFlag editing_;
};

}  // namespace qr
