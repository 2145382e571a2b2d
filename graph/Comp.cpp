#include "graph/Comp.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <unordered_set>

#include "graph/Container.h"
#include "graph/Controls.h"
#include "platform/Messages.h"
#include "stream/RecordStream.h"

namespace qr {

// ---------------------------------------------------------------- mixing rules

namespace {

// Largest magnitude of n samples, for the peak meters.
float PeakOf(const float* x, int n) noexcept {
  // The reduction pragma lets the compiler use packed max instructions, which
  // it may not do for a float max on its own (NaN ordering).
  float m = 0.0f;
#pragma omp simd reduction(max : m)
  for (int i = 0; i < n; ++i) m = std::max(m, std::fabs(x[i]));
  return m;
}

}  // namespace

void MixChannels(float* const* dst, int dst_channels, const float* const* src, int src_channels, float gain,
                 int frames) noexcept {
  if (src_channels >= 2 && dst_channels >= 2) {
    float* __restrict l = dst[0];
    float* __restrict r = dst[1];
    const float* __restrict sl = src[0];
    const float* __restrict sr = src[1];
    for (int i = 0; i < frames; ++i) {
      l[i] += sl[i] * gain;
      r[i] += sr[i] * gain;
    }
  } else if (src_channels >= 2) {
    float* __restrict d = dst[0];
    const float* __restrict sl = src[0];
    const float* __restrict sr = src[1];
    for (int i = 0; i < frames; ++i) d[i] += (sl[i] + sr[i]) * gain * 0.5f;
  } else if (dst_channels >= 2) {
    float* __restrict l = dst[0];
    float* __restrict r = dst[1];
    const float* __restrict s = src[0];
    for (int i = 0; i < frames; ++i) {
      l[i] += s[i] * gain * 0.5f;
      r[i] += s[i] * gain * 0.5f;
    }
  } else {
    float* __restrict d = dst[0];
    const float* __restrict s = src[0];
    for (int i = 0; i < frames; ++i) d[i] += s[i] * gain;
  }
}

void CopyChannels(float* const* dst, int dst_channels, const float* const* src, int src_channels, float gain,
                  int frames) noexcept {
  if (src_channels >= 2 && dst_channels >= 2) {
    for (int c = 0; c < 2; ++c) {
      float* __restrict d = dst[c];
      const float* __restrict s = src[c];
      for (int i = 0; i < frames; ++i) d[i] = s[i] * gain;
    }
  } else if (src_channels >= 2) {
    float* __restrict d = dst[0];
    const float* __restrict sl = src[0];
    const float* __restrict sr = src[1];
    for (int i = 0; i < frames; ++i) d[i] = (sl[i] + sr[i]) * 0.5f * gain;
  } else if (dst_channels >= 2) {
    float* __restrict l = dst[0];
    float* __restrict r = dst[1];
    const float* __restrict s = src[0];
    for (int i = 0; i < frames; ++i) l[i] = r[i] = 0.5f * s[i] * gain;
  } else {
    float* __restrict d = dst[0];
    const float* __restrict s = src[0];
    for (int i = 0; i < frames; ++i) d[i] = s[i] * gain;
  }
}

// ---------------------------------------------------------------- construction

CComp::CComp(CContainer* parent_container) : parent(parent_container) {
  if (parent) {
    blockSize = parent->blockSize;
    sampleRate = parent->sampleRate;
    tempo = parent->tempo;
    fromParent = parent->fromParent;
  }
  // Ports added later allocate their own channels; with no ports there is
  // nothing to allocate, so a known block size means the buffers are ready.
  buffersAllocated = blockSize > 0 ? 1 : 0;
  attribs.SetInt("MixerStyle", 1);
}

CComp::~CComp() {
  // Every cable goes through disconnect so that the other end hears of it.
  while (!audioInCables.empty()) DisconnectAudio(audioInCables.back().get());
  while (!audioOutCables.empty()) {
    CAudioCable* c = audioOutCables.back();
    c->Dest()->DisconnectAudio(c);
  }
  while (!midiIn.empty()) DisconnectMidi(midiIn.back().get());
  while (!midiOut.empty()) {
    CMidiCable* c = midiOut.back();
    c->Dest()->DisconnectMidi(c);
  }
}

// ---------------------------------------------------------------- virtual slots

void CComp::ResetForBlock(int frames) noexcept {
  done = {};
  onWorker = 0;
  blockCore = coreIndex;
  const float fall =
      sampleRate > 0.0f ? CPeakMeter::kFallPerSecond * static_cast<float>(frames) / sampleRate : 0.0f;
  for (auto& p : audioOuts) {
    p->fresh = 1;
    p->meter.Fall(fall);
  }
}

CMIDIQ* CComp::MidiOutput(int, int) noexcept { return nullptr; }
void CComp::ShowEditor(void*) {}
bool CComp::EditorOpen() const { return false; }
void CComp::EditorRect(int& l, int& t, int& w, int& h) const {
  l = editLeft, t = editTop, w = editWidth, h = editHeight;
}
void CComp::Process(int) noexcept {}
void CComp::ReleaseNotes(NoteOffSink&) noexcept {}
void CComp::ProcessOnCore(int) noexcept {}
intptr_t CComp::PluginDispatch(int32_t, int32_t, intptr_t, void*, float, int32_t, int32_t) { return 0; }

void CComp::AllocChannels(std::vector<float>* store, std::array<float*, limits::kMaxChannels>& ptrs,
                          int first, int count) {
  for (int c = first; c < first + count && c < limits::kMaxChannels; ++c) {
    store[c].assign(static_cast<size_t>(std::max(blockSize, 0)), 0.0f);
    ptrs[static_cast<size_t>(c)] = blockSize > 0 ? store[c].data() : nullptr;
  }
}

void CComp::AllocBuffers() {
  if (blockSize <= 0) return;
  int ch = 0;
  for (auto& p : audioIns) {
    p->firstChannel = ch;
    AllocChannels(inStore_.data(), inCh, ch, p->channels);
    ch += p->channels;
  }
  ch = 0;
  for (auto& p : audioOuts) {
    p->firstChannel = ch;
    AllocChannels(outStore_.data(), outCh, ch, p->channels);
    for (int k = 0; k < 2; ++k)
      p->ch[static_cast<size_t>(k)] = outCh[static_cast<size_t>(ch + std::min(k, p->channels - 1))];
    ch += p->channels;
  }
  buffersAllocated = 1;
}

void CComp::FreeBuffers() {
  buffersAllocated = 0;
  for (auto& v : inStore_) std::vector<float>().swap(v);
  for (auto& v : outStore_) std::vector<float>().swap(v);
  inCh.fill(nullptr);
  outCh.fill(nullptr);
  for (auto& p : audioOuts) p->ch = {};
}

std::string CComp::InputName(int i) const {
  if (i < 0 || i >= static_cast<int>(audioIns.size())) return "Bad channel";
  return "Audio in " + std::to_string(i);
}

std::string CComp::OutputName(int i) const {
  if (i < 0 || i >= static_cast<int>(audioOuts.size())) return "?";
  return audioOuts[static_cast<size_t>(i)]->channels == 1 ? "Audio out mono" : "Audio out stereo";
}

CComp* CComp::AddChild(std::unique_ptr<CComp>) { return nullptr; }

namespace {
// True when `target` lies downstream of `from` along output cables: each
// module is visited once, so a check costs at most the graph's cables.
template <typename Next>
bool Reaches(const CComp* from, const CComp* target, Next next) {
  std::vector<const CComp*> stack{from};
  std::unordered_set<const CComp*> seen{from};
  while (!stack.empty()) {
    const CComp* m = stack.back();
    stack.pop_back();
    if (m == target) return true;
    bool found = false;
    next(m, [&](const CComp* d) {
      if (d == target) found = true;
      if (seen.insert(d).second) stack.push_back(d);
    });
    if (found) return true;
  }
  return false;
}
void AudioNext(const CComp* m, auto&& visit) {
  for (const auto* c : m->audioOutCables) visit(c->Dest());
}
void MidiNext(const CComp* m, auto&& visit) {
  for (const auto* c : m->midiOut) visit(c->Dest());
}
}  // namespace

CAudioCable* CComp::ConnectAudio(CComp* source, int dest_in, int source_out) {
  if (!source) return nullptr;
  if (source == this) {
    ShowNotice("error: can't connect to itself");
    return nullptr;
  }
  MarkModified();
  for (auto& c : audioInCables)
    if (c->Source() == source && c->sourceOut == source_out && c->destIn == dest_in) {
      DisconnectAudio(c.get());
      return nullptr;
    }
  if (Reaches(this, source, [](const CComp* m, auto&& v) { AudioNext(m, v); })) return nullptr;
  auto cable = std::make_unique<CAudioCable>(source, this, source_out, dest_in);
  CAudioCable* raw = cable.get();
  source->audioOutCables.push_back(raw);
  audioInCables.push_back(std::move(cable));
  source->ConnectionsChanged();
  ConnectionsChanged();
  return raw;
}

void CComp::DisconnectAudio(CAudioCable* cable) {
  auto it = std::find_if(audioInCables.begin(), audioInCables.end(),
                         [&](const auto& c) { return c.get() == cable; });
  if (it == audioInCables.end()) return;
  CComp* src = cable->Source();
  auto& outs = src->audioOutCables;
  outs.erase(std::remove(outs.begin(), outs.end(), cable), outs.end());
  audioInCables.erase(it);
  src->ConnectionsChanged();
  ConnectionsChanged();
  MarkModified();
}

void CComp::ConnectMidi(CComp* source, int source_port, int dest_port) {
  if (!source) return;
  if (source == this) {
    ShowNotice("error: can't connect to itself");
    return;
  }
  MarkModified();
  for (auto& c : midiIn)
    if (c->Source() == source && c->sourcePort == source_port) {
      DisconnectMidi(c.get());
      return;
    }
  if (Reaches(this, source, [](const CComp* m, auto&& v) { MidiNext(m, v); })) return;
  auto cable = std::make_unique<CMidiCable>(source, this, source_port, dest_port);
  source->midiOut.push_back(cable.get());
  midiIn.push_back(std::move(cable));
  source->ConnectionsChanged();
  ConnectionsChanged();
}

void CComp::DisconnectMidi(CMidiCable* cable) {
  auto it = std::find_if(midiIn.begin(), midiIn.end(), [&](const auto& c) { return c.get() == cable; });
  if (it == midiIn.end()) return;
  CComp* src = cable->Source();
  src->midiOut.erase(std::remove(src->midiOut.begin(), src->midiOut.end(), cable), src->midiOut.end());
  midiIn.erase(it);
  src->ConnectionsChanged();
  ConnectionsChanged();
  MarkModified();
}

void CComp::SetBlockSize(int frames) {
  if (frames == blockSize) return;
  FreeBuffers();
  blockSize = frames;
  AllocBuffers();
  for (auto& p : audioOuts)
    for (auto& ins : p->inserts) ins->SetBlockSize(frames);
}

void CComp::SetSampleRate(float rate) {
  if (rate == sampleRate) return;
  sampleRate = rate;
  for (auto& p : audioOuts)
    for (auto& ins : p->inserts) ins->SetSampleRate(rate);
}

void CComp::SetTempo(float bpm) {
  if (bpm == tempo) return;
  tempo = bpm;
  for (auto& p : audioOuts)
    for (auto& ins : p->inserts) ins->SetTempo(bpm);
}

void CComp::Idle() {
  for (auto& p : audioOuts) {
    p->shownPeak.Idle(p->meter);
    for (auto& ins : p->inserts) ins->Idle();
  }
}

void CComp::DrawBox(void*, int, int) {}
std::string CComp::TypeKey() const { return "CComp"; }

void CComp::Save(CStream& s) {
  s.WriteKeyString("Id", id);
  s.WriteKeyInt("X", x);
  s.WriteKeyInt("Y", y);
  s.WriteKeyInt("Enabled", enabled);
  PrepareForSave();
  for (const auto& a : attribs.Items()) {
    s.WriteKey("CData", static_cast<int32_t>(a.name.size() + a.value.size() + 8));
    s.WriteString(a.name);
    s.WriteString(a.value);
  }
}

bool CComp::LoadBaseRecord(CStream& s, const std::string& key, int32_t size, bool read_attributes) {
  // Every record of every module passes here first: compared as a view, a key
  // of another length is told apart without touching its text.
  const std::string_view k = key;
  if (k == "Id") {
    id = s.ReadString();
  } else if (k == "X") {
    x = s.ReadInt();
  } else if (k == "Y") {
    y = s.ReadInt();
  } else if (k == "Enabled") {
    enabled = s.ReadInt();
  } else if (k == "CData") {
    if (!read_attributes) return s.Skip(size), true;
    std::string name = s.ReadString();
    std::string value = s.ReadString();
    attribs.SetText(name, value);
  } else {
    return false;
  }
  return true;
}

void CComp::LoadBaseOnly(CStream& s, bool read_attributes) {
  std::string key;
  int32_t size = 0;
  while (s.NextRecord(key, size) && key != "CEnd")
    if (!LoadBaseRecord(s, key, size, read_attributes)) s.Skip(size);
}

void CComp::Load(CStream& s, int) { LoadBaseOnly(s, false); }
void CComp::LoadSecond(CStream&) {}

void CComp::Changed() {
  if (parent) parent->ChildChanged(this);
  MarkModified();
}

void CComp::ConnectionsChanged() {}
void CComp::SongPositionChanged() {}
void* CComp::EditedPart() { return nullptr; }
void CComp::PrepareForSave() {}
void CComp::TransportChanged() {}
void CComp::Notify(int32_t bits) { notifyBits |= bits; }
int32_t CComp::QueryState() { return 0; }
void CComp::Modified() {}
void CComp::Refresh() {}

void CComp::MarkModified() {
  CContainer* top = parent;
  if (top)
    while (top->parent) top = top->parent;
  else
    top = dynamic_cast<CContainer*>(this);
  if (top) {
    top->modified = 1;
    if (top->changeCallback) top->changeCallback();
  }
  Modified();
}

void CComp::ProgramChanged(int32_t) {}
void CComp::PresetLoaded() {}
void CComp::BankChanged() {}
void CComp::ParameterChanged(int32_t, float) {}
void CComp::SetEnabled(int32_t value) { enabled = value; }
void CComp::DirectMidiInput(uint32_t) {}
void CComp::Finish() {}
void CComp::UpdateSoloState() {}
int32_t CComp::PendingWork() { return 0; }
std::string CComp::ItemName(int) const { return {}; }
bool CComp::CanDelete() { return true; }
void CComp::SetCompensation(int32_t, bool) {}
int32_t CComp::Latency() const { return 0; }
std::span<const ControlDesc> CComp::Controls() const { return {}; }

// ---------------------------------------------------------------- ports

CAudioOut* CComp::AddAudioOut(int channels) {
  channels = channels == 1 ? 1 : 2;
  const int first = TotalOutputChannels();
  if (first + channels > limits::kMaxChannels) {
    ShowNotice("no more buffers");
    return nullptr;
  }
  auto port = std::make_unique<CAudioOut>();
  port->channels = channels;
  port->firstChannel = first;
  if (CGroup* r = Root()) port->SetPanLaw(r->PanLawFactor());
  if (blockSize > 0) {
    AllocChannels(outStore_.data(), outCh, first, channels);
    for (int k = 0; k < 2; ++k)
      port->ch[static_cast<size_t>(k)] = outCh[static_cast<size_t>(first + std::min(k, channels - 1))];
    if (audioOuts.empty() && audioIns.empty()) buffersAllocated = 1;
  }
  audioOuts.push_back(std::move(port));
  ConnectionsChanged();
  return audioOuts.back().get();
}

CAudioIn* CComp::AddAudioIn(int channels) {
  channels = channels == 1 ? 1 : 2;
  const int first = TotalInputChannels();
  if (first + channels > limits::kMaxChannels) {
    ShowNotice("no more buffers");
    return nullptr;
  }
  auto port = std::make_unique<CAudioIn>();
  port->channels = channels;
  port->firstChannel = first;
  if (blockSize > 0) AllocChannels(inStore_.data(), inCh, first, channels);
  audioIns.push_back(std::move(port));
  return audioIns.back().get();
}

void CComp::RemoveAllPorts() {
  FreeBuffers();
  audioIns.clear();
  audioOuts.clear();
  AllocBuffers();
}

int CComp::TotalInputChannels() const noexcept {
  int n = 0;
  for (const auto& p : audioIns) n += p->channels;
  return n;
}

int CComp::TotalOutputChannels() const noexcept {
  int n = 0;
  for (const auto& p : audioOuts) n += p->channels;
  return n;
}

CGroup* CComp::Root() noexcept {
  CComp* m = this;
  while (m->parent) m = m->parent;
  return m->isGroup ? static_cast<CGroup*>(m) : nullptr;
}

bool CComp::PostAction(intptr_t value, intptr_t value2, Callback<void(intptr_t, intptr_t)> action,
                       Callback<void(intptr_t, intptr_t)> completion) {
  CGroup* r = Root();
  if (!r) return false;
  if (!action && !completion) return true;
  return r->actions.Post(value, value2, action, completion);
}

// ---------------------------------------------------------------- processing

void CComp::SetWorkerFinished() noexcept {
  std::atomic_ref<uint8_t>(done[1]).store(1, std::memory_order_release);
}
void CComp::ClearWorkerFinished() noexcept {
  std::atomic_ref<uint8_t>(done[1]).store(0, std::memory_order_relaxed);
}
bool CComp::WorkerFinished() const noexcept {
  return std::atomic_ref<uint8_t>(const_cast<uint8_t&>(done[1])).load(std::memory_order_acquire) != 0;
}
void CComp::WaitForWorker() const noexcept {
  if (!onWorker) return;
  while (!WorkerFinished()) {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }
}

void CComp::ZeroInputs(int frames, int offset) noexcept {
  const int n = TotalInputChannels();
  for (int c = 0; c < n; ++c)
    if (float* p = inCh[static_cast<size_t>(c)])
      std::memset(p + offset, 0, sizeof(float) * static_cast<size_t>(frames));
}

void CComp::ZeroOutputs(int frames, int offset) noexcept {
  const int n = TotalOutputChannels();
  for (int c = 0; c < n; ++c)
    if (float* p = outCh[static_cast<size_t>(c)])
      std::memset(p + offset, 0, sizeof(float) * static_cast<size_t>(frames));
}

void CComp::PullAudio(int frames, int offset) noexcept {
  if (!audioInEnabled) return;
  // The first cable into a port copies instead of adding onto zeros; ports no
  // cable wrote are zeroed at the end. Same sums, one pass fewer.
  uint64_t written = 0;
  const int nIns = static_cast<int>(audioIns.size());
  for (auto& cp : audioInCables) {
    CAudioCable& cable = *cp;
    CComp* src = cable.Source();
    if (!src->HasBuffers()) continue;
    if (cable.sourceOut < 0 || cable.sourceOut >= static_cast<int>(src->audioOuts.size())) continue;
    if (cable.destIn < 0 || cable.destIn >= nIns) continue;
    if (!src->TryTakeBusy()) continue;
    if (src->enabled) {
      src->Process(frames);
    } else if (src->bypassWhenDisabled && !src->Done()) {
      src->PullAudio(frames);
      src->done[0] = 1;
      src->PassThrough(frames);
    } else {
      src->Process(frames);
    }
    src->WaitForWorker();
    CAudioOut& sp = *src->audioOuts[static_cast<size_t>(cable.sourceOut)];
    const CAudioIn& dp = *audioIns[static_cast<size_t>(cable.destIn)];
    const float* s[2] = {
        src->outCh[static_cast<size_t>(sp.firstChannel)] + offset,
        src->outCh[static_cast<size_t>(sp.firstChannel + (sp.channels > 1 ? 1 : 0))] + offset};
    float* d[2] = {inCh[static_cast<size_t>(dp.firstChannel)] + offset,
                   inCh[static_cast<size_t>(dp.firstChannel + (dp.channels > 1 ? 1 : 0))] + offset};
    if (s[0] && d[0]) {
      const uint64_t bit = uint64_t{1} << cable.destIn;
      if (written & bit)
        MixChannels(d, dp.channels, s, sp.channels, cable.gain, frames);
      else
        CopyChannels(d, dp.channels, s, sp.channels, cable.gain, frames);
      written |= bit;
      const float scale = std::fabs(cable.gain) * (sp.channels != dp.channels ? 0.5f : 1.0f);
      for (int c = 0; c < sp.channels && c < 2; ++c) {
        sp.meter.Raise(c, PeakOf(s[c], frames) * scale);
      }
    }
    src->ReleaseBusy();
  }
  for (int p = 0; p < nIns; ++p) {
    if (written & (uint64_t{1} << p)) continue;
    const CAudioIn& dp = *audioIns[static_cast<size_t>(p)];
    for (int c = 0; c < dp.channels; ++c)
      if (float* d = inCh[static_cast<size_t>(dp.firstChannel + c)])
        std::memset(d + offset, 0, sizeof(float) * static_cast<size_t>(frames));
  }
}

void CComp::GatherMidi(int frames) noexcept {
  if (!midiInEnabled) return;
  midiQueue.Clear();
  if (farewellDue) {
    farewellDue = 0;
    if (CGroup* r = Root()) r->DeliverFarewell(*this);
  }
  for (auto& cable : midiIn) {
    CMIDIQ* q = cable->Source()->MidiOutput(cable->sourcePort, frames);
    if (!q) continue;
    for (const MidiEvent& e : *q) {
      if (midiLearnTarget && midi::IsController(e.msg)) {
        *midiLearnTarget = static_cast<int32_t>(midi::Data1(e.msg));
        midiLearnTarget = nullptr;
        Notify(1);
        continue;
      }
      midiQueue.InsertSorted(e);
    }
  }
}

bool CComp::BeginProcess(int frames, bool gather_midi) noexcept {
  if (done[0]) return false;
  if (gather_midi) GatherMidi(frames);
  PullAudio(frames);
  ZeroOutputs(frames);
  return true;
}

void CComp::EndProcess(int frames) noexcept {
  RunInserts(frames);
  ApplyVolumePan(frames);
  if (postProcess) postProcess(*this, frames);
  done[0] = 1;
}

void CComp::PassThrough(int frames) noexcept {
  if (audioIns.empty() || audioOuts.empty()) return;
  const CAudioIn& ip = *audioIns[0];
  const CAudioOut& op = *audioOuts[0];
  CopyChannels(&outCh[static_cast<size_t>(op.firstChannel)], op.channels,
               &inCh[static_cast<size_t>(ip.firstChannel)], ip.channels, 1.0f, frames);
}

void CComp::RunInserts(int frames) noexcept {
  for (auto& pp : audioOuts) {
    CAudioOut& port = *pp;
    if (!port.fresh) continue;
    port.fresh = 0;
    float* const* pch = &outCh[static_cast<size_t>(port.firstChannel)];
    for (auto& ip : port.inserts) {
      CComp& ins = *ip;
      if (ins.audioIns.empty() || !ins.HasBuffers()) continue;
      ins.ResetForBlock(frames);
      ins.ZeroInputs(frames);
      const CAudioIn& in0 = *ins.audioIns[0];
      float* const* ich = &ins.inCh[static_cast<size_t>(in0.firstChannel)];
      CopyChannels(ich, in0.channels, pch, port.channels, 1.0f, frames);
      if (sendMidiToInserts) {
        ins.midiQueue.Clear();
        for (const MidiEvent& e : midiQueue) ins.midiQueue.Push(e.msg, e.kind, e.value, e.time);
      }
      // The insert's inputs were filled here; its own pull and gather must not
      // clear them, so its inputs are switched off while it runs.
      const uint8_t a = ins.audioInEnabled, m = ins.midiInEnabled;
      ins.audioInEnabled = 0;
      if (sendMidiToInserts) ins.midiInEnabled = 0;
      ins.Process(frames);
      ins.audioInEnabled = a;
      ins.midiInEnabled = m;
      if (!ins.enabled || ins.audioOuts.empty()) continue;
      const CAudioOut& o0 = *ins.audioOuts[0];
      const float* och[2] = {ins.outCh[static_cast<size_t>(o0.firstChannel)],
                             ins.outCh[static_cast<size_t>(o0.firstChannel + (o0.channels > 1 ? 1 : 0))]};
      const float w = port.insertWet;
      if (w >= 1.0f) {
        CopyChannels(pch, port.channels, och, in0.channels, 1.0f, frames);
      } else {
        for (int c = 0; c < port.channels; ++c) {
          float* p = pch[c];
          for (int i = 0; i < frames; ++i) p[i] *= 1.0f - w;
        }
        MixChannels(pch, port.channels, och, o0.channels, w, frames);
      }
    }
  }
}

void CComp::ApplyPortController(const MidiEvent& e) noexcept {
  const int cc = static_cast<int>(midi::Data1(e.msg));
  for (auto& pp : audioOuts) {
    CAudioOut& port = *pp;
    float v;
    if (e.kind == kMidiKindParameter)
      std::memcpy(&v, &e.value, sizeof v);
    else
      v = static_cast<float>(midi::Data2(e.msg)) / 127.0f;
    if (cc == port.volumeCC) port.SetVolume(v, true);
    if (cc == port.panCC) {
      if (e.kind == kMidiKindParameter)
        port.SetPan(2.0f * v - 1.0f, true);
      else
        port.SetPan(static_cast<float>(midi::Data2(e.msg)) * 2.0f / 127.0f - 1.0f, true);
    }
  }
}

void CComp::SplitVolumePan(CAudioOut& port, int from, int to, bool sounds) noexcept {
  float* l = outCh[static_cast<size_t>(port.firstChannel)];
  float* r = port.channels > 1 ? outCh[static_cast<size_t>(port.firstChannel + 1)] : nullptr;
  if (!l || to <= from) return;
  int i = from;
  // Ramping stretch: gains written as start + step x k so the loop vectorises.
  if (port.Ramping()) {
    const int nv = std::min(port.volumeRamp, to - from);
    const int np = std::min(port.panRamp, to - from);
    const int n = std::max(nv, np);
    const float v0 = port.volume, vs = port.volumeStep;
    const float l0 = port.panLeft, ls = port.panLeftStep;
    const float r0 = port.panRight, rs = port.panRightStep;
    for (int k = 0; k < n; ++k) {
      const float kv = static_cast<float>(std::min(k + 1, nv));
      const float kp = static_cast<float>(std::min(k + 1, np));
      const float vol = v0 + vs * kv;
      if (r) {
        l[i + k] *= vol * (l0 + ls * kp);
        r[i + k] *= vol * (r0 + rs * kp);
      } else {
        l[i + k] *= vol;
      }
    }
    port.volumeRamp -= nv;
    port.panRamp -= np;
    port.volume = port.volumeRamp > 0 ? v0 + vs * static_cast<float>(nv) : port.volumeTarget;
    port.panLeft = port.panRamp > 0 ? l0 + ls * static_cast<float>(np) : port.panLeftTarget;
    port.panRight = port.panRamp > 0 ? r0 + rs * static_cast<float>(np) : port.panRightTarget;
    i += n;
  }
  if (i >= to) return;
  const float gl = sounds ? port.volume * (r ? port.panLeft : 1.0f) : 0.0f;
  const float gr = sounds ? port.volume * port.panRight : 0.0f;
  if (gl != 1.0f)
    for (int k = i; k < to; ++k) l[k] *= gl;
  if (r && gr != 1.0f)
    for (int k = i; k < to; ++k) r[k] *= gr;
}

void CComp::ApplyVolumePan(int frames) noexcept {
  if (audioOuts.empty()) return;
  CGroup* root = Root();
  const bool anySolo = root && root->anySolo;
  bool wantsControllers = false;
  for (auto& p : audioOuts) wantsControllers |= (p->volumeCC >= 0 || p->panCC >= 0);

  auto run = [&](int from, int to) {
    for (auto& pp : audioOuts) {
      CAudioOut& port = *pp;
      const bool sounds = anySolo && !soloExempt ? port.solo != 0 : port.mute == 0;
      SplitVolumePan(port, from, to, sounds);
      if (!sounds && from < to) {
        for (int c = 0; c < port.channels; ++c)
          if (float* p = outCh[static_cast<size_t>(port.firstChannel + c)])
            std::memset(p + from, 0, sizeof(float) * static_cast<size_t>(to - from));
      }
    }
  };

  int pos = 0;
  if (wantsControllers) {
    for (const MidiEvent& e : midiQueue) {
      if (!midi::IsController(e.msg)) continue;
      const int cc = static_cast<int>(midi::Data1(e.msg));
      bool match = false;
      for (auto& p : audioOuts) match |= (cc == p->volumeCC || cc == p->panCC);
      if (!match) continue;
      // Each change applies from its own sample on.
      const int t = std::clamp(static_cast<int>(e.time), pos, frames);
      run(pos, t);
      pos = t;
      ApplyPortController(e);
    }
  }
  run(pos, frames);
}

}  // namespace qr
