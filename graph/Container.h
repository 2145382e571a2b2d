#pragma once
// Modules that hold other modules: CContainer, the part-holding CPartComp, the
// root CGroup, the master input CMasterIn and the CUnknown placeholder.
#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "graph/Actions.h"
#include "graph/Comp.h"

namespace qr {

class CContainer : public CComp {
 public:
  explicit CContainer(CContainer* parent) : CComp(parent) {}

  // Container slots, after the 49 of CComp. Hooks in the base.
  virtual void ChildChanged(CComp* child);
  virtual void ChildRemoved(CComp* child);
  virtual void ClearChildren();
  virtual int ChildCount() const;
  virtual void ReplaceModule(CComp* old_module, std::unique_ptr<CComp> new_module);
  virtual void SelectModule(CComp* module);
  virtual void RecomputeDelayCompensation();

  uint8_t anySolo = 0;
  uint8_t modified = 0;
  Callback<void()> changeCallback;
  uint8_t state1 = 0, state2 = 0;
  int32_t extra1 = 0, extra2 = 0, last = 0;
};

class CMIDIPart;  // a part of a part-holding module

// The part interface that the sequencer and the editors call on part-holding
// modules (sequencer, MIDI part, audio part). Empty in the base.
class CPartComp : public CContainer {
 public:
  explicit CPartComp(CContainer* parent) : CContainer(parent) {}

  virtual int PartCount() const;
  virtual std::string PartName(int index) const;
  virtual void* AddPart();
  virtual void DeletePart(void* part);
  virtual void* PartAt(int index) const;
  virtual void StartStepRecord(void* part, int32_t* step_length);
  virtual bool IsStepRecording() const;
  virtual void PlayPart(void* part);
  virtual void RecordPart(void* part);
  virtual void StopPart(void* part);
  virtual bool IsPlaying(void* part) const;
  virtual void SelectPart(void* part);
  virtual void UndoPart(void* part);
  virtual void SetPartTempo(float bpm);
  virtual void PartMidiInput(uint32_t msg);
  virtual CMIDIQ* ProcessMidiBlock(int frames, int port) noexcept;
  virtual void MoveRecorded();
  virtual void StopAll();
  virtual void PartChanged(void* part);
  virtual int32_t PartLength(void* part) const;
  virtual void SetPartLength(void* part, int32_t ticks);
  virtual void* CopyPart(void* part);
  virtual void PastePart(void* part);
  virtual bool SavePart(void* part, CStream& s);
  virtual bool LoadPart(void* part, CStream& s);
  virtual void Locate(double ticks);
  virtual void ReleaseHeld() noexcept;
  virtual void SetPartKey(void* part, int32_t key);

  uint8_t partFlag = 0;
};

// The transport of a module's parent: whether it plays and where it stands in
// the beat. The root group provides it now; the sequencer later.
struct TransportInfo {
  bool playing = false;
  double songTicks = 0.0;  // position in ticks (960 per beat)
  bool loop = false;
  double loopStart = 0.0, loopEnd = 0.0;
  double hostSamplePos = 0.0;  // the host's sample position of this block
  bool changed = false;        // playing state changed; the sequencer clears it
};

class CMasterIn;
class IWorkerPool;

// A float buffer player, enough for the click: restarted on each beat, mixed in
// until it runs out.
class CSamplePlayer {
 public:
  void SetData(std::vector<float> left, std::vector<float> right);
  void Restart() noexcept { pos_ = 0; }
  void Stop() noexcept { pos_ = Length(); }
  int Length() const noexcept { return static_cast<int>(left_.size()); }
  int Remaining() const noexcept { return Length() - pos_; }
  // Adds up to `frames` samples at gain into two channels; returns the count played.
  int MixInto(float* l, float* r, int frames, float gain) noexcept;

 private:
  std::vector<float> left_, right_;
  int pos_ = 0;
};

class CGroup : public CContainer {
 public:
  enum RecorderState : int32_t { kIdle = 0, kPaused = 1, kPlaying = 2, kArmed = 3, kRecording = 4 };

  explicit CGroup(CContainer* parent);
  ~CGroup() override;

  // CComp
  void Process(int frames) noexcept override;
  CComp* AddChild(std::unique_ptr<CComp> module) override;
  // On failure every child is back at the old size and the error is thrown on.
  void SetBlockSize(int frames) override;
  // The drivers' door to SetBlockSize: a size that cannot be had shows
  // "setFrames error:" with the reason and leaves the whole graph at its old
  // size. False then.
  bool SetFrames(int frames) noexcept;
  void SetSampleRate(float rate) override;
  void SetTempo(float bpm) override;
  void Idle() override;
  std::string TypeKey() const override { return "CGroup"; }
  void Save(CStream& s) override;
  void Load(CStream& s, int flag) override;
  void UpdateSoloState() override;
  void ShowEditor(void* parent_window) override;
  // After a project load: the loaded paths get their delay compensation.
  void Finish() override;
  // CContainer
  int ChildCount() const override { return static_cast<int>(children.size()); }
  void ClearChildren() override;
  void ReplaceModule(CComp* old_module, std::unique_ptr<CComp> new_module) override;
  void SelectModule(CComp* module) override;
  void RecomputeDelayCompensation() override;
  // (ui, processing held off) A child is about to leave, its cables still in
  // place: the notes it holds end at the start of the next block in every
  // module its MIDI cables lead to, and nothing waits for it any more.
  void ChildRemoved(CComp* child) override;
  // (audio) From a module's gather: the note-offs addressed to it.
  void DeliverFarewell(CComp& dest) noexcept;
  int PendingFarewells() const noexcept { return static_cast<int>(farewell_.size()); }

  // Destroys every child and cable, stops the click, clears the modified flag.
  void Clear();
  // Finds a module by its number: 0 is the group, 1.. its children in list order.
  CComp* ModuleByNumber(int number) noexcept;
  int NumberOf(const CComp* module) const noexcept;
  // 0 "-6dB", 1 "-3dB", 2 "-0dB": updates the output ports of every module.
  void SetPanLaw(int32_t law);
  int32_t PanLaw() const noexcept { return panLaw_; }
  float PanLawFactor() const noexcept;
  // Destroys modules that were replaced or deleted (outside the audio block).
  void ReleasePending();
  // Runs the post-process step of delay compensation for one module.
  void DelayCompensate(CComp& module, int frames) noexcept;
  // The click sample; the file loader arrives with the sample store.
  void SetClickSample(std::vector<float> left, std::vector<float> right) {
    click_.SetData(std::move(left), std::move(right));
  }
  // Recorder capacity in frames, allocated here, never during a block.
  void SetRecorderCapacity(int frames);
  const std::vector<float>& RecordedLeft() const { return recL_; }
  const std::vector<float>& RecordedRight() const { return recR_; }
  int RecordedFrames() const { return recFrames_; }

  CActions& Actions() noexcept { return actions; }
  const TransportInfo& Transport() const noexcept { return transport; }

  std::vector<std::unique_ptr<CComp>> children;
  int32_t recorderState = kIdle;
  int32_t recorderPos = 0;
  uint8_t groupDone = 0;
  uint8_t loading = 0;
  CMasterIn* masterIn = nullptr;
  uint8_t recorderRefresh = 0;
  int32_t clickState = 0;  // 0 off, 1 running, 4 restart at the next block
  float pendingTempo = 120.0f;
  std::string clickFile;
  float clickVolume = 1.0f;
  double clickTicks = 0.0;
  int32_t compensation = 1;  // "PDC": delay compensation switch
  int32_t largestLatency = 0;
  uint8_t selectionChanged = 0;
  CActions actions;
  Callback<void(const MidiEvent&)> midiHook;  // the sequencer's recording path
  Callback<void(int32_t)> latencyChanged;     // tells the host about initialDelay
  void* plugin = nullptr;
  IWorkerPool* workers = nullptr;  // the plug-in's cores, for modules that run others
  std::string projectFile;
  TransportInfo transport;
  // Master clear: set while a project is cleared or loaded; processing is silent.
  std::atomic<bool> rebuild{false};

 private:
  void RunClick(int frames) noexcept;
  void RunRecorder(int frames) noexcept;
  int32_t PathLatency(const CAudioCable& cable, std::unordered_map<const CAudioOut*, int32_t>& memo,
                      int depth) const;
  int32_t panLaw_ = 0;
  CSamplePlayer click_;
  std::vector<float> recL_, recR_;
  int32_t recFrames_ = 0;
  std::vector<std::unique_ptr<CComp>> pendingRelease_;
  // Note-offs of departed children and the module each goes to. Filled on the
  // user-interface side while processing is held off, read and emptied by the
  // next block; never grown on the audio thread.
  struct Farewell {
    CComp* dest;
    uint32_t msg;
  };
  std::vector<Farewell> farewell_;
  void ForgetFarewellsTo(const CComp& gone) noexcept;
};

class CMasterIn final : public CComp {
 public:
  explicit CMasterIn(CContainer* parent);
  CMIDIQ* MidiOutput(int port, int frames) noexcept override;
  std::string TypeKey() const override { return "CMidiIn"; }
  void Save(CStream& s) override;
  void Load(CStream& s, int flag) override;
  void ResetForBlock(int frames) noexcept override;

  // Clears the merged queue and the per-port queues before the host's MIDI is routed.
  void ClearQueues() noexcept;
  CMIDIQ& Merged() noexcept { return midiQueue; }
  CMIDIQ& PortQueue(int port) noexcept { return *ports_[static_cast<size_t>(port)]; }
  CMIDIQ& Injection() noexcept { return inject_; }

  int32_t midiOutPorts = 1;  // 1: one merged output; otherwise one output per port
  Callback<void()> ioChanged;

 private:
  // One allocation per queue: held inline they made the master input a single
  // block of 150 KB, which the allocator maps fresh from the system (and the
  // first block then faults in) at every project load.
  std::array<std::unique_ptr<CMIDIQ>, limits::kMidiPorts> ports_;
  CMIDIQ inject_;
};

class CUnknown final : public CComp {
 public:
  explicit CUnknown(CContainer* parent) : CComp(parent) {}
  std::string TypeKey() const override { return "CComp"; }
  // Keeps Id (marked unknown), X and Y and skips the rest of its block.
  void Load(CStream& s, int flag) override;
};

}  // namespace qr
