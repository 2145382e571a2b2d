#pragma once
// CVST: a VST 2 plug-in library loaded as a module. It offers the plug-in our
// host callback, feeds it the graph's audio and MIDI each block, passes on the
// MIDI it sends, and keeps its state inside our project as an embedded bank.
//
// Threads: Process() and the host callback's time requests run on the audio
// thread; loading, programs, banks and files on the user-interface thread.
// Structural changes (ports) take the module's busy byte so a block never sees
// them half done.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "graph/Comp.h"
#include "graph/HeldNotes.h"
#include "platform/DynLib.h"
#include "platform/Vst2.h"
#include "vsthost/FxFile.h"

namespace qr {

struct TransportInfo;

class CVST final : public CComp {
 public:
  static constexpr int kMaxEvents = 1024;  // events handed to the plug-in per piece
  // Pins a plug-in may have. Those past a module's channels are run into
  // spare buffers: silence in, output dropped.
  static constexpr int kMaxPins = 256;

  struct CCMapEntry {
    int32_t cc = 0;
    int32_t min = 0;
    int32_t max = 127;
    int32_t param = 0;
  };
  enum Power : int32_t { kPowerNone = 0, kPowerOn = 1, kPowerOff = 2 };

  explicit CVST(CContainer* parent);
  ~CVST() override;

  // CComp
  void ResetForBlock(int frames) noexcept override;
  void Process(int frames) noexcept override;
  CMIDIQ* MidiOutput(int port, int frames) noexcept override;
  intptr_t PluginDispatch(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt, int32_t a6,
                          int32_t a7) override;
  std::string TypeKey() const override { return "CVST"; }
  std::string InputName(int index) const override;
  std::string OutputName(int index) const override;
  void Save(CStream& s) override;
  void Load(CStream& s, int flag) override;
  void SetBlockSize(int frames) override;
  void SetSampleRate(float rate) override;
  void SetEnabled(int32_t on) override;
  void Idle() override;
  int32_t Latency() const override;

  // (ui) Loads the library at `path`, or, when that file is gone, the file of the
  // same name in the first plug-in folder that has one. Failures tell the user
  // and leave the module unloaded.
  bool LoadPlugin(const std::string& path);
  // (ui) Switches the plug-in off, closes it and releases the library.
  void Unload() noexcept;
  bool Loaded() const noexcept { return loaded_ != 0; }
  vst2::AEffect* Effect() const noexcept { return effect_; }
  const std::string& Path() const noexcept { return path_; }
  // Why the module holds no plug-in ("x.so not found", a load error); empty when loaded.
  const std::string& Problem() const noexcept { return problem_; }

  // (ui) Bank and program state in the published layout. Apply refuses a
  // different plug-in's state with a message and changes nothing.
  FxBank MakeBank();
  FxProgram MakeProgram();
  bool ApplyBank(const FxBank& bank);
  bool ApplyProgram(const FxProgram& program);
  // (ui) ".fxb" and ".fxp" files; writes replace the file atomically.
  bool SaveBankFile(const std::string& path);
  bool LoadBankFile(const std::string& path);
  bool SaveProgramFile(const std::string& path);
  bool LoadProgramFile(const std::string& path);

  // The sequencer hands its own transport to the plug-ins it plays: their time
  // requests then answer its tempo and position instead of the outer host's.
  // Modules in a group read the group's transport without being told.
  void SetTransport(const TransportInfo* transport, bool own_timeline) noexcept;

  // Answers a hosted plug-in's request; `effect->user` names the module.
  static intptr_t HostCallback(vst2::AEffect* effect, int32_t opcode, int32_t index, intptr_t value,
                               void* ptr, float opt) noexcept;

  // ---- State the editor and the project see
  std::string folder;          // "FXFolder"
  std::string file;            // "File": the library's name without its folder
  int32_t channelFilter = -1;  // "RCh": -1 passes every channel
  std::atomic<int32_t> powerRequest{kPowerNone};
  std::vector<CCMapEntry> ccMap;
  uint8_t hasEditor = 0;
  uint8_t sendsMidi = 0;
  std::atomic<uint8_t> ioChanged{0};
  int32_t builtInputs = 0, builtOutputs = 0;  // the plug-in's pin counts the ports were built for
  int32_t snapshotWidth = 0, snapshotHeight = 0;
  std::vector<uint32_t> snapshot;  // "Bmp2" pixels, width x height

  const HeldNotes& Held() const noexcept { return held_; }
  // Times the plug-in handed back samples that were not finite (replaced by silence).
  int32_t NonFiniteBlocks() const noexcept { return nonFinite_.load(std::memory_order_relaxed); }

 private:
  intptr_t Dispatch(int32_t opcode, int32_t index = 0, intptr_t value = 0, void* ptr = nullptr,
                    float opt = 0.0f) const noexcept;
  intptr_t Answer(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt) noexcept;
  vst2::VstTimeInfo* TimeInfo(int32_t filter) noexcept;
  void BuildPorts();
  void ApplyOutputSettings();
  void AppendEvent(uint32_t msg, int32_t delta) noexcept;
  void RunPiece(int start, int frames) noexcept;
  void SetMappedParameter(const CCMapEntry& entry, uint32_t value) noexcept;
  bool ApplyBankBytes(std::span<const uint8_t> bytes, bool tell);

  CDynLib lib_;
  vst2::AEffect* effect_ = nullptr;
  uint8_t loaded_ = 0;
  std::string path_;
  std::string problem_;

  // The piece being processed: events are buffered relative to its start.
  std::array<vst2::VstMidiEvent, kMaxEvents> events_{};
  vst2::VstEventsN<kMaxEvents> eventList_;
  int32_t eventCount_ = 0;
  int32_t pieceStart_ = 0;
  HeldNotes held_;
  std::array<float*, kMaxPins> inPtr_{};
  std::array<float*, kMaxPins> outPtr_{};
  CMIDIQ out_;
  std::vector<float> spareIn_, spareOut_;

  const TransportInfo* transport_ = nullptr;
  bool ownTimeline_ = false;
  vst2::VstTimeInfo time_{};

  std::atomic<int32_t> nonFinite_{0};
  std::atomic<uint8_t> releaseHeld_{0};  // new state: let go of what the old one holds
  std::atomic<uint8_t> portsStale_{0};
  uint8_t compensate_ = 0;  // (ui) delay compensation is due at the next idle pass
  int32_t nonFiniteReported_ = 0;

  // What a project stored for a plug-in that could not be loaded: written back
  // unchanged so that nothing is lost before the plug-in returns.
  std::vector<uint8_t> storedData_;
  struct StoredOut {
    int32_t channels = 2, volCC = -1, panCC = -1, solo = 0, mute = 0, freeze = 0;
    float vol = 1.0f, pan = 0.0f, wet = 1.0f;
    std::vector<std::unique_ptr<CComp>> inserts;
  };
  std::vector<int32_t> storedIns_;
  std::vector<StoredOut> storedOuts_;
};

}  // namespace qr

namespace qr {

// The host that loaded us, to which requests we do not answer ourselves are
// passed on, with our own plug-in record as the effect. Set by the plug-in
// start-up; without it (the standalone program, tests) we answer alone.
void SetOuterHost(vst2::HostCallback host, vst2::AEffect* self) noexcept;
// True for our own callback: a copy of this library hosted by itself must not
// record it as its outer host.
bool IsOurHostCallback(vst2::HostCallback host) noexcept;

}  // namespace qr
