#pragma once
// A minimal VST 2 host for tests: loads a plug-in library with dlopen, calls its
// entry point and answers its requests the way a real host would, recording
// what the plug-in asked and sent.
#include <dlfcn.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/Vst2.h"

namespace qr::test {

struct SentMidi {
  int32_t deltaFrames;
  uint8_t status, data1, data2;
};

class TestHost {
 public:
  explicit TestHost(std::string library) : path_(std::move(library)) {
    handle_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
  }
  ~TestHost() {
    Close();
    if (handle_) dlclose(handle_);
  }
  TestHost(const TestHost&) = delete;
  TestHost& operator=(const TestHost&) = delete;

  bool Loaded() const { return handle_ != nullptr; }
  std::string Error() const { return handle_ ? std::string() : std::string(dlerror()); }

  // Calls the entry point (VSTPluginMain, else main) with this host's callback.
  vst2::AEffect* Open(const char* symbol = "VSTPluginMain") {
    auto entry = reinterpret_cast<vst2::EntryProc>(dlsym(handle_, symbol));
    if (!entry) return nullptr;
    constructing_ = this;
    effect_ = entry(&Callback);
    constructing_ = nullptr;
    if (effect_) effect_->user = this;
    return effect_;
  }
  void Close() {
    if (effect_) effect_->dispatcher(effect_, vst2::effClose, 0, 0, nullptr, 0.0f);
    effect_ = nullptr;
  }

  intptr_t Dispatch(int32_t opcode, int32_t index = 0, intptr_t value = 0, void* ptr = nullptr,
                    float opt = 0.0f) {
    return effect_->dispatcher(effect_, opcode, index, value, ptr, opt);
  }
  void Process(std::vector<std::vector<float>>& in, std::vector<std::vector<float>>& out, int frames) {
    std::vector<float*> ip, op;
    for (auto& c : in) ip.push_back(c.data());
    for (auto& c : out) op.push_back(c.data());
    effect_->processReplacing(effect_, ip.data(), op.data(), frames);
  }
  void SendMidi(int32_t delta, uint8_t s, uint8_t d1, uint8_t d2, int32_t flags = 0) {
    vst2::VstMidiEvent m{};
    m.type = vst2::kVstMidiType;
    m.byteSize = sizeof m;
    m.deltaFrames = delta;
    m.flags = flags;
    m.midiData[0] = static_cast<char>(s);
    m.midiData[1] = static_cast<char>(d1);
    m.midiData[2] = static_cast<char>(d2);
    struct {
      int32_t n;
      intptr_t reserved;
      vst2::VstEvent* ev[2];
    } list{1, 0, {reinterpret_cast<vst2::VstEvent*>(&m), nullptr}};
    Dispatch(vst2::effProcessEvents, 0, 0, &list);
  }

  void SetChunk(std::vector<uint8_t> bytes) {
    Dispatch(vst2::effSetChunk, 0, static_cast<intptr_t>(bytes.size()), bytes.data());
  }
  std::vector<uint8_t> Chunk() {
    void* data = nullptr;
    const intptr_t n = Dispatch(vst2::effGetChunk, 0, 0, &data);
    const auto* p = static_cast<const uint8_t*>(data);
    return std::vector<uint8_t>(p, p + n);
  }

  vst2::AEffect* effect() const { return effect_; }

  // What the host answers.
  intptr_t version = 2400;
  bool giveTimeInfo = true;
  vst2::VstTimeInfo timeInfo{};
  intptr_t tempoAt = 0;
  std::function<void()> onGetTime;  // runs inside the plug-in's process call
  // What the plug-in did.
  std::vector<SentMidi> midi;
  std::vector<int32_t> requests;

 private:
  static intptr_t Callback(vst2::AEffect* e, int32_t opcode, int32_t index, intptr_t value, void* ptr,
                           float opt) {
    TestHost* h = e && e->user ? static_cast<TestHost*>(e->user) : constructing_;
    if (!h) return opcode == vst2::audioMasterVersion ? 2400 : 0;
    return h->Answer(opcode, index, value, ptr, opt);
  }
  intptr_t Answer(int32_t opcode, int32_t, intptr_t, void* ptr, float) {
    requests.push_back(opcode);
    switch (opcode) {
      case vst2::audioMasterVersion: return version;
      case vst2::audioMasterGetTime:
        if (onGetTime) onGetTime();
        return giveTimeInfo ? reinterpret_cast<intptr_t>(&timeInfo) : 0;
      case vst2::audioMasterTempoAt: return tempoAt;
      case vst2::audioMasterProcessEvents: {
        const auto* list = static_cast<const vst2::VstEvents*>(ptr);
        for (int i = 0; i < list->numEvents; ++i) {
          const auto* m = reinterpret_cast<const vst2::VstMidiEvent*>(list->events[i]);
          midi.push_back({m->deltaFrames, static_cast<uint8_t>(m->midiData[0]),
                          static_cast<uint8_t>(m->midiData[1]), static_cast<uint8_t>(m->midiData[2])});
        }
        return 1;
      }
      default: return 0;
    }
  }

  static inline thread_local TestHost* constructing_ = nullptr;
  std::string path_;
  void* handle_ = nullptr;
  vst2::AEffect* effect_ = nullptr;
};

inline std::string PluginPath(bool instrument) {
  return std::string(QR_PLUGIN_DIR) + (instrument ? "/quillrow-instrument.so" : "/quillrow.so");
}

}  // namespace qr::test
