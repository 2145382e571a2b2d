#include "midifx/Chords.h"

#include <algorithm>
#include <cmath>
#include <thread>

#include "stream/RecordStream.h"

namespace qr {

CChord::CChord(int32_t trigger_key) : key(trigger_key) { Offset(0) = 64; }

CChords::CChords(CContainer* parent) : CComp(parent) { id = "Chords"; }

CChord& CChords::AddChord(int32_t key) {
  chords.push_back(std::make_unique<CChord>(key));
  return *chords.back();
}

void CChords::StartLearning() noexcept {
  learnCount = 0;
  learnRoot = -1;
  learning = 1;
}

void CChords::AfterEdit() noexcept {
  // An edit may have replaced a chord or moved its events: slots of chords
  // that are gone end silently (their notes were sent on a list we no longer
  // hold), the others find their place again.
  for (Slot& s : slots) {
    if (!s.state) continue;
    const bool alive =
        std::any_of(chords.begin(), chords.end(), [&](const auto& c) { return c.get() == s.chord; });
    if (!alive) {
      s.state = 2;
      s.chord = nullptr;
      continue;
    }
    if (s.play) Seek(s);
  }
  currentChord = std::clamp(currentChord, 0, std::max(static_cast<int>(chords.size()) - 1, 0));
}

CChord* CChords::Current() noexcept {
  return currentChord >= 0 && currentChord < static_cast<int>(chords.size())
             ? chords[static_cast<size_t>(currentChord)].get()
             : nullptr;
}

// ---------------------------------------------------------------- block

void CChords::ReleaseNotes(NoteOffSink& sink) noexcept {
  for (Slot& s : slots) s.notes.ReleaseAll([&](uint32_t off) { sink.NoteOff(0, off); });
}

CMIDIQ* CChords::MidiOutput(int port, int frames) noexcept {
  if (port != 0) return nullptr;
  if (done[0]) return &out_;
  done[0] = 1;
  out_.Clear();
  if (!editing_.TryTake()) return &out_;
  for (Slot& s : slots) {
    if (s.state == 2) Stop(s, 0);
    s.walker.SetTempo(tempo, sampleRate);
  }
  GatherMidi(frames);
  int pos = 0;
  const int last = std::max(frames - 1, 0);
  for (const MidiEvent& e : midiQueue) {
    const int at = std::clamp(static_cast<int>(e.time), pos, last);
    const bool on = midi::IsNoteOn(e.msg), off = midi::IsNoteOff(e.msg);
    if (!on && !off) {
      const uint32_t cc = midi::Data1(e.msg);
      if (midi::IsController(e.msg) && (cc == 120 || cc == 123)) {
        for (Slot& s : slots)
          if (s.state == 1) s.state = 2;
      } else {
        out_.InsertSorted(e.msg, e.kind, e.value, static_cast<float>(at));
      }
      continue;
    }
    if (learning) {
      out_.InsertSorted(e.msg, e.kind, e.value, static_cast<float>(at));
      Learn(e.msg);
      continue;
    }
    Render(pos, at - pos);
    pos = at;
    if (on)
      NoteOn(e.msg, at);
    else
      NoteOff(e.msg, at);
  }
  Render(pos, frames - pos);
  for (Slot& s : slots) s.walker.Advance(frames);
  Unlock();
  return &out_;
}

void CChords::Learn(uint32_t msg) noexcept {
  const auto key = static_cast<int>(midi::Data1(msg));
  if (midi::IsNoteOff(msg)) {
    if (--learnCount < 1) learning = 0;
    return;
  }
  ++learnCount;
  CChord* c = Current();
  if (!c) return;
  // The first key of a learn starts the chord afresh.
  if (learnRoot < 0) {
    learnRoot = key;
    if (mode == kFixed)
      c->fixed.fill(0);
    else
      c->offsets.fill(0);
  }
  const auto vel = static_cast<uint8_t>(midi::Data2(msg));
  if (mode == kFixed) {
    c->fixed[static_cast<size_t>(key)] = vel;
  } else {
    const int o = key - learnRoot;
    if (o >= CChord::kLowOffset && o <= CChord::kHighOffset) c->Offset(o) = vel;
  }
}

void CChords::NoteOn(uint32_t msg, int at) noexcept {
  const auto key = static_cast<int>(midi::Data1(msg));
  const auto vel = static_cast<int>(midi::Data2(msg));
  if (mode == kFixed) {
    for (auto& c : chords)
      if (c->key == key) return Start(*c, key, vel, nullptr, at);
    return;
  }
  for (size_t i = 0; i < chords.size(); ++i)
    if (chords[i]->key == key) {
      currentChord = static_cast<int32_t>(i);
      return;
    }
  CChord* c = Current();
  if (!c) return;
  // A key played while the chord sounds joins it: an arpeggio walks over all
  // held keys, any other chord starts again on the new key in step with the
  // rhythm already playing.
  Slot* playing = nullptr;
  for (Slot& s : slots)
    if (s.state == 1 && s.chord == c) {
      playing = &s;
      break;
    }
  if (playing) {
    playing->held[static_cast<size_t>(key)] = 1;
    if (playing->play && playing->arpMode) return;
  }
  Start(*c, key, vel, playing, at);
}

void CChords::NoteOff(uint32_t msg, int at) noexcept {
  const auto key = static_cast<size_t>(midi::Data1(msg));
  for (Slot& s : slots) {
    if (!s.state) continue;
    if (s.play && s.arpMode) {
      if (!s.held[key]) continue;
      s.held[key] = 0;
      if (std::none_of(s.held.begin(), s.held.end(), [](uint8_t h) { return h != 0; })) Stop(s, at);
    } else if (static_cast<size_t>(s.key) == key) {
      Stop(s, at);
    }
  }
}

void CChords::Start(CChord& chord, int key, int velocity, const Slot* takeover, int at) noexcept {
  Slot* slot = nullptr;
  for (Slot& s : slots)
    if (!s.state) {
      slot = &s;
      break;
    }
  if (!slot) return;
  Slot& s = *slot;
  s.table.fill(0);
  if (mode == kFixed) {
    s.table = chord.fixed;
  } else {
    for (int o = CChord::kLowOffset; o <= CChord::kHighOffset; ++o)
      if (key + o >= 0 && key + o <= 127) s.table[static_cast<size_t>(key + o)] = chord.Offset(o);
  }
  if (std::none_of(s.table.begin(), s.table.end(), [](uint8_t v) { return v != 0; })) return;
  if (chord.play && chord.events.Empty()) return;
  s.state = 1;
  s.chord = &chord;
  s.key = key;
  s.velocity = velocity;
  s.play = chord.play;
  s.arpMode = chord.arp;
  s.held.fill(0);
  s.held[static_cast<size_t>(key)] = 1;
  s.notes.Forget();
  s.pendingCount = 0;
  ++chord.playingCount;
  if (!s.play) {
    const uint32_t v = static_cast<uint32_t>(velocity) & 127;
    for (uint32_t k = 0; k < 128; ++k)
      if (s.table[k]) Out(s, midi::Make(0x90, k, v), at);
    return;
  }
  if (takeover && takeover->play && takeover->chord == &chord) {
    s.walker = takeover->walker;
    s.lap = takeover->lap;
    s.current = takeover->current;
    s.currentTime = takeover->currentTime;
    s.right = takeover->right;
  } else {
    s.walker.SetTempo(tempo, sampleRate);
    s.walker.Locate(0.0, at);
    s.lap = 0.0;
    s.right = chord.right;
    Seek(s);
  }
  s.arpDir = s.arpMode == kArpDown ? -1 : 1;
  const auto& keys = mode == kFixed ? s.table : s.held;
  s.arpIndex = key;
  if (s.arpMode == kArpDown) {
    for (int k = 127; k >= 0; --k)
      if (keys[static_cast<size_t>(k)]) {
        s.arpIndex = k;
        break;
      }
  } else {
    for (int k = 0; k < 128; ++k)
      if (keys[static_cast<size_t>(k)]) {
        s.arpIndex = k;
        break;
      }
  }
}

void CChords::Stop(Slot& s, int at) noexcept {
  s.notes.ReleaseAll(
      [&](uint32_t off) { out_.InsertSorted(off, kMidiKindMessage, 0, static_cast<float>(at)); });
  s.pendingCount = 0;
  s.state = 0;
  if (s.chord && s.chord->playingCount > 0) --s.chord->playingCount;
  s.chord = nullptr;
}

void CChords::Seek(Slot& s) noexcept {
  // The first event of this lap that has not sounded yet: one whose sample is
  // still ahead of the current block's start.
  const CEventList& ev = s.chord->events;
  const double here = std::max(s.walker.TickAt(0) - s.lap, 0.0);
  CEventList::Ticks t = 0;
  s.current = ev.Find(static_cast<CEventList::Ticks>(std::min(std::floor(here), 4.0e18)), &t);
  while (s.current < ev.Size() && s.walker.SampleOf(s.lap + static_cast<double>(t)) < 0)
    if (++s.current < ev.Size()) t += ev[s.current].delta;
  s.currentTime = t;
}

void CChords::Out(Slot& s, uint32_t msg, int at) noexcept {
  s.notes.Note(msg);
  out_.InsertSorted(msg, kMidiKindMessage, 0, static_cast<float>(at));
}

void CChords::Queue(Slot& s, double tick, uint32_t msg) noexcept {
  if (s.pendingCount >= kPending) return;
  s.pending[static_cast<size_t>(s.pendingCount++)] = {tick, msg};
}

void CChords::MoveArp(Slot& s) noexcept {
  const auto& keys = mode == kFixed ? s.table : s.held;
  // At most one lap (two for a bounce) finds a key again when any is there.
  for (int guard = 0; guard < 260; ++guard) {
    if (s.arpMode == kArpUpDown) {
      int next = s.arpIndex + s.arpDir;
      if (next < 0 || next > 127) {
        s.arpDir = -s.arpDir;
        next = s.arpIndex + s.arpDir;
      }
      s.arpIndex = next;
    } else {
      s.arpIndex = (s.arpIndex + s.arpDir) & 127;
    }
    if (keys[static_cast<size_t>(s.arpIndex)]) return;
  }
}

void CChords::Hit(Slot& s, double tick, int velocity, int length) noexcept {
  const uint32_t v = static_cast<uint32_t>(velocity) & 127;
  auto note = [&](int k) {
    if (k < 0 || k > 127) return;
    Queue(s, tick, midi::Make(0x90, static_cast<uint32_t>(k), v));
    if (length > 0) Queue(s, tick + length - 1, midi::Make(0x90, static_cast<uint32_t>(k), 0));
  };
  if (!s.arpMode) {
    for (int k = 0; k < 128; ++k)
      if (s.table[static_cast<size_t>(k)]) note(k);
    return;
  }
  if (mode == kFixed) {
    note(s.arpIndex);
  } else {
    for (int o = CChord::kLowOffset; o <= 60; ++o)
      if (s.chord->Offset(o)) note(s.arpIndex + o);
  }
  MoveArp(s);
}

void CChords::Walk(Slot& s, int from, int end) noexcept {
  const CEventList& ev = s.chord->events;
  const auto right = static_cast<CEventList::Ticks>(std::max(s.right, 1));
  // Only events inside the loop ever play; with none the rhythm is silent.
  if (ev.Empty() || ev[0].delta >= right) return;
  // Each pass takes one event or starts a lap; a loop far shorter than a block
  // stops at the bound and catches up in the next block.
  for (int guard = 4 * (end - from) + 2 * static_cast<int>(ev.Size()) + 64; guard > 0; --guard) {
    if (s.current >= ev.Size() || s.currentTime >= right) {
      s.lap += static_cast<double>(right);
      s.current = 0;
      s.currentTime = ev[0].delta;
    }
    const double tick = s.lap + static_cast<double>(s.currentTime);
    const int64_t at = s.walker.SampleOf(tick);
    if (at >= end) return;
    const PartEvent& e = ev[s.current];
    if (!e.Muted() && midi::IsNoteOn(e.data)) Hit(s, tick, static_cast<int>(midi::Data2(e.data)), e.length);
    if (++s.current < ev.Size()) s.currentTime += ev[s.current].delta;
  }
}

void CChords::Render(int from, int n) noexcept {
  if (n <= 0) return;
  const int end = from + n;
  for (Slot& s : slots) {
    if (s.state == 0) continue;
    if (s.play && s.chord) Walk(s, from, end);
    int keep = 0;
    for (int i = 0; i < s.pendingCount; ++i) {
      const Pending p = s.pending[static_cast<size_t>(i)];
      const int64_t at = s.walker.SampleOf(p.ticks);
      if (at < end)
        Out(s, p.msg, static_cast<int>(std::max<int64_t>(at, from)));
      else
        s.pending[static_cast<size_t>(keep++)] = p;
    }
    s.pendingCount = keep;
  }
}

// ---------------------------------------------------------------- records

void CChords::Save(CStream& s) {
  CComp::Save(s);
  s.WriteKeyInt("Mode", mode);
  for (const auto& cp : chords) {
    const CChord& c = *cp;
    s.WriteKeyMarker("Chord");
    s.WriteKeyInt("ChordKey", c.key);
    s.WriteKeyString("ChordName", c.name);
    for (int o = CChord::kLowOffset; o <= CChord::kHighOffset; ++o) {
      if (!c.Offset(o)) continue;
      s.WriteKey("ChordOff", 8);
      s.WriteInt(o);
      s.WriteInt(c.Offset(o));
    }
    for (int k = 0; k < 128; ++k) {
      if (!c.fixed[static_cast<size_t>(k)]) continue;
      s.WriteKey("ChordF", 8);
      s.WriteInt(k);
      s.WriteInt(c.fixed[static_cast<size_t>(k)]);
    }
    s.WriteKeyInt("ChordPlay", c.play);
    s.WriteKeyInt("ChordRight", c.right);
    s.WriteKeyInt("ChordArp", c.arp);
    s.WriteKey("ChordEvents", static_cast<int32_t>(12 * c.events.Size()));
    for (const PartEvent& e : c.events) {
      s.WriteInt(e.delta);
      s.WriteInt(static_cast<int32_t>(e.data));
      s.WriteInt(e.length);
    }
  }
}

void CChords::Load(CStream& s, int) {
  std::vector<std::unique_ptr<CChord>> loaded;
  int32_t newMode = mode;
  std::string key;
  int32_t size = 0;
  CChord* c = nullptr;
  auto readInt = [&](int32_t& v) {
    if (size < 4) return void(s.Skip(size));
    v = s.ReadInt();
    s.Skip(size - 4);
  };
  auto readPair = [&](int32_t& a, int32_t& b) -> bool {
    if (size < 8) return s.Skip(size), false;
    a = s.ReadInt();
    b = s.ReadInt();
    s.Skip(size - 8);
    return !s.Failed();
  };
  while (s.NextRecord(key, size) && key != "CEnd") {
    if (LoadBaseRecord(s, key, size, false)) continue;
    if (key == "Mode") {
      readInt(newMode);
    } else if (key == "Chord") {
      loaded.push_back(std::make_unique<CChord>());
      c = loaded.back().get();
      c->offsets.fill(0);  // the stored offsets say which notes sound
      s.Skip(size);
    } else if (!c) {
      s.Skip(size);
    } else if (key == "ChordKey") {
      readInt(c->key);
    } else if (key == "ChordName") {
      const int64_t end = s.Position() + size;
      c->name = size >= 4 ? s.ReadString() : std::string();
      if (s.Position() < end) s.Seek(end);
    } else if (key == "ChordOff") {
      int32_t o = 0, v = 0;
      if (readPair(o, v) && o >= CChord::kLowOffset && o <= CChord::kHighOffset)
        c->Offset(o) = static_cast<uint8_t>(v);
    } else if (key == "ChordF") {
      int32_t k = 0, v = 0;
      if (readPair(k, v) && k >= 0 && k <= 127) c->fixed[static_cast<size_t>(k)] = static_cast<uint8_t>(v);
    } else if (key == "ChordPlay") {
      readInt(c->play);
    } else if (key == "ChordRight") {
      readInt(c->right);
    } else if (key == "ChordArp") {
      readInt(c->arp);
    } else if (key == "ChordEvents") {
      const int32_t n = size / 12;
      c->events.Clear();
      c->events.Reserve(static_cast<size_t>(n));  // the size was checked against the stream
      for (int32_t i = 0; i < n; ++i) {
        PartEvent e;
        e.delta = s.ReadInt();
        e.data = static_cast<uint32_t>(s.ReadInt());
        e.length = s.ReadInt();
        c->events.Append(e);
      }
      s.Skip(size - 12 * n);
    } else {
      s.Skip(size);
    }
  }
  Lock();
  // The notes of the chords being replaced still sound: their slots end at the
  // next block with a note-off for each.
  for (Slot& sl : slots) {
    if (sl.state) sl.state = 2;
    sl.chord = nullptr;
  }
  chords = std::move(loaded);
  mode = newMode;
  learning = 0;
  currentChord = 0;
  Unlock();
}

}  // namespace qr
