#include "vsthost/VST.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "graph/BusyFlag.h"
#include "graph/Container.h"
#include "platform/Files.h"
#include "platform/Messages.h"
#include "platform/Settings.h"
#include "stream/RecordStream.h"
#include "vsthost/PluginFolders.h"

namespace qr {

namespace {

using namespace vst2;

std::atomic<HostCallback> g_outerHost{nullptr};
std::atomic<AEffect*> g_outerEffect{nullptr};

constexpr const char* kHostCanDo[] = {"sizeWindow", "sendVstMidiEvent", "receiveVstMidiEvent",
                                      "acceptIOChanges", "sendVstTimeInfo"};

bool WeCanDo(const void* ptr) {
  if (!ptr) return false;
  const auto* text = static_cast<const char*>(ptr);
  for (const char* s : kHostCanDo)
    if (std::strcmp(text, s) == 0) return true;
  return false;
}

intptr_t PassOn(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt) noexcept {
  const HostCallback outer = g_outerHost.load(std::memory_order_acquire);
  if (!outer) return 0;
  try {
    return outer(g_outerEffect.load(std::memory_order_acquire), opcode, index, value, ptr, opt);
  } catch (...) {
    return 0;
  }
}

// What a plug-in hears before it has a module (during its entry call, or a scan)
// and what we answer ourselves when no host loaded us.
intptr_t AnswerAlone(int32_t opcode, void* ptr) noexcept {
  switch (opcode) {
    case audioMasterVersion:
      return kHostVersion;
    case audioMasterCanDo:
      return WeCanDo(ptr) ? 1 : 0;
    case audioMasterGetVendorString:
    case audioMasterGetProductString:
      if (ptr) std::strcpy(static_cast<char*>(ptr), "Quillrow");
      return ptr ? 1 : 0;
    case audioMasterGetVendorVersion:
      return 1;
    default:
      return 0;
  }
}

int32_t PinCount(int32_t n) noexcept { return std::clamp(n, 0, CVST::kMaxPins); }

}  // namespace

void SetOuterHost(HostCallback host, AEffect* self) noexcept {
  if (IsOurHostCallback(host)) return;
  g_outerHost.store(host, std::memory_order_release);
  g_outerEffect.store(self, std::memory_order_release);
}

bool IsOurHostCallback(HostCallback host) noexcept { return host == &CVST::HostCallback; }

CVST::CVST(CContainer* parent_container) : CComp(parent_container) {
  bypassWhenDisabled = 1;
  for (int i = 0; i < kMaxEvents; ++i)
    eventList_.events[i] = reinterpret_cast<VstEvent*>(&events_[static_cast<size_t>(i)]);
  if (parent_container && parent_container->isGroup)
    transport_ = &static_cast<CGroup*>(parent_container)->transport;
}

CVST::~CVST() { Unload(); }

intptr_t CVST::Dispatch(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt) const noexcept {
  if (!effect_ || !effect_->dispatcher) return 0;
  try {
    return effect_->dispatcher(effect_, opcode, index, value, ptr, opt);
  } catch (...) {
    return 0;
  }
}

// ---------------------------------------------------------------- loading

bool CVST::LoadPlugin(const std::string& requested) {
  if (loaded_) return true;
  std::string where = requested;
  const std::string name = FileNameOf(requested);
  if (!FileExists(where)) {
    where = FindPluginFile(name, PluginFolders());
    if (where.empty()) {
      path_ = requested;
      problem_ = name + " not found";
      ShowNotice(problem_);
      return false;
    }
  }
  path_ = where;
  folder = FolderOf(where);
  file = FileNameOf(where);
  std::string error;
  if (!lib_.Open(where, error)) {
    problem_ = error;
    ShowError("Error", error);
    return false;
  }
  auto entry = reinterpret_cast<EntryProc>(lib_.Symbol("VSTPluginMain"));
  if (!entry) entry = reinterpret_cast<EntryProc>(lib_.Symbol("main"));
  if (!entry) {
    lib_.Close();
    problem_ = "This is not a VST plug-in:\n" + file;
    ShowError("Error", problem_);
    return false;
  }
  AEffect* e = nullptr;
  try {
    e = entry(&CVST::HostCallback);
  } catch (...) {
    e = nullptr;
  }
  if (!e) {
    lib_.Close();
    problem_ = "Get VST record: failed";
    ShowError("Error", problem_);
    return false;
  }
  if (e->magic != kEffectMagic) {
    // A record we cannot trust is not called again, not even to close it.
    lib_.Close();
    problem_ = "Testing VST magic: failed";
    ShowError("Error", problem_);
    return false;
  }
  effect_ = e;
  if (e->numInputs < 0 || e->numOutputs < 0 || e->numInputs > kMaxPins || e->numOutputs > kMaxPins) {
    problem_ = file + ": more audio channels than a host can give";
    ShowError("Error", problem_);
    Dispatch(effClose);
    effect_ = nullptr;
    lib_.Close();
    return false;
  }
  e->user = this;
  hasEditor = (e->flags & effFlagsHasEditor) ? 1 : 0;
  Dispatch(effOpen);
  char canDo[] = "sendVstMidiEvent";
  sendsMidi = Dispatch(effCanDo, 0, 0, canDo) == 1 ? 1 : 0;
  Dispatch(effSetProgram, 0, 0);
  Dispatch(effSetSampleRate, 0, 0, nullptr, sampleRate);
  Dispatch(effSetBlockSize, 0, blockSize > 0 ? blockSize : 1024);
  {
    BusyLock lock(busy);
    BuildPorts();
  }
  Dispatch(effMainsChanged, 0, 1);
  enabled = 1;
  loaded_ = 1;
  problem_.clear();
  AllocBuffers();
  // A plug-in added to a playing graph brings its latency with it; a project
  // load compensates everything once at its end.
  const CGroup* root = Root();
  if (Latency() > 0 && root && !root->rebuild.load()) compensate_ = 1;
  return true;
}

void CVST::Unload() noexcept {
  if (effect_) {
    if (loaded_ && enabled == 1) Dispatch(effMainsChanged, 0, 0);
    Dispatch(effClose);
    effect_ = nullptr;
  }
  loaded_ = 0;
  lib_.Close();
}

// Pins become ports: a pair the plug-in calls stereo is one stereo port, any
// other pin a mono one. Existing output ports are kept (with their volume, pan
// and cables) as far as they go, so a plug-in that changes its outputs does not
// lose the wiring of the ones it kept.
void CVST::BuildPorts() {
  const int nIn = PinCount(effect_->numInputs), nOut = PinCount(effect_->numOutputs);
  bool defaultStereo = true;
  try {
    defaultStereo = CSettings{}.Get(keys::kVSTDefaultStereo);
  } catch (...) {
  }
  auto widths = [&](int n, int32_t opcode) {
    std::vector<int> w;
    for (int i = 0; i < n;) {
      bool stereo = false;
      if (i + 1 < n) {
        VstPinProperties p{};
        stereo = Dispatch(opcode, i, 0, &p) != 0 && (p.flags & kVstPinIsStereo);
      }
      w.push_back(stereo ? 2 : 1);
      i += stereo ? 2 : 1;
    }
    if (defaultStereo && n == 2 && w.size() == 2) w = {2};
    return w;
  };
  // Ports stop where a module's channels do; a pair that would cross the
  // limit becomes one mono port.
  auto fit = [](std::vector<int> w) {
    int total = 0;
    for (size_t i = 0; i < w.size(); ++i) {
      if (total + w[i] > limits::kMaxChannels) w[i] = 1;
      if (total + w[i] > limits::kMaxChannels) {
        w.resize(i);
        break;
      }
      total += w[i];
    }
    return w;
  };
  const std::vector<int> ins = fit(widths(nIn, effGetInputProperties));
  const std::vector<int> outs = fit(widths(nOut, effGetOutputProperties));

  FreeBuffers();
  for (size_t i = audioInCables.size(); i-- > 0;)
    if (audioInCables[i]->destIn >= static_cast<int>(ins.size())) DisconnectAudio(audioInCables[i].get());
  audioIns.clear();
  for (int w : ins) AddAudioIn(w);
  for (size_t i = audioOutCables.size(); i-- > 0;) {
    CAudioCable* c = audioOutCables[i];
    if (c->sourceOut >= static_cast<int>(outs.size())) c->Dest()->DisconnectAudio(c);
  }
  if (audioOuts.size() > outs.size()) audioOuts.resize(outs.size());
  for (size_t i = 0; i < audioOuts.size(); ++i) audioOuts[i]->channels = outs[i];
  for (size_t i = audioOuts.size(); i < outs.size(); ++i) AddAudioOut(outs[i]);
  AllocBuffers();
  const size_t spare = static_cast<size_t>(std::max(blockSize, 1));
  spareIn_.assign(nIn > limits::kMaxChannels ? spare : 0, 0.0f);
  spareOut_.assign(nOut > limits::kMaxChannels ? spare : 0, 0.0f);
  builtInputs = nIn;
  builtOutputs = nOut;
  ioChanged = 0;
}

// ---------------------------------------------------------------- processing

void CVST::SetTransport(const TransportInfo* transport, bool own_timeline) noexcept {
  transport_ = transport;
  ownTimeline_ = own_timeline;
}

void CVST::AppendEvent(uint32_t msg, int32_t delta) noexcept {
  if (eventCount_ >= kMaxEvents) return;
  VstMidiEvent& e = events_[static_cast<size_t>(eventCount_++)];
  e = VstMidiEvent{};
  e.type = kVstMidiType;
  e.byteSize = sizeof(VstMidiEvent);
  e.deltaFrames = std::max(delta, 0);
  e.midiData[0] = static_cast<char>(midi::Status(msg));
  e.midiData[1] = static_cast<char>(midi::Data1(msg));
  e.midiData[2] = static_cast<char>(midi::Data2(msg));
}

void CVST::SetMappedParameter(const CCMapEntry& entry, uint32_t value) noexcept {
  if (!effect_->setParameter || entry.param < 0 || entry.param >= effect_->numParams) return;
  // The controller's own range (min..max) spans the whole parameter, so a
  // controller that only travels part of the way still reaches both ends.
  float v;
  if (entry.max > entry.min) {
    const int32_t c = std::clamp(static_cast<int32_t>(value), entry.min, entry.max);
    v = static_cast<float>(c - entry.min) / static_cast<float>(entry.max - entry.min);
  } else {
    v = static_cast<float>(value & 127) / 127.0f;
  }
  effect_->setParameter(effect_, entry.param, v);
}

void CVST::RunPiece(int start, int frames) noexcept {
  if (powerRequest.load(std::memory_order_acquire) == kPowerOn) {
    Dispatch(effMainsChanged, 0, 1);
    enabled = 1;
    powerRequest = kPowerNone;
  }
  const bool off = powerRequest.load(std::memory_order_acquire) == kPowerOff;
  int send = eventCount_;
  if (enabled == 1) {
    // Events due at or after the piece's end (same time as the controller
    // that split it) wait for the next piece, unless the plug-in stops here.
    if (!off)
      while (send > 0 && events_[static_cast<size_t>(send - 1)].deltaFrames >= frames) --send;
    for (int i = 0; i < send; ++i) {
      const VstMidiEvent& e = events_[static_cast<size_t>(i)];
      held_.Note(midi::Make(static_cast<uint8_t>(e.midiData[0]), static_cast<uint8_t>(e.midiData[1]),
                            static_cast<uint8_t>(e.midiData[2])));
    }
    // After new state the old notes are let go too; it waits for a piece with
    // nothing held back so the note-offs stay last in time order.
    const bool release = !off && send == eventCount_ && releaseHeld_.exchange(0, std::memory_order_acq_rel);
    if (off || release) {
      const int32_t last = std::clamp(send ? events_[static_cast<size_t>(send - 1)].deltaFrames : 0, 0,
                                      std::max(frames - 1, 0));
      for (int i = 0; i < send; ++i)
        events_[static_cast<size_t>(i)].deltaFrames =
            std::min(events_[static_cast<size_t>(i)].deltaFrames, last);
      held_.ReleaseAll([&](uint32_t m) { AppendEvent((m & 0xFFFFFF0Fu) | 0x80u, last); });
      send = eventCount_;
    }
    if (send > 0) {
      eventList_.numEvents = send;
      Dispatch(effProcessEvents, 0, 0, eventList_.AsEvents());
    }
    if (frames > 0) {
      const int nIn = builtInputs, nOut = builtOutputs;
      const int ownIn = std::min(nIn, TotalInputChannels()), ownOut = std::min(nOut, TotalOutputChannels());
      for (int c = 0; c < nIn; ++c)
        inPtr_[static_cast<size_t>(c)] =
            c < ownIn ? inCh[static_cast<size_t>(c)] + start : spareIn_.data() + start;
      for (int c = 0; c < nOut; ++c)
        outPtr_[static_cast<size_t>(c)] =
            c < ownOut ? outCh[static_cast<size_t>(c)] + start : spareOut_.data() + start;
      if (nIn > ownIn) std::memset(spareIn_.data() + start, 0, sizeof(float) * static_cast<size_t>(frames));
      pieceStart_ = start;
      try {
        if ((effect_->flags & effFlagsCanReplacing) && effect_->processReplacing)
          effect_->processReplacing(effect_, inPtr_.data(), outPtr_.data(), frames);
        else if (effect_->process)
          effect_->process(effect_, inPtr_.data(), outPtr_.data(), frames);
      } catch (...) {
      }
    }
  } else {
    send = eventCount_;  // a plug-in that is off hears nothing
  }
  if (off) {
    enabled = 0;
    Dispatch(effMainsChanged, 0, 0);
    powerRequest = kPowerNone;
  }
  // What waited moves to the front, timed from the next piece's start.
  const int keep = eventCount_ - send;
  for (int i = 0; i < keep; ++i) {
    events_[static_cast<size_t>(i)] = events_[static_cast<size_t>(send + i)];
    events_[static_cast<size_t>(i)].deltaFrames -= frames;
  }
  eventCount_ = keep;
}

void CVST::Process(int frames) noexcept {
  if (done[0]) return;
  if (!loaded_ || !effect_ || !HasBuffers() || frames > blockSize || frames <= 0) {
    ZeroOutputs(std::clamp(frames, 0, blockSize));
    done[0] = 1;
    return;
  }
  if (ioChanged.load(std::memory_order_acquire) || PinCount(effect_->numInputs) != builtInputs ||
      PinCount(effect_->numOutputs) != builtOutputs || effect_->numInputs != builtInputs ||
      effect_->numOutputs != builtOutputs) {
    // The ports no longer match the pins: the next idle pass rebuilds them
    // and recomputes delay compensation; until then the plug-in is not called.
    portsStale_.store(1, std::memory_order_release);
    ZeroOutputs(frames);
    done[0] = 1;
    return;
  }
  GatherMidi(frames);
  PullAudio(frames);
  ZeroOutputs(frames);
  eventCount_ = 0;
  int start = 0;
  for (const MidiEvent& ev : midiQueue) {
    const uint32_t m = ev.msg;
    const int at = std::clamp(static_cast<int>(std::floor(ev.time)), start, frames);
    const uint32_t ch = midi::Channel(m);
    if (midi::IsController(m)) {
      const CCMapEntry* hit = nullptr;
      for (const CCMapEntry& c : ccMap)
        if (c.cc == static_cast<int32_t>(midi::Data1(m)) &&
            (channelFilter < 0 || channelFilter == static_cast<int32_t>(ch))) {
          hit = &c;
          break;
        }
      if (hit) {
        RunPiece(start, at - start);
        start = at;
        SetMappedParameter(*hit, midi::Data2(m));
        continue;
      }
    }
    if (channelFilter >= 0 && (m & 0x80) && midi::Status(m) < 0xF0 &&
        static_cast<int32_t>(ch) != channelFilter) {
      // A note the plug-in holds is still let go after the filter moved.
      if (!(midi::IsNoteOff(m) && held_.Count(static_cast<int>(ch), static_cast<int>(midi::Data1(m))) > 0))
        continue;
    }
    AppendEvent(m, at - start);
  }
  RunPiece(start, frames - start);

  // One bad sample poisons everything downstream (filters, reverbs, the
  // host), so a block with any is dropped whole. NaN and infinity times zero
  // are NaN, which makes the check one vectorised sum per channel.
  bool bad = false;
  for (int c = 0; c < std::min(builtOutputs, TotalOutputChannels()) && !bad; ++c) {
    const float* o = outCh[static_cast<size_t>(c)];
    float z = 0.0f;
    for (int i = 0; i < frames; ++i) z += o[i] * 0.0f;
    bad = z != 0.0f || std::isnan(z);
  }
  if (bad) {
    ZeroOutputs(frames);
    nonFinite_.fetch_add(1, std::memory_order_relaxed);
  }
  EndProcess(frames);
}

void CVST::ResetForBlock(int frames) noexcept {
  CComp::ResetForBlock(frames);
  out_.Clear();
}

CMIDIQ* CVST::MidiOutput(int, int frames) noexcept {
  if (!done[0] && enabled && TryTakeBusy()) {
    Process(frames);
    ReleaseBusy();
  }
  return &out_;
}

// ---------------------------------------------------------------- host callback

intptr_t CVST::HostCallback(AEffect* effect, int32_t opcode, int32_t index, intptr_t value, void* ptr,
                            float opt) noexcept {
  CVST* module = effect ? static_cast<CVST*>(effect->user) : nullptr;
  if (!module) {
    if (g_outerHost.load(std::memory_order_acquire)) return PassOn(opcode, index, value, ptr, opt);
    return AnswerAlone(opcode, ptr);
  }
  return module->Answer(opcode, index, value, ptr, opt);
}

intptr_t CVST::Answer(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt) noexcept {
  const bool outer = g_outerHost.load(std::memory_order_acquire) != nullptr;
  const bool own = ownTimeline_ || (parent && !parent->isGroup);
  switch (opcode) {
    case audioMasterProcessEvents: {
      const auto* list = static_cast<const VstEvents*>(ptr);
      if (!list) return 0;
      const int n = std::clamp(list->numEvents, 0, kMaxEvents);
      for (int i = 0; i < n; ++i) {
        const VstEvent* e = list->events[i];
        if (!e || e->type != kVstMidiType) continue;
        const auto* me = reinterpret_cast<const VstMidiEvent*>(e);
        const uint32_t msg =
            midi::Make(static_cast<uint8_t>(me->midiData[0]), static_cast<uint8_t>(me->midiData[1]),
                       static_cast<uint8_t>(me->midiData[2]));
        // Times are the plug-in's offsets within the piece it was running.
        out_.InsertSorted(msg, kMidiKindMessage, 0,
                          static_cast<float>(pieceStart_ + std::max(me->deltaFrames, 0)));
      }
      return 1;
    }
    case audioMasterIOChanged:
      ioChanged.store(1, std::memory_order_release);
      return 1;
    case audioMasterSizeWindow:
      return 0;  // no editor window of ours to resize yet
    case audioMasterGetTime:
      return reinterpret_cast<intptr_t>(TimeInfo(static_cast<int32_t>(value)));
    case audioMasterTempoAt:
      if (own || !outer) return static_cast<intptr_t>(std::lround(static_cast<double>(tempo) * 10000.0));
      return PassOn(opcode, index, value, ptr, opt);
    case audioMasterCanDo:
      if (WeCanDo(ptr)) return 1;
      return outer ? PassOn(opcode, index, value, ptr, opt) : 0;
    // The module's own rate and block size are what the plug-in is run at.
    case audioMasterGetSampleRate:
      return static_cast<intptr_t>(sampleRate);
    case audioMasterGetBlockSize:
      return blockSize;
    default:
      break;
  }
  return outer ? PassOn(opcode, index, value, ptr, opt) : AnswerAlone(opcode, ptr);
}

VstTimeInfo* CVST::TimeInfo(int32_t filter) noexcept {
  const VstTimeInfo* outer = nullptr;
  if (g_outerHost.load(std::memory_order_acquire))
    outer = reinterpret_cast<const VstTimeInfo*>(PassOn(audioMasterGetTime, 0, filter, nullptr, 0.0f));
  const bool own = ownTimeline_ || (parent && !parent->isGroup);
  const TransportInfo* t = transport_;
  if (outer && !own) {
    time_ = *outer;
    return &time_;
  }
  if (outer) {
    time_ = *outer;
  } else {
    // Nobody above us keeps time: our own transport answers everything.
    time_ = VstTimeInfo{};
    time_.timeSigNumerator = 4;
    time_.timeSigDenominator = 4;
    time_.flags = kVstTimeSigValid;
    if (t) time_.samplePos = t->hostSamplePos;
  }
  time_.sampleRate = sampleRate;
  time_.tempo = tempo;
  time_.flags |= kVstTempoValid;
  if (t) {
    const double ticks = t->songTicks;
    if (own && tempo > 0.0f) time_.samplePos = ticks * sampleRate / (16.0 * tempo);
    if (filter & kVstBarsValid || !outer) {
      time_.barStartPos = std::floor(ticks / 960.0);
      time_.flags |= kVstBarsValid;
    }
    if (filter & kVstPpqPosValid || !outer) {
      time_.ppqPos = ticks / 960.0;
      time_.flags |= kVstPpqPosValid;
    }
    time_.flags &=
        ~(kVstTransportPlaying | kVstTransportCycleActive | kVstTransportRecording | kVstCyclePosValid);
    if (t->playing) time_.flags |= kVstTransportPlaying;
    if (t->loop) {
      time_.cycleStartPos = t->loopStart / 960.0;
      time_.cycleEndPos = t->loopEnd / 960.0;
      time_.flags |= kVstTransportCycleActive | kVstCyclePosValid;
    }
  }
  return &time_;
}

intptr_t CVST::PluginDispatch(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt, int32_t,
                              int32_t) {
  return loaded_ ? Dispatch(opcode, index, value, ptr, opt) : 0;
}

// ---------------------------------------------------------------- settings

void CVST::SetEnabled(int32_t on) {
  if (!loaded_) {
    enabled = on ? 1 : 0;
    return;
  }
  if (on) {
    if (enabled == 1 && powerRequest.load() != kPowerOff) return;
    powerRequest = kPowerOn;
    enabled = 1;  // so the cycle runs the module, which switches the plug-in on
  } else if (enabled == 1) {
    powerRequest = kPowerOff;
  }
}

void CVST::SetBlockSize(int frames) {
  CComp::SetBlockSize(frames);
  if (!loaded_) return;
  BusyLock lock(busy);
  const bool running = enabled == 1;
  if (running) Dispatch(effMainsChanged, 0, 0);
  Dispatch(effSetBlockSize, 0, frames);
  if (!spareIn_.empty()) spareIn_.assign(static_cast<size_t>(std::max(frames, 1)), 0.0f);
  if (!spareOut_.empty()) spareOut_.assign(static_cast<size_t>(std::max(frames, 1)), 0.0f);
  if (running) Dispatch(effMainsChanged, 0, 1);
}

void CVST::SetSampleRate(float rate) {
  CComp::SetSampleRate(rate);
  if (!loaded_) return;
  BusyLock lock(busy);
  const bool running = enabled == 1;
  if (running) Dispatch(effMainsChanged, 0, 0);
  Dispatch(effSetSampleRate, 0, 0, nullptr, rate);
  if (running) Dispatch(effMainsChanged, 0, 1);
}

int32_t CVST::Latency() const { return loaded_ && effect_ ? std::max(effect_->initialDelay, 0) : 0; }

void CVST::Idle() {
  CComp::Idle();
  if (loaded_ && (portsStale_.load(std::memory_order_acquire) || compensate_)) {
    CGroup* root = Root();
    // Delay compensation resizes other modules' delay lines, so the whole
    // graph stands still for it, as for a project load: silent from the next
    // block, recomputed once the audio side has passed the posted action. A
    // load already holding the graph still gets its own recompute at the end.
    if (root && root->rebuild.exchange(true)) return;
    compensate_ = 0;
    if (portsStale_.exchange(0, std::memory_order_acq_rel)) {
      BusyLock lock(busy);
      BuildPorts();
    }
    if (!root) return;
    const ActionFn none{[](void*, intptr_t, intptr_t) {}, nullptr};
    const ActionFn recompute{[](void* g, intptr_t, intptr_t) {
                               auto* group = static_cast<CGroup*>(g);
                               group->RecomputeDelayCompensation();
                               group->rebuild.store(false);
                             },
                             root};
    if (!root->Actions().Post(0, 0, none, recompute)) {
      root->rebuild.store(false);
      compensate_ = 1;  // the queue is full: next idle pass
    }
  }
  const int32_t bad = nonFinite_.load(std::memory_order_relaxed);
  if (bad > 0 && nonFiniteReported_ == 0) {
    nonFiniteReported_ = bad;
    ShowNotice(file + " produced samples that are not numbers; they were replaced by silence");
  }
}

std::string CVST::InputName(int index_in) const { return "In " + std::to_string(index_in + 1); }
std::string CVST::OutputName(int index_out) const { return "Out " + std::to_string(index_out + 1); }

}  // namespace qr
