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

float CEnvelope::Ticks(float samples) const noexcept {
  return sampleRate > 0.0f ? samples * 16.0f * tempo / sampleRate : 0.0f;
}

float CEnvelope::Samples(float ticks) const noexcept {
  return tempo > 0.0f ? ticks * sampleRate / (16.0f * tempo) : 0.0f;
}

void CEnvelope::Send(int at, float value) noexcept {
  if (!std::isfinite(value)) return;
  const double x = std::nearbyint(static_cast<double>(value) * 127.0);
  const double mn = shape.minimum, mx = shape.maximum;
  const auto v = static_cast<int32_t>(std::clamp(mn + (mx - mn) * x / 127.0, -1e9, 1e9));
  if (v == lastSent) return;
  lastSent = v;
  out_.InsertSorted(midi::Make(0xB0, static_cast<uint32_t>(controller & 127),
                               static_cast<uint32_t>(std::clamp(v, 0, 127))),
                    kMidiKindMessage, 0, static_cast<float>(at));
}

void CEnvelope::Render(int from, int n) noexcept {
  const float k = Ticks(32.0f);
  // Every pass either uses up samples or moves to another point; the bound
  // only matters for loops of segments shorter than half a sample.
  for (int guard = 4 * (n + shape.Count()) + 64; shape.Running() && n > 0 && guard > 0; --guard) {
    const bool ends = shape.remaining <= Ticks(static_cast<float>(n));
    int chunk = n;
    if (ends) {
      const float s = std::nearbyint(Samples(shape.remaining));
      chunk = s <= 0.0f ? 0 : std::min(n, static_cast<int>(s));
    }
    for (int o = 0; o < chunk; o += 32) {
      Send(from + o, shape.Value());
      shape.position += k;
    }
    shape.remaining -= Ticks(static_cast<float>(chunk));
    if (ends) {
      shape.Advance();
      Send(from + std::max(chunk, 1) - 1, shape.startValue);
    }
    from += chunk;
    n -= chunk;
  }
}

CMIDIQ* CEnvelope::MidiOutput(int port, int frames) noexcept {
  if (port != 0) return nullptr;
  if (done[0]) return &out_;
  done[0] = 1;
  out_.Clear();
  if (!editing_.TryTake()) return &out_;
  GatherMidi(frames);
  int pos = 0;
  const int last = std::max(frames - 1, 0);
  for (const MidiEvent& e : midiQueue) {
    const int at = std::clamp(static_cast<int>(e.time), pos, last);
    const bool on = midi::IsNoteOn(e.msg), off = midi::IsNoteOff(e.msg);
    if (on || off) {
      Render(pos, at - pos);
      pos = at;
      if (on)
        shape.NoteOn();
      else
        shape.NoteOff();
    }
    if (thru) out_.InsertSorted(e.msg, e.kind, e.value, static_cast<float>(at));
  }
  Render(pos, frames - pos);
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
      loaded.points.back().delta = static_cast<int32_t>(std::clamp<int64_t>(thisTime - prevTime, INT32_MIN, INT32_MAX));
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
  if (shape.mode == 2) shape.Restart();
  Unlock();
}

}  // namespace qr
