#include "midifx/Envelope.h"

#include <algorithm>
#include <cmath>
#include <thread>

#include "stream/RecordStream.h"

namespace qr {

namespace {

// Stored times are untrusted; anything outside the int32 range is pinned to it.
int64_t TruncTicks(float t) noexcept {
  if (!(t == t)) return 0;
  return static_cast<int64_t>(std::clamp(static_cast<double>(t), -2147483648.0, 2147483647.0));
}

}  // namespace

CEnvelope::CEnvelope(CContainer* parent) : CComp(parent) { id = "Envelope"; }

void CEnvelope::SetMode(int32_t mode) {
  EditPoints([mode](CEnvShape& s) { s.mode = mode; });
}

void CEnvelope::Restart(int at) noexcept {
  shape.Restart();
  Anchor(at);
}

void CEnvelope::Anchor(int at) noexcept {
  walker_.Locate(0.0, at);
  gridNext_ = at;
  segStart_ = 0.0;
  segEnd_ = SegmentTicks();
}

double CEnvelope::SegmentTicks() const noexcept {
  if (!shape.Running() || shape.current + 1 >= shape.Count()) return 0.0;
  return static_cast<double>(shape.points[static_cast<size_t>(shape.current + 1)].delta);
}

void CEnvelope::Send(int64_t at, float value) noexcept {
  if (!std::isfinite(value)) return;
  const double x = std::nearbyint(static_cast<double>(value) * 127.0);
  const double mn = shape.minimum, mx = shape.maximum;
  // Compared after clamping: a range reaching past 127 would otherwise send
  // 127 again on every grid sample.
  const auto v = static_cast<int32_t>(std::clamp(mn + (mx - mn) * x / 127.0, 0.0, 127.0));
  if (v == lastSent) return;
  lastSent = v;
  out_.InsertSorted(midi::Make(0xB0, static_cast<uint32_t>(controller & 127), static_cast<uint32_t>(v)),
                    kMidiKindMessage, 0, static_cast<float>(at));
}

void CEnvelope::Render(int from, int n) noexcept {
  const int64_t end = from + n;
  // Each pass sends one grid value or ends one segment. The bound only matters
  // for loops of segments shorter than a sample; they carry on next block.
  for (int guard = 4 * (n + shape.Count()) + 64; shape.Running() && guard > 0; --guard) {
    // A segment's new value goes out on the last sample before its end sounds.
    const int64_t last = walker_.SampleOf(segEnd_) - 1;
    if (gridNext_ < end && gridNext_ <= last) {
      shape.position = static_cast<float>(walker_.TickAt(gridNext_) - segStart_);
      Send(std::max<int64_t>(gridNext_, from), shape.Value());
      gridNext_ += 32;
      continue;
    }
    if (last >= end) break;
    shape.Advance();
    Send(std::max<int64_t>(last, from), shape.startValue);
    segStart_ = segEnd_;
    segEnd_ += SegmentTicks();
  }
}

CMIDIQ* CEnvelope::MidiOutput(int port, int frames) noexcept {
  if (port != 0) return nullptr;
  if (done[0]) return &out_;
  done[0] = 1;
  out_.Clear();
  if (!editing_.TryTake()) return &out_;
  walker_.SetTempo(tempo, sampleRate);
  GatherMidi(frames);
  int pos = 0;
  const int last = std::max(frames - 1, 0);
  for (const MidiEvent& e : midiQueue) {
    const int at = std::clamp(static_cast<int>(e.time), pos, last);
    const bool on = midi::IsNoteOn(e.msg), off = midi::IsNoteOff(e.msg);
    if (on || off) {
      Render(pos, at - pos);
      pos = at;
      if (on) {
        if (shape.NoteOn()) Anchor(at);
      } else
        shape.NoteOff();
    }
    if (thru) out_.InsertSorted(e.msg, e.kind, e.value, static_cast<float>(at));
  }
  Render(pos, frames - pos);
  walker_.Advance(frames);
  gridNext_ -= frames;
  Unlock();
  return &out_;
}

void CEnvelope::Save(CStream& s) {
  CComp::Save(s);
  s.WriteKeyMarker("Env");
  s.WriteKeyInt("Mode", shape.mode);
  s.WriteKeyInt("CC", controller);
  s.WriteKeyInt("Min", shape.minimum);
  s.WriteKeyInt("Max", shape.maximum);
  s.WriteKeyInt("Beats", beats);
  s.WriteKeyInt("LP1", shape.loopStart);
  s.WriteKeyInt("LP2", shape.loopEnd);
  int64_t t = 0;
  for (const EnvPoint& p : shape.points) {
    t += p.delta;
    s.WriteKeyMarker("Event");
    s.WriteKeyFloat("EventTime", static_cast<float>(t));
    s.WriteKeyInt("EventDelta", p.delta);
    s.WriteKeyFloat("EventValue", p.value);
  }
}

void CEnvelope::Load(CStream& s, int) {
  std::string key;
  int32_t size = 0;
  CEnvShape loaded;
  loaded.mode = shape.mode;
  loaded.minimum = shape.minimum;
  loaded.maximum = shape.maximum;
  int32_t lp1 = shape.loopStart, lp2 = shape.loopEnd;
  int32_t cc = controller, bt = beats;
  int64_t prevTime = 0, thisTime = 0;
  auto readInt = [&](int32_t& v) {
    if (size < 4) return void(s.Skip(size));
    v = s.ReadInt();
    s.Skip(size - 4);
  };
  auto readFloat = [&](float& v) {
    if (size < 4) return void(s.Skip(size));
    v = s.ReadFloat();
    s.Skip(size - 4);
  };
  while (s.NextRecord(key, size) && key != "CEnd") {
    if (LoadBaseRecord(s, key, size, false)) continue;
    if (key == "Env") {
      loaded.points.clear();
      prevTime = thisTime = 0;
      s.Skip(size);
    } else if (key == "Mode") {
      readInt(loaded.mode);
    } else if (key == "CC") {
      readInt(cc);
    } else if (key == "Min") {
      readInt(loaded.minimum);
    } else if (key == "Max") {
      readInt(loaded.maximum);
    } else if (key == "Beats") {
      readInt(bt);
    } else if (key == "LP1") {
      readInt(lp1);
    } else if (key == "LP2") {
      readInt(lp2);
    } else if (key == "Event") {
      // Each point costs at least one record header, so the list stays within
      // what the stream holds.
      loaded.points.push_back({});
      prevTime = thisTime;
      s.Skip(size);
    } else if (key == "EventTime" && !loaded.points.empty()) {
      float t = 0.0f;
      readFloat(t);
      thisTime = TruncTicks(t);
      loaded.points.back().delta =
          static_cast<int32_t>(std::clamp<int64_t>(thisTime - prevTime, INT32_MIN, INT32_MAX));
    } else if (key == "EventDelta" && !loaded.points.empty()) {
      readInt(loaded.points.back().delta);
    } else if (key == "EventValue" && !loaded.points.empty()) {
      float v = 0.0f;
      readFloat(v);
      loaded.points.back().value = std::isfinite(v) ? v : 0.0f;
    } else {
      s.Skip(size);
    }
  }
  const int n = loaded.Count();
  loaded.loopStart = lp1 >= 0 && lp1 < n ? lp1 : -1;
  loaded.loopEnd = lp2 >= 0 && lp2 < n ? lp2 : -1;
  Lock();
  shape = std::move(loaded);
  controller = cc;
  beats = bt;
  lastSent = -1;
  if (shape.mode == 2) Restart(0);
  Unlock();
}

}  // namespace qr
