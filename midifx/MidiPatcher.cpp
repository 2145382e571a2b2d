#include "midifx/MidiPatcher.h"

#include <algorithm>

#include "stream/RecordStream.h"

namespace qr {

// ---------------------------------------------------------------- patcher

CMidiPatcher::CMidiPatcher(CContainer* parent) : CComp(parent) { id = "MIDI Patcher"; }

bool CMidiPatcher::Cabled(int port) const noexcept {
  for (const CMidiCable* c : midiOut)
    if (c->sourcePort == port) return true;
  return false;
}

CMIDIQ* CMidiPatcher::MidiOutput(int port, int frames) noexcept {
  if (port < 0 || port >= kPorts) return nullptr;
  if (done[0]) return &out_[static_cast<size_t>(port)];
  done[0] = 1;
  for (auto& q : out_) q.Clear();
  GatherMidi(frames);
  for (int p = 0; p < kPorts; ++p) {
    if (!Cabled(p)) continue;
    const Port& cfg = ports[static_cast<size_t>(p)];
    CMIDIQ& q = out_[static_cast<size_t>(p)];
    for (const MidiEvent& e : midiQueue) {
      if (editorHook) editorHook(p, e);
      uint32_t msg = e.msg;
      const bool on = midi::IsNoteOn(msg), off = midi::IsNoteOff(msg);
      if (on || off) {
        const int key = static_cast<int>(midi::Data1(msg));
        const int vel = static_cast<int>(midi::Data2(msg));
        if (key < cfg.keyLow || key > cfg.keyHigh) continue;
        if (on && (vel < cfg.velLow || vel > cfg.velHigh)) continue;
        // A transposed key that leaves the MIDI range is dropped rather than
        // folded: a note-on and its note-off are dropped alike, so nothing hangs.
        const int out = key + cfg.transpose;
        if (out < 0 || out > 127) continue;
        msg = (msg & 0xFFFF00FFu) | (static_cast<uint32_t>(out) << 8);
      }
      q.Push(msg, e.kind, e.value, e.time);
    }
  }
  return &out_[static_cast<size_t>(port)];
}

void CMidiPatcher::Save(CStream& s) {
  CComp::Save(s);
  for (const Port& p : ports) {
    s.WriteKeyMarker("Port");
    s.WriteKeyInt("PortTransp", p.transpose);
    s.WriteKey("PortKeyRng", 8);
    s.WriteInt(p.keyLow);
    s.WriteInt(p.keyHigh);
    s.WriteKey("PortVelRng", 8);
    s.WriteInt(p.velLow);
    s.WriteInt(p.velHigh);
  }
}

void CMidiPatcher::Load(CStream& s, int) {
  std::string key;
  int32_t size = 0;
  int port = -1;
  Port scratch;  // records of ports beyond the eighth land here and are dropped
  auto cur = [&]() -> Port& {
    return port >= 0 && port < kPorts ? ports[static_cast<size_t>(port)] : scratch;
  };
  while (s.NextRecord(key, size) && key != "CEnd") {
    if (LoadBaseRecord(s, key, size, false)) continue;
    if (key == "Port") {
      ++port;
      s.Skip(size);
    } else if (key == "PortTransp" && size >= 4) {
      cur().transpose = s.ReadInt();
      s.Skip(size - 4);
    } else if (key == "PortKeyRng" && size >= 8) {
      cur().keyLow = s.ReadInt();
      cur().keyHigh = s.ReadInt();
      s.Skip(size - 8);
    } else if (key == "PortVelRng" && size >= 8) {
      cur().velLow = s.ReadInt();
      cur().velHigh = s.ReadInt();
      s.Skip(size - 8);
    } else {
      s.Skip(size);
    }
  }
}

// ---------------------------------------------------------------- channel router

CMIDIChs::CMIDIChs(CContainer* parent) : CComp(parent) {
  id = "MIDI chs";
  Reset();
}

void CMIDIChs::Reset() noexcept {
  for (int c = 0; c < 16; ++c) table[static_cast<size_t>(c)] = c;
}

CMIDIQ* CMIDIChs::MidiOutput(int port, int frames) noexcept {
  if (port != 0) return nullptr;
  if (done[0]) return &out_;
  done[0] = 1;
  out_.Clear();
  GatherMidi(frames);
  for (const MidiEvent& e : midiQueue) {
    const int32_t to = table[midi::Channel(e.msg)];
    if (to < 0) continue;
    out_.Push((e.msg & ~0x0Fu) | static_cast<uint32_t>(to & 15), e.kind, e.value, e.time);
  }
  return &out_;
}

void CMIDIChs::Save(CStream& s) {
  CComp::Save(s);
  s.WriteKey("MChsFilter", 64);
  for (int32_t v : table) s.WriteInt(v);
}

void CMIDIChs::Load(CStream& s, int) {
  std::string key;
  int32_t size = 0;
  while (s.NextRecord(key, size) && key != "CEnd") {
    if (LoadBaseRecord(s, key, size, false)) continue;
    if (key == "MChsFilter") {
      const int n = std::min(size / 4, 16);
      for (int c = 0; c < n; ++c) {
        const int32_t v = s.ReadInt();
        table[static_cast<size_t>(c)] = v >= 0 && v <= 15 ? v : -1;
      }
      s.Skip(size - 4 * n);
    } else {
      s.Skip(size);
    }
  }
}

}  // namespace qr
