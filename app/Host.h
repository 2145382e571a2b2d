#pragma once
// The standalone program's side of the plug-in interface: it builds the plug-in
// in the standalone run mode and drives it only through the AEffect record (the
// dispatcher, including the private opcodes, and the processing call), exactly
// as an outer host would.
#include <functional>
#include <string>
#include <vector>

#include "platform/Messages.h"
#include "platform/Vst2.h"

namespace qr {

class TVSTPlug;

// Messages go to stderr as one line each; errors are remembered so a command
// can fail when a file did not load.
class ConsoleSink final : public IMessageSink {
 public:
  bool Show(MsgKind kind, std::string_view title, std::string_view text) override;
  bool print = true;
  int errors = 0;
  std::string last;
};

// `path` from the current folder, without "." and ".." steps.
std::string AbsolutePath(const std::string& path);

class StandaloneHost {
 public:
  StandaloneHost();
  ~StandaloneHost();
  StandaloneHost(const StandaloneHost&) = delete;
  StandaloneHost& operator=(const StandaloneHost&) = delete;

  bool Ok() const { return effect_ != nullptr; }
  intptr_t Dispatch(int32_t opcode, int32_t index = 0, intptr_t value = 0, void* ptr = nullptr,
                    float opt = 0.0f);
  void Configure(float rate, int block, int inputs, int outputs);
  // Opens a project through the private open opcode and runs idle passes until
  // it has loaded. False when it could not; `error` then holds the reason,
  // unless the engine's own message already told the user (it is printed once).
  bool OpenProject(const std::string& path, std::string& error);
  // Idle passes until a posted open has finished (bounded).
  void FinishOpening();
  // Whether projects that load go into the "Recent" list of the settings (by
  // absolute path, and only once they loaded without an error). Offline
  // commands leave the list alone.
  void RememberProjects(bool on) noexcept { remember_ = on; }
  void Process(float** in, float** out, int frames);
  void SendMidi(const std::vector<std::pair<int32_t, uint32_t>>& events);  // (delta frames, packed)
  void Idle();
  TVSTPlug& Plugin();

  // MIDI the plug-in sends to its host, as it arrives (inside Process).
  std::function<void(int32_t delta, uint32_t msg)> onMidiOut;
  ConsoleSink sink;

 private:
  static intptr_t Callback(vst2::AEffect* e, int32_t opcode, int32_t index, intptr_t value, void* ptr,
                           float opt);
  void ProjectLoaded(const std::string& path);
  vst2::AEffect* effect_ = nullptr;
  bool remember_ = false;
  int errorsBeforeOpen_ = 0;
  IMessageSink* previousSink_ = nullptr;
};

}  // namespace qr
