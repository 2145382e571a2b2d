#include "midipart/MidiPart.h"

#include <cstring>

#include "stream/RecordStream.h"

namespace qr {

namespace {

template <typename T>
std::unique_ptr<CPart> CopyOf(const T& part) {
  auto c = std::make_unique<T>(part);
  c->owner = nullptr;
  c->changed = 0;
  c->request = 0;
  c->ClearUndo();  // a copy starts its own history
  return c;
}

}  // namespace

std::unique_ptr<CPart> CMIDIPart::Copy() const { return CopyOf(*this); }
std::unique_ptr<CPart> CLiveMIDIPart::Copy() const {
  auto c = CopyOf(*this);
  auto* live = static_cast<CLiveMIDIPart*>(c.get());
  live->armed = 0;
  live->queued = 0;
  live->playingCount = 0;
  return c;
}

bool CMIDIPart::Assign(const CPart& other) {
  const auto* o = dynamic_cast<const CMIDIPart*>(&other);
  if (!o) return false;
  if (o == this) return true;
  CPart::Assign(other);
  events = o->events;
  loopLeft = o->loopLeft;
  loopRight = o->loopRight;
  port = o->port;
  channel = o->channel;
  lengthScale = o->lengthScale;
  sync = o->sync;
  fr = o->fr;
  beatWidth = o->beatWidth;
  noteHeight = o->noteHeight;
  changed = 1;
  return true;
}

void CMIDIPart::PushUndo(std::string_view operation) {
  if (undo_.size() >= kMaxUndo) undo_.erase(undo_.begin());
  undo_.push_back({std::string(operation), events});
}

bool CMIDIPart::PopUndo() {
  if (undo_.empty()) return false;
  events = std::move(undo_.back().events);
  undo_.pop_back();
  return true;
}

void SaveEventRecords(CStream& s, const CEventList& events) {
  for (const PartEvent& e : events) {
    s.WriteKey("MPEv", 0);
    s.WriteKeyInt("MPEvDt", e.delta);
    s.WriteKeyInt("MPEvDa", static_cast<int32_t>(e.data));
    s.WriteKeyInt("MPEvSy", e.flags);
    s.WriteKeyInt("MPEvLe", e.length);
  }
}

bool LoadEventRecord(CStream& s, const std::string& key, int32_t size, CEventList& events) {
  if (key == "MPEv") {
    events.Append(PartEvent{});
    s.Skip(size);
    return true;
  }
  int32_t PartEvent::*field = nullptr;
  if (key == "MPEvDt")
    field = &PartEvent::delta;
  else if (key == "MPEvSy")
    field = &PartEvent::flags;
  else if (key == "MPEvLe")
    field = &PartEvent::length;
  else if (key != "MPEvDa")
    return false;
  if (size < 4) {
    s.Skip(size);
    return true;
  }
  const int32_t v = s.ReadInt();
  s.Skip(size - 4);
  if (events.Empty()) return true;  // a field before any "MPEv" belongs to no event
  PartEvent& e = events[events.Size() - 1];
  if (field)
    e.*field = v;
  else
    e.data = static_cast<uint32_t>(v);
  return true;
}

std::vector<uint8_t> PackEvents(const CEventList& events) {
  std::vector<uint8_t> out(events.Size() * 12);
  uint8_t* p = out.data();
  for (const PartEvent& e : events) {
    const int32_t v[3] = {e.delta, static_cast<int32_t>(e.data), e.length};
    for (int32_t x : v) {
      const uint32_t u = static_cast<uint32_t>(x);
      for (int b = 0; b < 4; ++b) *p++ = static_cast<uint8_t>(u >> (8 * b));
    }
  }
  return out;
}

void UnpackEvents(const std::vector<uint8_t>& bytes, CEventList& events) {
  const size_t n = bytes.size() / 12;
  events.Reserve(events.Size() + n);
  for (size_t i = 0; i < n; ++i) {
    uint32_t v[3];
    for (int k = 0; k < 3; ++k) {
      const uint8_t* q = &bytes[i * 12 + static_cast<size_t>(k) * 4];
      v[k] = uint32_t{q[0]} | uint32_t{q[1]} << 8 | uint32_t{q[2]} << 16 | uint32_t{q[3]} << 24;
    }
    PartEvent e;
    e.delta = static_cast<int32_t>(v[0]);
    e.data = v[1];
    e.length = static_cast<int32_t>(v[2]);
    events.Append(e);
  }
}

}  // namespace qr
