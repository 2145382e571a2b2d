#pragma once
// AudioEffect: the plug-in base that owns the AEffect record handed to the host
// and turns the host's calls into virtual operations. TVSTPlug derives from it;
// nothing outside shell/ sees the binary interface.
#include <cstdint>

#include "platform/Vst2.h"

namespace qr {

class AudioEffect {
 public:
  AudioEffect(vst2::HostCallback host, int32_t num_programs, int32_t num_params);
  virtual ~AudioEffect();
  AudioEffect(const AudioEffect&) = delete;
  AudioEffect& operator=(const AudioEffect&) = delete;

  vst2::AEffect* GetAeffect() noexcept { return &cEffect; }
  vst2::HostCallback HostCallbackFn() const noexcept { return audioMaster; }

  // Virtual operations in their slot order.
  virtual void setSampleRate(float rate);
  virtual void setBlockSize(int32_t frames);
  virtual void setParameter(int32_t index, float value);
  virtual float getParameter(int32_t index);
  virtual void reserved1() {}
  virtual void process(float** inputs, float** outputs, int32_t frames);
  virtual void processReplacing(float** inputs, float** outputs, int32_t frames);
  virtual intptr_t dispatcher(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt);
  virtual void open() {}
  virtual void close() {}
  virtual int32_t getProgram() { return curProgram; }
  virtual void setProgram(int32_t program) { curProgram = program; }
  virtual void setProgramName(const char*) {}
  virtual void getProgramName(char* name);
  virtual void getParameterLabel(int32_t index, char* label);
  virtual void getParameterDisplay(int32_t index, char* text);
  virtual void getParameterName(int32_t index, char* text);
  virtual float getVu() { return 0.0f; }
  virtual int32_t getChunk(void** data, bool is_preset);
  virtual int32_t setChunk(void* data, int32_t size, bool is_preset);
  virtual void suspend() {}
  virtual void resume() {}
  virtual void setUniqueID(int32_t id) { cEffect.uniqueID = id; }
  virtual void setNumInputs(int32_t n) { cEffect.numInputs = n; }
  virtual void setNumOutputs(int32_t n) { cEffect.numOutputs = n; }
  virtual void hasVu(bool on = true) { SetFlag(vst2::effFlagsHasVu, on); }
  virtual void hasClip(bool on = true) { SetFlag(vst2::effFlagsHasClip, on); }
  virtual void canMono(bool on = true) { SetFlag(vst2::effFlagsCanMono, on); }
  virtual void canProcessReplacing(bool on = true) { SetFlag(vst2::effFlagsCanReplacing, on); }
  virtual void programsAreChunks(bool on = true) { SetFlag(vst2::effFlagsProgramChunks, on); }
  virtual void setRealQualities(int32_t q) { cEffect.realQualities = q; }
  virtual void setOffQualities(int32_t q) { cEffect.offQualities = q; }
  virtual void setInitialDelay(int32_t samples) { cEffect.initialDelay = samples; }
  // Host requests.
  virtual int32_t getMasterVersion();
  virtual void wantEvents(int32_t filter = 1);
  virtual vst2::VstTimeInfo* getTimeInfo(int32_t filter);
  virtual int32_t tempoAt(int32_t pos);
  virtual bool sendVstEventsToHost(vst2::VstEvents* events);

  bool ioChanged();
  bool sizeWindow(int32_t width, int32_t height);

 protected:
  void SetFlag(int32_t flag, bool on) noexcept {
    cEffect.flags = on ? (cEffect.flags | flag) : (cEffect.flags & ~flag);
  }
  intptr_t Host(int32_t opcode, int32_t index = 0, intptr_t value = 0, void* ptr = nullptr,
                float opt = 0.0f);

  vst2::AEffect cEffect{};
  float sampleRate = 44100.0f;
  void* editor = nullptr;  // no editor object: see TVSTPlug
  vst2::HostCallback audioMaster = nullptr;
  int32_t numPrograms = 0;
  int32_t numParams = 0;
  int32_t curProgram = 0;
  int32_t blockSize = 1024;
};

}  // namespace qr
