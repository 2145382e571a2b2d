#pragma once
// TVSTPlug: the one door between a VST 2 host and the engine. It answers the
// host's opcodes, moves each block of host audio and MIDI into the root group
// and back, keeps the 128 host parameters and carries the project in the host's
// chunk. The standalone program drives the very same object.
#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "graph/Container.h"
#include "persist/Project.h"
#include "shell/AudioEffect.h"
#include "shell/Core.h"
#include "shell/Editor.h"
#include "shell/ProgFiles.h"
#include "stream/RecordStream.h"

namespace qr {

// Private opcodes of the system's own programs.
enum PrivateOpcodes : int32_t {
  kOpSetHostChannels = -102,  // index: inputs, value: outputs
  kOpWindowEvent = -103,
  kOpOpenProject = -106,  // ptr: file name
  kOpTempo = -108,        // result: the root tempo, rounded
  kOpMainWindow = -109,
  kOpPluginObject = -111,
};

inline constexpr int kHostMidiOutEvents = 1024;
// The main window, and so the editor rectangle of a project that stores none.
inline constexpr int16_t kMainWindowWidth = 512;
inline constexpr int16_t kMainWindowHeight = 425;

class TVSTPlug final : public AudioEffect {
 public:
  // `library_path` names the plug-in file (its INI and "default.qrw" sit by it).
  TVSTPlug(vst2::HostCallback host, std::string library_path);
  ~TVSTPlug() override;

  void setSampleRate(float rate) override;
  void setBlockSize(int32_t frames) override;
  void setParameter(int32_t index, float value) override;
  float getParameter(int32_t index) override;
  void process(float** inputs, float** outputs, int32_t frames) override;
  void processReplacing(float** inputs, float** outputs, int32_t frames) override;
  intptr_t dispatcher(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt) override;
  void getProgramName(char* name) override;
  void getParameterDisplay(int32_t index, char* text) override;
  void getParameterName(int32_t index, char* text) override;
  int32_t getChunk(void** data, bool is_preset) override;
  int32_t setChunk(void* data, int32_t size, bool is_preset) override;
  void resume() override;
  void suspend() override;

  CGroup& Root() noexcept { return *root_; }
  CMasterIn* MasterIn() noexcept { return masterIn_; }
  CProject& Project() noexcept { return project_; }
  CCoreSet& Cores() noexcept { return *cores_; }
  CProgFiles& ProgramFiles() noexcept { return progFiles_; }
  int32_t HostInputs() const noexcept { return hostInputs_; }
  int32_t HostOutputs() const noexcept { return hostOutputs_; }
  bool CustomIO() const noexcept { return customIO_; }
  bool Rebuilding() const noexcept { return root_->rebuild.load(); }
  // The editor's size as the host asks for it (effEditGetRect).
  const vst2::ERect& EditRect() const noexcept { return editRect_; }
  IPlugEditor* Editor() noexcept { return editor_.get(); }
  // Runs the idle pass (what the host's idle opcodes do).
  void IdlePass();
  // Switches program-change file selection on or off (standalone mode).
  void SetProgramFileSelection(bool on) noexcept { progFiles_.enabled = on ? 1 : 0; }
  // Optional observer of the MIDI sent to the master output, end of each block.
  Callback<void(const CMIDIQ&)> midiObserver;
  // Optional audio hook (the browser preview): left, right, frames.
  Callback<void(float*, float*, int)> audioHook;

 private:
  void Startup();
  void ApplyHostTime() noexcept;
  void RouteMidi() noexcept;
  void RouteParameters() noexcept;
  void SendMidiOut() noexcept;
  int32_t PinProperties(vst2::VstPinProperties* pin, int32_t index, bool input) const;
  void LatencyChanged(int32_t samples);
  void MasterInChanged(CMasterIn& mi);
  void MasterInputsChanged();
  void WaitForSilence() noexcept;
  bool OpenProject(const std::string& path);
  intptr_t EditorOpcode(int32_t opcode, void* ptr) noexcept;

  std::string libraryPath_;
  std::unique_ptr<CCoreSet> cores_;
  std::atomic<bool> busy_{false};
  std::atomic<bool> inCallback_{false};
  uint8_t idleReentry_ = 0;
  int32_t curBlockSize_ = 1024;
  float curSampleRate_ = 44100.0f;
  float reciprocalRate_ = 1.0f / 44100.0f;
  vst2::ERect editRect_{0, 0, 361, 512};
  std::array<vst2::VstMidiEvent, kHostMidiOutEvents> midiOut_{};
  struct {
    int32_t numEvents = 0;
    intptr_t reserved = 0;
    std::array<vst2::VstEvent*, kHostMidiOutEvents> events{};
  } midiOutList_;
  bool customIO_ = false;
  int32_t hostInputs_ = 2;
  int32_t hostOutputs_ = 2;
  std::unique_ptr<CGroup> root_;
  CMasterIn* masterIn_ = nullptr;
  CMIDIQ hostMidiIn_;
  std::vector<uint8_t> scratch1_, scratch2_;
  CProject project_;
  CMemStream chunk_;
  CProgFiles progFiles_;
  std::string pendingFile_;
  std::atomic<int> pendingProgram_{-1};  // a program change waiting for the idle pass
  int32_t lastPort_ = 0;
  bool gdiDrawing_ = false;
  std::unique_ptr<IPlugEditor> editor_;  // made at the first effEditOpen, released at effEditClose
  bool started_ = false;                 // the entry point has returned the record to the host
};

// The entry point's work: asks the host for its version, builds the plug-in in
// the current run mode and returns its record, or null without a usable host.
vst2::AEffect* CreatePlugin(vst2::HostCallback host, const std::string& library_path) noexcept;

}  // namespace qr
