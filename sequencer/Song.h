#pragma once
// The song a sequencer owns: arrangements, their tracks, the tracks'
// variations and the parts placed on them, plus the live-mode play groups.
//
// Ownership is a tree of unique_ptrs from CTracks down; every cross reference
// (a track's folder, a ghost copy's source, a cable end, a freeze target, a
// play item's arrangement) is a plain pointer into that tree, resolved from the
// stored index after a load and never followed while it is out of range.
#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "audio/AudioPart.h"
#include "audio/ClipPlayer.h"
#include "graph/Comp.h"
#include "graph/HeldNotes.h"
#include "graph/Part.h"
#include "graph/TickWalker.h"
#include "midipart/MidiPart.h"

namespace qr {

class CGroove;
class CTracks;
class CArr;

// Fixed limits of the song's playing state, sized once.
namespace songlimits {
inline constexpr int kArrQueue = 1024;        // pending arrangement and play-group starts
inline constexpr int kPendingPerTrack = 512;  // note-offs and late events of one track
inline constexpr int kMaxSends = 33;          // send levels kept per audio output
// The tempi a song can hold, from its file or the host. Beyond them a block
// would walk millions of ticks: a hostile tempo must not stall the audio thread.
inline constexpr float kLowestTempo = 1.0f;
inline constexpr float kHighestTempo = 999.0f;
}  // namespace songlimits

// A record kept as it was read, for content this build stores but does not
// interpret (the clips of audio parts): written back byte for byte.
struct RawRecord {
  std::string key;
  std::vector<uint8_t> value;
  // A few records carry a value beyond their stated size; this many bytes of
  // `value` are not counted in the size written.
  int32_t beyond = 0;
};

class CEnvelopePart final : public CPart {
 public:
  struct Point {
    int32_t delta = 0;  // ticks since the previous point
    float value = 0.0f;
    float curve = 0.0f;
    int32_t mode = 0;
    bool operator==(const Point&) const = default;
  };
  CEnvelopePart() { length = 7680; }
  std::unique_ptr<CPart> Copy() const override { return std::make_unique<CEnvelopePart>(*this); }
  std::unique_ptr<CPart> NewInstance() const override { return std::make_unique<CEnvelopePart>(); }
  const void* FirstEvent() const override { return points.empty() ? nullptr : points.data(); }
  bool Assign(const CPart& other) override;

  std::vector<Point> points;
  int16_t tsNumerator = 4;
  int16_t tsDenominator = -1;  // -1: no time signature of its own
};

class CMarkerPart final : public CPart {
 public:
  CMarkerPart() { length = 7680; }
  std::unique_ptr<CPart> Copy() const override { return std::make_unique<CMarkerPart>(*this); }
  std::unique_ptr<CPart> NewInstance() const override { return std::make_unique<CMarkerPart>(); }
};

// An audio part on a track: the audio part's clips and channels in the
// song's own records ("AuEv", "AuCh"). A ghost copy links to its source, so
// every clip and channel lookup reads the source's.
class CSongAudioPart final : public CAudioPart3 {
 public:
  CSongAudioPart() { length = 7680; }
  std::unique_ptr<CPart> Copy() const override;
  std::unique_ptr<CPart> NewInstance() const override { return std::make_unique<CSongAudioPart>(); }
  // The clip and channel groups, in the order they were read.
  void SaveContent(CStream& s) const;
  // One "AuEv..." or "AuCh..." record into the newest clip or channel; false
  // for any other key.
  bool LoadContent(CStream& s, const std::string& key, int32_t size);

 private:
  CAudioClip* loadClip_ = nullptr;  // the clip the next clip records fill
};

// The colour a part shows: a ghost copy shows its source's.
inline int32_t ShownColour(const CPart& p) noexcept {
  return p.ghostSource ? static_cast<const CPart*>(p.ghostSource)->colour : p.colour;
}

enum class TrackKind : int32_t { kMidi = 0, kAudio = 1, kEnvelope = 2, kFolder = 3, kMarker = 4 };

// One end of a cable stored by list name ("comps", "sends", "tracks") and index.
struct CableRef {
  std::string sourceList;
  int32_t sourceIndex = 0;
  int32_t sourceOut = 0;
  std::string destList;  // empty in the track form, which stores 0 instead
  int32_t destIndex = 0;
  int32_t destIn = 0;
  CComp* source = nullptr;  // resolved after loading
  CComp* dest = nullptr;
};

struct SendLevel {
  float level = 0.0f;
  int32_t cc = -1;
  int32_t pre = 0;
};

struct InsertSlot {
  std::unique_ptr<CComp> module;
  float wet = 1.0f;
};

// The output strip of a track, a comp or the sequencer itself.
struct StripOut {
  int32_t channels = 0;
  float volume = 1.0f;
  int32_t volumeCC = -1;
  float pan = 0.0f;
  int32_t panCC = -1;
  int32_t mute = 0, solo = 0;
  int32_t freezeMode = 0;
  std::vector<InsertSlot> inserts;
  std::vector<SendLevel> sends;
};

struct CFreezeItem {
  std::string name;
  int32_t compIndex = -1;   // into "comps" (hosted plug-ins and samplers)
  int32_t trackIndex = -1;  // into the arrangement's tracks
  int32_t channel = 0;
  CComp* target = nullptr;
  uint8_t saved = 0;
};

class CTrackVari {
 public:
  enum StateBits : int32_t { kMuted = 1, kSoloed = 8 };
  int32_t state = 0;
  std::vector<std::unique_ptr<CPart>> parts;
  int32_t freezeStart = 0, freezeTicks = 0;
  std::vector<CFreezeItem> freeze;
};

// Note-offs and grooved events waiting for their tick, in tick order.
class CTickQueue {
 public:
  struct Entry {
    double tick;
    uint32_t msg;
  };
  bool Insert(double tick, uint32_t msg) noexcept;
  void Clear() noexcept { count_ = 0; }
  int Count() const noexcept { return count_; }
  const Entry& operator[](int i) const noexcept { return e_[static_cast<size_t>(i)]; }
  void PopFront(int n) noexcept;

 private:
  std::array<Entry, songlimits::kPendingPerTrack> e_{};
  int count_ = 0;
};

class CTrack final : public CComp {
 public:
  explicit CTrack(CContainer* parent, TrackKind kind = TrackKind::kMidi);
  ~CTrack() override;

  std::string TypeKey() const override { return "CTrack"; }
  CMIDIQ* MidiOutput(int port, int frames) noexcept override;
  void Process(int frames) noexcept override;

  static const char* KindWord(TrackKind kind) noexcept;
  TrackKind Kind() const noexcept { return static_cast<TrackKind>(mode); }
  // The variation the arrangement plays, or none (with the system's message
  // when the track has no variations at all).
  CTrackVari* CurrentVari(const CArr& arr) const;

  // (audio) Plays the parts of `vari` whose events fall in the ticks the
  // arrangement's walker covers in the next `frames` samples, into the queue
  // at `at` + their sample. `from` is the first tick not yet played.
  void Play(const CArr& arr, CTrackVari* vari, double from, double to, int at, int frames,
            bool sounding) noexcept;
  // (audio) Sends the releases of every held note at `at` and forgets the
  // pending note-offs: stop, wrap, mute, switch.
  void ReleaseAll(int at) noexcept;
  // (audio) The next block starts: the queue begins empty.
  void BeginBlock() noexcept { out_.Clear(); }
  // (audio) What the modules it plays into see of a stretch of the block:
  // its events, in stretch time.
  void TakeStretch(int s, int m) noexcept;
  const HeldNotes& Held() const noexcept { return held_; }
  // The whole block's events, in block time.
  CMIDIQ& Out() noexcept { return out_; }

  std::string name;
  int32_t mode = 0;  // TrackKind
  int32_t recMode = 0;
  CTrack* folder = nullptr;
  int32_t folderIndex = -1;  // as loaded; resolved into `folder`
  int32_t port = 0, channel = 0, recChannel = -1;
  int32_t delay = 0, delayUnit = 0;  // unit 0 samples, 1 ticks
  int32_t colour = 0, monitor = 0, audioIn = -1;
  int32_t cc = -1, cc2 = -1, showCC = 0, mapBpm = 0, hq = 0, state = 0;
  int32_t height = 64, eheight = 64, offY = 0, az = 0, hnote = 8, chHeight = 64, edit = 0;
  int32_t mixerStyle = 1, forwardMidi = 0;
  std::vector<std::unique_ptr<CComp>> midiInserts;
  std::vector<StripOut> strips;  // audio tracks
  std::vector<CableRef> audioCables, midiCables;
  std::vector<std::unique_ptr<CGroove>> grooves;
  std::vector<std::unique_ptr<CTrackVari>> varis;
  uint8_t wasSounding = 0;

  // (ui) An audio track gets its outputs, one per stored strip and at least
  // one, and its clip player; other kinds give theirs back.
  void SetUpAudio();
  // (audio) Starts the clips of `vari` due in the ticks [from, to) and renders
  // `frames` samples of every sounding clip into the track's outputs from
  // sample `at` (stretch time). The arrangement's walker stands at `at`.
  void PlayAudio(const CArr& arr, CTrackVari* vari, std::span<CSample* const> pool, double from, double to,
                 int at, int frames) noexcept;
  const CClipPlayer* Player() const noexcept { return player_.get(); }
  // (ui) The MIDI insert modules get the track's rate, block size and tempo,
  // and the queue their stretch is rebuilt in.
  void SetUpInserts();
  // (audio) Runs the stretch's events through the MIDI insert modules in
  // order; what the last one sends replaces them, in the track's queue too.
  void RunMidiInserts(int s, int m) noexcept;

 private:
  void Emit(double tick, uint32_t msg, double from, int at, int frames, const TickWalker& w) noexcept;
  void FlushPending(double to, double from, int at, int frames, const TickWalker& w) noexcept;
  void Send(uint32_t msg, int at) noexcept;
  void PlayEnvelope(const TickWalker& w, const CTrackVari* vari, double from, double to, int at,
                    int frames) noexcept;
  CMIDIQ out_;
  CMIDIQ stretch_;
  HeldNotes held_;
  CTickQueue pending_;
  std::array<const CGroove*, 16> grooveView_{};
  int grooveCount_ = 0;
  int32_t lastValue_ = -1;               // envelope tracks: the controller value last sent
  std::unique_ptr<CClipPlayer> player_;  // audio tracks
  // Audio tracks: the tick the last stretch played up to; a stretch that does
  // not begin there (a start, a wrap, a jump, an unmute) joins the clips that
  // sound at its start in their middle.
  double audioReached_ = -1.0;
  bool audioJoin_ = true;
  int audioBlock_ = 0;                     // the block size the outputs were sized for
  std::unique_ptr<CMIDIQ> insertScratch_;  // tracks with MIDI inserts

  friend class CTracks;
};

struct TimelineEvent {
  int32_t delta = 0;  // ticks after the previous event's start
  int32_t extra1 = 0;
  int32_t length = 0;
  int32_t vari = 0;
  int32_t extra2 = 0;
};

struct GhostEntry {
  enum Kind : int32_t { kMidi = 0, kEnvelope = 1, kAudio = 2 };
  Kind kind = kMidi;
  std::unique_ptr<CPart> part;
};

class CArr {
 public:
  std::string name = "Arrangement";
  int32_t activeTrack = 0;
  int32_t mode = 0;  // 0 none, 1 once, 2 repeated, 3 by its timeline
  int32_t mute = 0, solo = 0;
  int32_t left = 0, right = 7680, left2 = 0, right2 = 7680;
  int32_t loop = 1;
  double position = 0.0;
  int32_t variCount = 1;
  int32_t activeVari = 0;
  std::vector<TimelineEvent> timeline;
  std::vector<GhostEntry> ghosts;
  std::vector<std::unique_ptr<CTrack>> tracks;

  // Playing state (audio thread).
  bool playing = false;
  bool loopActive = false;
  bool driven = false;   // started by the performance timeline
  double stopAt = 0.0;   // driven: the position where its timeline event ends
  int32_t playVari = 0;  // the variation playing
  size_t cursor = 0;     // next timeline event
  double cursorTick = 0.0;
  int32_t cursorRepeat = 0;  // mode 2: events of the repeated arrangement passed
  double reached = 0.0;      // every tick before this was played
  TickWalker walker;         // tick of every sample of this arrangement's clock

  int Variations() const noexcept { return variCount; }
};

struct CPlaySub {
  int32_t q = 0, trig = 0, ex = 0, key = -1, key2 = -1, play = 0;
  int32_t trackIndex = -1;
  CTrack* track = nullptr;
};

struct CPlayItem {
  int32_t ui = 0, q = 0, loop = 0, trig = 0, ex = 0, key = -1, key2 = -1, play = 0;
  int32_t arrIndex = -1, vari = 0;
  CArr* arr = nullptr;
  std::vector<CPlaySub> subs;
  bool running = false;
};

struct CPlayGroup {
  std::string name;
  int32_t ui = 0, q = 0, trig = 0, ex = 0, key = -1, key2 = -1, play = 0;
  std::vector<CPlayItem> items;
  bool running = false;
};

// Pending starts of arrangements and live triggers, in time order.
class CArrQ {
 public:
  enum class Target : uint8_t { kArr, kGroup, kItem };
  struct Entry {
    Target kind = Target::kArr;
    void* target = nullptr;
    double time = 0.0;  // ticks from the current position
    double value = 0.0;
    int32_t number = 0;
    double span = 0.0;  // ticks an arrangement plays from `value`; 0 without end
  };
  // After every entry of equal or smaller time; a full queue drops the entry.
  bool Insert(const Entry& e) noexcept;
  void PopFront() noexcept;
  void Subtract(double ticks) noexcept;
  void Clear() noexcept { head_ = 0, count_ = 0; }
  int Count() const noexcept { return count_; }
  const Entry& Front() const noexcept { return e_[head_]; }
  const Entry& operator[](int i) const noexcept { return e_[Slot(i)]; }

 private:
  // A ring: a hostile song can keep the queue full and serve thousands of
  // entries a block, so taking the front must not move the other entries.
  static_assert((songlimits::kArrQueue & (songlimits::kArrQueue - 1)) == 0, "the ring wraps by masking");
  size_t Slot(int i) const noexcept { return (head_ + static_cast<size_t>(i)) & (songlimits::kArrQueue - 1); }
  std::array<Entry, songlimits::kArrQueue> e_{};
  size_t head_ = 0;
  int count_ = 0;
};

}  // namespace qr
