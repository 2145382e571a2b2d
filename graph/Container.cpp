#include "graph/Container.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

#include "graph/Globals.h"
#include "platform/Files.h"
#include "platform/Messages.h"
#include "stream/RecordStream.h"

namespace qr {

// ---------------------------------------------------------------- CContainer

void CContainer::ChildChanged(CComp*) {}
void CContainer::ChildRemoved(CComp*) {}
void CContainer::ClearChildren() {}
int CContainer::ChildCount() const { return 0; }
void CContainer::ReplaceModule(CComp*, std::unique_ptr<CComp>) {}
void CContainer::SelectModule(CComp*) {}
void CContainer::RecomputeDelayCompensation() {}

// ---------------------------------------------------------------- CPartComp

int CPartComp::PartCount() const { return 0; }
std::string CPartComp::PartName(int) const { return {}; }
void* CPartComp::AddPart() { return nullptr; }
void CPartComp::DeletePart(void*) {}
void* CPartComp::PartAt(int) const { return nullptr; }
void CPartComp::StartStepRecord(void*, int32_t*) {}
bool CPartComp::IsStepRecording() const { return false; }
void CPartComp::PlayPart(void*) {}
void CPartComp::RecordPart(void*) {}
void CPartComp::StopPart(void*) {}
bool CPartComp::IsPlaying(void*) const { return false; }
void CPartComp::SelectPart(void*) {}
void CPartComp::UndoPart(void*) {}
void CPartComp::SetPartTempo(float) {}
void CPartComp::PartMidiInput(uint32_t) {}
CMIDIQ* CPartComp::ProcessMidiBlock(int, int) noexcept { return nullptr; }
void CPartComp::MoveRecorded() {}
void CPartComp::StopAll() {}
void CPartComp::PartChanged(void*) {}
int32_t CPartComp::PartLength(void*) const { return 0; }
void CPartComp::SetPartLength(void*, int32_t) {}
void* CPartComp::CopyPart(void*) { return nullptr; }
void CPartComp::PastePart(void*) {}
bool CPartComp::SavePart(void*, CStream&) { return false; }
bool CPartComp::LoadPart(void*, CStream&) { return false; }
void CPartComp::Locate(double) {}
void CPartComp::ReleaseHeld() noexcept {}
void CPartComp::SetPartKey(void*, int32_t) {}

// ---------------------------------------------------------------- CSamplePlayer

void CSamplePlayer::SetData(std::vector<float> left, std::vector<float> right) {
  if (right.size() != left.size()) right = left;
  left_ = std::move(left);
  right_ = std::move(right);
  pos_ = Length();
}

int CSamplePlayer::MixInto(float* l, float* r, int frames, float gain) noexcept {
  const int n = std::min(frames, Remaining());
  const float* sl = left_.data() + pos_;
  const float* sr = right_.data() + pos_;
  for (int i = 0; i < n; ++i) {
    l[i] += sl[i] * gain;
    r[i] += sr[i] * gain;
  }
  pos_ += n;
  return n;
}

// ---------------------------------------------------------------- CGroup

CGroup::CGroup(CContainer* parent_container) : CContainer(parent_container) {
  id = "group";
  isGroup = 1;
  pendingTempo = tempo;
}

CGroup::~CGroup() {
  // Children first, while the group is still whole, so their cables into the
  // group's inputs are disconnected from a living module.
  children.clear();
  pendingRelease_.clear();
}

CComp* CGroup::AddChild(std::unique_ptr<CComp> module) {
  if (!module) return nullptr;
  module->parent = this;
  for (auto& p : module->audioOuts) p->SetPanLaw(PanLawFactor());
  children.push_back(std::move(module));
  CComp* m = children.back().get();
  m->index = static_cast<int32_t>(children.size());
  MarkModified();
  return m;
}

void CGroup::SetBlockSize(int frames) {
  if (frames == blockSize) {
    AllocBuffers();
    return;
  }
  const int old = blockSize;
  size_t reached = 0;
  try {
    FreeBuffers();
    for (; reached < children.size(); ++reached) children[reached]->SetBlockSize(frames);
    blockSize = frames;
    AllocBuffers();
  } catch (...) {
    // Every child back to the size that worked: a group whose children
    // disagree about the block would hand one of them more frames than its
    // buffers hold.
    blockSize = old;
    FreeBuffers();
    for (size_t i = 0; i <= reached && i < children.size(); ++i) children[i]->SetBlockSize(old);
    AllocBuffers();
    throw;
  }
}

bool CGroup::SetFrames(int frames) noexcept {
  try {
    if (frames <= 0 || frames > limits::kMaxBlockFrames)
      throw std::length_error(std::to_string(frames) + " frames is outside 1.." +
                              std::to_string(limits::kMaxBlockFrames));
    SetBlockSize(frames);
    return true;
  } catch (const std::exception& e) {
    try {
      ShowNotice(std::string("setFrames error: ") + e.what());
    } catch (...) {
    }
  }
  return false;
}

void CGroup::SetSampleRate(float rate) {
  if (rate == sampleRate) return;
  sampleRate = rate;
  for (auto& c : children) c->SetSampleRate(rate);
}

void CGroup::SetTempo(float bpm) {
  // The new tempo reaches every child at the start of the next block.
  if (bpm != tempo) pendingTempo = bpm;
}

void CGroup::Idle() {
  actions.RunIdle();
  for (auto& c : children) c->Idle();
  CComp::Idle();
}

void CGroup::ShowEditor(void*) {}

void CGroup::Finish() { RecomputeDelayCompensation(); }

CComp* CGroup::ModuleByNumber(int number) noexcept {
  if (number == 0) return this;
  if (number < 0 || number > static_cast<int>(children.size())) return nullptr;
  return children[static_cast<size_t>(number - 1)].get();
}

int CGroup::NumberOf(const CComp* module) const noexcept {
  if (module == this) return 0;
  for (size_t i = 0; i < children.size(); ++i)
    if (children[i].get() == module) return static_cast<int>(i + 1);
  return -1;
}

void CGroup::Clear() {
  clickState = 0;
  click_.Stop();
  while (!audioInCables.empty()) DisconnectAudio(audioInCables.back().get());
  // Only what reaches the group's own MIDI output outlives the children.
  for (auto& c : children) ChildRemoved(c.get());
  std::erase_if(farewell_, [this](const Farewell& f) { return f.dest != this; });
  while (!midiIn.empty()) DisconnectMidi(midiIn.back().get());
  children.clear();
  masterIn = nullptr;
  modified = 0;
}

void CGroup::ClearChildren() { Clear(); }

void CGroup::ReplaceModule(CComp* old_module, std::unique_ptr<CComp> new_module) {
  if (!old_module || !new_module) return;
  CComp* nm = new_module.get();
  nm->parent = old_module->parent;
  ChildRemoved(old_module);
  // Move every cable of the old module to the new one.
  while (!old_module->audioInCables.empty()) {
    CAudioCable* c = old_module->audioInCables.front().get();
    CComp* src = c->Source();
    const int si = c->sourceOut, di = c->destIn;
    const float g = c->gain;
    old_module->DisconnectAudio(c);
    if (CAudioCable* n = nm->ConnectAudio(src, di, si)) n->gain = g;
  }
  while (!old_module->audioOutCables.empty()) {
    CAudioCable* c = old_module->audioOutCables.front();
    CComp* dst = c->Dest();
    const int si = c->sourceOut, di = c->destIn;
    const float g = c->gain;
    dst->DisconnectAudio(c);
    if (CAudioCable* n = dst->ConnectAudio(nm, di, si)) n->gain = g;
  }
  while (!old_module->midiIn.empty()) {
    CMidiCable* c = old_module->midiIn.front().get();
    CComp* src = c->Source();
    const int sp = c->sourcePort, dp = c->destPort;
    old_module->DisconnectMidi(c);
    nm->ConnectMidi(src, sp, dp);
  }
  while (!old_module->midiOut.empty()) {
    CMidiCable* c = old_module->midiOut.front();
    CComp* dst = c->Dest();
    const int sp = c->sourcePort, dp = c->destPort;
    dst->DisconnectMidi(c);
    dst->ConnectMidi(nm, sp, dp);
  }
  for (auto& slot : children)
    if (slot.get() == old_module) {
      nm->index = old_module->index;
      pendingRelease_.push_back(std::move(slot));
      slot = std::move(new_module);
      return;
    }
  for (auto& c : children)
    for (auto& port : c->audioOuts)
      for (auto& slot : port->inserts)
        if (slot.get() == old_module) {
          pendingRelease_.push_back(std::move(slot));
          slot = std::move(new_module);
          return;
        }
}

void CGroup::ReleasePending() { pendingRelease_.clear(); }

namespace {

// More than a destination's queue could take in one block is of no use.
constexpr size_t kMaxFarewells = 4 * static_cast<size_t>(limits::kQueueEvents);

}  // namespace

void CGroup::ChildRemoved(CComp* child) {
  if (!child) return;
  struct ToCables final : NoteOffSink {
    CComp& from;
    std::vector<Farewell>& list;
    ToCables(CComp& f, std::vector<Farewell>& l) : from(f), list(l) {}
    void NoteOff(int port, uint32_t msg) noexcept override {
      for (CMidiCable* c : from.midiOut) {
        if ((port >= 0 && c->sourcePort != port) || c->Dest() == &from) continue;
        if (list.size() >= kMaxFarewells) return;
        list.push_back({c->Dest(), msg & 0x00FFFFFFu});  // within the reserve: cannot throw
        c->Dest()->farewellDue = 1;
      }
    }
  };
  ForgetFarewellsTo(*child);
  if (child->midiOut.empty()) return;
  try {
    farewell_.reserve(kMaxFarewells);
  } catch (...) {
    return;  // the notes hang rather than the edit failing halfway
  }
  ToCables sink(*child, farewell_);
  child->ReleaseNotes(sink);
}

void CGroup::ForgetFarewellsTo(const CComp& gone) noexcept {
  const auto goes = [&](const Farewell& f) {
    if (f.dest == &gone) return true;
    for (const auto& port : gone.audioOuts)
      for (const auto& ins : port->inserts)
        if (f.dest == ins.get()) return true;
    return false;
  };
  std::erase_if(farewell_, goes);
}

void CGroup::DeliverFarewell(CComp& dest) noexcept {
  for (const Farewell& f : farewell_)
    if (f.dest == &dest) dest.midiQueue.InsertSorted(f.msg, kMidiKindMessage, 0, 0.0f);
}

void CGroup::SelectModule(CComp* module) {
  if (loading) return;
  for (auto& c : children) c->selected = c.get() == module ? 1 : 0;
  selectionChanged = 1;
}

void CGroup::UpdateSoloState() {
  anySolo = 0;
  for (auto& c : children)
    for (auto& p : c->audioOuts)
      if (p->solo) anySolo = 1;
}

float CGroup::PanLawFactor() const noexcept {
  switch (panLaw_) {
    case 1:
      return 0.5f;
    case 2:
      return 0.0f;
    default:
      return 1.0f;
  }
}

void CGroup::SetPanLaw(int32_t law) {
  panLaw_ = std::clamp(law, 0, 2);
  const float f = PanLawFactor();
  for (auto& p : audioOuts) p->SetPanLaw(f);
  for (auto& c : children)
    for (auto& p : c->audioOuts) {
      p->SetPanLaw(f);
      for (auto& ins : p->inserts)
        for (auto& ip : ins->audioOuts) ip->SetPanLaw(f);
    }
}

// The latency of a cable's source port: the module's own, its inserts', and the
// longest path into the module. Each port is worked out once per recompute, so
// layered graphs with many paths cost no more than their cables.
int32_t CGroup::PathLatency(const CAudioCable& cable, std::unordered_map<const CAudioOut*, int32_t>& memo,
                            int depth) const {
  const CComp* src = cable.Source();
  if (depth > 4096 || cable.sourceOut < 0 || cable.sourceOut >= static_cast<int>(src->audioOuts.size()))
    return 0;
  const CAudioOut* port = src->audioOuts[static_cast<size_t>(cable.sourceOut)].get();
  if (auto it = memo.find(port); it != memo.end()) return it->second;
  int64_t lat = src->Latency();
  for (const auto& ins : port->inserts) lat += ins->Latency();
  int32_t upstream = 0;
  for (const auto& c : src->audioInCables) upstream = std::max(upstream, PathLatency(*c, memo, depth + 1));
  lat += upstream;
  const auto result = static_cast<int32_t>(std::clamp<int64_t>(lat, 0, limits::kMaxLatency));
  memo.emplace(port, result);
  return result;
}

void CGroup::RecomputeDelayCompensation() {
  int32_t m = 0;
  std::unordered_map<const CAudioOut*, int32_t> memo;
  for (auto& c : audioInCables) {
    c->pathLatency = compensation ? PathLatency(*c, memo, 0) : 0;
    m = std::max(m, c->pathLatency);
  }
  for (auto& c : children) c->SetCompensation(m, true);
  for (auto& c : audioInCables) {
    CComp* src = c->Source();
    if (c->sourceOut < 0 || c->sourceOut >= static_cast<int>(src->audioOuts.size())) continue;
    CDelayLine& d = src->audioOuts[static_cast<size_t>(c->sourceOut)]->delay;
    const int32_t want = std::max(0, m - c->pathLatency);
    if (want != d.length) d.SetLength(want);
  }
  if (m != largestLatency) {
    largestLatency = m;
    if (latencyChanged) latencyChanged(m);
  }
}

void CGroup::DelayCompensate(CComp& module, int frames) noexcept {
  for (auto& pp : module.audioOuts) {
    CAudioOut& p = *pp;
    if (p.delay.length <= 0) continue;
    float* l = module.outCh[static_cast<size_t>(p.firstChannel)];
    float* r = p.channels > 1 ? module.outCh[static_cast<size_t>(p.firstChannel + 1)] : nullptr;
    if (l) p.delay.Run(l, r, frames);
  }
}

void CGroup::SetRecorderCapacity(int frames) {
  recL_.assign(static_cast<size_t>(std::max(frames, 0)), 0.0f);
  recR_.assign(static_cast<size_t>(std::max(frames, 0)), 0.0f);
  recFrames_ = 0;
  recorderPos = 0;
}

void CGroup::Process(int frames) noexcept {
  if (groupDone) return;
  groupDone = 1;
  actions.RunAudio();
  if (pendingTempo != tempo) {
    tempo = pendingTempo;
    for (auto& c : children) c->SetTempo(tempo);
  }
  const auto hook = PostProcessHook::Bind<&CGroup::DelayCompensate>(this);
  for (auto& c : children) {
    c->ResetForBlock(frames);
    c->postProcess = hook;
  }
  GatherMidi(frames);
  if (masterIn && midiHook)
    for (const MidiEvent& e : masterIn->Merged()) midiHook(e);
  PullAudio(frames);
  // Every module had its gather by now; what is left had nowhere to go.
  farewell_.clear();
  RunClick(frames);
  RunRecorder(frames);
  groupDone = 0;
}

void CGroup::RunClick(int frames) noexcept {
  if (clickState == 4) {
    clickState = 1;
    clickTicks = 0.0;
    click_.Restart();
  }
  if (clickState != 1 || audioIns.empty() || audioIns[0]->channels < 2 || sampleRate <= 0.0f) return;
  float* l = inCh[static_cast<size_t>(audioIns[0]->firstChannel)];
  float* r = inCh[static_cast<size_t>(audioIns[0]->firstChannel + 1)];
  if (!l || !r) return;
  const double ticksPerSample = 16.0 * tempo / sampleRate;
  const float gain = clickVolume * clickVolume;
  int pos = 0;
  while (pos < frames) {
    // Cut the block at the next beat boundary (960 ticks).
    const double next = (std::floor(clickTicks / 960.0) + 1.0) * 960.0;
    int until = frames;
    if (ticksPerSample > 0.0) {
      const double need = std::ceil((next - clickTicks) / ticksPerSample);
      if (need < static_cast<double>(frames - pos)) until = pos + std::max(1, static_cast<int>(need));
    }
    click_.MixInto(l + pos, r + pos, until - pos, gain);
    clickTicks += ticksPerSample * (until - pos);
    pos = until;
    if (pos < frames || clickTicks >= next) {
      if (clickTicks >= next) click_.Restart();
    }
  }
}

void CGroup::RunRecorder(int frames) noexcept {
  if (audioIns.empty()) return;
  const CAudioIn& p = *audioIns[0];
  const float* l = inCh[static_cast<size_t>(p.firstChannel)];
  const float* r = inCh[static_cast<size_t>(p.firstChannel + (p.channels > 1 ? 1 : 0))];
  if (!l) return;
  if (recorderState == kRecording) {
    const int cap = static_cast<int>(recL_.size());
    const int n = std::min(frames, cap - recFrames_);
    std::memcpy(recL_.data() + recFrames_, l, sizeof(float) * static_cast<size_t>(std::max(n, 0)));
    std::memcpy(recR_.data() + recFrames_, r, sizeof(float) * static_cast<size_t>(std::max(n, 0)));
    recFrames_ += std::max(n, 0);
    if (recFrames_ >= cap) {
      recorderState = kPaused;
      recorderRefresh = 1;
    }
  } else if (recorderState == kPlaying) {
    float* wl = inCh[static_cast<size_t>(p.firstChannel)];
    float* wr = inCh[static_cast<size_t>(p.firstChannel + (p.channels > 1 ? 1 : 0))];
    const int n = std::min(frames, recFrames_ - recorderPos);
    for (int i = 0; i < n; ++i) {
      wl[i] += recL_[static_cast<size_t>(recorderPos + i)];
      if (wr != wl) wr[i] += recR_[static_cast<size_t>(recorderPos + i)];
    }
    recorderPos += std::max(n, 0);
    if (recorderPos >= recFrames_) {
      recorderState = kPaused;
      recorderRefresh = 1;
    }
  }
}

void CGroup::Save(CStream& s) {
  CComp::Save(s);
  for (auto& p : audioIns) {
    s.WriteKey("AudioIn", 0);
    s.WriteKeyInt("AudioInChs", p->channels);
  }
  int entries = 0;
  for (auto& p : audioIns) entries += p->channels == 1 ? 1 : 2;
  s.WriteKey("AInConf", 4 + 4 * entries);
  s.WriteInt(entries);
  for (auto& p : audioIns) {
    s.WriteInt(p->channels == 1 ? 1 : 2);
    if (p->channels != 1) s.WriteInt(0);
  }
  s.WriteKeyFloat("Tempo", pendingTempo);
  if (!clickFile.empty() && FileExists(clickFile)) s.WriteKeyString("ClickFile", clickFile);
  s.WriteKeyFloat("ClickVol", clickVolume);
  s.WriteKeyInt("Sync", clickState);
}

void CGroup::Load(CStream& s, int) {
  std::vector<int> widths;
  std::vector<int> conf;
  bool sawAudioIn = false;
  std::string key;
  int32_t size = 0;
  while (s.NextRecord(key, size) && key != "CEnd") {
    if (LoadBaseRecord(s, key, size, true)) continue;
    if (key == "AudioIn") {
      sawAudioIn = true;
      widths.push_back(2);
      s.Skip(size);
    } else if (key == "AudioInChs") {
      const int32_t n = s.ReadInt();
      if (!widths.empty()) widths.back() = n == 1 ? 1 : 2;
    } else if (key == "AInConf") {
      // n entries follow: 1 a mono port, 2 a stereo port, 0 none (the filler
      // after each 2). The count is bounded by the record's own size.
      const int32_t n = s.ReadInt();
      const int32_t entries = std::clamp(n, 0, std::max(0, (size - 4) / 4));
      conf.clear();
      for (int32_t i = 0; i < entries; ++i) {
        const int32_t e = s.ReadInt();
        if (e == 1 || e == 2) conf.push_back(e);
      }
      s.Skip(std::max(0, size - 4 - 4 * entries));
    } else if (key == "Tempo") {
      pendingTempo = s.ReadFloat();
    } else if (key == "ClickFile") {
      clickFile = s.ReadString();
    } else if (key == "ClickVol") {
      clickVolume = s.ReadFloat();
    } else if (key == "Sync") {
      clickState = s.ReadInt();
      if (clickState == 1) clickState = 4;
    } else {
      s.Skip(size);
    }
  }
  if (!sawAudioIn) widths = conf;
  if (widths.empty()) widths.push_back(2);
  FreeBuffers();
  audioIns.clear();
  for (int w : widths)
    if (!AddAudioIn(w)) break;
  AllocBuffers();
}

// ---------------------------------------------------------------- CMasterIn

CMasterIn::CMasterIn(CContainer* parent_container) : CComp(parent_container) {
  for (auto& q : ports_) q = std::make_unique<CMIDIQ>();
  id = "Master In";
  if (g_runMode.load() != kRunInstrument) AddAudioOut(2);
}

void CMasterIn::ResetForBlock(int frames) noexcept { CComp::ResetForBlock(frames); }

void CMasterIn::ClearQueues() noexcept {
  midiQueue.Clear();
  for (auto& q : ports_) q->Clear();
}

CMIDIQ* CMasterIn::MidiOutput(int port, int) noexcept {
  if (!done[0]) {
    for (const MidiEvent& e : inject_) midiQueue.InsertSorted(e);
    inject_.Clear();
    done[0] = 1;
  }
  if (midiOutPorts == 1) return &midiQueue;
  if (port < 0 || port >= limits::kMidiPorts) return nullptr;
  return ports_[static_cast<size_t>(port)].get();
}

void CMasterIn::Save(CStream& s) {
  CComp::Save(s);
  s.WriteKeyInt("MIDIOutPorts", midiOutPorts);
  for (auto& p : audioOuts) {
    s.WriteKey("AudioOut", 0);
    s.WriteKeyInt("AudioOutChs", p->channels);
  }
}

void CMasterIn::Load(CStream& s, int) {
  std::vector<int> widths;
  std::string key;
  int32_t size = 0;
  while (s.NextRecord(key, size) && key != "CEnd") {
    if (LoadBaseRecord(s, key, size, false)) continue;
    if (key == "MIDIOutPorts") {
      midiOutPorts = s.ReadInt();
    } else if (key == "AudioOut") {
      widths.push_back(2);
      s.Skip(size);
    } else if (key == "AudioOutChs") {
      const int32_t n = s.ReadInt();
      if (!widths.empty()) widths.back() = n == 1 ? 1 : 2;
    } else {
      s.Skip(size);
    }
  }
  if (widths.empty() && g_runMode.load() != kRunInstrument) widths.push_back(2);
  FreeBuffers();
  audioOuts.clear();
  for (int w : widths)
    if (!AddAudioOut(w)) break;
  AllocBuffers();
  if (ioChanged) ioChanged();
}

// ---------------------------------------------------------------- CUnknown

void CUnknown::Load(CStream& s, int) {
  LoadBaseOnly(s, false);
  id += " (Unknown)";
}

}  // namespace qr
