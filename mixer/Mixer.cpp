#include "mixer/Mixer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "graph/BusyFlag.h"
#include "mixer/Records.h"
#include "platform/Messages.h"
#include "stream/RecordStream.h"

namespace qr {

namespace {

// Four samples at a time in portable vector types; each lane is plain IEEE
// float arithmetic, the same as the scalar tail.
using F4 = float __attribute__((vector_size(16)));
using I4 = int32_t __attribute__((vector_size(16)));

inline F4 Load(const float* p) noexcept {
  F4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void Store(float* p, F4 v) noexcept { std::memcpy(p, &v, sizeof v); }
inline F4 Abs(F4 v) noexcept { return reinterpret_cast<F4>(reinterpret_cast<I4>(v) & 0x7FFFFFFF); }
inline F4 Max(F4 a, F4 b) noexcept { return a > b ? a : b; }

struct Peaks {
  float left = 0.0f, right = 0.0f;
};

// One channel into one stereo pair: out += (in - in x pan) x f x level on the
// left and (in x pan + in) x f x level on the right, the meters taking the
// largest magnitude. The products are formed in the order written, so the
// result is the same whichever loop computes it; a factor of 1.0 is exact.
template <bool kMeter>
Peaks AddPanned(float* __restrict outL, float* __restrict outR, const float* __restrict inL,
                const float* __restrict inR, float pan, float f, float level, int n) noexcept {
  const F4 p4 = {pan, pan, pan, pan}, f4 = {f, f, f, f}, g4 = {level, level, level, level};
  F4 ml = {}, mr = {};
  int i = 0;
  for (; i + 4 <= n; i += 4) {
    const F4 xl = Load(inL + i), xr = Load(inR + i);
    const F4 l = (xl - xl * p4) * f4 * g4;
    const F4 r = (xr * p4 + xr) * f4 * g4;
    Store(outL + i, Load(outL + i) + l);
    Store(outR + i, Load(outR + i) + r);
    if constexpr (kMeter) {
      ml = Max(ml, Abs(l));
      mr = Max(mr, Abs(r));
    }
  }
  Peaks p;
  for (int k = 0; k < 4; ++k) p.left = std::max(p.left, ml[k]), p.right = std::max(p.right, mr[k]);
  for (; i < n; ++i) {
    const float xl = inL[i], xr = inR[i];
    const float l = (xl - xl * pan) * f * level;
    const float r = (xr * pan + xr) * f * level;
    outL[i] += l;
    outR[i] += r;
    if constexpr (kMeter) {
      p.left = std::max(p.left, std::fabs(l));
      p.right = std::max(p.right, std::fabs(r));
    }
  }
  return p;
}

}  // namespace

CMixer::CMixer(CContainer* parent_container) : CComp(parent_container) {
  id = "Mixer";
  AddAudioOut(2);
  channels.emplace_back();
  AddAudioIn(2);
}

std::string CMixer::OutputName(int index) const {
  if (index < 0 || index >= static_cast<int>(audioOuts.size())) return "?";
  return index == 0 ? "Audio out" : "Send out";
}

// ---------------------------------------------------------------- structure

// Input pins follow the channels, outputs the sends; existing ports keep their
// settings and cables.
void CMixer::RebuildPins(int sends) {
  while (static_cast<int>(audioIns.size()) > ChannelCount()) audioIns.pop_back();
  for (auto& p : audioIns) p->channels = 2;
  while (static_cast<int>(audioIns.size()) < ChannelCount() && AddAudioIn(2)) {
  }
  while (static_cast<int>(audioOuts.size()) > 1 + sends) audioOuts.pop_back();
  while (static_cast<int>(audioOuts.size()) < 1 + sends && AddAudioOut(2)) {
  }
  FreeBuffers();
  AllocBuffers();
}

bool CMixer::NewChannel() {
  if (TotalInputChannels() >= 31) {
    ShowNotice("no more mixer channels available");
    return false;
  }
  {
    BusyLock lock(busy);
    CMixerChannel ch;
    ch.sends.resize(static_cast<size_t>(SendCount()));
    channels.push_back(std::move(ch));
    RebuildPins(SendCount());
  }
  MarkModified();
  return true;
}

bool CMixer::NewSend() {
  bool added = false;
  {
    BusyLock lock(busy);
    added = AddAudioOut(2) != nullptr;
    if (added)
      for (auto& ch : channels) ch.sends.emplace_back();
  }
  if (added) MarkModified();
  return added;
}

void CMixer::DeleteChannel(int index) {
  if (index < 0 || index >= ChannelCount()) return;
  std::vector<CAudioCable*> gone;
  for (auto& c : audioInCables)
    if (c->destIn == index) gone.push_back(c.get());
  for (CAudioCable* c : gone) DisconnectAudio(c);
  {
    BusyLock lock(busy);
    for (auto& c : audioInCables)
      if (c->destIn > index) --c->destIn;
    channels.erase(channels.begin() + index);
    audioIns.erase(audioIns.begin() + index);
    RebuildPins(SendCount());
  }
  MarkModified();
}

void CMixer::DeleteSend(int index) {
  if (index < 0 || index >= SendCount()) return;
  const int port = index + 1;
  std::vector<CAudioCable*> gone;
  for (CAudioCable* c : audioOutCables)
    if (c->sourceOut == port) gone.push_back(c);
  for (CAudioCable* c : gone) c->Dest()->DisconnectAudio(c);
  {
    BusyLock lock(busy);
    for (CAudioCable* c : audioOutCables)
      if (c->sourceOut > port) --c->sourceOut;
    for (auto& ch : channels) ch.sends.erase(ch.sends.begin() + index);
    audioOuts.erase(audioOuts.begin() + port);
    RebuildPins(SendCount());
  }
  MarkModified();
}

void CMixer::SetFader(int index, int position) {
  if (index < 0 || index >= ChannelCount()) return;
  channels[static_cast<size_t>(index)].volume = static_cast<float>(position) * (1.0f / 127.0f);
  ResetHold(index);
}

void CMixer::SetPanKnob(int index, int position) {
  if (index < 0 || index >= ChannelCount()) return;
  channels[static_cast<size_t>(index)].pan = static_cast<float>(position) * (1.0f / 63.0f);
  ResetHold(index);
}

void CMixer::ResetHold(int index) {
  if (index < 0 || index >= ChannelCount()) return;
  auto& ch = channels[static_cast<size_t>(index)];
  ch.holdLeft = ch.holdRight = 0.0f;
}

// ---------------------------------------------------------------- processing

bool CMixer::Maps(int cc) const noexcept {
  bool mapped = false;
  for (const auto& ch : channels) {
    mapped |= ch.volumeCC == cc || ch.panCC == cc;
    for (const auto& s : ch.sends) mapped |= s.cc == cc;
  }
  return mapped;
}

void CMixer::ApplyController(const MidiEvent& e) noexcept {
  const int cc = static_cast<int>(midi::Data1(e.msg));
  const int v = static_cast<int>(midi::Data2(e.msg));
  // A host parameter carries its own 0..1 value instead of the data byte.
  float unit = static_cast<float>(v) / 127.0f;
  float pan = 2.0f * static_cast<float>(v) / 127.0f - 1.0f;
  if (e.kind == kMidiKindParameter) {
    std::memcpy(&unit, &e.value, sizeof unit);
    unit = std::clamp(unit, 0.0f, 1.0f);
    pan = 2.0f * unit - 1.0f;
  }
  for (auto& ch : channels) {
    if (ch.volumeCC == cc) ch.volume = unit;
    if (ch.panCC == cc) ch.pan = pan;
    for (auto& s : ch.sends)
      if (s.cc == cc) s.level = unit;
  }
}

void CMixer::MixStretch(int from, int to) noexcept {
  const int n = to - from;
  if (n <= 0 || !outCh[0] || !outCh[1]) return;
  bool anySolo = false;
  for (const auto& ch : channels) anySolo |= ch.solo != 0;
  float* mainL = outCh[0] + from;
  float* mainR = outCh[1] + from;
  const int nSends = SendCount();
  for (size_t k = 0; k < channels.size(); ++k) {
    CMixerChannel& ch = channels[k];
    // A silenced channel adds nothing anywhere, pre sends included.
    if (ch.mute || (anySolo && !ch.solo)) continue;
    const float* inL = inCh[2 * k];
    const float* inR = inCh[2 * k + 1];
    if (!inL || !inR) continue;
    inL += from;
    inR += from;
    const Peaks p = AddPanned<true>(mainL, mainR, inL, inR, ch.pan, ch.volume, 1.0f, n);
    ch.peakLeft = std::max(ch.peakLeft, p.left);
    ch.peakRight = std::max(ch.peakRight, p.right);
    ch.holdLeft = std::max(ch.holdLeft, p.left);
    ch.holdRight = std::max(ch.holdRight, p.right);
    for (int j = 0; j < nSends && j < static_cast<int>(ch.sends.size()); ++j) {
      const CSend& s = ch.sends[static_cast<size_t>(j)];
      if (!s.on || s.level == 0.0f) continue;
      const size_t o = static_cast<size_t>(2 + 2 * j);
      AddPanned<false>(outCh[o] + from, outCh[o + 1] + from, inL, inR, ch.pan, s.pre ? 1.0f : ch.volume,
                       s.level, n);
    }
  }
}

void CMixer::Process(int frames) noexcept {
  if (!BeginProcess(frames, true)) return;
  // The block is cut at each controller that moves a mapped setting, so the
  // change applies from its own sample on; unmapped controllers cut nothing.
  int pos = 0;
  for (const MidiEvent& e : midiQueue) {
    if (midiHook) midiHook(e);
    if (!midi::IsController(e.msg) || !Maps(static_cast<int>(midi::Data1(e.msg)))) continue;
    // Truncated to its sample; a time outside the block (or not a number) clamps to it.
    const int t = std::max(pos, e.time > 0.0f ? (e.time < frames ? static_cast<int>(e.time) : frames) : 0);
    MixStretch(pos, t);
    pos = t;
    ApplyController(e);
  }
  MixStretch(pos, frames);
  EndProcess(frames);
}

// ---------------------------------------------------------------- records

void CMixer::Save(CStream& s) {
  CComp::Save(s);
  s.WriteKeyInt("Sends", SendCount());
  for (const auto& ch : channels) {
    s.WriteKeyMarker("Ch");
    s.WriteKeyFloat("ChVol", ch.volume);
    s.WriteKeyInt("ChVolCC", ch.volumeCC);
    s.WriteKeyFloat("ChPan", ch.pan);
    s.WriteKeyInt("ChPanCC", ch.panCC);
    s.WriteKeyInt("ChMute", ch.mute);
    s.WriteKeyInt("ChSolo", ch.solo);
    for (const auto& snd : ch.sends) {
      s.WriteKeyMarker("ChSend");
      s.WriteKeyFloat("ChSendLevel", snd.level);
      s.WriteKeyInt("ChSendOn", snd.on);
      s.WriteKeyInt("ChSendPre", snd.pre);
      s.WriteKeyInt("ChSendCC", snd.cc);
    }
  }
}

void CMixer::Load(CStream& s, int) {
  BusyLock lock(busy);
  channels.clear();
  audioIns.clear();
  int32_t sends = 0;
  // Channel and send records beyond the limits land in these and are dropped.
  CMixerChannel spareChannel;
  CSend spareSend;
  CMixerChannel* ch = nullptr;
  CSend* snd = nullptr;
  size_t nextSend = 0;
  std::string key;
  int32_t size = 0;
  while (s.NextRecord(key, size) && key != "CEnd") {
    if (LoadBaseRecord(s, key, size, false)) continue;
    if (key == "Sends") {
      if (records::ReadInt(s, size, sends)) sends = std::clamp(sends, 0, kMaxSends);
    } else if (key == "Ch") {
      s.Skip(size);
      if (ChannelCount() < kMaxChannels) {
        channels.emplace_back();
        ch = &channels.back();
        ch->sends.resize(static_cast<size_t>(sends));
      } else {
        spareChannel = {};
        ch = &spareChannel;
      }
      snd = nullptr;
      nextSend = 0;
    } else if (key == "ChSend") {
      s.Skip(size);
      snd = ch && nextSend < ch->sends.size() ? &ch->sends[nextSend++] : &(spareSend = {});
    } else if (ch && key == "ChVol") {
      records::ReadFloat(s, size, ch->volume);
    } else if (ch && key == "ChVolCC") {
      records::ReadInt(s, size, ch->volumeCC);
    } else if (ch && key == "ChPan") {
      records::ReadFloat(s, size, ch->pan);
    } else if (ch && key == "ChPanCC") {
      records::ReadInt(s, size, ch->panCC);
    } else if (ch && key == "ChMute") {
      records::ReadInt(s, size, ch->mute);
    } else if (ch && key == "ChSolo") {
      records::ReadInt(s, size, ch->solo);
    } else if (snd && key == "ChSendLevel") {
      records::ReadFloat(s, size, snd->level);
    } else if (snd && key == "ChSendOn") {
      records::ReadInt(s, size, snd->on);
    } else if (snd && key == "ChSendPre") {
      records::ReadInt(s, size, snd->pre);
    } else if (snd && key == "ChSendCC") {
      records::ReadInt(s, size, snd->cc);
    } else {
      s.Skip(size);
    }
  }
  // "Sends" written after the channels still decides the send outputs.
  for (auto& c : channels) c.sends.resize(static_cast<size_t>(sends));
  RebuildPins(sends);
}

}  // namespace qr
