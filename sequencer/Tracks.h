#pragma once
// CTracks: the sequencer module. It owns the whole song (Song.h) and the
// modules its tracks play into, and once per block moves the song position,
// plays the parts due into the tracks' queues and runs those modules.
//
// Threads: Process runs on the audio thread and never allocates; Load, Save
// and every edit of the lists run on the user-interface thread while the
// module is kept out of processing (the loader's rebuild flag, or the busy
// byte around an edit).
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "graph/Container.h"
#include "graph/MidiQueue.h"
#include "sequencer/Metronome.h"
#include "sequencer/Song.h"

namespace qr {

class IWorkerPool;

struct AudioInStrip {
  int32_t channels = 0;
  float volume = 1.0f;
  int32_t mute = 0;
};

struct PoolSample {
  int32_t style = 0;
  std::string name;             // disk sample: the file (name alone when style is 1)
  std::vector<uint8_t> memory;  // memory sample: its nested block, kept whole
  bool inMemory = false;
  // What the clips play: opened from the file or read from the block when the
  // song loads; none when neither gives a sample.
  std::unique_ptr<CSample> sample;
};

// A module the tracks play into, with what the song stores beside it.
struct SongComp {
  std::unique_ptr<CComp> module;
  int32_t left = 0, top = 0, width = 0, height = 0;
  int32_t forward = 0;
  std::vector<StripOut> outs;
};

// Runs a comp on a worker core: the worker calls the comp's whole process
// there, so the audio thread only hands it over and mixes its result.
class CCoreJob final : public CComp {
 public:
  explicit CCoreJob(CContainer* parent) : CComp(parent) {}
  void Process(int) noexcept override { done[0] = 1; }
  void ProcessOnCore(int frames) noexcept override {
    if (target) target->Process(frames);
  }
  CComp* target = nullptr;
};

class CTracks final : public CPartComp {
 public:
  enum ArrMode : int32_t { kSingle = 0, kMulti = 1, kLive = 2 };
  static constexpr int kMaxStripSends = songlimits::kMaxSends;

  explicit CTracks(CContainer* parent);
  ~CTracks() override;

  // CComp
  std::string TypeKey() const override { return "CTracks"; }
  void Save(CStream& s) override;
  void Load(CStream& s, int flag) override;
  void Process(int frames) noexcept override;
  CMIDIQ* MidiOutput(int port, int frames) noexcept override;
  void ResetForBlock(int frames) noexcept override;
  void SetBlockSize(int frames) override;
  void SetSampleRate(float rate) override;
  void SetTempo(float bpm) override;
  void DirectMidiInput(uint32_t msg) override;
  void ReleaseNotes(NoteOffSink& sink) noexcept override;

  // ---- Transport (ui or audio: sets state served by the next block) ----
  void Start() noexcept;
  void Stop() noexcept;
  // The transport commands by their menu words; false for an unknown word.
  bool Command(std::string_view word) noexcept;
  bool Playing() const noexcept { return playing_; }
  double SongPosition() const noexcept { return songPos_; }
  int32_t BeatCounter() const noexcept { return beatCounter_; }
  void RequestResetAll() noexcept { resetAllRequest_.store(true); }
  void RequestSwitch() noexcept { switchRequest_.store(true); }
  // Offline render or freeze: the guard against a second call is skipped by
  // the render loop itself.
  bool rendering = false, freezing = false;

  // The active arrangement, or none.
  CArr* ActiveArr() const noexcept;
  // Where the active arrangement (or the performance) starts and ends playing:
  // what a render of the song covers.
  void RenderRange(double& from, double& to) const noexcept;
  // Goes to a tick position (transport stopped or playing).
  void Locate(double ticks) override;

  // ---- Editing (ui): each holds the module's busy byte, which the pull
  // skips the module for, while it changes the lists a block walks ----
  CArr& AddArr();
  CTrack& AddTrack(CArr& arr, TrackKind kind);
  // Removes a track: its held notes are released into the sequencer's own
  // output at the start of the next block.
  void DeleteTrack(CArr& arr, int index);
  CComp* AddComp(std::unique_ptr<CComp> module);
  CComp* AddSend(std::unique_ptr<CComp> module);
  // After a structural edit: the lists the block walks are rebuilt.
  void Rebuild();

  // ---- Song (stored) ----
  std::string sampleFolder, subFolder;
  std::array<int32_t, 4> editRect{0, 0, 800, 600};
  int32_t midiOutPorts = 1;
  int32_t midiThru = 1;
  int32_t clock = 0;
  float songTempo = 120.0f;
  int32_t tempoCC = -1, tempoCCMin = 80, tempoCCMax = 160;
  int32_t countIn = 4, recordStartMode = 1;
  std::array<int32_t, 2> timeSig{4, 4};
  std::vector<uint8_t> clickWav;  // the metronome's nested sample block, kept whole
  float clickVol = 1.0f;
  int32_t clickEnabled = 0, clickCoarse = 0;
  float xZoom = 64.0f;
  int32_t imouts = 1;
  std::vector<AudioInStrip> audioInStrips;
  std::vector<StripOut> audioOutStrips;
  std::vector<PoolSample> samplePool;
  std::vector<std::array<int32_t, 2>> ccMap;
  std::vector<SongComp> comps;
  std::vector<std::unique_ptr<CComp>> sends;
  std::vector<CableRef> compCables, compMidiCables, sendCables;
  int32_t arrMode = kSingle;
  int32_t multiLeft = 0, multiRight = 960, multiLoop = 1;
  int32_t songBeats = 1;
  int32_t activeArr = 0;
  std::vector<std::unique_ptr<CArr>> arrs;
  std::vector<CPlayGroup> playGroups;

  // The transport the modules inside the sequencer read.
  TransportInfo transport;

  // Counters of what the audio side did, for tests and the editor's idle pass.
  struct Stats {
    int64_t wraps = 0;
    int64_t served = 0;  // arrangement queue entries served
  } stats;
  CArrQ& Queue() noexcept { return queue_; }
  CMIDIQ& ThruQueue() noexcept { return thru_; }

  // ---- Live input: step recording, live triggers, the metronome ----
  // Live trigger modes of play groups, items and sub-items, as the editor
  // names them.
  enum TriggerMode : int32_t { kTrigger = 0, kToggle = 1, kHold = 2, kKnob = 3, kSlider = 4 };
  // (ui) Step recording into `part` (a CMIDIPart of the song), advancing by
  // *step_length ticks; a null part ends it.
  void StartStepRecord(void* part, int32_t* step_length) override;
  bool IsStepRecording() const override;
  // (ui) Moves the notes step recording captured into the target part.
  void MoveRecorded() override;
  void Idle() override;
  // Samples of count-in still to come before recording starts playback.
  int32_t CountInLeft() const noexcept { return countInLeft_; }
  CClicker clicker;

 private:
  // Loading.
  void ResetSong();
  void ResolveReferences();
  CComp* ResolveEnd(const std::string& list, int32_t index) const noexcept;
  void LinkCables();

  // Playback steps.
  void ServeRequests() noexcept;
  // Clock 1: the host's play state and position become the song's.
  void FollowHost() noexcept;
  void WalkInput(int frames) noexcept;
  bool TakeControl(const MidiEvent& e) noexcept;
  void ProcessStretch(int s, int m) noexcept;
  void Schedule(int s, int m) noexcept;
  void Render(int s, int m) noexcept;
  void RunModules(int s, int m) noexcept;
  void AdvanceTimelines(double until) noexcept;
  void ServeEntry(const CArrQ::Entry& e, int at) noexcept;
  void StartArr(CArr& arr, double position, int32_t vari, int at) noexcept;
  void StopArr(CArr& arr, int at) noexcept;
  void Restart() noexcept;
  void ResetAllTracks(int at) noexcept;
  void SetSongTempo(float bpm) noexcept;
  bool Performance() const noexcept { return performance_ && playing_; }
  double TicksPerSample() const noexcept { return 16.0 * tempo / sampleRate; }
  // Whether a track is heard, given whether any arrangement and any track of
  // its arrangement is soloed.
  bool Sounding(const CArr& arr, const CTrack& t, const CTrackVari* v, bool arr_solo,
                bool track_solo) const noexcept;

  // Run-time state (audio thread).
  bool playing_ = false;
  bool performance_ = false;
  bool loopActive_ = false;
  bool recordArmed_ = false;
  double songPos_ = 0.0;
  int64_t samplePos_ = 0;
  int32_t beatCounter_ = 0;
  int32_t countInLeft_ = 0;
  TickWalker perfWalker_;  // the performance's clock in Multi and Live mode
  std::atomic<bool> resetAllRequest_{false};
  std::atomic<bool> switchRequest_{false};
  std::atomic<bool> startRequest_{false};
  std::atomic<bool> stopRequest_{false};
  std::atomic<bool> recordRequest_{false};
  CMIDIQ incoming_;
  CMIDIQ thru_;
  CMIDIQ direct_;
  CMIDIQ orphanOffs_;  // releases of deleted tracks
  // One block per port queue: together inline they took the module past the
  // size allocators recycle, and every song was mapped fresh from the system.
  std::array<std::unique_ptr<CMIDIQ>, 16> out_;
  CArrQ queue_;
  bool processed_ = false;
  float takenTempo_ = 0.0f;  // a tempo the last control event asked for

  // The flat lists one block walks, rebuilt after structural edits.
  std::vector<CTrack*> allTracks_;
  std::vector<CComp*> phase1_, phase2_;
  std::vector<std::unique_ptr<CCoreJob>> jobs_;
  std::vector<CComp*> jobList_;
  IWorkerPool* workers_ = nullptr;

  // Live input (LiveInput.cpp).
  bool TakeStep(uint32_t msg) noexcept;
  bool TakeTrigger(uint32_t msg) noexcept;
  // Ticks from now to where a trigger quantised to `q` beats takes effect.
  double QuantisedDelay(int32_t q) const noexcept;
  void QueueItem(CPlayItem& item, double at) noexcept;
  // The metronome's share of a stretch: clicks while the song plays or counts in.
  void RenderClick(int s, int m) noexcept;
  void PhaseClick() noexcept;
  struct StepNote {
    int32_t tick;
    uint32_t msg;
  };
  static constexpr int kStepCapacity = 256;  // notes step-recorded between two idle passes
  CMIDIPart* stepTarget_ = nullptr;
  int32_t* stepLength_ = nullptr;
  std::atomic<bool> stepRecording_{false};
  int32_t stepHeld_ = 0;
  std::array<StepNote, kStepCapacity> stepNotes_{};
  int stepCount_ = 0;
  std::atomic<bool> haveSteps_{false};

  std::vector<CSample*> poolView_;  // the pool's samples by index, for the tracks
  std::vector<CTrack*> audioTracks_;
  // Opens what the pool's records name.
  void ResolvePool();
  // (ui) Gives a strip's insert modules the song's rate, block size and tempo.
  void SetUpStrip(StripOut& o);
  // (audio) Runs a strip's inserts over `m` samples of its output channels.
  void RunStripInserts(StripOut& o, float* const* ch, int channels, int m) noexcept;
  // (audio) Feeds send `k` for `m` samples from every strip's send level and
  // its own cables, then runs it.
  void RunSend(size_t k, int m) noexcept;
  // (audio) Adds a monitored audio track's input into its output.
  void MonitorInput(CTrack& t, int s, int m) noexcept;
  // (audio) The comps and the sends of a stretch, mixed into `songOut`.
  void RunPhases(int s, int m, float* const* songOut) noexcept;
  // (audio) The song's own output strips over the mixed stretch.
  void SongStrips(int s, int m) noexcept;
};

}  // namespace qr
