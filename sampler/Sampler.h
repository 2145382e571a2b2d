#pragma once
// CSampler: turns incoming notes into audio from RAM samples.
//
// The content is a tree of sources. A sound (CSound) groups clips and further
// sounds; a clip (CClip) plays one sample with its own pitch, loop, filter,
// amplitude and modulation. A layer sound picks clips by key and velocity
// zones, a slicer by key (slice i on slice root + 1 + i). A bank of presets
// decides which top-level sounds answer on which MIDI channel.
//
// Playing state lives in a fixed pool of 128 voices sized at construction; a
// note that finds no free voice is dropped, never stolen. The tree is edited
// on the user-interface side only while the audio side is kept away (the
// editing busy flag), so a block never sees a half-built sound.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/Sample.h"
#include "graph/BusyFlag.h"
#include "graph/Container.h"
#include "graph/EventRoom.h"
#include "graph/Limits.h"
#include "sampler/LowPassLanes.h"
#include "sampler/Modulators.h"

namespace qr {

class CSound;

namespace sampler_limits {
inline constexpr int kVoices = 128;
inline constexpr int kUnison = 8;           // sub-voices of one voice
inline constexpr int kControlFrames = 32;   // longest stretch between modulation updates
inline constexpr int kVoiceModulators = 8;  // modulators of a clip that run in a voice
inline constexpr int kMaxSends = 64;
inline constexpr int kPresets = 128;
}  // namespace sampler_limits

// Ten values: five (seconds, level) points. A note runs the points up to the
// sustain point and holds there while the key is down; the release runs the
// last point's time. Rising segments move straight in amplitude, falling ones
// straight in decibels at 100 dB per segment time, so a decay or release time
// means the same whatever level it starts from.
struct EnvelopeShape {
  int32_t sustain = 3;
  std::array<float, 10> v{0.0f, 0.0f, 0.002f, 1.0f, 0.0f, 1.0f, 0.0f, 1.0f, 0.05f, 0.0f};
  static EnvelopeShape Flat() noexcept {
    EnvelopeShape e;
    e.v = {0.0f, 1.0f, 0.0f, 1.0f, 0.0f, 1.0f, 0.0f, 1.0f, 0.0f, 1.0f};
    return e;
  }
};

class CSource {
 public:
  virtual ~CSource() = default;
  virtual bool IsSound() const noexcept = 0;
  bool Maps(int key, int velocity) const noexcept {
    return key >= mapping[0] && key <= mapping[1] && velocity >= mapping[2] && velocity <= mapping[3];
  }

  std::array<int32_t, 4> mapping{0, 127, 0, 127};  // low key, high key, low velocity, high velocity
  float volume = 1.0f;
  float pan = 0.0f;
  int32_t bus = -1;
  float cutoff = 1.0f;
  int32_t unisonVoices = 1;
  float unisonTune = 0.33f;
  float unisonPan = 0.33f;
  CSound* owner = nullptr;  // the sound this source sits in; null at the top
};

class CClip final : public CSource {
 public:
  enum LoopMode : int32_t { kLoopOff = 0, kLoopForward = 1, kLoopBackward = 2, kLoopAlternate = 3 };
  enum FilterMode : int32_t { kFilterOff = 0, kFilterLowBand = 1, kFilterBandHigh = 2, kFilterLowHigh = 3 };
  CClip();
  bool IsSound() const noexcept override { return false; }
  std::unique_ptr<CClip> Clone() const;

  int32_t sample = -1;
  int32_t voiceMode = 0;  // 0 "Poly", 1 "Mono", 2 choke: a new note fades the clip's playing voices
  int32_t playMode = 0;   // 0 forward, otherwise from the right bound backwards
  int32_t left = 1, right = 0;
  int32_t loop = kLoopOff;
  int32_t loopStart = 1, loopEnd = 0;  // first and last frame of the loop
  int32_t rootKey = 60;
  int32_t coarse = 0;
  float fine = 0.0f;
  int32_t glide = 0;  // milliseconds for a mono voice to reach a new key
  int32_t bend = 2;   // pitch-bend range in semitones
  int32_t filterMode = kFilterOff;
  float blend = 0.0f;
  float q = 0.0f;
  float drive = 0.0f;
  int32_t unisonDelay = 0;
  // Clips of one class share a channel by turns: a note of one fades the
  // channel's notes of the others (a closed hi-hat stops the open one), as a
  // bank's designer marks them. 0 for none.
  int32_t exclusiveClass = 0;
  EnvelopeShape volEnv;
  EnvelopeShape filterEnv = EnvelopeShape::Flat();
  int32_t selectedModulator = 0;
  std::vector<std::unique_ptr<CModulator>> modulators;
  std::vector<CMod> routings;
  std::vector<float> sendLevels;
};

// A send effect of a sound: an effect module fed by the sound's voices, its
// output added into one of the sampler's outputs.
struct CSoundSend {
  std::unique_ptr<CComp> effect;
  int32_t output = 0;
};

class CSound final : public CSource {
 public:
  enum Mode : int32_t { kLayer = 0, kSlicer = 1 };
  CSound() = default;
  bool IsSound() const noexcept override { return true; }

  int32_t mode = kLayer;
  int32_t sample = -1;
  int32_t left = 0, right = 0;
  float bpm = 120.0f;
  float beats = 4.0f;
  int32_t sliceRoot = 48;
  int32_t exp = 1;
  std::string name = "layer";
  std::vector<CSoundSend> sends;
  std::vector<std::unique_ptr<CSource>> children;

  // Appends a child and makes this sound its owner.
  CSource* Add(std::unique_ptr<CSource> child);
};

struct PresetEntry {
  int32_t sound = 0;
  int32_t on = 1;
  int32_t channel = 0;  // 1..16; 0 answers on every channel
};

struct Preset {
  std::string name;
  std::vector<PresetEntry> entries;
};

class CSampler final : public CContainer {
 public:
  explicit CSampler(CContainer* parent);
  ~CSampler() override;

  // CComp
  void Process(int frames) noexcept override;
  std::string TypeKey() const override { return "CSampler"; }
  void Save(CStream& s) override;
  void Load(CStream& s, int flag) override;
  void SetBlockSize(int frames) override;
  void SetSampleRate(float rate) override;
  void SetTempo(float bpm) override;
  void ProgramChanged(int32_t program) override;

  // ---- Editing (ui). Each waits for the audio side to leave the tree.
  CSound* NewSound(const std::string& name, int mode = CSound::kLayer);
  int AddSample(std::unique_ptr<CSample> sample);
  // Puts a sample into a slicer sound: the sound covers the sample, guesses its
  // tempo from the length and gets one clip over the whole sample.
  CClip* SetSliceSample(CSound& sound, int sample_index);
  // Tempo from length: beats doubled while the tempo stays below 80 bpm.
  static void GuessTempo(double seconds, float& beats, float& bpm) noexcept;
  void ClearAll();
  // The depth-first list of sources (sounds and clips), the order "sourcei" counts in.
  std::vector<CSource*> SourcesInOrder() const;

  // Writes the sound (its samples first) as a ".qrs" stream; reads one back,
  // appending its samples and the sound. False (and nothing changed) when the
  // stream holds no whole sound.
  void SaveSoundFile(const CSound& sound, CStream& s) const;
  bool LoadSoundFile(CStream& s);

  // Stops every voice at once (state replaced, module deleted).
  void ReleaseAllVoices() noexcept;
  int PlayingVoices() const noexcept;
  float ChannelBend(int channel) const noexcept { return bend_[static_cast<size_t>(channel & 15)]; }

  // Editing helpers for callers that change the tree directly.
  void BeginEdit() noexcept { editing_.Take(); }
  void EndEdit() noexcept;

  int32_t multimode = 0;
  int32_t core = 0;
  std::vector<std::unique_ptr<CSample>> samples;
  std::vector<std::unique_ptr<CSound>> sounds;
  std::array<std::unique_ptr<Preset>, sampler_limits::kPresets> bank{};
  int32_t selectedSource = 0;

  struct SubVoice {
    double pos = 0.0;
    double baseStep = 1.0;  // the sample's rate over the output rate
    float dir = 1.0f;
    float panOffset = 0.0f;
    float spread = 0.0f;
    float keyOffset = 0.0f;  // semitones
    int32_t delay = 0;       // frames still to wait before sounding
    uint8_t active = 0;
    float low[2]{}, band[2]{};
    float ratioSemis = 0.0f;  // the pitch the ratio below was worked out for
    double ratio = 1.0;
  };
  struct EnvState {
    int32_t seg = 0;
    float t = 0.0f;     // seconds into the segment
    float from = 0.0f;  // level the segment started at
    float level = 0.0f;
    uint8_t released = 0;
    uint8_t done = 0;
    float dbFrom = -1.0f, fromDb = 0.0f;  // decibels of the last levels converted
    float dbTo = -1.0f, toDb = 0.0f;
    // The factor a falling segment's level moves by in a stretch of ratioDt
    // seconds: segment ratioSeg, started at level ratioFrom, ratioLength long.
    float ratio = 1.0f, ratioFrom = -1.0f, ratioDt = -1.0f, ratioLength = 0.0f;
    int32_t ratioSeg = -1;
  };
  struct Voice {
    CSound* sound = nullptr;
    CClip* clip = nullptr;
    int32_t state = 0;  // 0 free, 1 playing
    int32_t subCount = 0;
    int32_t mode = 0;
    int32_t keyCount = 0;
    int32_t channel = 0;
    int32_t key = 0;
    float velocity = 0.0f;
    uint8_t sustained = 0;  // released while the pedal was down
    float soundVolume = 1.0f, soundPan = 0.0f, soundCutoff = 1.0f;
    float glideFrom = 0.0f;  // semitones still to travel to the held key
    EnvState vol, filt;
    float gain = 0.0f;  // gain reached at the end of the last control stretch
    float pan = 0.0f;
    float fcut = 0.0f, fres = 0.0f, fdrive = 0.0f;
    uint8_t fresh = 1;    // the first stretch starts at its own values
    uint32_t noteOn = 0;  // the note-on that started it: its layers never fade each other
    // What the routings asked for in the last stretch: gain, pan, cutoff, q,
    // drive, pitch, unison tune and pan. Worked out again only after a MIDI
    // message or an edit, unless a routing reads a modulator, which moves.
    std::array<float, 8> targets{};
    uint32_t targetsAt = 0;  // the control generation they belong to; 0 for none
    // Worked out when the voice starts, so that its stretches need not visit
    // the sample and the clip's lists again (an edit ends every voice).
    CSample* sample = nullptr;
    MemoryRender ram;  // its frames in memory, unless ram.run is null
    float unisonNorm = 1.0f;
    uint8_t readsModulator = 0;  // a routing reads a modulator that moves by itself
    uint8_t volumeMoves = 0;     // and one of them feeds the volume
    std::array<SubVoice, sampler_limits::kUnison> sub{};
    std::array<ModState, sampler_limits::kVoiceModulators> mods{};
    std::array<uint8_t, 128> keys{};  // the held keys of a mono voice, oldest first
  };
  const Voice& VoiceAt(int i) const noexcept { return voices_[static_cast<size_t>(i)]; }

 private:
  friend class SamplerRecordReader;
  void HandleMidi(uint32_t msg) noexcept;
  void ResetChannels() noexcept;
  void NoteOn(int channel, int key, int velocity) noexcept;
  void NoteOff(int channel, int key) noexcept;
  void RouteNote(CSound& sound, int channel, int key, int velocity, float vol, float pan, float cut) noexcept;
  void StartClip(CSound& sound, CClip& clip, int index, int channel, int key, int velocity, float vol,
                 float pan, float cut) noexcept;
  bool SoundOnChannel(int sound, int channel) const noexcept;
  // Voices render a chunk of up to this many stretches each before the next
  // voice, so that a sample run whose pitch holds is one long run.
  static constexpr int kChunkStretches = 16;
  // One sub-voice's stretches of a chunk, rendered and waiting to be mixed.
  struct PendingMix {
    const Voice* voice;
    float* L;
    float* R;
    float* outs[2];
    int channels;
    int pos, len;  // its first frame in the block; its frames, in stretches from there
    // Per stretch: gain and pan at its start and at its end.
    const float* ramps;
  };
  using FilterLane = SteadyLowPassLane;
  // A filter whose settings move through the stretch, run on its own.
  struct FilterJob {
    float* buf;
    float* low;
    float* band;
    int mode, len;
    float f0, f1, r0, r1, d0, d1, blend;
  };
  // The voices rendered and mixed by one thread: all of them when the sampler
  // feeds send effects, otherwise half of them, so that the two halves
  // can run on two cores and still add up in the same order on one.
  struct Share {
    // Only the counted prefixes are read: left unzeroed, building a sampler
    // does not pay for them.
    HeapRoom<PendingMix, sampler_limits::kVoices * sampler_limits::kUnison> pending;
    HeapRoom<float, sampler_limits::kVoices * sampler_limits::kUnison * 4 * kChunkStretches> ramps;
    HeapRoom<FilterLane, sampler_limits::kVoices * sampler_limits::kUnison * 2> lanes;
    HeapRoom<int, sampler_limits::kVoices * sampler_limits::kUnison * 2>
        laneLen;  // frames from the lane's stretch on
    HeapRoom<FilterJob, sampler_limits::kVoices * sampler_limits::kUnison * 2> jobs;
    int pendingCount = 0, rampsUsed = 0;
    // The lanes and jobs of stretch k of a chunk start at k x laneCap: a
    // sub-voice's filter runs stretch after stretch, in lanes beside other
    // voices while it is settled (one lane across all its settled stretches
    // in a row) and on its own while it moves.
    std::array<int, kChunkStretches> laneCount{}, jobCount{};
    int laneCap = 0;
    // This chunk's sub-voice buffers are taken one after the other from
    // `slots`, so they lie together in the cache (a fixed place per voice
    // spread them two kilobytes apart, onto a few cache sets).
    float* slots = nullptr;
    int slotsUsed = 0;
  };
  class CVoiceShare;
  void RenderVoices(int from, int to) noexcept;
  void RenderShare(int half, int halves, int from, int to) noexcept;
  bool ShareWithWorker(int from, int to) noexcept;
  void PrepareShares();
  void MixPending(const PendingMix& pm) noexcept;
  void RenderVoice(Voice& v, int from, int n, Share& sh, float* const* channels) noexcept;
  int RenderSub(SubVoice& sv, const CClip& clip, CSample& smp, const MemoryRender* ram, float* L, float* R,
                int n, double step) noexcept;
  void ReleaseVoice(Voice& v) noexcept;
  void RunSends(int frames) noexcept;
  void PrepareSends();
  void SaveSound(const CSound& sound, CStream& s, bool top, const std::vector<int32_t>* remap) const;

  std::array<Voice, sampler_limits::kVoices> voices_{};
  std::array<float, 16> bend_{};
  std::array<std::array<float, 128>, 16> cc_{};
  std::array<float, 16> wheel_{};
  std::array<uint8_t, 16> pedal_{};
  uint32_t noteOns_ = 0;
  void ChokeVoice(Voice& v) noexcept;
  std::array<int32_t, 16> program_{};
  ModRandom random_;
  // Counts the MIDI messages and edits that may change what a routing reads.
  // Each MIDI channel's controller generation: a voice's routing targets hold
  // until a controller or the bend of its channel moves, or an edit.
  std::array<uint32_t, 16> controlGen_ = MakeControlGens();
  static constexpr std::array<uint32_t, 16> MakeControlGens() noexcept {
    std::array<uint32_t, 16> g{};
    g.fill(1);
    return g;
  }
  void NextControlGen(size_t channel) noexcept {
    uint32_t& g = controlGen_[channel & 15];
    g = g == UINT32_MAX ? 1 : g + 1;
  }
  void NextControlGen() noexcept {
    for (size_t c = 0; c < controlGen_.size(); ++c) NextControlGen(c);
  }
  CBusyFlag editing_;
  std::vector<uint8_t> streamScratch_;
  std::vector<CComp*> sendList_;  // every send effect of the tree, prepared on the ui side
  // Room for every sub-voice's two channels of one stretch, and for one more
  // voice in each half, which the split below may leave that much fuller
  // than the other; a stretch is written whole before it is read, so the
  // room is never zeroed.
  HeapRoom<float,
           (sampler_limits::kVoices + 2) * sampler_limits::kUnison * 2 * sampler_limits::kControlFrames>
      slots_;
  // The half each playing voice renders in, worked out before a segment so
  // that both halves carry about as many sub-voice channels, whichever
  // slots the voices took.
  std::array<uint8_t, sampler_limits::kVoices> halfOf_{};
  void SplitVoices() noexcept;
  std::array<Share, 2> shares_;
  std::unique_ptr<CVoiceShare> worker_;  // hands the second half to a worker core
  // The second half's own mix of every output channel, added in after both
  // halves are done; empty while the sampler feeds send effects.
  std::vector<float> shadow_;
  std::array<float*, limits::kMaxChannels> shadowCh_{};
};

}  // namespace qr
