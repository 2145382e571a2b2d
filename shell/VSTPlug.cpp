#include "shell/VSTPlug.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>

#include "graph/Denormals.h"
#include "graph/Globals.h"
#include "platform/Files.h"
#include "platform/Messages.h"
#include "platform/Settings.h"
#include "vsthost/VST.h"

namespace qr {

namespace {

// Process-wide, as the host sees one library: the outer host's callback and the
// first plug-in record handed out.
std::atomic<vst2::HostCallback> g_hostCallback{nullptr};
std::atomic<vst2::AEffect*> g_firstEffect{nullptr};
std::atomic<bool> g_audioRunning{false};

void CopyText(char* dst, const std::string& src, size_t cap) {
  if (!dst || cap == 0) return;
  const size_t n = std::min(src.size(), cap - 1);
  std::memcpy(dst, src.data(), n);
  dst[n] = '\0';
}

}  // namespace

TVSTPlug::TVSTPlug(vst2::HostCallback host, std::string library_path)
    : AudioEffect(host, 1, kHostParameters), libraryPath_(std::move(library_path)) {
  using namespace vst2;
  const int mode = g_runMode.load();
  if (mode == kRunInstrument) {
    setUniqueID(FourCC('q', 'r', 'w', 'i'));
    setNumInputs(0);
    setNumOutputs(2);
    SetFlag(effFlagsHasEditor | effFlagsProgramChunks | effFlagsIsSynth, true);
    hostInputs_ = 0;
  } else {
    setUniqueID(FourCC('q', 'r', 'w', 'e'));
    setNumInputs(2);
    setNumOutputs(2);
    SetFlag(effFlagsHasEditor | effFlagsProgramChunks, true);
    hostInputs_ = 2;
  }
  hostOutputs_ = 2;
  customIO_ = false;
  if (mode == kRunStandalone) {
    setNumOutputs(2);
  } else {
    const PluginChannelConfig io = ReadPluginChannelConfig(libraryPath_, hostInputs_);
    if (io.enabled) {
      customIO_ = true;
      hostInputs_ = io.inputs;
      hostOutputs_ = io.outputs;
      setNumInputs(hostInputs_);
      setNumOutputs(hostOutputs_);
    }
  }
  canMono(false);
  canProcessReplacing(true);
  cEffect.version = 2;
  Startup();
  // The main window's own size until a loaded project says otherwise.
  editRect_ = {0, 0, kMainWindowHeight, kMainWindowWidth};
}

TVSTPlug::~TVSTPlug() {
  editor_.reset();  // the editor looks at the graph until it goes
  cores_.reset();   // workers finish their pass before the graph goes
  audioHook.Clear();
  root_.reset();
}

void TVSTPlug::Startup() {
  InstallModuleTypes();
  curBlockSize_ = 1024;
  curSampleRate_ = 44100.0f;
  reciprocalRate_ = 1.0f / curSampleRate_;
  cores_ = std::make_unique<CCoreSet>(CCoreSet::Processors(), true);
  {
    CSettings ini;
    std::string gui = ini.ReadString("layout", "gui", "");
    std::transform(gui.begin(), gui.end(), gui.begin(), [](unsigned char c) { return std::toupper(c); });
    gdiDrawing_ = gui == "GDI";
  }
  project_.ResetParameters();
  editRect_ = {0, 0, 361, 512};
  scratch1_.assign(static_cast<size_t>(curBlockSize_) * 8, 0);
  scratch2_.assign(static_cast<size_t>(curBlockSize_) * 8, 0);

  root_ = std::make_unique<CGroup>(nullptr);
  root_->id = "Master Out";
  root_->plugin = this;
  root_->workers = cores_.get();
  root_->SetSampleRate(curSampleRate_);
  root_->AddAudioIn(2);
  root_->SetBlockSize(curBlockSize_);
  root_->latencyChanged = Callback<void(int32_t)>::Bind<&TVSTPlug::LatencyChanged>(this);
  auto mi = std::make_unique<CMasterIn>(root_.get());
  mi->x = 16;
  mi->y = 32;
  masterIn_ = static_cast<CMasterIn*>(root_->AddChild(std::move(mi)));
  root_->masterIn = masterIn_;
  root_->x = 200;
  root_->y = 200;
  root_->modified = 0;
  root_->rebuild = false;

  project_.hooks.masterInChanged = [this](CMasterIn& m) { MasterInChanged(m); };
  project_.hooks.waitForSilence = [this] { WaitForSilence(); };
  project_.hooks.addRecent = [](const std::string& path) {
    try {
      CSettings ini;
      AddRecent(ini, path);
    } catch (const std::exception& e) {
      ShowNotice(e.what());
    }
  };
  project_.hooks.mainWindowLoaded = [this] {
    editRect_.bottom = static_cast<int16_t>(std::max(project_.mainHeight, 16));
    editRect_.right = static_cast<int16_t>(std::max(project_.mainWidth, 16));
    // The host does not know this plug-in before the entry point returns.
    if (started_) sizeWindow(editRect_.right, editRect_.bottom);
  };
  progFiles_.Load(ProgFilesPath());
  // The start project: "default.qrw" beside the plug-in as a template, else
  // empty. It loads here and now: nothing processes yet, and a host that sends
  // no idle calls would otherwise play silence (and save it over the song).
  const std::string templ = JoinPath(FolderOf(libraryPath_), "default.qrw");
  if (libraryPath_.empty() || !OpenProjectFileNow(*root_, project_, templ, false, true))
    EmptyProject(*root_, project_);
  started_ = true;
}

void TVSTPlug::MasterInChanged(CMasterIn& m) {
  masterIn_ = &m;
  root_->masterIn = &m;
  m.ioChanged = Callback<void()>::Bind<&TVSTPlug::MasterInputsChanged>(this);
}

// The host reads our input pins again; not before it knows the plug-in.
void TVSTPlug::MasterInputsChanged() {
  if (started_) ioChanged();
}

void TVSTPlug::LatencyChanged(int32_t samples) {
  setInitialDelay(samples);
  ioChanged();
}

void TVSTPlug::WaitForSilence() noexcept {
  // The rebuild flag is up; a block that started before it finishes on its own.
  while (busy_.load(std::memory_order_seq_cst)) {
#if defined(__x86_64__)
    __builtin_ia32_pause();
#endif
  }
}

bool TVSTPlug::OpenProject(const std::string& path) { return OpenProjectFile(*root_, project_, path, true); }

void TVSTPlug::setSampleRate(float rate) {
  if (rate != curSampleRate_ && rate > 0.0f) {
    curSampleRate_ = rate;
    reciprocalRate_ = 1.0f / rate;
    sampleRate = rate;
    root_->SetSampleRate(rate);
  }
  g_samplesPerMs = static_cast<int>(std::nearbyint(rate * 0.001f));
}

void TVSTPlug::setBlockSize(int32_t frames) {
  if (frames == curBlockSize_) return;
  const int32_t old = curBlockSize_;
  if (!root_->SetFrames(frames)) return;  // the graph told the user and kept its size
  try {
    std::vector<uint8_t> s1(static_cast<size_t>(frames) * 8, 0), s2(static_cast<size_t>(frames) * 8, 0);
    scratch1_.swap(s1);
    scratch2_.swap(s2);
  } catch (const std::exception& e) {
    ShowNotice(std::string("setFrames error: ") + e.what());
    root_->SetFrames(old);
    return;
  }
  curBlockSize_ = frames;
  blockSize = frames;
}

void TVSTPlug::setParameter(int32_t index, float value) {
  HostParameter& p = project_.parameters[static_cast<size_t>(index & 127)];
  std::atomic_ref<float>(p.value).store(value, std::memory_order_relaxed);
  if (project_.parameterMode == 1) std::atomic_ref<uint8_t>(p.changed).store(1, std::memory_order_release);
}

float TVSTPlug::getParameter(int32_t index) {
  return std::atomic_ref<float>(project_.parameters[static_cast<size_t>(index & 127)].value)
      .load(std::memory_order_relaxed);
}

void TVSTPlug::getProgramName(char* name) { CopyText(name, "Quillrow", vst2::kMaxProgNameLen); }

void TVSTPlug::getParameterDisplay(int32_t index, char* text) {
  // Ties go to the even neighbour (the default rounding mode), as everywhere.
  const auto v = static_cast<long>(std::nearbyint(getParameter(index) * 100.0f));
  CopyText(text, std::to_string(v), vst2::kMaxParamStrLen);
}

void TVSTPlug::getParameterName(int32_t index, char* text) {
  CopyText(text, project_.parameters[static_cast<size_t>(index & 127)].name, vst2::kMaxParamStrLen);
}

void TVSTPlug::resume() { Host(vst2::audioMasterWantMidi, 0, 1); }
void TVSTPlug::suspend() {}

int32_t TVSTPlug::getChunk(void** data, bool) {
  chunk_.Clear();
  SaveProject(*root_, project_, chunk_);
  chunk_.Rewind();
  if (data) *data = chunk_.Data().data();
  return static_cast<int32_t>(chunk_.Size());
}

int32_t TVSTPlug::setChunk(void* data, int32_t size, bool) {
  // A chunk that does not load whole is refused with the loader's message
  // before anything is torn down: the song that plays goes on playing.
  {
    const auto* p = static_cast<const uint8_t*>(data);
    const std::vector<uint8_t> bytes(p, p + (data && size > 0 ? size : 0));
    if (!ProjectLoadsWhole(bytes, project_.hooks)) return 0;
  }
  // The host's song wins over any open still waiting: it is what the musician
  // saved, and the host will store whatever we hold at its next save.
  pendingProgram_.store(-1, std::memory_order_relaxed);
  pendingFile_.clear();
  if (!BeginLoadNow(*root_, project_)) return 0;
  // A load that fails part way still ends with the flag down: a flag left up
  // would keep the plug-in silent and refuse every later chunk.
  struct Lower {
    CGroup& root;
    ~Lower() { root.rebuild = false; }
  } lower{*root_};
  WaitForSilence();
  chunk_.Clear();
  if (data && size > 0) chunk_.WriteBytes(data, static_cast<size_t>(size));
  chunk_.Rewind();
  LoadProject(*root_, project_, chunk_);
  chunk_.Clear();
  return 0;
}

// ---------------------------------------------------------------- processing

void TVSTPlug::ApplyHostTime() noexcept {
  float tempo = root_->tempo;
  if (audioMaster) {
    if (const vst2::VstTimeInfo* ti = getTimeInfo(vst2::kVstPpqPosValid | vst2::kVstTempoValid)) {
      TransportInfo& t = root_->transport;
      t.hostSamplePos = ti->samplePos;
      if (ti->tempo != 0.0) tempo = static_cast<float>(ti->tempo);
      if (ti->flags & vst2::kVstPpqPosValid) t.songTicks = ti->ppqPos * 960.0;
      const bool playing = (ti->flags & vst2::kVstTransportPlaying) != 0;
      if (playing != t.playing) {
        t.playing = playing;
        t.changed = true;
      }
      if (t.playing && t.changed) {
        t.loop = (ti->flags & vst2::kVstTransportCycleActive) != 0;
        t.loopStart = ti->cycleStartPos * 960.0;
        t.loopEnd = ti->cycleEndPos * 960.0;
      }
    } else {
      const int32_t at = tempoAt(0);
      if (at != 0) tempo = static_cast<float>(at / 10000);  // whole beats per minute
    }
  }
  if (tempo != root_->tempo) root_->SetTempo(tempo);
}

void TVSTPlug::RouteMidi() noexcept {
  masterIn_->ClearQueues();
  lastPort_ = 0;
  const bool merged = masterIn_->midiOutPorts == 1;
  for (const MidiEvent& e : hostMidiIn_) {
    if (g_runMode.load(std::memory_order_relaxed) == kRunStandalone && progFiles_.enabled &&
        midi::Type(e.msg) == 0xC0 && midi::Data1(e.msg) < progFiles_.files.size()) {
      pendingProgram_.store(static_cast<int>(midi::Data1(e.msg)), std::memory_order_release);
      continue;
    }
    if (merged) {
      masterIn_->Merged().Push(e.msg, e.kind, e.value, e.time);
    } else {
      const uint32_t port = midi::Port(e.msg);
      if (port >= static_cast<uint32_t>(limits::kMidiPorts)) continue;
      masterIn_->PortQueue(static_cast<int>(port)).Push(e.msg, e.kind, e.value, e.time);
      lastPort_ = static_cast<int32_t>(port);
    }
  }
  hostMidiIn_.Clear();
}

void TVSTPlug::RouteParameters() noexcept {
  if (project_.parameterMode != 1) return;
  const bool merged = masterIn_->midiOutPorts == 1;
  for (int i = 0; i < kHostParameters; ++i) {
    HostParameter& p = project_.parameters[static_cast<size_t>(i)];
    if (!std::atomic_ref<uint8_t>(p.changed).load(std::memory_order_acquire)) continue;
    if (p.kind == 1) {
      const float v = std::atomic_ref<float>(p.value).load(std::memory_order_relaxed);
      uint32_t bits;
      std::memcpy(&bits, &v, 4);
      const uint32_t msg =
          midi::Make(0xB0, static_cast<uint32_t>(i), static_cast<uint32_t>(std::nearbyint(v * 127.0f)));
      CMIDIQ& q = merged ? masterIn_->Merged() : masterIn_->PortQueue(lastPort_);
      q.Push(merged ? msg : midi::WithPort(msg, static_cast<uint32_t>(lastPort_)), kMidiKindParameter, bits,
             0.0f);
    }
    std::atomic_ref<uint8_t>(p.changed).store(0, std::memory_order_relaxed);
  }
}

void TVSTPlug::SendMidiOut() noexcept {
  if (!audioMaster) return;
  int n = 0;
  for (const MidiEvent& e : root_->midiQueue) {
    if (n >= kHostMidiOutEvents) break;
    vst2::VstMidiEvent& m = midiOut_[static_cast<size_t>(n)];
    m = vst2::VstMidiEvent{};
    m.type = vst2::kVstMidiType;
    m.byteSize = static_cast<int32_t>(sizeof(vst2::VstMidiEvent));
    m.deltaFrames = static_cast<int32_t>(std::floor(e.time));
    m.midiData[0] = static_cast<char>(midi::Status(e.msg));
    m.midiData[1] = static_cast<char>(midi::Data1(e.msg));
    m.midiData[2] = static_cast<char>(midi::Data2(e.msg));
    midiOutList_.events[static_cast<size_t>(n)] = reinterpret_cast<vst2::VstEvent*>(&m);
    ++n;
  }
  if (n == 0) return;
  midiOutList_.numEvents = n;
  sendVstEventsToHost(reinterpret_cast<vst2::VstEvents*>(&midiOutList_));
}

void TVSTPlug::processReplacing(float** inputs, float** outputs, int32_t frames) {
  process(inputs, outputs, frames);
}

void TVSTPlug::process(float** inputs, float** outputs, int32_t frames) {
  g_audioRunning.store(true, std::memory_order_relaxed);
  inCallback_.store(true, std::memory_order_relaxed);
  auto silence = [&] {
    if (!outputs) return;
    for (int c = 0; c < hostOutputs_; ++c)
      if (outputs[c]) std::memset(outputs[c], 0, sizeof(float) * static_cast<size_t>(std::max(frames, 0)));
  };
  // busy_ is raised before the rebuild flag is read, and the loader raises the
  // rebuild flag before it waits for busy_ to fall: one of the two always sees
  // the other, so a load never overlaps a block.
  if (busy_.exchange(true, std::memory_order_seq_cst)) {
    silence();
    inCallback_.store(false, std::memory_order_relaxed);
    return;
  }
  if (root_->rebuild.load(std::memory_order_seq_cst) || frames <= 0 || frames > root_->blockSize) {
    // A block longer than the one the host announced has nowhere to go.
    silence();
    busy_.store(false, std::memory_order_seq_cst);
    inCallback_.store(false, std::memory_order_relaxed);
    return;
  }
  // Whatever a hook installed from above does, the flags fall with the block.
  struct Release {
    TVSTPlug& p;
    ~Release() {
      p.busy_.store(false, std::memory_order_seq_cst);
      p.inCallback_.store(false, std::memory_order_relaxed);
    }
  } release{*this};
  ScopedFlushDenormals ftz;
  const size_t n = static_cast<size_t>(frames);
  if (g_runMode.load(std::memory_order_relaxed) != kRunStandalone) ApplyHostTime();

  for (auto& pp : masterIn_->audioOuts) {
    const CAudioOut& port = *pp;
    for (int c = 0; c < port.channels; ++c) {
      const int ch = port.firstChannel + c;
      float* dst = masterIn_->outCh[static_cast<size_t>(ch)];
      if (!dst) continue;
      if (inputs && ch < hostInputs_ && inputs[ch])
        std::memcpy(dst, inputs[ch], sizeof(float) * n);
      else
        std::memset(dst, 0, sizeof(float) * n);
    }
  }
  RouteMidi();
  RouteParameters();

  root_->masterIn = masterIn_;
  root_->midiQueue.Clear();
  root_->Process(frames);

  if (hostOutputs_ >= 2 && audioHook && !root_->audioIns.empty()) {
    const CAudioIn& p = *root_->audioIns[0];
    audioHook(root_->inCh[static_cast<size_t>(p.firstChannel)],
              root_->inCh[static_cast<size_t>(p.firstChannel + (p.channels > 1 ? 1 : 0))], frames);
  }

  const bool clip = g_runMode.load(std::memory_order_relaxed) == kRunStandalone;
  int ch = 0;
  for (auto& pp : root_->audioIns) {
    for (int c = 0; c < pp->channels; ++c, ++ch) {
      if (ch >= hostOutputs_ || !outputs || !outputs[ch]) continue;
      const float* src = root_->inCh[static_cast<size_t>(pp->firstChannel + c)];
      float* dst = outputs[ch];
      if (clip) {
        for (size_t i = 0; i < n; ++i) dst[i] = std::clamp(src[i], -1.0f, 1.0f);
      } else {
        std::memcpy(dst, src, sizeof(float) * n);
      }
    }
  }
  for (; ch < hostOutputs_; ++ch)
    if (outputs && outputs[ch]) std::memset(outputs[ch], 0, sizeof(float) * n);

  SendMidiOut();
  if (midiObserver) midiObserver(root_->midiQueue);
}

// ---------------------------------------------------------------- dispatcher

int32_t TVSTPlug::PinProperties(vst2::VstPinProperties* pin, int32_t index, bool input) const {
  if (!pin) return 0;
  std::memset(pin, 0, sizeof *pin);
  if (customIO_) {
    std::strcpy(pin->label, "qrw");
    pin->flags = vst2::kVstPinIsActive | vst2::kVstPinIsStereo;
    return 1;
  }
  int first = 0, position = 1;
  auto match = [&](int channels) {
    if (index >= first && index < first + channels) {
      const std::string label = "qrw" + std::to_string(position);
      std::strncpy(pin->label, label.c_str(), sizeof pin->label - 1);
      pin->flags = 1 | channels;
      return true;
    }
    first += channels;
    ++position;
    return false;
  };
  if (input) {
    for (const auto& p : masterIn_->audioOuts)
      if (match(p->channels)) return 1;
  } else {
    for (const auto& p : root_->audioIns)
      if (match(p->channels)) return 1;
  }
  return 0;
}

void TVSTPlug::IdlePass() {
  if (!idleReentry_) {
    idleReentry_ = 1;
    root_->Idle();
    root_->ReleasePending();
    idleReentry_ = 0;
  }
  const int prog = pendingProgram_.exchange(-1, std::memory_order_acq_rel);
  if (prog >= 0 && prog < static_cast<int>(progFiles_.files.size()))
    pendingFile_ = progFiles_.files[static_cast<size_t>(prog)].fileName;
  if (!pendingFile_.empty() && FileExists(pendingFile_) && OpenProject(pendingFile_)) pendingFile_.clear();
}

intptr_t TVSTPlug::dispatcher(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt) {
  using namespace vst2;
  switch (opcode) {
    case effClose:
      editor_.reset();
      cores_.reset();
      audioHook.Clear();
      root_.reset();
      masterIn_ = nullptr;
      scratch1_.clear();
      scratch2_.clear();
      return 0;
    case effGetProgramName:
      getProgramName(static_cast<char*>(ptr));
      return 0;
    case effSetSampleRate:
      setSampleRate(opt);
      return 0;
    case effSetBlockSize:
      setBlockSize(static_cast<int32_t>(std::clamp<intptr_t>(value, 0, std::numeric_limits<int32_t>::max())));
      return 0;
    case effMainsChanged:
      if (value) resume();
      return 0;
    case effEditGetRect:
      if (ptr) *static_cast<ERect**>(ptr) = &editRect_;
      return 1;
    case effEditOpen:
    case effEditClose:
      return EditorOpcode(opcode, ptr);
    case effEditIdle:
      IdlePass();
      EditorOpcode(opcode, ptr);
      return 0;
    case effIdle:
      IdlePass();
      return 0;
    case effGetChunk:
      return getChunk(static_cast<void**>(ptr), index != 0);
    case effSetChunk:
      return setChunk(ptr, static_cast<int32_t>(value), index != 0);
    case effProcessEvents: {
      const auto* list = static_cast<const VstEvents*>(ptr);
      if (!list) return 1;
      for (int32_t i = 0; i < list->numEvents; ++i) {
        const VstEvent* ev = list->events[i];
        if (!ev || ev->type != kVstMidiType) continue;
        const auto* m = reinterpret_cast<const VstMidiEvent*>(ev);
        const uint32_t msg = static_cast<uint8_t>(m->midiData[0]) |
                             (static_cast<uint8_t>(m->midiData[1]) << 8) |
                             (static_cast<uint32_t>(static_cast<uint8_t>(m->midiData[2])) << 16) |
                             (static_cast<uint32_t>(m->flags) << 24);
        hostMidiIn_.Push(msg, kMidiKindMessage, 0, static_cast<float>(m->deltaFrames));
      }
      return 1;
    }
    case effGetInputProperties:
      return PinProperties(static_cast<VstPinProperties*>(ptr), index, true);
    case effGetOutputProperties:
      return PinProperties(static_cast<VstPinProperties*>(ptr), index, false);
    case effGetEffectName:
    case effGetProductString:
      // Hosts list plug-ins by this name: the two libraries must not look alike.
      CopyText(static_cast<char*>(ptr),
               g_runMode.load() == kRunInstrument ? "Quillrow Instrument" : "Quillrow", kMaxEffectNameLen);
      return 1;
    case effGetPlugCategory:
      return g_runMode.load() == kRunInstrument ? kPlugCategSynth : kPlugCategEffect;
    case effGetVendorString:
      CopyText(static_cast<char*>(ptr), "Quillrow", kMaxVendorStrLen);
      return 1;
    case effCanDo: {
      const char* what = static_cast<const char*>(ptr);
      if (!what) return 0;
      for (const char* yes : {"sendVstMidiEvent", "receiveVstMidiEvent", "receiveVstTimeInfo"})
        if (std::strcmp(what, yes) == 0) return 1;
      return 0;
    }
    case effGetVstVersion:
      return 2;
    case kOpSetHostChannels:
      // The copy loops of processing trust these counts.
      hostInputs_ = LimitHostChannels(index);
      hostOutputs_ = LimitHostChannels(value);
      return 0;
    case kOpWindowEvent:
      return 0;
    case kOpOpenProject:
      if (ptr) OpenProject(static_cast<const char*>(ptr));
      return 0;
    case kOpTempo:
      return static_cast<intptr_t>(std::nearbyint(root_->tempo));
    case kOpMainWindow:
      return reinterpret_cast<intptr_t>(editor_.get());
    case kOpPluginObject:
      return reinterpret_cast<intptr_t>(this);
    default:
      return AudioEffect::dispatcher(opcode, index, value, ptr, opt);
  }
}

// ---------------------------------------------------------------- editor

namespace {
std::atomic<EditorFactory> g_editorFactory{nullptr};
}  // namespace

void SetEditorFactory(EditorFactory factory) noexcept { g_editorFactory.store(factory); }
EditorFactory GetEditorFactory() noexcept { return g_editorFactory.load(); }

intptr_t TVSTPlug::EditorOpcode(int32_t opcode, void* ptr) noexcept {
  // Nothing the window layer throws may reach the host.
  try {
    switch (opcode) {
      case vst2::effEditOpen:
        if (!editor_) {
          const EditorFactory make = GetEditorFactory();
          if (!make) return 1;  // no window of our own in this build
          editor_ = make(*this);
        }
        if (editor_ && !editor_->Open(ptr)) editor_.reset();
        return 1;
      case vst2::effEditClose:
        if (editor_) editor_->Close();
        editor_.reset();
        return 1;
      case vst2::effEditIdle:
        if (editor_) editor_->Idle();
        return 0;
      default:
        return 0;
    }
  } catch (...) {
    editor_.reset();
    return 0;
  }
}

// ---------------------------------------------------------------- entry

vst2::AEffect* CreatePlugin(vst2::HostCallback host, const std::string& library_path) noexcept {
  if (!host || host(nullptr, vst2::audioMasterVersion, 0, 0, nullptr, 0.0f) == 0) return nullptr;
  vst2::HostCallback expected = nullptr;
  if (!IsOurHostCallback(host)) g_hostCallback.compare_exchange_strong(expected, host);
  try {
    // Ownership passes to the host through the C interface; effClose returns it.
    auto plug = std::make_unique<TVSTPlug>(host, library_path);
    vst2::AEffect* effect = plug.release()->GetAeffect();
    vst2::AEffect* none = nullptr;
    // Requests of the plug-ins we host that we do not answer go to this host.
    if (g_firstEffect.compare_exchange_strong(none, effect)) SetOuterHost(host, effect);
    return effect;
  } catch (const std::exception& e) {
    // A plug-in that cannot start is one the host lists as failed, not a crash.
    try {
      ShowNotice(e.what());
    } catch (...) {
    }
    return nullptr;
  }
}

}  // namespace qr
