#include "shell/AudioEffect.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>

#include "platform/Messages.h"

namespace qr {

namespace {

AudioEffect* Self(vst2::AEffect* e) { return e ? static_cast<AudioEffect*>(e->object) : nullptr; }

// The host is C: an exception that reached it would end the host's process with
// the musician's unsaved song. Each entry turns one into a notice and a neutral
// answer instead.
void Report(const char* what) noexcept {
  try {
    ShowNotice(what);
  } catch (...) {
  }
}

intptr_t DispatcherEntry(vst2::AEffect* e, int32_t opcode, int32_t index, intptr_t value, void* ptr,
                         float opt) noexcept {
  AudioEffect* self = Self(e);
  if (!self) return 0;
  intptr_t result = 0;
  try {
    result = self->dispatcher(opcode, index, value, ptr, opt);
  } catch (const std::exception& ex) {
    Report(ex.what());
  } catch (...) {
    Report("Unknown error");
  }
  if (opcode == vst2::effClose) {
    // The entry point released the object to the host through the C interface;
    // the host's close hands it back, and this owner ends its life.
    std::unique_ptr<AudioEffect> owned(self);
    return 1;
  }
  return result;
}

// A block that failed leaves silence rather than what the buffers held.
void Silence(const vst2::AEffect* e, float** out, int32_t frames) noexcept {
  if (!out || frames <= 0) return;
  for (int32_t c = 0; c < e->numOutputs; ++c)
    if (out[c]) std::memset(out[c], 0, sizeof(float) * static_cast<size_t>(frames));
}

void ProcessEntry(vst2::AEffect* e, float** in, float** out, int32_t frames) noexcept {
  AudioEffect* self = Self(e);
  if (!self) return;
  try {
    self->process(in, out, frames);
  } catch (...) {
    Silence(e, out, frames);
  }
}

void ProcessReplacingEntry(vst2::AEffect* e, float** in, float** out, int32_t frames) noexcept {
  AudioEffect* self = Self(e);
  if (!self) return;
  try {
    self->processReplacing(in, out, frames);
  } catch (...) {
    Silence(e, out, frames);
  }
}

void SetParameterEntry(vst2::AEffect* e, int32_t index, float value) noexcept {
  AudioEffect* self = Self(e);
  if (!self) return;
  try {
    self->setParameter(index, value);
  } catch (...) {
  }
}

float GetParameterEntry(vst2::AEffect* e, int32_t index) noexcept {
  AudioEffect* self = Self(e);
  if (!self) return 0.0f;
  try {
    return self->getParameter(index);
  } catch (...) {
    return 0.0f;
  }
}

void CopyText(char* dst, const char* src, size_t cap) {
  if (!dst || cap == 0) return;
  std::strncpy(dst, src, cap - 1);
  dst[cap - 1] = '\0';
}

}  // namespace

AudioEffect::AudioEffect(vst2::HostCallback host, int32_t num_programs, int32_t num_params)
    : audioMaster(host), numPrograms(num_programs), numParams(num_params) {
  cEffect.magic = vst2::kEffectMagic;
  cEffect.dispatcher = &DispatcherEntry;
  cEffect.process = &ProcessEntry;
  cEffect.setParameter = &SetParameterEntry;
  cEffect.getParameter = &GetParameterEntry;
  cEffect.processReplacing = &ProcessReplacingEntry;
  cEffect.numPrograms = num_programs;
  cEffect.numParams = num_params;
  cEffect.numInputs = 1;
  cEffect.numOutputs = 2;
  cEffect.flags = 0;
  cEffect.ioRatio = 1.0f;
  cEffect.object = this;
  cEffect.uniqueID = vst2::FourCC('N', 'o', 'E', 'f');
  cEffect.version = 1;
}

AudioEffect::~AudioEffect() = default;

void AudioEffect::setSampleRate(float rate) { sampleRate = rate; }
void AudioEffect::setBlockSize(int32_t frames) { blockSize = frames; }
void AudioEffect::setParameter(int32_t, float) {}
float AudioEffect::getParameter(int32_t) { return 0.0f; }
void AudioEffect::process(float**, float**, int32_t) {}
void AudioEffect::processReplacing(float**, float**, int32_t) {}
void AudioEffect::getProgramName(char* name) { CopyText(name, "", vst2::kMaxProgNameLen); }
void AudioEffect::getParameterLabel(int32_t, char* label) { CopyText(label, "", vst2::kMaxParamStrLen); }
void AudioEffect::getParameterDisplay(int32_t, char* text) { CopyText(text, "", vst2::kMaxParamStrLen); }
void AudioEffect::getParameterName(int32_t, char* text) { CopyText(text, "", vst2::kMaxParamStrLen); }
int32_t AudioEffect::getChunk(void**, bool) { return 0; }
int32_t AudioEffect::setChunk(void*, int32_t, bool) { return 0; }

intptr_t AudioEffect::dispatcher(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt) {
  using namespace vst2;
  switch (opcode) {
    case effOpen:
      open();
      return 0;
    case effClose:
      close();
      return 0;
    case effSetProgram:
      setProgram(static_cast<int32_t>(value));
      return 0;
    case effGetProgram:
      return getProgram();
    case effSetProgramName:
      setProgramName(static_cast<const char*>(ptr));
      return 0;
    case effGetProgramName:
      getProgramName(static_cast<char*>(ptr));
      return 0;
    case effGetParamLabel:
      getParameterLabel(index, static_cast<char*>(ptr));
      return 0;
    case effGetParamDisplay:
      getParameterDisplay(index, static_cast<char*>(ptr));
      return 0;
    case effGetParamName:
      getParameterName(index, static_cast<char*>(ptr));
      return 0;
    case effGetVu:
      return static_cast<intptr_t>(getVu() * 32767.0f);
    case effSetSampleRate:
      setSampleRate(opt);
      return 0;
    case effSetBlockSize:
      setBlockSize(static_cast<int32_t>(value));
      return 0;
    case effMainsChanged:
      if (value)
        resume();
      else
        suspend();
      return 0;
    case effGetChunk:
      return getChunk(static_cast<void**>(ptr), index != 0);
    case effSetChunk:
      return setChunk(ptr, static_cast<int32_t>(value), index != 0);
    default:
      return 0;
  }
}

intptr_t AudioEffect::Host(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt) {
  return audioMaster ? audioMaster(&cEffect, opcode, index, value, ptr, opt) : 0;
}

int32_t AudioEffect::getMasterVersion() {
  const intptr_t v = Host(vst2::audioMasterVersion);
  return v ? static_cast<int32_t>(v) : 1;
}
void AudioEffect::wantEvents(int32_t filter) { Host(vst2::audioMasterWantMidi, 0, filter); }
vst2::VstTimeInfo* AudioEffect::getTimeInfo(int32_t filter) {
  return reinterpret_cast<vst2::VstTimeInfo*>(Host(vst2::audioMasterGetTime, 0, filter));
}
int32_t AudioEffect::tempoAt(int32_t pos) {
  return static_cast<int32_t>(Host(vst2::audioMasterTempoAt, 0, pos));
}
bool AudioEffect::sendVstEventsToHost(vst2::VstEvents* events) {
  return Host(vst2::audioMasterProcessEvents, 0, 0, events) != 0;
}
bool AudioEffect::ioChanged() { return Host(vst2::audioMasterIOChanged) != 0; }
bool AudioEffect::sizeWindow(int32_t width, int32_t height) {
  return Host(vst2::audioMasterSizeWindow, width, height) != 0;
}

}  // namespace qr
