#pragma once
// CMIDIPart2: the MIDI part module. It holds a set of live parts and plays them
// on demand: incoming notes or controllers start and stop parts, each playing
// part loops between its own loop points in one of 32 play slots, and the
// events of every playing part go to one of 16 MIDI output queues. It also
// records its input into a part (live or step by step) and can pass its input
// straight through ("Thru").
//
// Threads: the block runs on the audio thread and never allocates; editing,
// undo and the move of recorded events run on the user-interface thread. The
// busy lock is the only hand-over: the audio side tests it and skips the block
// when it is held, the user-interface side spins until it is free.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "graph/BusyFlag.h"
#include "graph/Container.h"
#include "graph/EventRoom.h"
#include "graph/HeldNotes.h"
#include "graph/TickWalker.h"
#include "midipart/MidiPart.h"

namespace qr {

// Events of one play slot that are not due yet (note-offs, events beyond the
// stretch), kept in time order in a fixed array.
class CPendingQueue {
 public:
  static constexpr int kCapacity = limits::kQueueEvents;
  struct Entry {
    double ticks;  // on the slot's walker
    uint32_t msg;
  };

  // After every entry of lower or equal time; a full queue drops the entry.
  bool Insert(double ticks, uint32_t msg) noexcept;
  void Clear() noexcept { count_ = 0; }
  int Count() const noexcept { return count_; }
  Entry& operator[](int i) noexcept { return e_[static_cast<size_t>(i)]; }
  const Entry& operator[](int i) const noexcept { return e_[static_cast<size_t>(i)]; }
  // Drops the first n entries.
  void Consume(int n) noexcept;
  // Keeps only the entries for which keep(msg) holds.
  template <typename F>
  void Filter(F keep) noexcept {
    int o = 0;
    for (int i = 0; i < count_; ++i)
      if (keep(e_[static_cast<size_t>(i)].msg)) e_[static_cast<size_t>(o++)] = e_[static_cast<size_t>(i)];
    count_ = o;
  }

 private:
  HeapRoom<Entry, kCapacity> e_;
  int count_ = 0;
};

// One playing instance of a part.
struct PlaySlot {
  enum State : int32_t { kFree = 0, kPlaying = 1, kStopRequested = 2, kStoppingAtLoopEnd = 32 };

  uint8_t preRoll = 0;  // a synced start running silently up to its first loop wrap
  int32_t state = kFree;
  int32_t startKey = 0;
  CLiveMIDIPart* part = nullptr;
  // The part's tick t of the current lap stands at walker tick t + lapOffset.
  // The walker is anchored on the sample the slot started on and laps are
  // added, never wrapped, so where blocks end moves no event.
  TickWalker walker;
  double lapOffset = 0.0;
  int64_t loopLeft = 0, loopRight = 0;
  uint8_t looping = 0;
  int32_t port = 0, channel = -1;
  CPendingQueue pending;
  // The slot keeps its own place in the events (instead of the events' work
  // fields), so several slots can play one part at once.
  size_t current = 0;                 // index of the next event to play
  int64_t nextTime = 0;               // its absolute time (the base plus its work value)
  CLiveMIDIPart* nextPart = nullptr;  // takes over when this slot stops (mute groups)
  int32_t from = 0;                   // sample of the block from which the slot is still to render
  uint8_t stopRequest = 0;            // a stop asked for while already stopping at the loop end
};

class CMIDIPart2 : public CPartComp, public IMidiPartOwner {
 public:
  static constexpr int kSlots = 32;
  static constexpr int kPorts = 16;
  static constexpr int kRecordCapacity = limits::kQueueEvents;
  static constexpr int32_t kDefaultStepLength = 240;

  explicit CMIDIPart2(CContainer* parent);
  ~CMIDIPart2() override;

  // CComp
  CMIDIQ* MidiOutput(int port, int frames) noexcept override;
  void Process(int frames) noexcept override;
  void SetTempo(float bpm) override;
  void Idle() override;
  std::string TypeKey() const override { return "CMPart"; }
  std::span<const ControlDesc> Controls() const override;  // MidiPart2Controls.cpp
  void Save(CStream& s) override;
  void Load(CStream& s, int flag) override;
  void* EditedPart() override { return selected_; }
  void DirectMidiInput(uint32_t msg) override;
  void ReleaseNotes(NoteOffSink& sink) noexcept override;

  // CPartComp (parts are CLiveMIDIPart objects behind the void pointers)
  int PartCount() const override { return static_cast<int>(parts_.size()); }
  std::string PartName(int index) const override;
  void* AddPart() override;
  void DeletePart(void* part) override;
  void* PartAt(int index) const override { return Part(index); }
  void StartStepRecord(void* part, int32_t* step_length) override;
  bool IsStepRecording() const override { return recordTarget_ && stepRecording_; }
  void PlayPart(void* part) override;
  void RecordPart(void* part) override;
  void StopPart(void* part) override;
  bool IsPlaying(void* part) const override;
  void SelectPart(void* part) override;
  void UndoPart(void* part) override;
  void SetPartTempo(float bpm) override { SetTempo(bpm); }
  void PartMidiInput(uint32_t msg) override { DirectMidiInput(msg); }
  CMIDIQ* ProcessMidiBlock(int frames, int port) noexcept override;
  void MoveRecorded() override;
  void PartChanged(void* part) override;

  // IMidiPartOwner
  void LockEvents() override;
  void UnlockEvents() override;
  void EventsChanged(CMIDIPart& part) override;

  CLiveMIDIPart* Part(int index) const noexcept;
  const PlaySlot& Slot(int i) const noexcept { return (*slots_)[static_cast<size_t>(i)]; }
  bool LiveRecording() const noexcept { return liveRecording_; }
  CLiveMIDIPart* RecordTarget() const noexcept { return recordTarget_; }
  uint8_t HeldCount(int channel, int key) const noexcept { return heldThru_.Count(channel, key); }

  int32_t ports = 1;     // "MPartPorts"
  int32_t thru = 0;      // "MThru"
  int32_t thruPort = 0;  // taken from the part the editor selects
  int32_t thruChannel = -1;
  // Sees every input event first while the editor has it installed.
  Callback<void(const MidiEvent&)> recordHook;
  // The parent's transport (playing flag, position). Found in the enclosing
  // group at construction; a sequencer that owns the module sets its own.
  const TransportInfo* transport = nullptr;
  std::atomic<bool> editorRefresh{false};

 private:
  struct Recorded {
    double time;  // ticks in the part
    uint32_t msg;
    uint8_t step;  // captured by step recording
  };

  void RunBlock(int frames) noexcept;
  void ServeSlotRequests() noexcept;
  void ServePartRequests() noexcept;
  void ReleaseHeldThru() noexcept;
  void TakeInput(const MidiEvent& e, int offset) noexcept;
  void HandleNoteOn(int key, int offset) noexcept;
  void HandleNoteOff(int key, int offset) noexcept;
  void HandleController(int number, int value, int offset) noexcept;
  void Thru(uint32_t msg, int offset) noexcept;
  void RecordLive(uint32_t msg, int offset) noexcept;
  void RecordStep(uint32_t msg) noexcept;

  PlaySlot* Start(CLiveMIDIPart& part, int offset, bool with_group) noexcept;
  void ToggleStart(CLiveMIDIPart& part, int32_t request) noexcept;
  void Stop(PlaySlot& slot, int offset) noexcept;
  void StopOne(PlaySlot& slot, int offset) noexcept;
  void RenderTo(int until) noexcept;
  void RenderSlot(PlaySlot& slot, int s, int n) noexcept;
  void SendDue(PlaySlot& slot, int s, int end) noexcept;
  void SeekSlot(PlaySlot& slot) noexcept;
  // Publishes which parts play, for queries from the user-interface side.
  void PublishPlaying() noexcept;
  void SendNoteOffs(PlaySlot& slot, int offset) noexcept;
  void Emit(int port, int channel, uint32_t msg, int offset) noexcept;
  bool Active(const CLiveMIDIPart& part) const noexcept;

  double TicksOf(double samples) const noexcept;
  int32_t StepLength() const noexcept { return stepLength_ ? *stepLength_ : kDefaultStepLength; }
  void ForgetPart(const CLiveMIDIPart* p) noexcept;  // under the lock
  void InsertRecorded(CMIDIPart& target, const Recorded& r);

  std::vector<std::unique_ptr<CLiveMIDIPart>> parts_;
  // One block per queue, so the module stays small enough to be recycled.
  std::array<std::unique_ptr<CMIDIQ>, kPorts> out_;
  CMIDIQ direct_;       // events handed in by the host side, played at time 0
  HeldNotes heldThru_;  // notes passed through, released when the thru part changes
  float tempoInUse_ = 120.0f;
  float pendingTempo_ = 120.0f;
  CBusyFlag busy_;
  std::unique_ptr<std::array<PlaySlot, kSlots>> slots_;

  CLiveMIDIPart* selected_ = nullptr;
  uint8_t selectPending_ = 0;
  int32_t nextThruPort_ = 0, nextThruChannel_ = -1;

  CLiveMIDIPart* recordTarget_ = nullptr;
  PlaySlot* recordSlot_ = nullptr;
  int32_t* stepLength_ = nullptr;
  bool liveRecording_ = false;
  bool stepRecording_ = false;
  int32_t stepHeld_ = 0;
  EventRoom<Recorded, kRecordCapacity> recorded_;
  int recordedCount_ = 0;
  // Told to the idle pass without the lock: only with something to move does it
  // take the lock, so an idle editor never costs the audio side a block.
  std::atomic<bool> haveRecorded_{false};
  // The parts playing as of the last block or edit, one entry per slot; read
  // by IsPlaying without the lock.
  std::array<std::atomic<const CLiveMIDIPart*>, kSlots> playing_{};
  // Input that arrived while an edit held the lock, played at the next block's start.
  CMIDIQ deferred_;

  // Note-offs of slots whose part was deleted, sent at the start of the next block.
  CMIDIQ orphanOffs_;
  int blockFrames_ = 0;
  bool rateOk_ = false;  // tempo and sample rate fit for tick conversion this block
};

}  // namespace qr
