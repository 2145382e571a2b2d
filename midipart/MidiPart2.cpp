#include "midipart/MidiPart2.h"

#include <algorithm>
#include <cmath>
#include <thread>

#include "stream/RecordStream.h"

namespace qr {

namespace {

constexpr double kBeatTicks = 960.0;

int ClampPort(int32_t p) noexcept { return std::clamp(p, 0, CMIDIPart2::kPorts - 1); }

bool Playing(const PlaySlot& s) noexcept {
  return s.state == PlaySlot::kPlaying || s.state == PlaySlot::kStoppingAtLoopEnd;
}

// Reads an int32 record value, tolerating short records.
int32_t ReadIntValue(CStream& s, int32_t size, int32_t fallback) {
  if (size < 4) {
    s.Skip(size);
    return fallback;
  }
  const int32_t v = s.ReadInt();
  s.Skip(size - 4);
  return v;
}

}  // namespace

// ---------------------------------------------------------------- CPendingQueue

bool CPendingQueue::Insert(double ticks, uint32_t msg) noexcept {
  if (count_ >= kCapacity) return false;
  int at = count_;
  while (at > 0 && e_[static_cast<size_t>(at - 1)].ticks > ticks) {
    e_[static_cast<size_t>(at)] = e_[static_cast<size_t>(at - 1)];
    --at;
  }
  e_[static_cast<size_t>(at)] = Entry{ticks, msg};
  ++count_;
  return true;
}

void CPendingQueue::Consume(int n) noexcept {
  int o = 0;
  for (int i = n; i < count_; ++i) e_[static_cast<size_t>(o++)] = e_[static_cast<size_t>(i)];
  count_ = o;
}

// ---------------------------------------------------------------- CMIDIPart2

CMIDIPart2::CMIDIPart2(CContainer* parent_container)
    : CPartComp(parent_container), slots_(std::make_unique<std::array<PlaySlot, kSlots>>()) {
  for (auto& q : out_) q = std::make_unique<CMIDIQ>();
  id = "MIDI Part";
  tempoInUse_ = pendingTempo_ = tempo;
  if (auto* g = dynamic_cast<CGroup*>(parent_container)) transport = &g->transport;
  AddPart();
}

CMIDIPart2::~CMIDIPart2() = default;

CLiveMIDIPart* CMIDIPart2::Part(int index) const noexcept {
  if (index < 0 || index >= static_cast<int>(parts_.size())) return nullptr;
  return parts_[static_cast<size_t>(index)].get();
}

std::string CMIDIPart2::PartName(int index) const {
  const CLiveMIDIPart* p = Part(index);
  return p ? p->name : std::string();
}

void* CMIDIPart2::AddPart() {
  auto p = std::make_unique<CLiveMIDIPart>();
  p->key = parts_.empty() ? 36 : parts_.back()->key + 1;
  p->owner = this;
  CLiveMIDIPart* raw = p.get();
  LockEvents();
  parts_.push_back(std::move(p));
  UnlockEvents();
  return raw;
}

void CMIDIPart2::ForgetPart(const CLiveMIDIPart* p) noexcept {
  for (PlaySlot& s : *slots_) {
    if (s.nextPart == p) s.nextPart = nullptr;
    if (s.part != p || s.state == PlaySlot::kFree) continue;
    // Its sounding notes still need their note-offs: the next block sends them.
    for (int i = 0; i < s.pending.Count(); ++i)
      if (midi::IsNoteOff(s.pending[i].msg)) {
        uint32_t m = s.pending[i].msg;
        if (s.channel >= 0) m = (m & ~0x0Fu) | static_cast<uint32_t>(s.channel);
        orphanOffs_.Push(midi::WithPort(m, static_cast<uint32_t>(s.port)));
      }
    s.pending.Clear();
    s.state = PlaySlot::kFree;
    s.part = nullptr;
    if (recordSlot_ == &s) {
      recordSlot_ = nullptr;
      liveRecording_ = false;
    }
  }
  if (recordTarget_ == p) {
    recordTarget_ = nullptr;
    liveRecording_ = stepRecording_ = false;
    recordedCount_ = 0;
  }
  if (selected_ == p) selected_ = nullptr;
  for (auto& q : parts_)
    if (q->source == p) q->source = nullptr;
  PublishPlaying();
}

void CMIDIPart2::DeletePart(void* part) {
  auto* p = static_cast<CLiveMIDIPart*>(part);
  LockEvents();
  auto it = std::find_if(parts_.begin(), parts_.end(), [&](auto& q) { return q.get() == p; });
  // The module always keeps one part.
  if (it != parts_.end() && parts_.size() > 1) {
    ForgetPart(p);
    parts_.erase(it);
  }
  UnlockEvents();
}

void CMIDIPart2::LockEvents() { busy_.Take(); }

void CMIDIPart2::UnlockEvents() { busy_.Release(); }

void CMIDIPart2::EventsChanged(CMIDIPart& part) { part.changed = 1; }

void CMIDIPart2::PartChanged(void* part) {
  if (!part) return;
  LockEvents();
  static_cast<CLiveMIDIPart*>(part)->changed = 1;
  UnlockEvents();
}

void CMIDIPart2::StartStepRecord(void* part, int32_t* step_length) {
  LockEvents();
  recordTarget_ = static_cast<CLiveMIDIPart*>(part);
  stepLength_ = step_length;
  recordedCount_ = 0;
  stepRecording_ = recordTarget_ != nullptr;
  liveRecording_ = false;
  stepHeld_ = 0;
  UnlockEvents();
}

// Play and record toggle: a playing part is asked to stop, an idle one gets the
// start request. Called with the events locked.
void CMIDIPart2::ToggleStart(CLiveMIDIPart& p, int32_t request) noexcept {
  bool found = false;
  for (PlaySlot& s : *slots_)
    if (s.part == &p && s.state == PlaySlot::kPlaying) {
      s.state = PlaySlot::kStopRequested;
      found = true;
    }
  if (!found) p.request = request;
}

void CMIDIPart2::PlayPart(void* part) {
  auto* p = static_cast<CLiveMIDIPart*>(part);
  if (!p) return;
  LockEvents();
  ToggleStart(*p, 4);
  PublishPlaying();
  UnlockEvents();
}

void CMIDIPart2::RecordPart(void* part) {
  auto* p = static_cast<CLiveMIDIPart*>(part);
  if (!p) return;
  LockEvents();
  ToggleStart(*p, 8);
  recordTarget_ = p;
  recordedCount_ = 0;
  stepRecording_ = false;
  PublishPlaying();
  UnlockEvents();
}

void CMIDIPart2::StopPart(void* part) {
  LockEvents();
  for (PlaySlot& s : *slots_) {
    if (s.part != part) continue;
    if (s.state == PlaySlot::kPlaying)
      s.state = PlaySlot::kStopRequested;
    else if (s.state == PlaySlot::kStoppingAtLoopEnd)
      s.stopRequest = 1;  // a second stop does not wait for the loop end
  }
  PublishPlaying();
  UnlockEvents();
}

bool CMIDIPart2::IsPlaying(void* part) const {
  if (!part) return false;
  for (const auto& p : playing_)
    if (p.load(std::memory_order_acquire) == part) return true;
  return false;
}

void CMIDIPart2::PublishPlaying() noexcept {
  for (size_t i = 0; i < kSlots; ++i) {
    const PlaySlot& s = (*slots_)[i];
    playing_[i].store(Playing(s) ? s.part : nullptr, std::memory_order_release);
  }
}

void CMIDIPart2::SelectPart(void* part) {
  auto* p = static_cast<CLiveMIDIPart*>(part);
  if (!p) return;
  LockEvents();
  selected_ = p;
  // The notes held through the old thru port are released there at the next
  // block; only then does the thru switch to the new part's port and channel.
  nextThruPort_ = ClampPort(p->port);
  nextThruChannel_ = p->channel >= 0 && p->channel < 16 ? p->channel : -1;
  selectPending_ = 1;
  UnlockEvents();
}

void CMIDIPart2::UndoPart(void* part) {
  if (!part) return;
  LockEvents();
  CMIDIPart& t = static_cast<CLiveMIDIPart*>(part)->EditTarget();
  if (t.PopUndo()) t.changed = 1;
  UnlockEvents();
}

void CMIDIPart2::SetTempo(float bpm) {
  CPartComp::SetTempo(bpm);
  pendingTempo_ = bpm;
}

void CMIDIPart2::DirectMidiInput(uint32_t msg) { direct_.Push(msg); }

void CMIDIPart2::Idle() {
  CPartComp::Idle();
  MoveRecorded();
}

// ---------------------------------------------------------------- the block

CMIDIQ* CMIDIPart2::MidiOutput(int port, int frames) noexcept {
  if (!done[0]) RunBlock(frames);
  if (port < 0 || port >= kPorts) return nullptr;
  return out_[static_cast<size_t>(port)].get();
}

CMIDIQ* CMIDIPart2::ProcessMidiBlock(int frames, int port) noexcept { return MidiOutput(port, frames); }

void CMIDIPart2::Process(int frames) noexcept {
  if (!done[0]) RunBlock(frames);
}

double CMIDIPart2::TicksOf(double samples) const noexcept {
  return rateOk_ ? samples * TickWalker::TicksPerSecond(tempoInUse_) / sampleRate : 0.0;
}

void CMIDIPart2::RunBlock(int frames) noexcept {
  done[0] = 1;
  frames = std::max(frames, 0);
  blockFrames_ = frames;
  tempoInUse_ = pendingTempo_;
  // A tempo or rate from a damaged project must not turn a block into millions
  // of loop wraps.
  rateOk_ = sampleRate >= 1.0f && sampleRate <= 1.0e6f && tempoInUse_ >= 1.0f && tempoInUse_ <= 2000.0f;
  for (auto& q : out_) q->Clear();
  // Gathering pulls the modules upstream, which run this block whatever we do.
  GatherMidi(frames);
  if (!busy_.TryTake()) {
    // An edit holds the events: the input waits for the next block (the host
    // side's own queue keeps what it was handed meanwhile).
    if (midiInEnabled)
      for (const MidiEvent& e : midiQueue) deferred_.Push(e.msg, e.kind, e.value, 0.0f);
    midiQueue.Clear();
    return;
  }
  for (const MidiEvent& e : orphanOffs_) Emit(static_cast<int>(midi::Port(e.msg)), -1, e.msg, 0);
  orphanOffs_.Clear();
  // A tempo or rate unfit for conversion stops time for the slots.
  const double bpm = rateOk_ ? static_cast<double>(tempoInUse_) : 0.0;
  for (PlaySlot& s : *slots_) {
    s.from = 0;
    s.walker.SetTempo(bpm, sampleRate);
  }

  for (auto& p : parts_) p->armed = 1;
  ServeSlotRequests();
  for (auto& p : parts_) p->armed = 1;
  ServePartRequests();
  if (selectPending_) ReleaseHeldThru();

  for (const MidiEvent& e : deferred_) TakeInput(e, 0);
  deferred_.Clear();
  for (const MidiEvent& e : direct_) TakeInput(e, 0);
  if (midiInEnabled)
    for (const MidiEvent& e : midiQueue) TakeInput(e, std::clamp(static_cast<int>(e.time), 0, frames));
  RenderTo(frames);
  for (PlaySlot& s : *slots_) s.walker.Advance(frames);
  direct_.Clear();
  midiQueue.Clear();
  PublishPlaying();
  if (recordedCount_ > 0) haveRecorded_.store(true, std::memory_order_release);
  busy_.Release();
}

void CMIDIPart2::ServeSlotRequests() noexcept {
  for (PlaySlot& s : *slots_) {
    if (s.state == PlaySlot::kFree) continue;
    const CLiveMIDIPart& p = *s.part;
    if (p.EventsChangedFlag()) {
      SendNoteOffs(s, 0);
      SeekSlot(s);
    } else if (p.reindex || (p.source && p.source->reindex)) {
      // Events were only added (recording): continue from the same tick.
      SeekSlot(s);
    }
    if (s.state == PlaySlot::kStopRequested || (s.state == PlaySlot::kStoppingAtLoopEnd && s.stopRequest)) {
      s.stopRequest = 0;
      Stop(s, 0);
    }
  }
  for (auto& p : parts_) p->changed = p->reindex = 0;
}

void CMIDIPart2::ServePartRequests() noexcept {
  for (auto& up : parts_) {
    CLiveMIDIPart& p = *up;
    if (!p.armed) continue;
    if (p.request & 4) {
      Start(p, 0, true);
      p.request = 1;
    } else if (p.request & 8) {
      if (PlaySlot* s = Start(p, 0, true)) {
        recordSlot_ = s;
        liveRecording_ = true;
      }
      p.request = 1;
    }
  }
}

void CMIDIPart2::ReleaseHeldThru() noexcept {
  heldThru_.ReleaseAll([&](uint32_t off) { Emit(thruPort, -1, off, 0); });
  thruPort = nextThruPort_;
  thruChannel = nextThruChannel_;
  selectPending_ = 0;
}

bool CMIDIPart2::Active(const CLiveMIDIPart& part) const noexcept {
  for (const PlaySlot& s : *slots_)
    if ((s.part == &part && Playing(s)) || s.nextPart == &part) return true;
  return false;
}

void CMIDIPart2::TakeInput(const MidiEvent& e, int offset) noexcept {
  if (e.kind != kMidiKindMessage) return;
  const uint32_t m = e.msg & 0x00FFFFFFu;
  if (recordHook) recordHook(e);
  const int k = static_cast<int>(midi::Data1(m));
  bool trigger = false;
  if (liveRecording_) {
    RecordLive(m, offset);
  } else if (stepRecording_ && recordTarget_) {
    RecordStep(m);
  } else if (!thru) {
    for (auto& p : parts_) {
      if (p->key != k) continue;
      if (midi::IsNoteOn(m))
        trigger = trigger || (p->triggerMode == CLiveMIDIPart::kNoteOnOff && !Active(*p)) ||
                  p->triggerMode == CLiveMIDIPart::kNoteToggle;
      else if (midi::IsNoteOff(m))
        trigger = trigger || p->triggerMode == CLiveMIDIPart::kNoteOnOff;
    }
  }
  if (midi::IsController(m))
    for (auto& p : parts_)
      trigger = trigger || (p->key == k && (p->triggerMode == CLiveMIDIPart::kCCOnOff ||
                                            p->triggerMode == CLiveMIDIPart::kCCToggle));
  if (trigger) {
    RenderTo(offset);
    if (midi::IsController(m))
      HandleController(k, static_cast<int>(midi::Data2(m)), offset);
    else if (midi::IsNoteOn(m))
      HandleNoteOn(k, offset);
    else
      HandleNoteOff(k, offset);
  }
  if (thru) Thru(m, offset);
}

void CMIDIPart2::HandleNoteOn(int key, int offset) noexcept {
  for (auto& up : parts_) {
    CLiveMIDIPart& p = *up;
    if (!p.armed || p.key != key) continue;
    if (p.triggerMode == CLiveMIDIPart::kNoteOnOff) {
      // A held part (playing, or waiting on its mute group) is not started twice.
      if (!Active(p)) Start(p, offset, true);
      continue;
    }
    if (p.triggerMode != CLiveMIDIPart::kNoteToggle) continue;
    bool found = false;
    for (PlaySlot& s : *slots_) {
      if (!((s.part == &p && Playing(s)) || s.nextPart == &p)) continue;
      found = true;
      if (s.state == PlaySlot::kPlaying) Stop(s, offset);
    }
    if (!found) Start(p, offset, true);
  }
}

void CMIDIPart2::HandleNoteOff(int key, int offset) noexcept {
  for (PlaySlot& s : *slots_)
    if (s.state == PlaySlot::kPlaying && s.startKey == key &&
        s.part->triggerMode == CLiveMIDIPart::kNoteOnOff)
      Stop(s, offset);
}

void CMIDIPart2::HandleController(int number, int value, int offset) noexcept {
  for (auto& up : parts_) {
    CLiveMIDIPart& p = *up;
    const int32_t mode = p.triggerMode;
    if (!p.armed || p.key != number) continue;
    if (mode != CLiveMIDIPart::kCCOnOff && mode != CLiveMIDIPart::kCCToggle) continue;
    bool found = false;
    for (PlaySlot& s : *slots_) {
      if (!((s.part == &p && Playing(s)) || s.nextPart == &p)) continue;
      if (mode == CLiveMIDIPart::kCCOnOff && value > 0) found = true;
      if (mode == CLiveMIDIPart::kCCToggle && s.state == PlaySlot::kPlaying) {
        Stop(s, offset);
        found = true;
      }
    }
    if (!found && ((mode == CLiveMIDIPart::kCCOnOff && value > 0) || mode == CLiveMIDIPart::kCCToggle))
      Start(p, offset, true);
  }
  if (value == 0)
    for (PlaySlot& s : *slots_)
      if (s.state == PlaySlot::kPlaying && s.part->triggerMode == CLiveMIDIPart::kCCOnOff &&
          s.part->key == number)
        Stop(s, offset);
}

void CMIDIPart2::Thru(uint32_t msg, int offset) noexcept {
  uint32_t m = msg;
  if (thruChannel >= 0 && (m & 0xF0) < 0xF0 && (m & 0x80))
    m = (m & ~0x0Fu) | static_cast<uint32_t>(thruChannel);
  Emit(thruPort, -1, m, offset);
  heldThru_.Note(m);
}

void CMIDIPart2::RecordLive(uint32_t msg, int offset) noexcept {
  if (!recordSlot_ || recordedCount_ >= kRecordCapacity) return;
  const PlaySlot& s = *recordSlot_;
  double t = s.walker.TickAt(offset) - s.lapOffset;
  if (s.looping && t >= static_cast<double>(s.loopRight)) t -= static_cast<double>(s.loopRight - s.loopLeft);
  recorded_[static_cast<size_t>(recordedCount_++)] = Recorded{t, msg, 0};
}

void CMIDIPart2::RecordStep(uint32_t msg) noexcept {
  CMIDIPart& t = recordTarget_->EditTarget();
  if (midi::IsNoteOn(msg)) {
    if (recordedCount_ < kRecordCapacity)
      recorded_[static_cast<size_t>(recordedCount_++)] =
          Recorded{static_cast<double>(t.stepPosition), msg, 1};
    ++stepHeld_;
  } else if (midi::IsNoteOff(msg)) {
    // The step advances when the last held key of a chord is released.
    if (stepHeld_ > 0 && --stepHeld_ == 0) t.stepPosition += StepLength();
  } else {
    return;
  }
  editorRefresh.store(true, std::memory_order_relaxed);
}

// ---------------------------------------------------------------- slots

PlaySlot* CMIDIPart2::Start(CLiveMIDIPart& p, int offset, bool with_group) noexcept {
  PlaySlot* s = nullptr;
  for (PlaySlot& c : *slots_)
    if (c.state == PlaySlot::kFree) {
      s = &c;
      break;
    }
  if (!s) return nullptr;
  if (!p.queued && p.muteGroup != -1) {
    for (PlaySlot& o : *slots_) {
      if (o.state != PlaySlot::kPlaying || o.part->muteGroup != p.muteGroup) continue;
      // Take over when that slot ends.
      o.nextPart = &p;
      p.queued = 1;
      if (p.playGroup != -1)
        for (auto& q : parts_)
          if (q->playGroup == p.playGroup) q->armed = 0;
      Stop(o, offset);
      return nullptr;
    }
  }
  s->state = PlaySlot::kPlaying;
  s->stopRequest = 0;
  s->startKey = p.key;
  s->part = &p;
  s->loopLeft = p.loopLeft;
  s->loopRight = p.loopRight;
  s->looping = p.loopLeft < p.loopRight;
  s->port = ClampPort(p.port);
  s->channel = p.channel >= 0 && p.channel < 16 ? p.channel : -1;
  double position = static_cast<double>(p.loopLeft);
  s->preRoll = 0;
  // A synced start while the parent plays runs silently up to the loop end,
  // placed so that the wrap to loop left falls on the next beat. A part that
  // does not loop never wraps, so it starts at once.
  if (transport && transport->playing && p.sync == 1 && s->looping) {
    double beat = std::fmod(transport->songTicks + TicksOf(offset), kBeatTicks);
    if (beat < 0.0) beat += kBeatTicks;
    position = static_cast<double>(p.loopRight) - kBeatTicks + beat;
    s->preRoll = 1;
  }
  s->walker.SetTempo(rateOk_ ? static_cast<double>(tempoInUse_) : 0.0, sampleRate);
  s->walker.Locate(position, offset);
  s->lapOffset = 0.0;
  s->current = p.PlayEvents().Find(static_cast<CEventList::Ticks>(std::ceil(position)), &s->nextTime);
  s->pending.Clear();
  s->nextPart = nullptr;
  s->from = offset;
  p.armed = 0;
  p.queued = 0;
  if (with_group && p.playGroup != -1)
    for (auto& q : parts_)
      if (q.get() != &p && q->playGroup == p.playGroup && !Active(*q)) Start(*q, offset, false);
  return s;
}

void CMIDIPart2::Stop(PlaySlot& slot, int offset) noexcept {
  const int32_t group = slot.part ? slot.part->playGroup : -1;
  StopOne(slot, offset);
  if (group == -1) return;
  for (PlaySlot& s : *slots_)
    if (&s != &slot && s.state != PlaySlot::kFree && s.part->playGroup == group) StopOne(s, offset);
}

void CMIDIPart2::StopOne(PlaySlot& s, int offset) noexcept {
  if (s.state == PlaySlot::kFree || !s.part->armed) return;
  if (s.part->fr == 1 && s.state != PlaySlot::kStoppingAtLoopEnd) {
    s.state = PlaySlot::kStoppingAtLoopEnd;
    return;
  }
  s.state = PlaySlot::kFree;
  SendNoteOffs(s, offset);
  s.pending.Clear();
  if (recordSlot_ == &s) {
    recordSlot_ = nullptr;
    liveRecording_ = false;
  }
  if (CLiveMIDIPart* next = s.nextPart) {
    s.nextPart = nullptr;
    Start(*next, offset, true);
  }
}

void CMIDIPart2::ReleaseNotes(NoteOffSink& sink) noexcept {
  busy_.Take();
  for (const MidiEvent& e : orphanOffs_) sink.NoteOff(static_cast<int>(midi::Port(e.msg)), e.msg);
  orphanOffs_.Clear();
  for (PlaySlot& s : *slots_) {
    if (s.state == PlaySlot::kFree) continue;
    for (int i = 0; i < s.pending.Count(); ++i) {
      uint32_t m = s.pending[i].msg;
      if (!midi::IsNoteOff(m)) continue;
      if (s.channel >= 0) m = (m & ~0x0Fu) | static_cast<uint32_t>(s.channel);
      sink.NoteOff(s.port & (kPorts - 1), m);
    }
    s.pending.Filter([](uint32_t m) { return !midi::IsNoteOff(m); });
  }
  heldThru_.ReleaseAll([&](uint32_t off) { sink.NoteOff(thruPort & (kPorts - 1), off); });
  busy_.Release();
}

void CMIDIPart2::SendNoteOffs(PlaySlot& s, int offset) noexcept {
  for (int i = 0; i < s.pending.Count(); ++i)
    if (midi::IsNoteOff(s.pending[i].msg)) Emit(s.port, s.channel, s.pending[i].msg, offset);
  s.pending.Filter([](uint32_t m) { return !midi::IsNoteOff(m); });
}

void CMIDIPart2::Emit(int port, int channel, uint32_t msg, int offset) noexcept {
  uint32_t m = msg & 0x00FFFFFFu;
  if (channel >= 0 && (m & 0xF0) < 0xF0 && (m & 0x80)) m = (m & ~0x0Fu) | static_cast<uint32_t>(channel);
  out_[static_cast<size_t>(port & (kPorts - 1))]->InsertSorted(m, kMidiKindMessage, 0,
                                                               static_cast<float>(offset));
}

void CMIDIPart2::RenderTo(int until) noexcept {
  // A slot started inside a render (a mute-group hand-over at a loop end) may
  // sit before the slot that started it, so passes repeat until every slot
  // has reached `until`.
  for (int pass = 0; pass < kSlots; ++pass) {
    bool any = false;
    for (PlaySlot& s : *slots_) {
      if (s.state == PlaySlot::kFree || s.from >= until) continue;
      any = true;
      const int from = s.from;
      s.from = until;
      RenderSlot(s, from, until - from);
    }
    if (!any) break;
  }
  for (auto& p : parts_) p->playingCount = 0;
  for (PlaySlot& s : *slots_)
    if (s.state != PlaySlot::kFree) ++s.part->playingCount;
}

void CMIDIPart2::RenderSlot(PlaySlot& s, int start, int n) noexcept {
  const CLiveMIDIPart& p = *s.part;
  const CEventList& ev = p.PlayEvents();
  const size_t count = ev.Size();
  const double scale = static_cast<double>(p.lengthScale) / 100.0;
  const double lengthFactor = scale * scale;
  const int end = start + n;
  const auto right = static_cast<double>(s.loopRight);
  // Events and loop ends are taken one by one in time order, each on the
  // sample the walker gives its tick. Each pass takes one of them; a loop far
  // shorter than a sample stops at the bound and catches up next block.
  for (int guard = 4 * n + 4 * static_cast<int>(count) + 64; guard > 0; --guard) {
    if (s.current < count && (!s.looping || s.nextTime < s.loopRight)) {
      const double tick = static_cast<double>(s.nextTime) + s.lapOffset;
      if (s.walker.SampleOf(tick) >= end) break;
      const PartEvent& e = ev[s.current];
      if (!e.Muted() && !s.preRoll) {
        const uint32_t data = e.data & 0x00FFFFFFu;
        s.pending.Insert(tick, data);
        if (midi::IsNoteOn(data)) {
          const double scaled = std::nearbyint(static_cast<double>(e.length) * lengthFactor);
          int64_t off = s.nextTime + static_cast<int64_t>(std::max(2.0, std::min(scaled, 4.0e15)));
          // A part that does not loop has no loop end to keep its notes inside.
          if (s.looping) off = std::min(off, s.loopRight);
          s.pending.Insert(static_cast<double>(off - 1) + s.lapOffset, data & 0xFFFFu);
        }
      }
      if (++s.current < count) s.nextTime += ev[s.current].delta;
      continue;
    }
    if (!s.looping) break;
    const int64_t wrap = s.walker.SampleOf(right + s.lapOffset);
    if (wrap >= end) break;
    s.preRoll = 0;
    if (s.state == PlaySlot::kStoppingAtLoopEnd) {
      const int at = static_cast<int>(std::max<int64_t>(wrap, start));
      SendDue(s, start, at);
      Stop(s, at);
      // Stopped (perhaps already reused by the part that takes over, which the
      // next pass of RenderTo renders from `at`), unless its part started in
      // this block and cannot be stopped yet.
      if (s.state != PlaySlot::kStoppingAtLoopEnd || s.part != &p) return;
    }
    // Every event from loop left on belongs to the new lap.
    s.lapOffset += static_cast<double>(s.loopRight - s.loopLeft);
    s.current = ev.Find(s.loopLeft, &s.nextTime);
  }
  SendDue(s, start, end);
  if (!s.looping && s.pending.Count() == 0 &&
      (s.current >= count || s.walker.TickAt(end) - s.lapOffset >= right))
    s.state = PlaySlot::kFree;
}

void CMIDIPart2::SendDue(PlaySlot& s, int start, int end) noexcept {
  int i = 0;
  for (; i < s.pending.Count(); ++i) {
    const int64_t at = s.walker.SampleOf(s.pending[i].ticks);
    if (at >= end) break;
    if (!s.preRoll) Emit(s.port, s.channel, s.pending[i].msg, static_cast<int>(std::max<int64_t>(at, start)));
  }
  s.pending.Consume(i);
}

void CMIDIPart2::SeekSlot(PlaySlot& s) noexcept {
  // The first event not yet taken: its sample still lies ahead of the block.
  const CEventList& ev = s.part->PlayEvents();
  const double here = std::max(s.walker.TickAt(0) - s.lapOffset, 0.0);
  s.current = ev.Find(static_cast<CEventList::Ticks>(std::min(std::floor(here), 4.0e18)), &s.nextTime);
  while (s.current < ev.Size() && s.walker.SampleOf(static_cast<double>(s.nextTime) + s.lapOffset) < 0)
    if (++s.current < ev.Size()) s.nextTime += ev[s.current].delta;
}

// ---------------------------------------------------------------- recording

void CMIDIPart2::InsertRecorded(CMIDIPart& t, const Recorded& r) {
  const auto time = static_cast<CEventList::Ticks>(r.time);
  if (r.step) {
    if (!stepRecording_) return;
    if (midi::IsNoteOn(r.msg)) t.lastKey = static_cast<int32_t>(midi::Data1(r.msg));
    t.PushUndo("Insert");
    t.events.Insert(time, r.msg, StepLength(), 0);
    return;
  }
  if (!midi::IsNoteOff(r.msg)) {
    // Only a note waits for its length; other events are complete as they come.
    t.events.Insert(time, r.msg, 240, midi::IsNoteOn(r.msg) ? kEvRecording : 0);
    return;
  }
  // Close the first open note of that channel and key.
  CEventList::Ticks on = 0;
  for (PartEvent& e : t.events) {
    on += e.delta;
    if (!(e.flags & kEvRecording) || !midi::IsNoteOn(e.data) ||
        midi::Channel(e.data) != midi::Channel(r.msg) || midi::Data1(e.data) != midi::Data1(r.msg))
      continue;
    if (static_cast<double>(on) < r.time)
      e.length = static_cast<int32_t>(std::min(r.time - static_cast<double>(on), 2.0e9)) + 1;
    else  // the note-off came after a loop wrap
      e.length = on < t.loopRight ? static_cast<int32_t>(t.loopRight - on) : 240;
    e.flags &= ~kEvRecording;
    return;
  }
}

void CMIDIPart2::MoveRecorded() {
  if (!haveRecorded_.exchange(false, std::memory_order_acq_rel)) return;
  LockEvents();
  if (recordTarget_ && recordedCount_ > 0) {
    CMIDIPart& t = recordTarget_->EditTarget();
    for (int i = 0; i < recordedCount_; ++i) InsertRecorded(t, recorded_[static_cast<size_t>(i)]);
    t.reindex = 1;
    editorRefresh.store(true, std::memory_order_relaxed);
  }
  recordedCount_ = 0;
  UnlockEvents();
}

// ---------------------------------------------------------------- records

void CMIDIPart2::Save(CStream& s) {
  CPartComp::Save(s);
  s.WriteKeyInt("MPartPorts", ports);
  s.WriteKeyInt("MThru", thru);
  for (const auto& up : parts_) {
    const CLiveMIDIPart& p = *up;
    s.WriteKey("MPart", 0);
    s.WriteKeyString("MPartName", p.name);
    s.WriteKeyInt("MPartWBeat", static_cast<int32_t>(std::nearbyint(p.beatWidth)));
    s.WriteKeyInt("MPartHNote", p.noteHeight);
    s.WriteKeyInt("MPartTicks", p.length);
    s.WriteKeyInt("MPartPort", p.port);
    s.WriteKeyInt("MPartMCh", p.channel);
    s.WriteKeyInt("MPartSync", p.sync);
    s.WriteKeyInt("MPartFR", p.fr);
    s.WriteKeyInt("MPartLoopLeft", p.loopLeft);
    s.WriteKeyInt("MPartLoopRight", p.loopRight);
    s.WriteKeyInt("MPartMixerStyle", p.mixerStyle);
    s.WriteKeyInt("MPartTrig", p.triggerMode);
    s.WriteKeyInt("MPartKey", p.key);
    s.WriteKeyInt("MPartPlayGr", p.playGroup);
    s.WriteKeyInt("MPartMuteGr", p.muteGroup);
    SaveEventRecords(s, p.events);
    const std::vector<uint8_t> packed = PackEvents(p.events);
    s.WriteKey("MPartEvents", static_cast<int32_t>(packed.size()));
    if (!packed.empty()) s.WriteBytes(packed.data(), packed.size());
  }
}

void CMIDIPart2::Load(CStream& s, int) {
  LockEvents();
  for (auto& p : parts_) ForgetPart(p.get());
  // The loaded state may not pass input through at all: what went through ends now.
  heldThru_.ReleaseAll(
      [&](uint32_t off) { orphanOffs_.Push(midi::WithPort(off, static_cast<uint32_t>(thruPort))); });
  parts_.clear();
  std::vector<std::pair<CLiveMIDIPart*, std::vector<uint8_t>>> packed;
  bool sawEventRecord = false;
  std::vector<uint8_t> hasRight;  // per part: it stored its own loop end
  CLiveMIDIPart* cur = nullptr;
  std::string key;
  int32_t size = 0;
  while (s.NextRecord(key, size) && key != "CEnd") {
    if (LoadBaseRecord(s, key, size, false)) continue;
    if (key == "MPart") {
      auto p = std::make_unique<CLiveMIDIPart>();
      p->key = 36 + static_cast<int32_t>(parts_.size());
      p->owner = this;
      cur = p.get();
      parts_.push_back(std::move(p));
      hasRight.push_back(0);
      s.Skip(size);
    } else if (key == "MPartPorts") {
      ports = std::clamp(ReadIntValue(s, size, 1), 1, kPorts);
    } else if (key == "MThru") {
      thru = ReadIntValue(s, size, 0) != 0;
    } else if (!cur) {
      s.Skip(size);  // part fields before any "MPart" belong to no part
    } else if (key == "MPartName") {
      const int64_t end = s.Position() + size;
      cur->name = s.ReadString();
      s.Skip(end - s.Position());
    } else if (key == "MPartEvents") {
      packed.emplace_back(cur, s.ReadRaw(size));
    } else if (key.starts_with("MPEv")) {
      sawEventRecord = sawEventRecord || key == "MPEv";
      if (!LoadEventRecord(s, key, size, cur->events)) s.Skip(size);
    } else {
      struct Field {
        const char* key;
        int32_t CLiveMIDIPart::*field;
      };
      static constexpr Field kFields[] = {
          {"MPartHNote", &CLiveMIDIPart::noteHeight},
          {"MPartTicks", &CLiveMIDIPart::length},
          {"MPartPort", &CLiveMIDIPart::port},
          {"MPartMCh", &CLiveMIDIPart::channel},
          {"MPartSync", &CLiveMIDIPart::sync},
          {"MPartFR", &CLiveMIDIPart::fr},
          {"MPartLoopLeft", &CLiveMIDIPart::loopLeft},
          {"MPartLoopRight", &CLiveMIDIPart::loopRight},
          {"MPartMixerStyle", &CLiveMIDIPart::mixerStyle},
          {"MPartTrig", &CLiveMIDIPart::triggerMode},
          {"MPartKey", &CLiveMIDIPart::key},
          {"MPartPlayGr", &CLiveMIDIPart::playGroup},
          {"MPartMuteGr", &CLiveMIDIPart::muteGroup},
      };
      bool known = false;
      if (key == "MPartLoopRight") hasRight.back() = 1;
      for (const Field& f : kFields)
        if (key == f.key) {
          (*cur).*(f.field) = ReadIntValue(s, size, (*cur).*(f.field));
          known = true;
          break;
        }
      if (!known && key == "MPartWBeat") {
        cur->beatWidth = static_cast<float>(ReadIntValue(s, size, 64));
        known = true;
      }
      if (!known) s.Skip(size);  // "MPartBeats" and unknown keys
    }
  }
  // The packed copy stands in only for files that carry no event records at all.
  if (!sawEventRecord)
    for (auto& [part, bytes] : packed) UnpackEvents(bytes, part->events);
  for (size_t i = 0; i < parts_.size(); ++i) {
    CLiveMIDIPart* p = parts_[i].get();
    // Without a stored loop end the loop spans the part, whatever its length.
    if (!hasRight[i]) p->loopRight = p->length;
    p->port = ClampPort(p->port);
    if (p->channel < -1 || p->channel > 15) p->channel = -1;
    if (p->triggerMode < 0 || p->triggerMode > 3) p->triggerMode = CLiveMIDIPart::kNoteOnOff;
  }
  UnlockEvents();
  if (parts_.empty()) AddPart();
  editorRefresh.store(true, std::memory_order_relaxed);
}

}  // namespace qr
