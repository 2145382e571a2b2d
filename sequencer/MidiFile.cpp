#include "sequencer/MidiFile.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace qr {

namespace {

class Reader {
 public:
  Reader(const uint8_t* p, size_t n) : p_(p), end_(p + n) {}
  size_t Left() const noexcept { return static_cast<size_t>(end_ - p_); }
  bool Byte(uint8_t& b) noexcept {
    if (p_ >= end_) return false;
    b = *p_++;
    return true;
  }
  bool Be(int bytes, uint32_t& v) noexcept {
    if (Left() < static_cast<size_t>(bytes)) return false;
    v = 0;
    for (int i = 0; i < bytes; ++i) v = (v << 8) | *p_++;
    return true;
  }
  // A variable-length quantity: at most four bytes of seven bits.
  bool Vlq(uint32_t& v) noexcept {
    v = 0;
    for (int i = 0; i < 4; ++i) {
      uint8_t b;
      if (!Byte(b)) return false;
      v = (v << 7) | (b & 0x7F);
      if (!(b & 0x80)) return true;
    }
    return true;  // a fifth continuation byte is not read; the value stands
  }
  const uint8_t* Here() const noexcept { return p_; }
  void Skip(size_t n) noexcept { p_ += std::min(n, Left()); }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

constexpr int kDataBytes[8] = {2, 2, 2, 2, 1, 1, 2, 0};  // by status nibble 8..F

}  // namespace

int64_t ScaleDelta(int64_t delta, int division) noexcept {
  if (division == kTicksPerBeat || division <= 0) return delta;
  const int64_t num = delta * kTicksPerBeat;
  int64_t q = num / division;
  const int64_t r2 = (num % division) * 2;
  if (r2 > division || (r2 == division && (q & 1))) ++q;
  return q;
}

std::string ReadSmf(std::span<const uint8_t> bytes, SmfHandler& handler) {
  Reader r(bytes.data(), bytes.size());
  uint32_t tag = 0;
  if (bytes.size() < 4 || !r.Be(4, tag) || tag != 0x4D546864u) {  // "MThd"
    uint32_t first = 0;
    for (size_t i = 0; i < 4; ++i) first = (first << 8) | (i < bytes.size() ? bytes[i] : 0);
    char buf[40];
    std::snprintf(buf, sizeof buf, "Not a MIDI file %08X", first);
    return buf;
  }
  uint32_t hlen = 0, format = 0, tracks = 0, division = 0;
  r.Be(4, hlen);
  r.Be(2, format);
  r.Be(2, tracks);
  r.Be(2, division);
  if (hlen > 6) r.Skip(hlen - 6);
  // Time-code divisions (top bit set) have no ticks per beat; read them as the
  // plain number they spell rather than refuse the file.
  const int div = static_cast<int>(division & 0x7FFF);
  handler.Header(static_cast<int>(format), static_cast<int>(tracks), div);

  int trackIndex = 0;
  while (r.Left() >= 8) {
    uint32_t ctag = 0, clen = 0;
    r.Be(4, ctag);
    r.Be(4, clen);
    const size_t len = std::min<size_t>(clen, r.Left());
    if (ctag != 0x4D54726Bu) {  // not "MTrk"
      r.Skip(len);
      continue;
    }
    Reader t(r.Here(), len);
    r.Skip(len);
    handler.TrackBegin(trackIndex);
    int64_t tick = 0;
    uint8_t running = 0;
    bool ended = false;
    while (!ended && t.Left() > 0) {
      uint32_t delta = 0;
      if (!t.Vlq(delta)) break;
      tick += ScaleDelta(delta, div);
      uint8_t b = 0;
      if (!t.Byte(b)) break;
      if (b == 0xFF) {
        uint8_t type = 0;
        uint32_t mlen = 0;
        if (!t.Byte(type) || !t.Vlq(mlen)) break;
        const size_t n = std::min<size_t>(mlen, t.Left());
        if (type == 0x2F) {
          ended = true;
        } else {
          handler.Meta(tick, type, std::span<const uint8_t>(t.Here(), n));
        }
        t.Skip(n);
        continue;
      }
      if (b == 0xF0 || b == 0xF7) {
        uint32_t slen = 0;
        if (!t.Vlq(slen)) break;
        t.Skip(slen);
        continue;
      }
      uint8_t status = b, d1 = 0, d2 = 0;
      bool haveD1 = false;
      if (b < 0x80) {
        if (running == 0) {
          handler.TrackEnd(trackIndex);
          return "Invalid file format (3)";
        }
        status = running;
        d1 = b;
        haveD1 = true;
      }
      const int need = kDataBytes[(status >> 4) - 8];
      if (need == 0) {  // system common or real-time bytes inside a track
        handler.TrackEnd(trackIndex);
        return "Invalid file format (3)";
      }
      running = status;
      if (!haveD1 && !t.Byte(d1)) break;
      if (need == 2 && !t.Byte(d2)) break;
      handler.Channel(tick, status, static_cast<uint8_t>(d1 & 0x7F), static_cast<uint8_t>(d2 & 0x7F));
    }
    handler.TrackEnd(trackIndex);
    ++trackIndex;
  }
  return {};
}

namespace {

struct Collector final : SmfHandler {
  struct Raw {
    int64_t tick;
    int track;
    int order;
    uint32_t msg;
  };
  std::vector<Raw> events;
  std::map<int64_t, double> tempo;  // tick -> seconds per tick from there on
  int track = 0;
  int order = 0;
  void TrackBegin(int index) override { track = index; }
  void Meta(int64_t tick, int type, std::span<const uint8_t> d) override {
    if (type == 0x51 && d.size() >= 3) {
      const uint32_t us = (uint32_t{d[0]} << 16) | (uint32_t{d[1]} << 8) | d[2];
      if (us > 0) tempo[tick] = us / 1e6 / kTicksPerBeat;
    }
  }
  void Channel(int64_t tick, uint8_t s, uint8_t d1, uint8_t d2) override {
    events.push_back({tick, track, order++, uint32_t{s} | (uint32_t{d1} << 8) | (uint32_t{d2} << 16)});
  }
};

}  // namespace

std::string ReadSmfEvents(std::span<const uint8_t> bytes, std::vector<TimedMidiEvent>& out) {
  out.clear();
  Collector c;
  std::string err = ReadSmf(bytes, c);
  if (err.rfind("Not a MIDI file", 0) == 0) return err;
  std::stable_sort(c.events.begin(), c.events.end(), [](const auto& a, const auto& b) {
    return a.tick != b.tick ? a.tick < b.tick : a.track < b.track;
  });
  // Tempo segments: 500000 microseconds per beat until the first tempo event.
  double secPerTick = 0.5 / kTicksPerBeat;
  int64_t segTick = 0;
  double segSec = 0.0;
  auto next = c.tempo.begin();
  out.reserve(c.events.size());
  for (const auto& e : c.events) {
    while (next != c.tempo.end() && next->first <= e.tick) {
      segSec += static_cast<double>(next->first - segTick) * secPerTick;
      segTick = next->first;
      secPerTick = next->second;
      ++next;
    }
    out.push_back({segSec + static_cast<double>(e.tick - segTick) * secPerTick, e.msg});
  }
  return err;
}

}  // namespace qr
