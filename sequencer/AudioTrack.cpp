// Audio tracks: their parts' clips in the song's records, the samples of the
// song's pool, and how a track turns the clips of its current variation into
// audio through the shared clip player.
//
// A clip sounds from the sample its tick falls on (the arrangement's walker,
// as for every MIDI event) for as many frames as it holds, and falls silent
// at its part's end. A clip that began before its part (a part whose offset
// starts inside it) or before where playing started (a start, a loop's
// return, an unmute) is joined in its middle, at the frame it would have got
// to, so a loop around the middle of a long clip keeps sounding.
#include <algorithm>
#include <climits>
#include <cmath>
#include <filesystem>

#include "platform/Messages.h"
#include "sequencer/Tracks.h"
#include "stream/RecordStream.h"

namespace qr {

// ---------------------------------------------------------------- records

std::unique_ptr<CPart> CSongAudioPart::Copy() const {
  auto p = std::make_unique<CSongAudioPart>();
  CopyInto(*p);
  return p;
}

void CSongAudioPart::SaveContent(CStream& s) const {
  for (const CAudioClip* c = ClipHead(); c; c = c->next.get()) {
    s.WriteKeyMarker("AuEv");
    s.WriteKeyInt("AuEvDt", c->delta);
    s.WriteKeyInt("AuEvSm", c->sample);
    s.WriteKeyInt("AuEvFst", c->first);
    s.WriteKeyInt("AuEvLst", c->last);
    s.WriteKeyInt("AuEvSty", c->style);
    s.WriteKeyInt("AuEvFaIn", c->fadeIn);
    s.WriteKeyInt("AuEvFaOut", c->fadeOut);
    s.WriteKeyInt("AuEvCh", c->channel);
    s.WriteKeyFloat("AuEvVol", c->volume);
    s.WriteKeyFloat("AuEvPan", c->pan);
    s.WriteKeyInt("AuEvCor", c->coarse);
    s.WriteKeyFloat("AuEvFin", c->fine);
    for (const CRampPoint& r : c->ramp) {
      s.WriteKeyMarker("AuEvRmp");
      s.WriteKeyFloat("AuEvRmpTim", r.position);
      s.WriteKeyFloat("AuEvRmpVal", r.value);
    }
  }
  for (const auto& l : Lanes()) {
    s.WriteKeyMarker("AuCh");
    s.WriteKeyInt("AuChBus", l->bus);
    s.WriteKeyFloat("AuChVol", l->strip.volume);
    s.WriteKeyFloat("AuChPan", l->strip.pan);
    s.WriteKeyInt("AuChMute", l->strip.mute);
    s.WriteKeyInt("AuChSolo", l->strip.solo);
  }
}

bool CSongAudioPart::LoadContent(CStream& s, const std::string& key, int32_t size) {
  if (!key.starts_with("AuEv") && !key.starts_with("AuCh")) return false;
  // A value of another size leaves the field as it was; a float that is no
  // number takes the field's neutral value, so nothing sounds as noise.
  auto readInt = [&](int32_t& v) {
    if (size == 4) v = s.ReadInt();
  };
  auto readFloat = [&](float& v, float neutral) {
    if (size != 4) return;
    const float x = s.ReadFloat();
    v = std::isfinite(x) ? x : neutral;
  };
  if (key == "AuEv") {
    auto c = std::make_unique<CAudioClip>();
    CAudioClip* raw = c.get();
    if (loadClip_) {
      loadClip_->next = std::move(c);
    } else {
      std::unique_ptr<CAudioClip>* tail = &clips;
      while (*tail) tail = &(*tail)->next;
      *tail = std::move(c);
    }
    loadClip_ = raw;
    return true;
  }
  if (key == "AuCh") {
    lanes.push_back(std::make_unique<CLane>());
    return true;
  }
  if (key.starts_with("AuCh")) {
    if (lanes.empty()) return true;
    CLane& l = *lanes.back();
    if (key == "AuChBus")
      readInt(l.bus);
    else if (key == "AuChVol")
      readFloat(l.strip.volume, 1.0f);
    else if (key == "AuChPan")
      readFloat(l.strip.pan, 0.0f);
    else if (key == "AuChMute")
      readInt(l.strip.mute);
    else if (key == "AuChSolo")
      readInt(l.strip.solo);
    return true;
  }
  CAudioClip* c = loadClip_;
  if (!c) return true;
  if (key == "AuEvDt")
    readInt(c->delta);
  else if (key == "AuEvSm")
    readInt(c->sample);
  else if (key == "AuEvFst")
    readInt(c->first);
  else if (key == "AuEvLst")
    readInt(c->last);
  else if (key == "AuEvSty")
    readInt(c->style);
  else if (key == "AuEvFaIn")
    readInt(c->fadeIn);
  else if (key == "AuEvFaOut")
    readInt(c->fadeOut);
  else if (key == "AuEvCh")
    readInt(c->channel);
  else if (key == "AuEvVol")
    readFloat(c->volume, 1.0f);
  else if (key == "AuEvPan")
    readFloat(c->pan, 0.0f);
  else if (key == "AuEvCor")
    readInt(c->coarse);
  else if (key == "AuEvFin")
    readFloat(c->fine, 0.0f);
  else if (key == "AuEvRmp")
    c->ramp.emplace_back();
  else if (key == "AuEvRmpTim" && !c->ramp.empty()) {
    readFloat(c->ramp.back().position, 0.0f);
    if (c->ramp.back().position < 0.0f) c->ramp.back().position = 0.0f;
  } else if (key == "AuEvRmpVal" && !c->ramp.empty())
    readFloat(c->ramp.back().value, 1.0f);
  return true;
}

// ---------------------------------------------------------------- pool

void CTracks::ResolvePool() {
  namespace fs = std::filesystem;
  for (PoolSample& p : samplePool) {
    p.sample.reset();
    if (p.inMemory) {
      if (p.memory.empty()) continue;
      CMemStream block(p.memory);
      auto smp = std::make_unique<CSample>();
      smp->LoadRecords(block, static_cast<int32_t>(std::min<size_t>(p.memory.size(), INT32_MAX)));
      if (smp->open) p.sample = std::move(smp);
      continue;
    }
    if (p.name.empty()) continue;
    // A name alone (or a path no longer where it was) is looked for in the
    // song's sample folder and its sub folder. Only regular files are opened:
    // a name that leads to a device or a pipe could block the load.
    std::vector<fs::path> tries;
    const fs::path named(p.name);
    tries.push_back(named);
    const fs::path leaf = named.filename();
    if (!sampleFolder.empty()) {
      if (!subFolder.empty()) tries.push_back(fs::path(sampleFolder) / subFolder / leaf);
      tries.push_back(fs::path(sampleFolder) / leaf);
    }
    for (const fs::path& f : tries) {
      std::error_code ec;
      if (f.empty() || !fs::is_regular_file(f, ec)) continue;
      auto smp = std::make_unique<CDiskSample>();
      if (smp->OpenFile(f.string())) {
        smp->pathKind = p.style;
        p.sample = std::move(smp);
        break;
      }
      if (!smp->IsSupportedFormat() && smp->bits != 0) {
        ShowNotice(NotValidFormatText(*smp));
        break;
      }
    }
  }
}

// ---------------------------------------------------------------- playing

void CTrack::SetUpAudio() {
  if (Kind() != TrackKind::kAudio) {
    if (!audioOuts.empty()) {
      FreeBuffers();
      audioOuts.clear();
    }
    player_.reset();
    return;
  }
  const size_t want = std::clamp<size_t>(strips.size(), 1, limits::kMaxChannels / 2);
  bool same = audioOuts.size() == want && HasBuffers();
  for (size_t i = 0; same && i < want; ++i)
    same = audioOuts[i]->channels == (i < strips.size() && strips[i].channels == 1 ? 1 : 2);
  if (!same || audioBlock_ != blockSize) {
    FreeBuffers();
    audioOuts.clear();
    for (size_t i = 0; i < want; ++i) AddAudioOut(i < strips.size() && strips[i].channels == 1 ? 1 : 2);
    AllocBuffers();
    audioBlock_ = blockSize;
  }
  for (size_t i = 0; i < audioOuts.size() && i < strips.size(); ++i) {
    audioOuts[i]->SetVolume(std::isfinite(strips[i].volume) ? strips[i].volume : 1.0f, false);
    audioOuts[i]->SetPan(std::isfinite(strips[i].pan) ? strips[i].pan : 0.0f, false);
    audioOuts[i]->mute = strips[i].mute;
  }
  if (!player_) player_ = std::make_unique<CClipPlayer>();
  player_->SetBlockSize(blockSize);
  player_->SetOutputRate(sampleRate);
}

void CTrack::PlayAudio(const CArr& arr, CTrackVari* vari, std::span<CSample* const> pool, double from,
                       double to, int at, int frames) noexcept {
  if (!player_ || frames <= 0 || audioOuts.empty() || !HasBuffers()) return;
  const TickWalker& w = arr.walker;
  const bool join = audioJoin_ || from != audioReached_;
  audioJoin_ = false;
  audioReached_ = to;
  const double shift = delayUnit == 1 ? static_cast<double>(delay)
                                      : static_cast<double>(delay) * TickWalker::TicksPerSecond(w.Tempo()) /
                                            std::max(1.0, w.SampleRate());
  // Every sounding clip stops where its part ends, worked out again each
  // stretch so a tempo change moves the end with the ticks. A clip sounds
  // only inside its part, so only the parts under the stretch are looked at;
  // a clip whose part is not among them (ended, muted, gone from the
  // variation) stops now.
  constexpr int64_t kUnplaced = -2;
  for (int i = 0; i < player_->Span(); ++i)
    if (AudioPlaySlot& s = player_->Slot(i); s.active) s.stopAt = kUnplaced;

  static const std::vector<std::unique_ptr<CPart>> kNoParts;
  for (const auto& pp : vari ? vari->parts : kNoParts) {
    if ((pp->style & 2) || pp->length <= 0) continue;
    const double partStart = static_cast<double>(pp->start) + shift;
    const double partEnd = partStart + pp->length;
    if (partEnd <= from || partStart >= std::max(to, from)) continue;  // most parts, most of the time
    const auto* part = dynamic_cast<const CSongAudioPart*>(pp.get());
    if (!part) continue;
    const double base = partStart - part->offset;  // song tick of the content's tick 0
    int64_t clipTick = 0;
    for (const CAudioClip* c = to > from ? part->ClipHead() : nullptr; c; c = c->next.get()) {
      clipTick += c->delta;
      const double t = base + static_cast<double>(clipTick);
      if (t >= to || t >= partEnd) continue;
      double begin = std::max(t, partStart);
      if (join)
        begin = std::max(begin, from);
      else if (begin < from)
        continue;  // started in an earlier stretch
      if (begin >= to) continue;
      if (c->sample < 0 || static_cast<size_t>(c->sample) >= pool.size()) continue;
      // The frames a joined clip has played by its first sample here.
      const int64_t offset = std::clamp<int64_t>(w.SampleOf(begin), 0, INT_MAX);
      const int64_t skip = begin > t ? offset - w.SampleOf(t) : 0;
      player_->Start(*part, *c, pool[static_cast<size_t>(c->sample)], static_cast<int>(offset), skip);
    }
    const int64_t end = std::max<int64_t>(0, w.SampleOf(partEnd));
    for (int i = 0; i < player_->Span(); ++i)
      if (AudioPlaySlot& s = player_->Slot(i); s.active && s.part == part) s.stopAt = end;
  }
  for (int i = 0; i < player_->Span(); ++i)
    if (AudioPlaySlot& s = player_->Slot(i); s.active && s.stopAt == kUnplaced) s.active = 0;

  std::array<ClipBus, limits::kMaxChannels / 2> buses{};
  size_t n = 0;
  for (const auto& pp : audioOuts) {
    if (n == buses.size()) break;
    const CAudioOut& port = *pp;
    ClipBus& b = buses[n++];
    b.ch[0] = outCh[static_cast<size_t>(port.firstChannel)];
    b.ch[1] = outCh[static_cast<size_t>(port.firstChannel + (port.channels > 1 ? 1 : 0))];
    b.channels = port.channels;
  }
  player_->Render(at, frames, std::span<const ClipBus>(buses.data(), n));
}

}  // namespace qr
