// How a track turns the parts of its current variation into MIDI.
//
// The arrangement's walker says which tick every sample of the stretch stands
// on; the track plays each event whose song tick lies in the ticks the stretch
// covers, [from, to), on the sample the walker gives it. A note-on's note-off
// (at the end of its length, cut at the part's end) waits in a small tick
// queue until a later stretch covers it, so a note never outlives its part.
// Every note sent is counted, so a stop, wrap, mute or switch can end it.
#include <algorithm>
#include <cmath>

#include "midifx/Groove.h"
#include "platform/Messages.h"
#include "sequencer/Song.h"

namespace qr {

bool CTickQueue::Insert(double tick, uint32_t msg) noexcept {
  if (count_ >= static_cast<int>(e_.size())) return false;
  int i = count_;
  while (i > 0 && e_[static_cast<size_t>(i - 1)].tick > tick) {
    e_[static_cast<size_t>(i)] = e_[static_cast<size_t>(i - 1)];
    --i;
  }
  e_[static_cast<size_t>(i)] = {tick, msg};
  ++count_;
  return true;
}

void CTickQueue::PopFront(int n) noexcept {
  n = std::clamp(n, 0, count_);
  for (int i = n; i < count_; ++i) e_[static_cast<size_t>(i - n)] = e_[static_cast<size_t>(i)];
  count_ -= n;
}

bool CArrQ::Insert(const Entry& e) noexcept {
  if (count_ >= static_cast<int>(e_.size())) return false;
  int i = count_;
  while (i > 0 && e_[Slot(i - 1)].time > e.time) {
    e_[Slot(i)] = e_[Slot(i - 1)];
    --i;
  }
  e_[Slot(i)] = e;
  ++count_;
  return true;
}

void CArrQ::PopFront() noexcept {
  if (count_ == 0) return;
  head_ = Slot(1);
  --count_;
}

void CArrQ::Subtract(double ticks) noexcept {
  for (int i = 0; i < count_; ++i) e_[Slot(i)].time -= ticks;
}

CTrack::CTrack(CContainer* parent, TrackKind kind) : CComp(parent), mode(static_cast<int32_t>(kind)) {
  name = KindWord(kind);
}

CTrack::~CTrack() = default;

const char* CTrack::KindWord(TrackKind kind) noexcept {
  switch (kind) {
    case TrackKind::kMidi:
      return "midi";
    case TrackKind::kAudio:
      return "audio";
    case TrackKind::kEnvelope:
      return "envelope";
    case TrackKind::kFolder:
      return "folder";
    case TrackKind::kMarker:
      return "marker";
  }
  return "midi";
}

CMIDIQ* CTrack::MidiOutput(int, int) noexcept { return &stretch_; }

void CTrack::TakeStretch(int s, int m) noexcept {
  stretch_.Clear();
  for (const MidiEvent& e : out_)
    if (e.time >= static_cast<float>(s) && e.time < static_cast<float>(s + m))
      stretch_.Push(e.msg, e.kind, e.value, e.time - static_cast<float>(s));
  RunMidiInserts(s, m);
}

void CTrack::SetUpInserts() {
  if (midiInserts.empty()) {
    insertScratch_.reset();
    return;
  }
  if (!insertScratch_) insertScratch_ = std::make_unique<CMIDIQ>();
  for (auto& m : midiInserts) {
    m->parent = parent;
    m->SetSampleRate(sampleRate);
    if (m->blockSize != blockSize || !m->HasBuffers()) {
      m->SetBlockSize(blockSize);
      m->blockSize = blockSize;
      m->AllocBuffers();
    }
    m->SetTempo(tempo);
  }
}

void CTrack::RunMidiInserts(int s, int m) noexcept {
  if (midiInserts.empty() || !insertScratch_ || m <= 0) return;
  bool ran = false;
  for (auto& ip : midiInserts) {
    CComp& ins = *ip;
    if (!ins.enabled || m > ins.blockSize) continue;
    if (ins.tempo != tempo) ins.SetTempo(tempo);
    ins.ResetForBlock(m);
    ins.midiQueue.Clear();
    for (const MidiEvent& e : stretch_) ins.midiQueue.Push(e.msg, e.kind, e.value, e.time);
    // The insert's input was filled here; its own gathering must not clear it.
    const uint8_t mi = ins.midiInEnabled, ai = ins.audioInEnabled;
    ins.midiInEnabled = 0;
    ins.audioInEnabled = 0;
    ins.Process(m);
    const CMIDIQ* q = ins.MidiOutput(0, m);
    ins.midiInEnabled = mi;
    ins.audioInEnabled = ai;
    stretch_.Clear();
    if (q)
      for (const MidiEvent& e : *q) stretch_.InsertSorted(e.msg, e.kind, e.value, e.time);
    ran = true;
  }
  if (!ran) return;
  // The track sends what its inserts made of the stretch.
  CMIDIQ& keep = *insertScratch_;
  keep.Clear();
  for (const MidiEvent& e : out_)
    if (e.time < static_cast<float>(s) || e.time >= static_cast<float>(s + m))
      keep.Push(e.msg, e.kind, e.value, e.time);
  for (const MidiEvent& e : stretch_)
    keep.InsertSorted(e.msg, e.kind, e.value, e.time + static_cast<float>(s));
  out_.Clear();
  for (const MidiEvent& e : keep) out_.Push(e.msg, e.kind, e.value, e.time);
}

// The sequencer plays its tracks itself; a pull along a cable only reads the
// queue it filled.
void CTrack::Process(int) noexcept { done[0] = 1; }

CTrackVari* CTrack::CurrentVari(const CArr& arr) const {
  if (varis.empty()) {
    ShowNotice("getCurVar: out of range error");
    return nullptr;
  }
  const int v = arr.activeVari;
  if (v < 0 || static_cast<size_t>(v) >= varis.size()) return nullptr;
  return varis[static_cast<size_t>(v)].get();
}

void CTrack::ReleaseAll(int at) noexcept {
  pending_.Clear();
  lastValue_ = -1;  // the next controller value is sent whatever it is
  if (player_) player_->StopAll();
  audioJoin_ = true;
  held_.ReleaseAll(
      [&](uint32_t msg) { out_.InsertSorted(msg, kMidiKindMessage, 0, static_cast<float>(at)); });
}

// The walker, not the tick window, has the last word on where an event
// sounds: a tick a rounding away from a sample boundary that the walker puts
// on the next stretch's first sample waits for it.
void CTrack::Emit(double tick, uint32_t msg, double, int at, int frames, const TickWalker& w) noexcept {
  const int64_t s = w.SampleOf(tick);
  if (s >= frames) {
    pending_.Insert(tick, msg);
    return;
  }
  Send(msg, at + static_cast<int>(std::max<int64_t>(s, 0)));
}

void CTrack::Send(uint32_t msg, int at) noexcept {
  if (out_.InsertSorted(msg, kMidiKindMessage, 0, static_cast<float>(at))) held_.Note(msg);
}

void CTrack::FlushPending(double to, double, int at, int frames, const TickWalker& w) noexcept {
  int n = 0;
  for (; n < pending_.Count() && pending_[n].tick < to; ++n) {
    const int64_t s = w.SampleOf(pending_[n].tick);
    if (s >= frames) break;
    Send(pending_[n].msg, at + static_cast<int>(std::max<int64_t>(s, 0)));
  }
  pending_.PopFront(n);
}

void CTrack::Play(const CArr& arr, CTrackVari* vari, double from, double to, int at, int frames,
                  bool sounding) noexcept {
  const TickWalker& w = arr.walker;
  if (!sounding && wasSounding) ReleaseAll(at);
  wasSounding = sounding ? 1 : 0;
  FlushPending(to, from, at, frames, w);
  if (!sounding || !vari || frames <= 0 || !(to > from)) return;
  if (Kind() == TrackKind::kEnvelope) {
    PlayEnvelope(w, vari, from, to, at, frames);
    return;
  }
  if (Kind() != TrackKind::kMidi) return;

  // A delay in samples is the same stretch of time at any position, so it
  // becomes ticks at the tempo of this stretch.
  const double shift = delayUnit == 1 ? static_cast<double>(delay)
                                      : static_cast<double>(delay) * TickWalker::TicksPerSecond(w.Tempo()) /
                                            std::max(1.0, w.SampleRate());
  grooveCount_ = 0;
  for (const auto& g : grooves)
    if (g->enabled && grooveCount_ < static_cast<int>(grooveView_.size()))
      grooveView_[static_cast<size_t>(grooveCount_++)] = g.get();
  const std::span<const CGroove* const> groove(grooveView_.data(), static_cast<size_t>(grooveCount_));

  for (const auto& pp : vari->parts) {
    const CPart& frame = *pp;
    if ((frame.style & 2) || frame.length <= 0) continue;
    const double partStart = static_cast<double>(frame.start) + shift;
    const double partEnd = partStart + frame.length;
    if (partEnd <= from || partStart >= to) continue;  // most parts, most of the time
    const auto* part = dynamic_cast<const CMIDIPart*>(pp.get());
    if (!part) continue;
    // A ghost copy plays its source's events through its own frame.
    const CEventList& ev = part->PlayEvents();
    const double base = partStart - part->offset;  // song tick of content 0
    const double lo = std::max(from, partStart) - base;
    const double hi = std::min(to, partEnd) - base;
    if (!(hi > lo)) continue;
    CEventList::Ticks time = 0;
    size_t i = ev.Find(static_cast<CEventList::Ticks>(std::ceil(lo)), &time);
    for (; i < ev.Size(); ++i) {
      const PartEvent& e = ev[i];
      if (static_cast<double>(time) >= hi) break;
      if (!e.Muted()) {
        uint32_t msg = e.data & 0x00FFFFFFu;
        if (midi::Status(msg) >= 0x80 && midi::Status(msg) < 0xF0 && channel >= 0 && channel < 16)
          msg = (msg & ~0x0Fu) | static_cast<uint32_t>(channel);
        double t = base + static_cast<double>(time);
        int64_t length = e.length;
        if (midi::IsNoteOn(msg) && grooveCount_ > 0) {
          const GrooveResult g = GrooveTransform(groove, static_cast<int64_t>(std::floor(t)), msg,
                                                 static_cast<int32_t>(midi::Data2(msg)), e.length);
          t = static_cast<double>(g.time) + (t - std::floor(t));
          length = g.length;
          msg = midi::Make(msg, midi::Data1(msg), static_cast<uint32_t>(std::clamp(g.velocity, 1, 127)));
        }
        if (t < to)
          Emit(t, msg, from, at, frames, w);
        else
          pending_.Insert(t, msg);
        if (midi::IsNoteOn(msg)) {
          const double off = std::min(t + static_cast<double>(std::max<int64_t>(length, 0)), partEnd);
          const uint32_t offMsg = midi::Make(0x80u | midi::Channel(msg), midi::Data1(msg), 0);
          if (off < to)
            Emit(off, offMsg, from, at, frames, w);
          else
            pending_.Insert(off, offMsg);
        }
      }
      if (i + 1 < ev.Size()) time += ev[i + 1].delta;
    }
  }
}

// An envelope track sends one controller, sampled on a grid of 32 samples
// worth of ticks counted from tick 0: tied to the song's ticks rather than to
// where blocks begin, so every block size sends the same values at the same
// samples. Between points the value moves in a straight line; the points'
// curve values are kept for the editor. A value is sent only when it changed.
void CTrack::PlayEnvelope(const TickWalker& w, const CTrackVari* vari, double from, double to, int at,
                          int frames) noexcept {
  const double step = 32.0 * TickWalker::TicksPerSecond(w.Tempo()) / std::max(1.0, w.SampleRate());
  if (!(step > 0)) return;
  const uint32_t number = cc >= 0 && cc < 128 ? static_cast<uint32_t>(cc) : 74u;
  const uint32_t status = 0xB0u | static_cast<uint32_t>(std::clamp(channel, 0, 15));
  for (double g = std::ceil(from / step); g * step < to; g += 1.0) {
    const double tick = g * step;
    const CEnvelopePart* part = nullptr;
    for (const auto& pp : vari->parts)
      if (!(pp->style & 2) && tick >= pp->start && tick < static_cast<double>(pp->start) + pp->length)
        if ((part = dynamic_cast<const CEnvelopePart*>(pp.get()))) break;
    if (!part) continue;
    const auto* source = part->ghostSource ? static_cast<const CEnvelopePart*>(part->ghostSource) : part;
    const auto& pts = source->points;
    if (pts.empty()) continue;
    const double c = tick - part->start + part->offset;  // ticks into the content
    double t0 = pts[0].delta, v = pts[0].value;
    for (size_t i = 1; i < pts.size() && c >= t0; ++i) {
      const double t1 = t0 + pts[i].delta;
      if (c < t1) {
        v = pts[i - 1].value + (pts[i].value - pts[i - 1].value) * (c - t0) / (t1 - t0);
        break;
      }
      v = pts[i].value;
      t0 = t1;
    }
    const int32_t x = static_cast<int32_t>(std::clamp(std::nearbyint(v * 127.0), 0.0, 127.0));
    if (x == lastValue_) continue;
    lastValue_ = x;
    Emit(tick, midi::Make(status, number, static_cast<uint32_t>(x)), from, at, frames, w);
  }
}

}  // namespace qr
