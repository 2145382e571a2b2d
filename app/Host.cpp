#include "app/Host.h"

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "graph/Globals.h"
#include "platform/Files.h"
#include "platform/Settings.h"
#include "shell/VSTPlug.h"

namespace qr {

namespace {
thread_local StandaloneHost* t_constructing = nullptr;
constexpr int kMaxIdlePasses = 1000;  // a posted open finishes well within this
}  // namespace

bool ConsoleSink::Show(MsgKind kind, std::string_view title, std::string_view text) {
  std::string line(title);
  if (!line.empty()) line += ": ";
  line += text;
  if (print) std::fprintf(stderr, "quillrow: %s\n", line.c_str());
  if (kind == MsgKind::Error || kind == MsgKind::Notice) {
    ++errors;
    last = line;
  }
  return false;  // questions are answered "no": nothing is dropped unasked
}

StandaloneHost::StandaloneHost() {
  previousSink_ = SetMessageSink(&sink);
  g_runMode = kRunStandalone;
  t_constructing = this;
  effect_ = CreatePlugin(&Callback, "");
  t_constructing = nullptr;
  if (effect_) {
    effect_->user = this;
    Plugin().Project().hooks.addRecent = [this](const std::string& path) { ProjectLoaded(path); };
  }
}

std::string AbsolutePath(const std::string& path) {
  std::error_code ec;
  const std::filesystem::path p = std::filesystem::absolute(path, ec);
  return ec ? path : p.lexically_normal().string();
}

void StandaloneHost::ProjectLoaded(const std::string& path) {
  // A file that loaded with errors is no project to come back to.
  if (!remember_ || sink.errors != errorsBeforeOpen_ || path.empty()) return;
  try {
    CSettings ini;
    AddRecent(ini, AbsolutePath(path));
  } catch (const std::exception& e) {
    sink.Show(MsgKind::Notice, "", e.what());
  }
}

StandaloneHost::~StandaloneHost() {
  if (effect_) effect_->dispatcher(effect_, vst2::effClose, 0, 0, nullptr, 0.0f);
  SetMessageSink(previousSink_);
}

intptr_t StandaloneHost::Callback(vst2::AEffect* e, int32_t opcode, int32_t, intptr_t, void* ptr, float) {
  StandaloneHost* self = e && e->user ? static_cast<StandaloneHost*>(e->user) : t_constructing;
  switch (opcode) {
    case vst2::audioMasterVersion:
      return 2400;
    case vst2::audioMasterProcessEvents: {
      const auto* list = static_cast<const vst2::VstEvents*>(ptr);
      if (!self || !self->onMidiOut || !list) return 1;
      for (int i = 0; i < list->numEvents; ++i) {
        const auto* m = reinterpret_cast<const vst2::VstMidiEvent*>(list->events[i]);
        const uint32_t msg = static_cast<uint8_t>(m->midiData[0]) |
                             (static_cast<uint8_t>(m->midiData[1]) << 8) |
                             (static_cast<uint32_t>(static_cast<uint8_t>(m->midiData[2])) << 16);
        self->onMidiOut(m->deltaFrames, msg);
      }
      return 1;
    }
    default:
      return 0;
  }
}

intptr_t StandaloneHost::Dispatch(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt) {
  return effect_->dispatcher(effect_, opcode, index, value, ptr, opt);
}

void StandaloneHost::Configure(float rate, int block, int inputs, int outputs) {
  Dispatch(vst2::effSetSampleRate, 0, 0, nullptr, rate);
  Dispatch(vst2::effSetBlockSize, 0, block);
  Dispatch(kOpSetHostChannels, inputs, outputs);
  Dispatch(vst2::effMainsChanged, 0, 1);
}

bool StandaloneHost::OpenProject(const std::string& path, std::string& error) {
  if (!FileExists(path)) {
    error = "no such project file: " + path;
    return false;
  }
  if (IsDirectory(path)) {
    error = path + " is a folder, not a project file";
    return false;
  }
  errorsBeforeOpen_ = sink.errors;
  std::string p = AbsolutePath(path);
  Dispatch(kOpOpenProject, 0, 0, p.data());
  TVSTPlug& plug = Plugin();
  if (!plug.Rebuilding()) {
    if (sink.errors == errorsBeforeOpen_) error = "could not open " + path;
    return false;
  }
  FinishOpening();
  if (plug.Rebuilding()) {
    error = "the project did not finish loading: " + path;
    return false;
  }
  return sink.errors == errorsBeforeOpen_;  // the engine's message has been shown
}

void StandaloneHost::FinishOpening() {
  // The open is posted; with no audio running, idle passes carry it out.
  TVSTPlug& plug = Plugin();
  for (int i = 0; i < kMaxIdlePasses && plug.Rebuilding(); ++i) Idle();
}

void StandaloneHost::Process(float** in, float** out, int frames) {
  effect_->processReplacing(effect_, in, out, frames);
}

void StandaloneHost::SendMidi(const std::vector<std::pair<int32_t, uint32_t>>& events) {
  if (events.empty()) return;
  std::vector<vst2::VstMidiEvent> ev(events.size());
  std::vector<vst2::VstEvent*> ptrs(events.size() + 2, nullptr);
  for (size_t i = 0; i < events.size(); ++i) {
    vst2::VstMidiEvent& m = ev[i];
    m = vst2::VstMidiEvent{};
    m.type = vst2::kVstMidiType;
    m.byteSize = sizeof m;
    m.deltaFrames = events[i].first;
    m.midiData[0] = static_cast<char>(events[i].second & 0xFF);
    m.midiData[1] = static_cast<char>((events[i].second >> 8) & 0xFF);
    m.midiData[2] = static_cast<char>((events[i].second >> 16) & 0xFF);
    ptrs[i] = reinterpret_cast<vst2::VstEvent*>(&m);
  }
  // A VstEvents header followed by its pointers.
  std::vector<uint8_t> list(sizeof(vst2::VstEvents) + sizeof(vst2::VstEvent*) * events.size());
  auto* hdr = reinterpret_cast<vst2::VstEvents*>(list.data());
  hdr->numEvents = static_cast<int32_t>(events.size());
  std::memcpy(hdr->events, ptrs.data(), sizeof(vst2::VstEvent*) * events.size());
  Dispatch(vst2::effProcessEvents, 0, 0, hdr);
}

void StandaloneHost::Idle() {
  if (!Plugin().Rebuilding()) errorsBeforeOpen_ = sink.errors;
  Dispatch(vst2::effIdle);
}

TVSTPlug& StandaloneHost::Plugin() { return *reinterpret_cast<TVSTPlug*>(Dispatch(kOpPluginObject)); }

}  // namespace qr
