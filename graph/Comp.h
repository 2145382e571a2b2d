#pragma once
// CComp: the base of every node of the module graph.
//
// Containers, the processing cycle, the project files and the user interface
// reach any module through the virtual operations below, declared in their
// fixed slot order. Operations marked (audio) run on the audio thread and must
// not allocate, lock or wait; (ui) ones run on the user-interface thread.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "graph/Attribs.h"
#include "graph/Callback.h"
#include "graph/Limits.h"
#include "graph/MidiQueue.h"
#include "graph/Ports.h"

namespace qr {

class CContainer;
class CGroup;
class CStream;
struct ControlDesc;
class CEditorWin;  // a module's editor window; the user interface defines it

// Post-process hook: (module, frames), installed by the root for delay compensation.
using PostProcessHook = Callback<void(CComp&, int)>;

// Takes the note-offs a module hands over as it leaves the graph: the MIDI
// output port they would have left by (-1: every port) and the message.
class NoteOffSink {
 public:
  virtual void NoteOff(int port, uint32_t msg) noexcept = 0;

 protected:
  ~NoteOffSink() = default;
};

class CComp {
 public:
  // Slot 1.
  explicit CComp(CContainer* parent);
  CComp(const CComp&) = delete;
  CComp& operator=(const CComp&) = delete;
  virtual ~CComp();

  // 2 (audio). Clears the done flags and the on-a-worker flag, takes the core
  // index for the block and marks every output port fresh.
  virtual void ResetForBlock(int frames) noexcept;
  // 3 (audio). The queue this module produces on a MIDI output port this block,
  // produced on demand; none from modules that make no MIDI.
  virtual CMIDIQ* MidiOutput(int port, int frames) noexcept;
  // 4-6 (ui). Editor window.
  virtual void ShowEditor(void* parent_window);
  virtual bool EditorOpen() const;
  virtual void EditorRect(int& left, int& top, int& width, int& height) const;
  // 7 (audio). Produce this block's audio and MIDI.
  virtual void Process(int frames) noexcept;
  // 8. Called on a worker core's thread for modules assigned to it.
  virtual void ProcessOnCore(int frames) noexcept;
  // 9. A hosted plug-in's dispatcher pass-through.
  virtual intptr_t PluginDispatch(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt,
                                  int32_t a6, int32_t a7);
  // 10-11 (ui). Channel buffers.
  virtual void AllocBuffers();
  virtual void FreeBuffers();
  // 12-13 (ui). Port names.
  virtual std::string InputName(int index) const;
  virtual std::string OutputName(int index) const;
  // 14 (ui). Containers take ownership; the base drops the module.
  virtual CComp* AddChild(std::unique_ptr<CComp> module);
  // 15-16 (ui). Cables into this module.
  virtual CAudioCable* ConnectAudio(CComp* source, int dest_in, int source_out);
  virtual void DisconnectAudio(CAudioCable* cable);
  // 17-19 (ui).
  virtual void SetBlockSize(int frames);
  virtual void SetSampleRate(float rate);
  virtual void SetTempo(float bpm);
  // 20 (ui).
  virtual void Idle();
  // 21 (ui).
  virtual void DrawBox(void* canvas, int x, int y);
  // 22. The key that names this module's class in stored data.
  virtual std::string TypeKey() const;
  // 23. Writes the base records; subclasses write theirs after calling it. The
  // caller appends "CEnd".
  virtual void Save(CStream& s);
  // 24. Reads records up to "CEnd"; the base skips everything.
  virtual void Load(CStream& s, int flag);
  // 25. A second load form (the groove reads its records here).
  virtual void LoadSecond(CStream& s);
  // 26. Tells the parent and marks the project modified.
  virtual void Changed();
  // 27. Called on both ends whenever a cable is added or removed.
  virtual void ConnectionsChanged();
  // 28. Song position moved (sequencer).
  virtual void SongPositionChanged();
  // 29. The part under edit, for modules that hold parts.
  virtual void* EditedPart();
  // 30. Lets a module store settings into attributes before they are written.
  virtual void PrepareForSave();
  // 31. Transport started or stopped (sequencer).
  virtual void TransportChanged();
  // 32.
  virtual void Notify(int32_t bits);
  // 33.
  virtual int32_t QueryState();
  // 34. Called after the module was marked modified.
  virtual void Modified();
  // 35.
  virtual void Refresh();
  // 36.
  virtual void MarkModified();
  // 37-41. Sampler and hosted plug-in hooks; the last stores the Enabled value.
  virtual void ProgramChanged(int32_t program);
  virtual void PresetLoaded();
  virtual void BankChanged();
  virtual void ParameterChanged(int32_t index, float value);
  virtual void SetEnabled(int32_t enabled);
  // 42-43. Sequencer, MIDI part, master input and group hooks.
  virtual void DirectMidiInput(uint32_t msg);
  virtual void Finish();
  // 44. A group notes whether any child's output port is soloed.
  virtual void UpdateSoloState();
  // 45.
  virtual int32_t PendingWork();
  // 46.
  virtual std::string ItemName(int index) const;
  // 47.
  virtual bool CanDelete();
  // 48. Receives the largest path latency from delay compensation.
  virtual void SetCompensation(int32_t samples, bool flag);
  // 49. The module's own processing delay in samples.
  virtual int32_t Latency() const;
  // The controls the module offers the user (graph/Controls.h), after the fixed
  // slots. Each module's table lives in a file of its own beside the module.
  virtual std::span<const ControlDesc> Controls() const;
  // (ui, processing held off) Hands `sink` one note-off for every note the
  // module still holds and forgets them. Its container calls this before the
  // module is unplugged, so whatever its MIDI cables lead to hears the notes
  // end. Modules that send no notes keep the empty base.
  virtual void ReleaseNotes(NoteOffSink& sink) noexcept;

  // ---- Non-virtual operations ----

  // Connects a MIDI cable from `source`'s port into this module's port; a second
  // identical connect removes the cable.
  void ConnectMidi(CComp* source, int source_port, int dest_port);
  void DisconnectMidi(CMidiCable* cable);
  // Adds an output port; fails with "no more buffers" past 64 channels.
  CAudioOut* AddAudioOut(int channels);
  CAudioIn* AddAudioIn(int channels);
  void RemoveAllPorts();

  // (audio) The steps every audio producer runs. Begin returns false when the
  // module is already done for this block.
  bool BeginProcess(int frames, bool gather_midi) noexcept;
  void EndProcess(int frames) noexcept;
  void GatherMidi(int frames) noexcept;
  void PullAudio(int frames, int offset = 0) noexcept;
  void ZeroInputs(int frames, int offset = 0) noexcept;
  void ZeroOutputs(int frames, int offset = 0) noexcept;
  void PassThrough(int frames) noexcept;  // first input port to first output port
  void RunInserts(int frames) noexcept;
  void ApplyVolumePan(int frames) noexcept;

  int TotalInputChannels() const noexcept;
  int TotalOutputChannels() const noexcept;
  CGroup* Root() noexcept;
  // Finds the module's nearest enclosing root group and hands it an action.
  bool PostAction(intptr_t value, intptr_t value2, Callback<void(intptr_t, intptr_t)> action,
                  Callback<void(intptr_t, intptr_t)> completion = {});

  bool Done() const noexcept { return done[0] != 0; }
  // Worker completion (done[1]): set by a worker core after its pass over this
  // module, polled by the audio thread. Atomic because two threads meet here.
  void SetWorkerFinished() noexcept;
  void ClearWorkerFinished() noexcept;
  bool WorkerFinished() const noexcept;
  // (audio) Spins until a module handed to a worker this block is finished.
  void WaitForWorker() const noexcept;
  bool HasBuffers() const noexcept { return buffersAllocated != 0 && blockSize > 0; }

  // ---- Shared state ----
  uint8_t onWorker = 0;
  uint8_t soloExempt = 0;  // the mute flag alone decides, whatever is soloed
  uint8_t bypassWhenDisabled = 0;
  uint8_t isGroup = 0;  // set by CGroup: lets Root() answer without a dynamic cast  // hosted plug-ins: a
                        // disabled one passes its input through
  int32_t coreIndex = 0;
  int32_t blockCore = 0;
  CAttribs attribs;
  std::string id;
  CContainer* parent = nullptr;
  int32_t index = -1;
  uint8_t visible = 1;
  int32_t enabled = 1;
  float scale = 1.0f;
  uint8_t busy = 0;
  // The busy byte is taken in one atomic step by whoever runs the module's work
  // (the pull, a worker core, a sequencer phase) and by an edit's BusyLock, so
  // the two can never both hold it; the audio side never waits for it.
  bool TryTakeBusy() noexcept {
    return std::atomic_ref<uint8_t>(busy).exchange(1, std::memory_order_acquire) == 0;
  }
  void ReleaseBusy() noexcept { std::atomic_ref<uint8_t>(busy).store(0, std::memory_order_release); }
  int32_t x = 0, y = 0;
  int32_t boxWidth = 26, boxHeight = 20;
  int32_t editLeft = 200, editTop = 200, editWidth = 0, editHeight = 0;
  int32_t blockSize = 0;
  float sampleRate = 44100.0f;
  float tempo = 120.0f;
  std::vector<std::unique_ptr<CMidiCable>> midiIn;  // owned here; the source lists them too
  std::vector<CMidiCable*> midiOut;
  CMIDIQ midiQueue;
  std::vector<std::unique_ptr<CAudioOut>> audioOuts;
  std::vector<CAudioCable*> audioOutCables;
  std::array<float*, limits::kMaxChannels> outCh{};
  std::vector<std::unique_ptr<CAudioIn>> audioIns;
  std::vector<std::unique_ptr<CAudioCable>> audioInCables;  // owned by the destination
  std::array<float*, limits::kMaxChannels> inCh{};
  std::array<uint8_t, 4> done{};
  PostProcessHook postProcess;
  uint8_t audioInEnabled = 1;
  uint8_t midiInEnabled = 1;
  uint8_t sendMidiToInserts = 0;
  int32_t notifyBits = 0;
  uint8_t buffersAllocated = 0;
  int32_t* midiLearnTarget = nullptr;
  int32_t fromParent = 0;
  int32_t selected = 0;  // set by the group's select operation
  // Note-offs of a module deleted or replaced upstream wait in the root group
  // for this module's next gather (CGroup::ChildRemoved).
  uint8_t farewellDue = 0;
  std::vector<std::unique_ptr<CComp>> ownedObjects;
  // Editor window placement that travels with the project: whether the module has
  // an editor window, the page it is docked on and whether it is maximised.
  uint8_t hasEditorWindow = 0;
  uint8_t editorMaximized = 0;
  int32_t dockPage = 0;

 protected:
  // Reads the base keys ("Id", "X", "Y", "Enabled", and "CData" when
  // `read_attributes`); true when the key was one of them.
  bool LoadBaseRecord(CStream& s, const std::string& key, int32_t size, bool read_attributes);
  // A load loop that reads only the base records, for modules without own records.
  void LoadBaseOnly(CStream& s, bool read_attributes);

 private:
  void AllocChannels(std::vector<float>* store, std::array<float*, limits::kMaxChannels>& ptrs, int first,
                     int count);
  void SplitVolumePan(CAudioOut& port, int from, int to, bool sounds) noexcept;
  void ApplyPortController(const MidiEvent& e) noexcept;
  std::array<std::vector<float>, limits::kMaxChannels> outStore_;
  std::array<std::vector<float>, limits::kMaxChannels> inStore_;
};

// Channel mixing shared by every module: adds (or copies) a source of one or two
// channels into a destination of one or two channels with a gain. Mono into
// stereo puts half into each side; stereo into mono takes half the sum.
void MixChannels(float* const* dst, int dst_channels, const float* const* src, int src_channels, float gain,
                 int frames) noexcept;
void CopyChannels(float* const* dst, int dst_channels, const float* const* src, int src_channels, float gain,
                  int frames) noexcept;

}  // namespace qr
