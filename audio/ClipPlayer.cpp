#include "audio/ClipPlayer.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "audio/AudioPart.h"
#include "graph/Comp.h"

namespace qr {

namespace {

// Moves a slot's ramp to point k: its value, and the slope and length of the
// segment to the next point; past the last point the value holds.
void EnterRampPoint(AudioPlaySlot& s, size_t k) noexcept {
  const auto& r = s.clip->ramp;
  for (; k < r.size(); ++k) {
    s.rampValue = r[k].value;
    s.rampPos = 0;
    if (k + 1 >= r.size()) break;
    const long len = std::lround(static_cast<double>(r[k + 1].position) - r[k].position);
    if (len > 0) {
      s.rampPoint = static_cast<int32_t>(k);
      s.rampLength = static_cast<int32_t>(std::min<long>(len, INT32_MAX));
      s.rampSlope = (r[k + 1].value - r[k].value) / static_cast<float>(s.rampLength);
      return;
    }
  }
  s.rampPoint = -1;
  s.rampLength = 0;
  s.rampSlope = 0.0f;
}

}  // namespace

CClipPlayer::CClipPlayer() { scratch_.assign(kStreamScratchBytes, 0); }

void CClipPlayer::SetBlockSize(int frames) {
  tmpL_.assign(static_cast<size_t>(std::max(frames, 0)), 0.0f);
  tmpR_.assign(tmpL_.size(), 0.0f);
}

void CClipPlayer::SetOutputRate(float rate) noexcept { invOutRate_ = rate > 0.0f ? 1.0 / rate : 0.0; }

int CClipPlayer::Active() const noexcept {
  int n = 0;
  for (const AudioPlaySlot& s : slots_) n += s.active ? 1 : 0;
  return n;
}

void CClipPlayer::Free(const CAudioPart3* part) noexcept {
  for (AudioPlaySlot& s : slots_)
    if (s.part == part) s.active = 0;
}

void CClipPlayer::StopAll() noexcept {
  for (AudioPlaySlot& s : slots_) s.active = 0;
  span_ = 0;
}

bool CClipPlayer::Start(const CAudioPart3& p, const CAudioClip& c, CSample* smp, int offset,
                        int64_t skip) noexcept {
  if (c.style & CAudioClip::kStyleSilent) return false;
  const auto& lanes = p.Lanes();
  if (c.channel < 0 || c.channel >= static_cast<int>(lanes.size())) return false;
  if (!smp || !smp->open) return false;
  const double step = static_cast<double>(smp->rate) * invOutRate_ *
                      std::exp((c.coarse + static_cast<double>(c.fine)) / 12.0 * std::log(2.0));
  if (!(step > 0.0) || !std::isfinite(step)) return false;
  // A clip joined in its middle begins where its frames have got to by now.
  const double phase = static_cast<double>(c.first) + static_cast<double>(std::max<int64_t>(skip, 0)) * step;
  if (skip > 0 && !(phase <= static_cast<double>(std::min(c.last, smp->frames)))) return false;
  auto it = std::find_if(slots_.begin(), slots_.end(), [](const AudioPlaySlot& s) { return !s.active; });
  if (it == slots_.end()) return false;  // every slot sounds: this clip stays silent
  AudioPlaySlot& s = *it;
  span_ = std::max(span_, static_cast<int>(it - slots_.begin()) + 1);
  const CLane& lane = *lanes[static_cast<size_t>(c.channel)];
  s = AudioPlaySlot{};
  s.active = 1;
  s.offset = std::max(offset, 0);
  s.phase = phase;
  s.step = step;
  s.sample = smp;
  s.channels = smp->channels;
  s.bits = smp->bits;
  s.first = c.first;
  // A clip plays to its own last frame: the sample's end marks where its loop
  // turns back, which is the sampler's business, not the clip's. Only the real
  // frames bound it.
  s.last = std::min(c.last, smp->frames);
  s.part = &p;
  s.bus = lane.bus;
  s.clipVolume = c.volume;
  s.clipPan = c.pan;
  s.lane = &lane;
  s.clip = &c;
  s.framesLeft = c.last - c.first + 1;
  if (c.ramp.size() >= 2) {
    EnterRampPoint(s, 0);
    for (int64_t left = skip; left > 0 && s.rampLength > 0;) {
      const int64_t adv = std::min<int64_t>(left, s.rampLength - s.rampPos);
      s.rampPos += static_cast<int32_t>(adv);
      left -= adv;
      if (s.rampPos >= s.rampLength) EnterRampPoint(s, static_cast<size_t>(s.rampPoint) + 1);
    }
  }
  return true;
}

void CClipPlayer::Render(int from, int n, std::span<const ClipBus> buses) noexcept {
  if (n <= 0) return;
  for (int i = 0; i < span_; ++i)
    if (AudioPlaySlot& s = slots_[static_cast<size_t>(i)]; s.active && s.offset >= 0)
      RenderSlot(s, from, n, buses);
  while (span_ > 0 && !slots_[static_cast<size_t>(span_ - 1)].active) --span_;
}

void CClipPlayer::RenderSlot(AudioPlaySlot& s, int from, int n, std::span<const ClipBus> buses) noexcept {
  // A clip due after this span waits for the one it falls in.
  if (s.offset >= n) {
    s.offset -= n;
    if (s.stopAt >= 0) s.stopAt = std::max<int64_t>(0, s.stopAt - n);
    return;
  }
  if (buses.empty()) return;
  const ClipBus& bus =
      buses[s.bus >= 0 && s.bus < static_cast<int>(buses.size()) ? static_cast<size_t>(s.bus) : 0];
  float* dst[2] = {bus.ch[0], bus.ch[1] ? bus.ch[1] : bus.ch[0]};
  int begin = from + s.offset;
  int count = n - s.offset;
  const int64_t stop = s.stopAt;
  const int startOffset = s.offset;
  s.offset = 0;
  if (count <= 0 || !dst[0]) return;

  bool ends = false;
  if (stop >= 0) {
    if (stop < n) {
      count = static_cast<int>(std::clamp<int64_t>(stop - startOffset, 0, count));
      ends = true;
    } else {
      s.stopAt = stop - n;
    }
  }
  // The clip ends within this span: play the frames up to `last`, then free the slot.
  if (static_cast<double>(count) * s.step + s.phase >= static_cast<double>(s.last) + 1.0) {
    const double reach = s.phase > s.last ? 0.0 : std::floor((s.last - s.phase) / s.step) + 1.0;
    count = static_cast<int>(std::min<double>(count, reach));
    ends = true;
  }

  const CChannelStrip& strip = s.lane->strip;
  float mute = strip.mute ? 0.0f : 1.0f;
  if (mute != 0.0f && !strip.solo)
    for (const auto& l : s.part->Lanes())
      if (l->strip.solo) {
        mute = 0.0f;
        break;
      }
  const float pan = std::clamp(s.clipPan + strip.pan, -1.0f, 1.0f);
  const float gain = strip.volume * s.clipVolume * mute;
  const int room = static_cast<int>(tmpL_.size());
  float* tl = tmpL_.data();
  float* tr = tmpR_.data();

  while (count > 0 && room > 0) {
    int chunk = std::min(count, room);
    if (s.rampLength > 0) chunk = std::min(chunk, s.rampLength - s.rampPos);
    if (gain != 0.0f) {
      s.sample->ReadFrames(chunk, tl, scratch_.data(), 0.0f, 1.0f, s.step, s.phase, tr);
      const float base = s.rampValue, slope = s.rampSlope, pos0 = static_cast<float>(s.rampPos);
      for (int j = 0; j < chunk; ++j) {
        const float g = gain * ((pos0 + static_cast<float>(j)) * slope + base);
        const float g2 = g * g;
        tl[j] = (tl[j] - tl[j] * pan) * g2;
        tr[j] = (tr[j] * pan + tr[j]) * g2;
      }
      float* d[2] = {dst[0] + begin, dst[1] + begin};
      const float* src[2] = {tl, tr};
      MixChannels(d, bus.channels, src, 2, 1.0f, chunk);
    }
    if (s.rampLength > 0) {
      s.rampPos += chunk;
      if (s.rampPos >= s.rampLength) EnterRampPoint(s, static_cast<size_t>(s.rampPoint) + 1);
    }
    s.phase += static_cast<double>(chunk) * s.step;
    s.framesLeft -= chunk;
    begin += chunk;
    count -= chunk;
  }
  if (ends) s.active = 0;
}

}  // namespace qr
