#include "sampler/Sampler.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <span>

#include "graph/Denormals.h"
#include "graph/WorkerPool.h"
#include "sampler/LowPassLanes.h"

namespace qr {

namespace {

using namespace sampler_limits;

constexpr float kFloorDb = -100.0f;
constexpr float kFloorLevel = 1e-5f;  // -100 dB: a falling envelope below it has ended
constexpr float kChokeSeconds = 0.003f;
constexpr int kMaxEventsPerStretch = 16;

float ToDb(float level) noexcept { return level > kFloorLevel ? 20.0f * std::log10(level) : kFloorDb; }

// The levels a new channel starts with: full expression, centred pan and the
// customary main volume, so that a song that never sends them sounds as
// intended; every other controller rests at 0.
void ResetControllers(std::array<float, 128>& cc) noexcept {
  cc.fill(0.0f);
  cc[7] = 100.0f / 127.0f;
  cc[10] = 64.0f / 127.0f;
  cc[11] = 1.0f;
}

// Whether a modulator that moves by itself (an envelope, gate, LFO or random
// value) feeds the clip's volume: such a voice may rise again after falling.
bool VolumeMovesByItself(const CClip& clip) noexcept {
  for (const CMod& r : clip.routings)
    if ((r.dest & 0xFFFF) == kDestVolume && r.amount != 0.0f &&
        (r.source == ModSourceKind::kEnv || r.source == ModSourceKind::kGate ||
         r.source == ModSourceKind::kLFO || r.source == ModSourceKind::kRnd))
      return true;
  return false;
}

// Semitones from the clip's root to the key (a slicer plays at the sample's
// own pitch), counted wide so that no stored value overflows.
float KeyOffset(bool slicer, int key, const CClip& clip) noexcept {
  const int64_t semis = (slicer ? 0 : int64_t{key} - clip.rootKey) + clip.coarse;
  return static_cast<float>(std::clamp<int64_t>(semis, -1000, 1000)) +
         (std::isfinite(clip.fine) ? clip.fine : 0.0f);
}

}  // namespace

// ---------------------------------------------------------------- sources

CClip::CClip() {
  // A clip's own cutoff starts fully open: the filter is off until chosen.
  cutoff = 1.0f;
}

std::unique_ptr<CClip> CClip::Clone() const {
  auto c = std::make_unique<CClip>();
  c->mapping = mapping;
  c->volume = volume;
  c->pan = pan;
  c->bus = bus;
  c->cutoff = cutoff;
  c->unisonVoices = unisonVoices;
  c->unisonTune = unisonTune;
  c->unisonPan = unisonPan;
  c->sample = sample;
  c->voiceMode = voiceMode;
  c->playMode = playMode;
  c->left = left;
  c->right = right;
  c->loop = loop;
  c->loopStart = loopStart;
  c->loopEnd = loopEnd;
  c->rootKey = rootKey;
  c->coarse = coarse;
  c->fine = fine;
  c->glide = glide;
  c->bend = bend;
  c->filterMode = filterMode;
  c->blend = blend;
  c->q = q;
  c->drive = drive;
  c->unisonDelay = unisonDelay;
  c->exclusiveClass = exclusiveClass;
  c->volEnv = volEnv;
  c->filterEnv = filterEnv;
  c->selectedModulator = selectedModulator;
  for (const auto& m : modulators) c->modulators.push_back(m->Clone());
  c->routings = routings;
  c->sendLevels = sendLevels;
  return c;
}

CSource* CSound::Add(std::unique_ptr<CSource> child) {
  child->owner = this;
  children.push_back(std::move(child));
  return children.back().get();
}

// ---------------------------------------------------------------- module

CSampler::CSampler(CContainer* parent_container) : CContainer(parent_container) {
  id = "Sampler";
  AddAudioOut(2);
  ResetChannels();
  streamScratch_.assign(kStreamScratchBytes, 0);
  worker_ = std::make_unique<CVoiceShare>(this);
}

CSampler::~CSampler() { ReleaseAllVoices(); }

void CSampler::ResetChannels() noexcept {
  NextControlGen();
  bend_.fill(0.5f);
  for (auto& c : cc_) ResetControllers(c);
  wheel_.fill(0.0f);
  pedal_.fill(0);
  program_.fill(0);
}

void CSampler::EndEdit() noexcept {
  // Nothing in the tree may be referred to by a voice after an edit.
  ReleaseAllVoices();
  NextControlGen();
  try {
    PrepareSends();
    PrepareShares();
  } catch (...) {
    sendList_.clear();
    shadow_.clear();
    shadowCh_.fill(nullptr);
  }
  editing_.Release();
}

void CSampler::ClearAll() {
  BeginEdit();
  samples.clear();
  sounds.clear();
  for (auto& p : bank) p.reset();
  selectedSource = 0;
  program_.fill(0);
  EndEdit();
}

CSound* CSampler::NewSound(const std::string& name, int mode) {
  BeginEdit();
  auto s = std::make_unique<CSound>();
  s->name = name;
  s->mode = mode;
  sounds.push_back(std::move(s));
  CSound* out = sounds.back().get();
  EndEdit();
  return out;
}

int CSampler::AddSample(std::unique_ptr<CSample> sample) {
  BeginEdit();
  samples.push_back(std::move(sample));
  const int index = static_cast<int>(samples.size()) - 1;
  EndEdit();
  return index;
}

void CSampler::GuessTempo(double seconds, float& beats, float& bpm) noexcept {
  double b = beats > 0.0f && std::isfinite(beats) ? beats : 4.0;
  if (!(seconds > 0.0) || !std::isfinite(seconds)) return;
  double t = b * 60.0 / seconds;
  while (t < 80.0 && b <= 512.0) {
    b *= 2.0;
    t = b * 60.0 / seconds;
  }
  beats = static_cast<float>(b);
  bpm = static_cast<float>(t);
}

CClip* CSampler::SetSliceSample(CSound& sound, int sample_index) {
  if (sample_index < 0 || sample_index >= static_cast<int>(samples.size())) return nullptr;
  BeginEdit();
  const CSample& smp = *samples[static_cast<size_t>(sample_index)];
  sound.sample = sample_index;
  sound.left = smp.start;
  sound.right = smp.end;
  GuessTempo(smp.rate > 0.0f ? smp.frames / static_cast<double>(smp.rate) : 0.0, sound.beats, sound.bpm);
  auto clip = std::make_unique<CClip>();
  clip->sample = sample_index;
  clip->left = smp.start;
  clip->right = smp.end;
  clip->loop = smp.loop ? CClip::kLoopForward : CClip::kLoopOff;
  clip->loopStart = smp.loopStart;
  clip->loopEnd = smp.end;
  auto* out = static_cast<CClip*>(sound.Add(std::move(clip)));
  EndEdit();
  return out;
}

std::vector<CSource*> CSampler::SourcesInOrder() const {
  std::vector<CSource*> out;
  auto walk = [&](auto&& self, CSound& s) -> void {
    out.push_back(&s);
    for (auto& c : s.children) {
      if (c->IsSound())
        self(self, static_cast<CSound&>(*c));
      else
        out.push_back(c.get());
    }
  };
  for (auto& s : sounds) walk(walk, *s);
  return out;
}

void CSampler::PrepareSends() {
  sendList_.clear();
  auto walk = [&](auto&& self, CSound& s) -> void {
    for (auto& send : s.sends) {
      if (!send.effect) continue;
      send.effect->SetSampleRate(sampleRate);
      send.effect->SetTempo(tempo);
      send.effect->SetBlockSize(blockSize);
      sendList_.push_back(send.effect.get());
    }
    for (auto& c : s.children)
      if (c->IsSound()) self(self, static_cast<CSound&>(*c));
  };
  for (auto& s : sounds) walk(walk, *s);
}

void CSampler::SetBlockSize(int frames) {
  CComp::SetBlockSize(frames);
  BeginEdit();
  EndEdit();
}

void CSampler::SetSampleRate(float rate) {
  CComp::SetSampleRate(rate);
  BeginEdit();
  EndEdit();
}

void CSampler::SetTempo(float bpm) {
  CComp::SetTempo(bpm);
  for (CComp* e : sendList_) e->SetTempo(bpm);
}

void CSampler::ProgramChanged(int32_t program) {
  const int32_t p = program & 127;
  if (bank[static_cast<size_t>(p)]) program_.fill(p);
}

void CSampler::ReleaseAllVoices() noexcept {
  for (Voice& v : voices_) {
    v.state = 0;
    v.sound = nullptr;
    v.clip = nullptr;
    v.sample = nullptr;
    v.keyCount = 0;
  }
}

int CSampler::PlayingVoices() const noexcept {
  int n = 0;
  for (const Voice& v : voices_) n += v.state == 1;
  return n;
}

// ---------------------------------------------------------------- notes

bool CSampler::SoundOnChannel(int sound, int channel) const noexcept {
  const Preset* p = bank[static_cast<size_t>(program_[static_cast<size_t>(channel & 15)] & 127)].get();
  if (!p) return true;
  for (const PresetEntry& e : p->entries)
    if (e.sound == sound && e.on && (e.channel == 0 || e.channel == channel + 1)) return true;
  return false;
}

void CSampler::NoteOn(int channel, int key, int velocity) noexcept {
  ++noteOns_;
  const Preset* p = bank[static_cast<size_t>(program_[static_cast<size_t>(channel)] & 127)].get();
  if (p) {
    // The preset names the sounds: a bank of hundreds of sounds costs a note
    // only the few its channel plays.
    for (const PresetEntry& e : p->entries)
      if (e.on && (e.channel == 0 || e.channel == channel + 1) && e.sound >= 0 &&
          e.sound < static_cast<int>(sounds.size()))
        RouteNote(*sounds[static_cast<size_t>(e.sound)], channel, key, velocity, 1.0f, 0.0f, 1.0f);
    return;
  }
  for (auto& s : sounds) RouteNote(*s, channel, key, velocity, 1.0f, 0.0f, 1.0f);
}

void CSampler::RouteNote(CSound& sound, int channel, int key, int velocity, float vol, float pan,
                         float cut) noexcept {
  if (!sound.Maps(key, velocity)) return;
  vol *= sound.volume;
  pan += sound.pan;
  cut *= sound.cutoff;
  int index = 0;
  for (auto& child : sound.children) {
    if (child->IsSound()) {
      RouteNote(static_cast<CSound&>(*child), channel, key, velocity, vol, pan, cut);
    } else {
      CClip& clip = static_cast<CClip&>(*child);
      const bool plays = sound.mode == CSound::kSlicer ? int64_t{key} - sound.sliceRoot == index + 1
                                                       : clip.Maps(key, velocity);
      if (plays) StartClip(sound, clip, index, channel, key, velocity, vol, pan, cut);
    }
    ++index;
  }
}

void CSampler::StartClip(CSound& sound, CClip& clip, int, int channel, int key, int velocity, float vol,
                         float pan, float cut) noexcept {
  if (clip.sample < 0 || clip.sample >= static_cast<int>(samples.size())) return;
  if (clip.left >= clip.right) return;
  const bool slicer = sound.mode == CSound::kSlicer;
  const float offset = KeyOffset(slicer, key, clip);
  Voice* target = nullptr;
  if (clip.exclusiveClass != 0)
    for (Voice& v : voices_)
      if (v.state == 1 && v.channel == channel && v.noteOn != noteOns_ && v.clip &&
          v.clip->exclusiveClass == clip.exclusiveClass && !(v.vol.released && v.vol.seg == 5))
        ChokeVoice(v);
  for (Voice& v : voices_) {
    if (v.state != 1 || v.sound != &sound || v.clip != &clip) continue;
    if (clip.voiceMode == 1 && v.mode == 1) {
      // The held key changes the pitch; the sub-voices keep running.
      if (v.keyCount < 128) v.keys[static_cast<size_t>(v.keyCount++)] = static_cast<uint8_t>(key);
      const float old = v.sub[0].keyOffset + v.glideFrom;
      for (int i = 0; i < v.subCount; ++i) v.sub[static_cast<size_t>(i)].keyOffset = offset;
      v.glideFrom = clip.glide > 0 ? old - offset : 0.0f;
      v.key = key;
      v.velocity = static_cast<float>(velocity) / 127.0f;
      return;
    }
    if (clip.voiceMode == 2 && !v.vol.released) ChokeVoice(v);
  }
  for (Voice& v : voices_)
    if (v.state == 0) {
      target = &v;
      break;
    }
  if (!target) return;  // every voice plays: the note is dropped, never stolen
  Voice& v = *target;
  const CSample& smp = *samples[static_cast<size_t>(clip.sample)];
  v.state = 1;
  v.sound = &sound;
  v.clip = &clip;
  v.mode = clip.voiceMode;
  v.keyCount = 0;
  if (v.mode == 1) v.keys[static_cast<size_t>(v.keyCount++)] = static_cast<uint8_t>(key);
  v.channel = channel;
  v.key = key;
  v.velocity = static_cast<float>(velocity) / 127.0f;
  v.sustained = 0;
  v.targetsAt = 0;
  v.soundVolume = vol;
  v.soundPan = pan;
  v.soundCutoff = cut;
  v.glideFrom = 0.0f;
  v.vol = EnvState{};
  v.filt = EnvState{};
  v.filt.level = v.filt.from = clip.filterEnv.v[1];
  v.vol.level = v.vol.from = 0.0f;
  v.gain = 0.0f;
  v.fresh = 1;
  v.noteOn = noteOns_;
  v.sample = samples[static_cast<size_t>(clip.sample)].get();
  if (!v.sample->InMemory(v.ram)) v.ram = MemoryRender{};
  v.volumeMoves = VolumeMovesByItself(clip);
  v.readsModulator = 0;
  for (const CMod& r : clip.routings)
    v.readsModulator |= r.source == ModSourceKind::kEnv || r.source == ModSourceKind::kGate ||
                        r.source == ModSourceKind::kLFO || r.source == ModSourceKind::kRnd;
  const int nm = std::min<int>(static_cast<int>(clip.modulators.size()), kVoiceModulators);
  for (int m = 0; m < nm; ++m)
    clip.modulators[static_cast<size_t>(m)]->NoteStart(v.mods[static_cast<size_t>(m)], random_);
  const int n = std::clamp(clip.unisonVoices, 1, kUnison);
  v.subCount = n;
  v.unisonNorm = 1.0f / std::sqrt(static_cast<float>(n));
  const int right = std::min(clip.right, smp.frames);
  const int left = std::max(clip.left, 1);
  for (int i = 0; i < n; ++i) {
    SubVoice& sv = v.sub[static_cast<size_t>(i)];
    sv = SubVoice{};
    sv.dir = clip.playMode ? -1.0f : 1.0f;
    sv.pos = clip.playMode ? right : left;
    sv.baseStep = sampleRate > 0.0f ? static_cast<double>(smp.rate) / sampleRate : 1.0;
    sv.panOffset = n == 1 ? 0.0f : 2.0f / static_cast<float>(n - 1) * static_cast<float>(i) - 1.0f;
    // The spread is the sub-voice's place in the unison fan: evenly spaced
    // detuning keeps renders repeatable and the chorus symmetric.
    sv.spread = sv.panOffset;
    sv.delay =
        static_cast<int32_t>(std::clamp(std::nearbyint(static_cast<double>(clip.unisonDelay) * i), 0.0, 1e8));
    sv.keyOffset = offset;
    sv.active = 1;
  }
}

// The voice fades out in a few milliseconds, released or not.
void CSampler::ChokeVoice(Voice& v) noexcept {
  v.vol.released = 1;
  v.vol.seg = 5;
  v.vol.from = v.vol.level;
  v.vol.t = 0.0f;
}

void CSampler::ReleaseVoice(Voice& v) noexcept {
  for (EnvState* e : {&v.vol, &v.filt}) {
    if (e->released) continue;
    e->released = 1;
    e->seg = 4;
    e->from = e->level;
    e->t = 0.0f;
  }
}

void CSampler::NoteOff(int channel, int key) noexcept {
  for (Voice& v : voices_) {
    if (v.state != 1 || v.channel != channel) continue;
    const bool mono = v.mode == 1 && v.keyCount >= 2;
    if (mono) {
      int at = -1;
      for (int i = 0; i < v.keyCount; ++i)
        if (v.keys[static_cast<size_t>(i)] == key) at = i;
      if (at < 0) continue;
      const bool newest = at == v.keyCount - 1;
      std::memmove(&v.keys[static_cast<size_t>(at)], &v.keys[static_cast<size_t>(at) + 1],
                   static_cast<size_t>(v.keyCount - at - 1));
      --v.keyCount;
      if (newest) {
        const int k = v.keys[static_cast<size_t>(v.keyCount - 1)];
        const CClip& clip = *v.clip;
        const float offset = KeyOffset(v.sound->mode == CSound::kSlicer, k, clip);
        const float old = v.sub[0].keyOffset + v.glideFrom;
        for (int i = 0; i < v.subCount; ++i) v.sub[static_cast<size_t>(i)].keyOffset = offset;
        v.glideFrom = clip.glide > 0 ? old - offset : 0.0f;
        v.key = k;
      }
      continue;
    }
    if (v.key != key) continue;
    v.keyCount = 0;
    if (pedal_[static_cast<size_t>(channel)])
      v.sustained = 1;
    else
      ReleaseVoice(v);
  }
}

void CSampler::HandleMidi(uint32_t msg) noexcept {
  const uint32_t type = midi::Type(msg);
  if (type < 0x80 || type == 0xF0) return;
  const int ch = multimode == 1 ? static_cast<int>(midi::Channel(msg)) : 0;
  const uint32_t d1 = midi::Data1(msg) & 127, d2 = midi::Data2(msg) & 127;
  const size_t c = static_cast<size_t>(ch);
  // Notes and programs move no routing source; controllers and the bend do.
  if (type == 0xB0 || type == 0xE0) NextControlGen(c);
  if (midi::IsNoteOn(msg)) {
    NoteOn(ch, static_cast<int>(d1), static_cast<int>(d2));
  } else if (midi::IsNoteOff(msg)) {
    NoteOff(ch, static_cast<int>(d1));
  } else if (type == 0xE0) {
    bend_[c] = static_cast<float>(static_cast<int>(d2 * 128 + d1) - 8192) * 0.5f / 8192.0f + 0.5f;
  } else if (type == 0xB0) {
    cc_[c][d1] = static_cast<float>(d2) / 127.0f;
    if (d1 == 1) wheel_[c] = static_cast<float>(d2) / 127.0f;
    if (d1 == 64) {
      pedal_[c] = d2 >= 64;
      if (!pedal_[c])
        for (Voice& v : voices_)
          if (v.state == 1 && v.channel == ch && v.sustained) {
            v.sustained = 0;
            ReleaseVoice(v);
          }
    } else if (d1 == 120 || d1 == 123) {
      for (Voice& v : voices_) {
        if (v.state != 1 || v.channel != ch) continue;
        if (d1 == 120) {
          v.state = 0;
        } else {
          v.keyCount = 0;
          ReleaseVoice(v);
        }
      }
    } else if (d1 == 121) {
      ResetControllers(cc_[c]);
      bend_[c] = 0.5f;
      wheel_[c] = 0.0f;
      pedal_[c] = 0;
    }
  } else if (type == 0xC0) {
    if (bank[d1]) program_[c] = static_cast<int32_t>(d1);
  }
}

// ---------------------------------------------------------------- rendering

namespace {

// Advances an envelope by `dt` seconds; returns the level reached. Segment 5
// is the choke: a few milliseconds down to silence.
float AdvanceEnvelope(CSampler::EnvState& e, const EnvelopeShape& shape, float dt) noexcept {
  const int sustain = shape.sustain;
  while (!e.done) {
    if (!e.released && sustain >= 0 && sustain < 4 && e.seg > sustain) break;  // held while the key is down
    if (e.seg > 5 || (e.seg == 5 && !e.released)) {
      e.done = 1;
      break;
    }
    const bool choke = e.seg == 5;
    const float d = choke ? kChokeSeconds : std::max(0.0f, shape.v[static_cast<size_t>(2 * e.seg)]);
    float target = choke ? 0.0f : shape.v[static_cast<size_t>(2 * e.seg + 1)];
    if (!(target >= 0.0f)) target = 0.0f;
    const bool rising = target >= e.from;
    // Falling segments run in decibels at 100 dB per segment time.
    // A segment keeps its end points for many stretches: their decibels are
    // worked out once.
    if (!rising && e.from != e.dbFrom) e.dbFrom = e.from, e.fromDb = ToDb(e.from);
    if (!rising && target != e.dbTo) e.dbTo = target, e.toDb = ToDb(target);
    const float fromDb = rising ? 0.0f : e.fromDb, toDb = rising ? 0.0f : e.toDb;
    const float length = rising ? d : d * std::min(1.0f, (fromDb - toDb) / -kFloorDb);
    if (e.t + dt < length) {
      e.t += dt;
      const float x = e.t / length;
      if (rising) {
        e.level = e.from + (target - e.from) * x;
      } else {
        const float db = fromDb + (toDb - fromDb) * x;
        // 10^(dB / 20) as a power of two.
        e.level = db <= kFloorDb ? 0.0f : std::exp2(db * 0.16609640474f);
        // Every further stretch of this length moves the level by one factor.
        e.ratio = std::exp2((toDb - fromDb) * (dt / length) * 0.16609640474f);
        e.ratioSeg = e.seg;
        e.ratioFrom = e.from;
        e.ratioDt = dt;
        e.ratioLength = length;
      }
      return e.level;
    }
    dt -= std::max(0.0f, length - e.t);
    e.level = e.from = target;
    e.t = 0.0f;
    if (choke || e.seg == 4) {
      e.done = 1;
      break;
    }
    ++e.seg;
  }
  return e.level;
}

// Held at its sustain point or finished: its level stays until the key's release.
inline bool EnvelopeHolds(const CSampler::EnvState& e, const EnvelopeShape& shape) noexcept {
  const int sustain = shape.sustain;
  return e.done || (!e.released && sustain >= 0 && sustain < 4 && e.seg > sustain);
}

// Most stretches find an envelope held at its sustain point or finished:
// that answer needs no call.
inline float Envelope(CSampler::EnvState& e, const EnvelopeShape& shape, float dt) noexcept {
  if (EnvelopeHolds(e, shape)) return e.level;
  // Most of the rest fall through a decay or a release one stretch after
  // another: a multiplication instead of a power of two, the segment's
  // exact level again at its end.
  if (e.ratioSeg == e.seg && e.ratioFrom == e.from && e.ratioDt == dt && e.level > 0.0f &&
      e.t + dt < e.ratioLength) {
    e.t += dt;
    return e.level *= e.ratio;
  }
  return AdvanceEnvelope(e, shape, dt);
}

// Half a step of 16-bit output: a voice that can never reach it changes no
// sample of a 16-bit render.
constexpr float kInaudibleLevel = 1.0f / 65536.0f;
// The Hermite window can overshoot the frames it reads by a quarter at most.
constexpr float kInterpolationOvershoot = 1.25f;

// A released voice whose release only falls from here on (the caller knows
// that no modulator moving by itself feeds its volume), at a gain where all
// its sub-voices together, full-scale frames, overshoot and the louder side
// of its pan included, stay under half a 16-bit step. Its tail would take as
// long to play as the rest of the note did and change nothing anyone can hear.
bool Inaudible(const CSampler::Voice& v, float gain, float pan) noexcept {
  const float side = v.subCount > 1 ? 2.0f : 1.0f + std::min(1.0f, std::fabs(pan));
  const float loudest = gain * kInterpolationOvershoot * static_cast<float>(std::max(v.subCount, 1)) * side;
  return loudest < kInaudibleLevel;
}

struct Targets {
  float gain, pan, cutoff, q, drive, pitch, uTune, uPan;
};
static_assert(sizeof(Targets) == sizeof(CSampler::Voice::targets));

// Mixes a rendered stretch into one or two channels, gain and pan straight
// from their start values to their end values across it.
template <int Fixed>
__attribute__((always_inline)) inline void MixStretch(float* l, float* r, int channels, const float* x,
                                                      const float* y, int len, float g0, float g1, float p0,
                                                      float p1) noexcept {
  // A whole stretch's length is known here, and dividing by its 32 frames is
  // multiplying by 1/32, exactly.
  const int n = Fixed > 0 ? Fixed : len;
  const float dg = Fixed > 0 ? (g1 - g0) * (1.0f / Fixed) : (g1 - g0) / static_cast<float>(n);
  const float dp = Fixed > 0 ? (p1 - p0) * (1.0f / Fixed) : (p1 - p0) / static_cast<float>(n);
  if (channels < 2) {
    for (int i = 0; i < n; ++i) l[i] += (g0 + dg * static_cast<float>(i)) * x[i];
    return;
  }
  for (int i = 0; i < n; ++i) {
    const float g = g0 + dg * static_cast<float>(i), p = p0 + dp * static_cast<float>(i);
    l[i] += (x[i] - p * x[i]) * g;
    r[i] += (y[i] * p + y[i]) * g;
  }
}

// A sub-voice's stretches of a chunk, each with its own start and end gain
// and pan (four values a stretch in `ramps`), the gains times `level`.
__attribute__((always_inline)) inline void MixRampsBody(float* const* dst, int channels, const float* x,
                                                        const float* y, int len, const float* ramps,
                                                        float level) noexcept {
  for (int at = 0; at < len; at += kControlFrames, ramps += 4) {
    const float g0 = ramps[0] * level, g1 = ramps[1] * level;
    if (len - at >= kControlFrames)
      MixStretch<kControlFrames>(dst[0] + at, dst[1] + at, channels, x + at, y + at, kControlFrames, g0, g1,
                                 ramps[2], ramps[3]);
    else
      MixStretch<0>(dst[0] + at, dst[1] + at, channels, x + at, y + at, len - at, g0, g1, ramps[2], ramps[3]);
  }
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// The same loops in 256-bit vectors. No fused multiply-adds are enabled, so
// each frame gets the very bits of the plain build.
__attribute__((target("avx2"))) void MixRampsWide(float* const* dst, int channels, const float* x,
                                                  const float* y, int len, const float* ramps,
                                                  float level) noexcept {
  MixRampsBody(dst, channels, x, y, len, ramps, level);
}
void MixRampsPlain(float* const* dst, int channels, const float* x, const float* y, int len,
                   const float* ramps, float level) noexcept {
  MixRampsBody(dst, channels, x, y, len, ramps, level);
}
// Decided once at load, before any audio thread runs.
const auto MixRamps = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") ? &MixRampsWide : &MixRampsPlain;
}();
#else
constexpr auto MixRamps = &MixRampsBody;
#endif

inline float Drive(float x, float d) noexcept {
  return x / (1.0f + 32.0f * d * d * std::fabs(x)) * (1.0f - d + 6.0f * d * d);
}

template <int Mode>
void FilterRun(float* buf, int n, float& low, float& band, float f0, float f1, float r0, float r1, float d0,
               float d1, float blend) noexcept {
  const float inv = 1.0f / static_cast<float>(n);
  const float df = (f1 - f0) * inv, dr = (r1 - r0) * inv, dd = (d1 - d0) * inv;
  const bool drive = d0 != 0.0f || d1 != 0.0f;
  for (int i = 0; i < n; ++i) {
    const float fi = f0 + df * static_cast<float>(i), ri = r0 + dr * static_cast<float>(i);
    low += fi * band;
    const float high = buf[i] - low - (1.0f - ri) * band;
    band += fi * high;
    float a, b;
    if constexpr (Mode == CClip::kFilterLowBand) {
      a = low;
      b = band;
    } else if constexpr (Mode == CClip::kFilterBandHigh) {
      a = band;
      b = high;
    } else {
      a = low;
      b = high;
    }
    const float y = (1.0f - blend) * a + blend * b;
    buf[i] = drive ? Drive(y, d0 + dd * static_cast<float>(i)) : y;
  }
  if (std::fabs(low) < 1e-20f) low = 0.0f;
  if (std::fabs(band) < 1e-20f) band = 0.0f;
}

void Filter(int mode, float* buf, int n, float& low, float& band, float f0, float f1, float r0, float r1,
            float d0, float d1, float blend) noexcept {
  if (mode == CClip::kFilterLowBand && blend == 0.0f && d0 == 0.0f && d1 == 0.0f && f0 == f1 && r0 == r1)
    return SteadyLowPass(buf, n, low, band, f0, BandKept(f0, r0));
  if (mode == CClip::kFilterLowBand)
    FilterRun<CClip::kFilterLowBand>(buf, n, low, band, f0, f1, r0, r1, d0, d1, blend);
  else if (mode == CClip::kFilterBandHigh)
    FilterRun<CClip::kFilterBandHigh>(buf, n, low, band, f0, f1, r0, r1, d0, d1, blend);
  else
    FilterRun<CClip::kFilterLowHigh>(buf, n, low, band, f0, f1, r0, r1, d0, d1, blend);
}

}  // namespace

namespace {

// One frame at position p whose interpolation window crosses a loop
// boundary: frames beyond it are taken from where the loop continues (the
// loop start for a forward loop, the mirrored frame for a turning one).
void EdgeFrame(const CSample& smp, const CClip& clip, double p, double loopStart, double loopEnd, float& l,
               float& r) noexcept {
  const int64_t i0 = static_cast<int64_t>(std::floor(p));
  const float f = static_cast<float>(p - static_cast<double>(i0));
  const int64_t span = static_cast<int64_t>(loopEnd - loopStart) + 1;
  const int64_t lo = static_cast<int64_t>(loopStart), hi = static_cast<int64_t>(loopEnd);
  std::array<int64_t, 4> window;
  for (int k = 0; k < 4; ++k) {
    int64_t j = i0 - 1 + k;
    if (span > 0) {
      if (j > hi)
        j = clip.loop == CClip::kLoopForward ? j - span : 2 * hi - j;
      else if (j < lo)
        j = clip.loop == CClip::kLoopBackward ? j + span : 2 * lo - j;
    }
    window[static_cast<size_t>(k)] = std::clamp<int64_t>(j, 0, int64_t{smp.frames} + 2);
  }
  smp.InterpolateAt(window, f, l, r);
}

}  // namespace

// Returns the frames rendered before the sub-voice ended, n if it plays on.
int CSampler::RenderSub(SubVoice& sv, const CClip& clip, CSample& smp, const MemoryRender* ram, float* L,
                        float* R, int n, double step) noexcept {
  const double left = std::max(clip.left, 1);
  const double right = std::min(clip.right, smp.frames);
  const double loopStart = std::max(clip.loopStart, 1);
  const double loopEnd = std::min(clip.loopEnd, smp.frames);
  const bool looping = clip.loop != CClip::kLoopOff;
  double s = step * sv.dir;
  int done = 0;
  if (sv.delay > 0) {
    const int wait = std::min(sv.delay, n);
    std::memset(L, 0, sizeof(float) * static_cast<size_t>(wait));
    if (R != L) std::memset(R, 0, sizeof(float) * static_cast<size_t>(wait));
    sv.delay -= wait;
    done = wait;
  }
  const int maxEvents = kMaxEventsPerStretch * ((n + kControlFrames - 1) / kControlFrames);
  for (int events = 0; done < n && sv.active; ++events) {
    if (events > maxEvents) {
      sv.active = 0;  // a loop shorter than one step: nothing sensible to play
      break;
    }
    int count = n - done;
    enum { kNone, kRightEnd, kLeftEnd, kLoopEnd, kLoopStart } ev = kNone;
    // How many frames remain before the position crosses a boundary, counted
    // exactly so that a loop's period is its length whatever the step.
    auto before = [&](double limit) {
      // Most stretches end far from any boundary: a product settles that
      // without the division, with a frame to spare for its rounding.
      const double room = s > 0.0 ? limit - sv.pos : sv.pos - limit;
      if (room > std::fabs(s) * static_cast<double>(count + 2)) return count + 1;
      const double c = s > 0.0 ? std::ceil((limit - sv.pos) / s) : std::floor((sv.pos - limit) / -s) + 1.0;
      return c <= 0.0 ? 0 : c > count ? count + 1 : static_cast<int>(c);
    };
    if (s > 0.0) {
      if (looping && sv.pos < loopEnd + 1.0) {
        if (const int c = before(loopEnd + 1.0); c <= count) count = c, ev = kLoopEnd;
      } else if (clip.playMode == 0 || looping) {
        if (const int c = before(right + 1.0); c <= count) count = c, ev = kRightEnd;
      }
    } else if (s < 0.0) {
      if (looping && sv.pos >= loopStart) {
        if (const int c = before(loopStart); c <= count) count = c, ev = kLoopStart;
      } else {
        if (const int c = before(left); c <= count) count = c, ev = kLeftEnd;
      }
    } else {
      sv.active = 0;
      break;
    }
    if (count > 0) {
      // Near a loop boundary the interpolation window would read past it; those
      // few frames read through the loop instead, so a loop has no seam. That
      // holds too for the frames just before a boundary the run stops short of.
      int safe = count;
      const bool towardEnd = looping && s > 0.0 && sv.pos < loopEnd + 1.0;
      const bool towardStart = looping && s < 0.0 && sv.pos >= loopStart;
      if (towardEnd && loopEnd - 1.0 > sv.pos)
        safe = std::min(count, before(loopEnd - 1.0));
      else if (towardEnd)
        safe = 0;
      if (towardStart && sv.pos >= loopStart + 1.0)
        safe = std::min(count, before(loopStart + 1.0));
      else if (towardStart)
        safe = 0;
      if (safe > 0 && ram)
        ram->Render(safe, L + done, R + done, s, sv.pos);
      else if (safe > 0)
        smp.ReadFrames(safe, L + done, streamScratch_.data(), 0.0f, 1.0f, s, sv.pos, R + done);
      for (int i = safe; i < count; ++i)
        EdgeFrame(smp, clip, sv.pos + i * s, loopStart, loopEnd, L[done + i], R[done + i]);
      sv.pos += count * s;
      done += count;
    }
    switch (ev) {
      case kNone:
        break;
      case kRightEnd:
      case kLeftEnd:
        sv.active = 0;
        break;
      case kLoopEnd:
        if (loopStart >= loopEnd) {
          sv.active = 0;
        } else if (clip.loop == CClip::kLoopForward) {
          sv.pos = loopStart + std::fmod(sv.pos - (loopEnd + 1.0), loopEnd + 1.0 - loopStart);
        } else {
          // Turning back at the last frame plays it once, not twice.
          sv.pos = 2.0 * loopEnd - sv.pos;
          sv.dir = -sv.dir;
          s = -s;
        }
        break;
      case kLoopStart:
        if (loopEnd <= loopStart) {
          sv.active = 0;
        } else if (clip.loop == CClip::kLoopBackward) {
          sv.pos = loopEnd + 1.0 - std::fmod(loopStart - sv.pos, loopEnd + 1.0 - loopStart);
          if (sv.pos >= loopEnd + 1.0) sv.pos = loopEnd;
        } else {
          sv.pos = 2.0 * loopStart - sv.pos;
          sv.dir = -sv.dir;
          s = -s;
        }
        break;
    }
  }
  if (done < n) {
    std::memset(L + done, 0, sizeof(float) * static_cast<size_t>(n - done));
    if (R != L) std::memset(R + done, 0, sizeof(float) * static_cast<size_t>(n - done));
  }
  return sv.active ? n : done;
}

void CSampler::RenderVoice(Voice& v, int from, int n, Share& sh, float* const* channels) noexcept {
  const CClip& clip = *v.clip;
  if (!v.sample) {
    v.state = 0;
    return;
  }
  CSample& smp = *v.sample;
  const bool mono = smp.channels != 2;
  const MemoryRender* ram = v.ram.run ? &v.ram : nullptr;
  const int nm = std::min<int>(static_cast<int>(clip.modulators.size()), kVoiceModulators);
  const float rate = sampleRate > 0.0f ? sampleRate : 44100.0f;
  const float unisonNorm = v.unisonNorm;
  const CSound& sound = *v.sound;
  const size_t ch = static_cast<size_t>(v.channel & 15);
  const float bendSemis = (2.0f * bend_[ch] - 1.0f) * static_cast<float>(clip.bend);
  const bool readsModulator = v.readsModulator;
  double tempoStep = 1.0;
  if (sound.mode == CSound::kSlicer && sound.bpm > 0.0f && tempo > 0.0f) tempoStep = tempo / sound.bpm;

  // Output port of the clip's bus.
  const int bus = std::clamp(clip.bus, 0, std::max(0, static_cast<int>(audioOuts.size()) - 1));
  if (audioOuts.empty()) {
    v.state = 0;
    return;
  }
  const CAudioOut& port = *audioOuts[static_cast<size_t>(bus)];
  float* outs[2] = {channels[static_cast<size_t>(port.firstChannel)],
                    channels[static_cast<size_t>(port.firstChannel + (port.channels > 1 ? 1 : 0))]};
  if (!outs[0] || !outs[1]) return;
  outs[0] += from;
  outs[1] += from;

  // Without modulators or a glide nothing moves the pitch before the next
  // MIDI message: each sub-voice's frames for the whole chunk are then one
  // run, and the stretches take their parts of it.
  const bool wholeRun = ram && nm == 0 && v.glideFrom == 0.0f;
  const int region = (n + kControlFrames - 1) / kControlFrames * kControlFrames;
  std::array<float*, kUnison> runL{}, runR{}, ramps{};
  std::array<PendingMix*, kUnison> mix{};
  std::array<int, kUnison> played{};  // frames of its run before a sub-voice ended
  // The lane each sub-voice's channel has settled in so far, or -1.
  std::array<std::array<int, 2>, kUnison> settledIn;
  for (auto& s : settledIn) s = {-1, -1};
  for (int i = 0; i < v.subCount; ++i) {
    const size_t si = static_cast<size_t>(i);
    played[si] = v.sub[si].active ? n : 0;
    if (!v.sub[si].active) continue;
    runL[si] = sh.slots + sh.slotsUsed;
    runR[si] = mono ? runL[si] : runL[si] + region;
    sh.slotsUsed += mono ? region : 2 * region;
    ramps[si] = &sh.ramps[static_cast<size_t>(sh.rampsUsed)];
    sh.rampsUsed += 4 * (region / kControlFrames);
    mix[si] = &sh.pending[static_cast<size_t>(sh.pendingCount++)];
    *mix[si] = PendingMix{&v, runL[si], runR[si], {outs[0], outs[1]}, port.channels, from, 0, ramps[si]};
  }

  Targets t{};
  float pan1 = 0.0f, f1 = 0.0f, r1 = 0.0f, d1 = 0.0f, keep = 0.0f, uTune = 0.0f, uPan = 0.0f;
  // Modulators, routings, envelopes and glide through one stretch.
  auto moveControls = [&](int len, float dt, float& env, float& g1) {
    // Level and rate routings act on the modulators before they move.
    std::array<float, kVoiceModulators> level, speed;
    if (nm > 0) {
      level.fill(1.0f);
      speed.fill(1.0f);
    }
    auto sourceValue = [&](const CMod& r) -> float {
      switch (r.source) {
        case ModSourceKind::kWheel:
          return wheel_[ch];
        case ModSourceKind::kBend:
          return bend_[ch];
        case ModSourceKind::kVelocity:
          return v.velocity;
        case ModSourceKind::kKey:
          return static_cast<float>(v.key) / 127.0f;
        case ModSourceKind::kCC:
          return cc_[ch][static_cast<size_t>(r.sourceIndex & 127)];
        case ModSourceKind::kEnv:
        case ModSourceKind::kGate:
        case ModSourceKind::kLFO:
        case ModSourceKind::kRnd:
          if (r.sourceIndex >= 0 && r.sourceIndex < nm)
            return v.mods[static_cast<size_t>(r.sourceIndex)].value *
                   level[static_cast<size_t>(r.sourceIndex)];
          return 0.0f;
        case ModSourceKind::kNone:
          break;
      }
      return 0.0f;
    };
    for (const CMod& r : nm > 0 ? std::span<const CMod>{clip.routings} : std::span<const CMod>{}) {
      const int kindOf = r.dest & 0xFFFF, mi = static_cast<int>(static_cast<uint32_t>(r.dest) >> 16);
      if ((kindOf != kDestLevel && kindOf != kDestRate) || mi >= nm) continue;
      const float m = r.amount * (sourceValue(r) - r.centre);
      if (kindOf == kDestLevel)
        level[static_cast<size_t>(mi)] *= std::max(0.0f, 1.0f + m);
      else
        speed[static_cast<size_t>(mi)] *= std::exp2(std::clamp(m * 4.0f, -16.0f, 16.0f));
    }
    for (int m = 0; m < nm; ++m) {
      const CModulator& mod = *clip.modulators[static_cast<size_t>(m)];
      const double tpf = mod.TicksPerFrame(rate, tempo) * speed[static_cast<size_t>(m)];
      mod.Advance(v.mods[static_cast<size_t>(m)], tpf * len, random_);
    }
    t = Targets{1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    const bool known = v.targetsAt == controlGen_[ch] && !readsModulator;
    if (known) std::memcpy(&t, v.targets.data(), sizeof t);
    for (const CMod& r : known ? std::span<const CMod>{} : std::span<const CMod>{clip.routings}) {
      const int kindOf = r.dest & 0xFFFF;
      if (kindOf == kDestNone || kindOf == kDestLevel || kindOf == kDestRate) continue;
      const float m = r.amount * (sourceValue(r) - r.centre);
      switch (kindOf) {
        // Volume works on a squared scale: velocity routed with amount 1 and
        // centre 1 gives the familiar square-law loudness.
        case kDestVolume:
          t.gain *= std::max(0.0f, 1.0f + m) * std::max(0.0f, 1.0f + m);
          break;
        case kDestCutoff:
          t.cutoff += m;
          break;
        case kDestPan:
          t.pan += m;
          break;
        case kDestPitch:
          t.pitch += m * 12.0f;
          break;
        case kDestQ:
          t.q += m;
          break;
        case kDestDrive:
          t.drive += m;
          break;
        case kDestUPitch:
          t.uTune += m;
          break;
        case kDestUPan:
          t.uPan += m;
          break;
        default:
          break;
      }
    }
    if (!known) {
      std::memcpy(v.targets.data(), &t, sizeof t);
      v.targetsAt = controlGen_[ch];
    }

    if (v.fresh) {
      // The first stretch starts where the envelope stands at the note's
      // first frame: an instant attack sounds on that frame.
      v.gain = clip.volume * v.soundVolume * AdvanceEnvelope(v.vol, clip.volEnv, 0.0f) * t.gain * unisonNorm;
    }
    env = Envelope(v.vol, clip.volEnv, dt);
    const float fenv = Envelope(v.filt, clip.filterEnv, dt);
    g1 = clip.volume * v.soundVolume * env * t.gain * unisonNorm;
    pan1 = clip.pan + v.soundPan + t.pan;
    const float c = std::clamp(clip.cutoff * v.soundCutoff * fenv + t.cutoff, 0.0f, 1.0f);
    f1 = std::clamp(c * c, 0.0f, 1.0f);
    r1 = std::clamp(clip.q + t.q, 0.0f, 0.99f);
    d1 = std::clamp(clip.drive + t.drive, 0.0f, 1.0f);
    keep = BandKept(f1, r1);
    if (v.fresh) {
      v.fresh = 0;
      v.pan = pan1;
      v.fcut = f1;
      v.fres = r1;
      v.fdrive = d1;
    }
    if (v.glideFrom != 0.0f) {
      // Glide: the remaining distance shrinks straight over the glide time.
      const float per = clip.glide > 0 ? dt * 1000.0f / static_cast<float>(clip.glide) * 12.0f : 1e9f;
      v.glideFrom =
          v.glideFrom > 0.0f ? std::max(0.0f, v.glideFrom - per) : std::min(0.0f, v.glideFrom + per);
    }
    uTune = clip.unisonTune + t.uTune;
    uPan = clip.unisonPan + t.uPan;
  };
  for (int pos = from; pos < from + n;) {
    const int len = std::min(kControlFrames, from + n - pos);
    const int at = pos - from, stretch = at / kControlFrames;
    const float dt = static_cast<float>(len) / rate;

    // A stretch after the first of a whole run, with the filter's envelope at
    // rest, meets the values the stretch before it met: only the volume
    // envelope moves.
    float env, g1;
    if (wholeRun && at > 0 && EnvelopeHolds(v.filt, clip.filterEnv)) {
      env = Envelope(v.vol, clip.volEnv, dt);
      g1 = clip.volume * v.soundVolume * env * t.gain * unisonNorm;
    } else {
      moveControls(len, dt, env, g1);
    }

    bool any = false;
    for (int i = 0; i < v.subCount; ++i) {
      const size_t si = static_cast<size_t>(i);
      SubVoice& sv = v.sub[si];
      if (played[si] <= at) continue;  // ended in an earlier stretch, or never began
      // Each sub-voice renders into its own slot, so that the steady low-passes
      // of every voice can run side by side before anything is mixed.
      float* L = runL[si] + at;
      float* R = runR[si] + at;
      if (!wholeRun || at == 0) {
        const float semis = sv.keyOffset + v.glideFrom + bendSemis + t.pitch + 0.5f * sv.spread * uTune;
        if (semis != sv.ratioSemis) {
          sv.ratioSemis = semis;
          sv.ratio = std::exp(static_cast<double>(semis) / 12.0 * 0.6931471805599453);
        }
        double step = sv.baseStep * sv.ratio * tempoStep;
        if (!(step > 0.0) || !std::isfinite(step)) step = 0.0;
        step = std::min(step, 64.0);
        if (!wholeRun) {
          const int got = RenderSub(sv, clip, smp, ram, L, R, len, step);
          played[si] = sv.active ? n : at + got;
        } else {
          played[si] = RenderSub(sv, clip, smp, ram, L, R, n, step);
        }
      }
      // One that ends on this stretch's last frame has played its last.
      any = any || sv.active || played[si] > at + len;
      float* ramp = ramps[si] + 4 * stretch;
      ramp[0] = v.gain;
      ramp[1] = g1;
      ramp[2] = std::clamp(v.pan + sv.panOffset * uPan, -1.0f, 1.0f);
      ramp[3] = std::clamp(pan1 + sv.panOffset * uPan, -1.0f, 1.0f);
      mix[si]->len = at + len;
      if (clip.filterMode == CClip::kFilterOff) continue;
      const bool steady = clip.filterMode == CClip::kFilterLowBand && clip.blend == 0.0f &&
                          v.fdrive == 0.0f && d1 == 0.0f && v.fcut == f1 && v.fres == r1;
      if (steady) {
        for (int c = 0; c < (R != L ? 2 : 1); ++c) {
          int& in = settledIn[si][static_cast<size_t>(c)];
          if (in >= 0 && sh.lanes[static_cast<size_t>(in)].f == f1 &&
              sh.lanes[static_cast<size_t>(in)].keep == keep) {
            sh.laneLen[static_cast<size_t>(in)] += len;
            continue;
          }
          in = stretch * sh.laneCap + sh.laneCount[static_cast<size_t>(stretch)]++;
          sh.lanes[static_cast<size_t>(in)] = FilterLane{c ? R : L, &sv.low[c], &sv.band[c], f1, keep};
          sh.laneLen[static_cast<size_t>(in)] = len;
        }
        continue;
      }
      settledIn[si] = {-1, -1};
      for (int c = 0; c < (R != L ? 2 : 1); ++c)
        sh.jobs[static_cast<size_t>(stretch * sh.laneCap + sh.jobCount[static_cast<size_t>(stretch)]++)] =
            FilterJob{c ? R : L, &sv.low[c], &sv.band[c], clip.filterMode, len, v.fcut,
                      f1,        v.fres,     r1,          v.fdrive,        d1,  clip.blend};
    }
    for (float*& o : outs) o += len;
    v.gain = g1;
    v.pan = pan1;
    v.fcut = f1;
    v.fres = r1;
    v.fdrive = d1;
    pos += len;
    // Past the attack, a voice whose envelope has fallen below the floor is
    // silent for good: it ends instead of holding a voice to play nothing.
    const bool settled = v.vol.released || v.vol.seg >= 3;
    const bool silent = settled && clip.volume * v.soundVolume * env < kFloorLevel;
    if (!any || v.vol.done || silent || (v.vol.released && !v.volumeMoves && Inaudible(v, g1, pan1))) {
      v.state = 0;
      return;
    }
  }
}

// Runs the second half of a segment's voices on a worker core.
class CSampler::CVoiceShare final : public CComp {
 public:
  explicit CVoiceShare(CSampler* owner) : CComp(owner), owner_(*owner) { buffersAllocated = 1; }
  void Process(int) noexcept override {}  // the audio thread has nothing to prepare
  void ProcessOnCore(int) noexcept override { owner_.RenderShare(1, 2, from, to); }
  int from = 0, to = 0;

 private:
  CSampler& owner_;
};

void CSampler::PrepareShares() {
  int channels = 0;
  for (const auto& p : audioOuts) channels = std::max(channels, p->firstChannel + p->channels);
  shadowCh_.fill(nullptr);
  if (!sendList_.empty() || blockSize <= 0 || channels <= 0 || channels > limits::kMaxChannels) {
    shadow_.clear();
    return;
  }
  shadow_.assign(static_cast<size_t>(channels) * static_cast<size_t>(blockSize), 0.0f);
  for (int c = 0; c < channels; ++c)
    shadowCh_[static_cast<size_t>(c)] = &shadow_[static_cast<size_t>(c * blockSize)];
}

void CSampler::RenderShare(int half, int halves, int from, int to) noexcept {
  // Chunk by chunk, each voice its chunk's stretches in turn: every voice
  // meets the same control boundaries, the filters of one stretch run
  // together, and each output frame adds the voices up in one fixed order.
  Share& sh = shares_[static_cast<size_t>(half)];
  float* const* channels = half == 0 ? outCh.data() : shadowCh_.data();
  // No voice starts before the next MIDI message: the playing ones are
  // found once, not in every stretch.
  std::array<Voice*, kVoices> playing;
  int count = 0, subs = 0, runs = 0;
  for (int i = 0; i < kVoices; ++i) {
    Voice& v = voices_[static_cast<size_t>(i)];
    if (v.state != 1 || !v.clip || (halves > 1 && halfOf_[static_cast<size_t>(i)] != half)) continue;
    playing[static_cast<size_t>(count++)] = &v;
    subs += v.subCount;
    runs += v.subCount * (v.sample && v.sample->channels == 2 ? 2 : 1);
  }
  // Half the room each when the halves run at once: either holds at most
  // half the voices, and with them a chunk of one stretch at least.
  const size_t room = halves == 1 ? slots_.size() : slots_.size() / 2;
  size_t stretches = kChunkStretches;
  if (runs > 0)
    stretches = std::clamp<size_t>(std::min({room / (static_cast<size_t>(runs) * kControlFrames),
                                             sh.ramps.size() / (4 * static_cast<size_t>(subs)),
                                             sh.lanes.size() / static_cast<size_t>(runs)}),
                                   1, kChunkStretches);
  const int chunk = static_cast<int>(stretches) * kControlFrames;
  sh.laneCap = runs;
  for (int pos = from; pos < to; pos += chunk) {
    const int n = std::min(chunk, to - pos);
    sh.pendingCount = 0;
    sh.rampsUsed = 0;
    sh.laneCount.fill(0);
    sh.jobCount.fill(0);
    sh.slots = slots_.data() + static_cast<size_t>(half) * (slots_.size() / 2);
    sh.slotsUsed = 0;
    for (int i = 0; i < count; ++i) {
      Voice& v = *playing[static_cast<size_t>(i)];
      if (v.state == 1) RenderVoice(v, pos, n, sh, channels);
    }
    for (int k = 0; k * kControlFrames < n; ++k) {
      const size_t first = static_cast<size_t>(k * sh.laneCap);
      // The lanes that start here, a run of one length at a time: most span
      // the rest of the chunk.
      size_t from = first;
      const size_t end = first + static_cast<size_t>(sh.laneCount[static_cast<size_t>(k)]);
      while (from < end) {
        const int len = sh.laneLen[from];
        size_t same = from + 1;
        for (size_t j = from + 1; j < end; ++j)
          if (sh.laneLen[j] == len) {
            std::swap(sh.lanes[j], sh.lanes[same]);
            std::swap(sh.laneLen[j], sh.laneLen[same]);
            ++same;
          }
        RunLowPassLanes(sh.lanes.data() + from, static_cast<int>(same - from), len);
        from = same;
      }
      for (size_t j = first; j < first + static_cast<size_t>(sh.jobCount[static_cast<size_t>(k)]); ++j) {
        const FilterJob& f = sh.jobs[j];
        Filter(f.mode, f.buf, f.len, *f.low, *f.band, f.f0, f.f1, f.r0, f.r1, f.d0, f.d1, f.blend);
      }
    }
    for (int k = 0; k < sh.pendingCount; ++k) MixPending(sh.pending[static_cast<size_t>(k)]);
  }
}

// A worker takes the second half only when the stretch is worth a wake-up and
// nothing in it draws from the sampler's one random generator, whose values
// must come in the same order however many cores there are.
bool CSampler::ShareWithWorker(int from, int to) noexcept {
  if (core < 1 || blockCore != 0 || !Root() || !Root()->workers || core >= Root()->workers->Count())
    return false;
  // A module that runs its own phases on the cores (a song) may have them busy
  // with its other modules while this block runs: there, and when the sampler
  // itself was handed to a worker, the voices stay on this thread.
  for (const CContainer* p = parent; p; p = p->parent)
    if (!p->isGroup) return false;
  int playing = 0;
  for (const Voice& v : voices_) {
    if (v.state != 1 || !v.clip) continue;
    ++playing;
    for (const auto& m : v.clip->modulators)
      if (m && m->kind == CModulator::kRandom) return false;
  }
  constexpr int kWorthAWakeUp = 2048;  // voice frames
  return playing * (to - from) >= kWorthAWakeUp;
}

void CSampler::SplitVoices() noexcept {
  std::array<int, 2> load{};
  for (size_t i = 0; i < voices_.size(); ++i) {
    const Voice& v = voices_[i];
    if (v.state != 1 || !v.clip) continue;
    const uint8_t h = load[1] < load[0] ? 1 : 0;
    halfOf_[i] = h;
    load[h] += v.subCount * (v.sample && v.sample->channels == 2 ? 2 : 1);
  }
}

void CSampler::RenderVoices(int from, int to) noexcept {
  if (from >= to) return;
  if (shadow_.empty()) {
    RenderShare(0, 1, from, to);
    return;
  }
  SplitVoices();
  const int channels = static_cast<int>(shadow_.size()) / std::max(blockSize, 1);
  for (int c = 0; c < channels; ++c)
    std::memset(shadowCh_[static_cast<size_t>(c)] + from, 0, sizeof(float) * static_cast<size_t>(to - from));
  CComp* const job[1] = {worker_.get()};
  int sent = 0;
  if (ShareWithWorker(from, to)) {
    worker_->coreIndex = core;
    worker_->ResetForBlock(to - from);
    worker_->from = from;
    worker_->to = to;
    sent = Root()->workers->RunPhase(job, to - from);
  }
  RenderShare(0, 2, from, to);
  if (sent)
    Root()->workers->WaitForPhase(job);
  else
    RenderShare(1, 2, from, to);
  // The second half joins the first in one fixed order whichever thread made it.
  for (const auto& p : audioOuts)
    for (int c = p->firstChannel; c < p->firstChannel + p->channels && c < channels; ++c) {
      float* dst = outCh[static_cast<size_t>(c)];
      const float* src = shadowCh_[static_cast<size_t>(c)];
      if (!dst) continue;
      for (int i = from; i < to; ++i) dst[i] += src[i];
    }
}

void CSampler::MixPending(const PendingMix& pm) noexcept {
  MixRamps(pm.outs, pm.channels, pm.L, pm.R, pm.len, pm.ramps, 1.0f);
  // Sends of the voice's own sound.
  const CSound& sound = *pm.voice->sound;
  const CClip& clip = *pm.voice->clip;
  const size_t ns = std::min(sound.sends.size(), clip.sendLevels.size());
  for (size_t k = 0; k < ns; ++k) {
    const float lvl = clip.sendLevels[k];
    CComp* fx = sound.sends[k].effect.get();
    if (lvl == 0.0f || !fx || fx->audioIns.empty() || !fx->HasBuffers()) continue;
    const CAudioIn& in0 = *fx->audioIns[0];
    float* ins[2] = {fx->inCh[static_cast<size_t>(in0.firstChannel)],
                     fx->inCh[static_cast<size_t>(in0.firstChannel + (in0.channels > 1 ? 1 : 0))]};
    if (!ins[0] || !ins[1]) continue;
    float* at[2] = {ins[0] + pm.pos, ins[1] + pm.pos};
    MixRamps(at, in0.channels, pm.L, pm.R, pm.len, pm.ramps, lvl);
  }
}

void CSampler::RunSends(int frames) noexcept {
  if (sendList_.empty()) return;
  auto walk = [&](auto&& self, CSound& s) -> void {
    for (auto& send : s.sends) {
      CComp* fx = send.effect.get();
      if (!fx || fx->audioIns.empty() || !fx->HasBuffers() || audioOuts.empty()) continue;
      const uint8_t a = fx->audioInEnabled, m = fx->midiInEnabled;
      fx->audioInEnabled = 0;
      fx->midiInEnabled = 0;
      fx->Process(frames);
      fx->audioInEnabled = a;
      fx->midiInEnabled = m;
      if (fx->audioOuts.empty()) continue;
      const CAudioOut& o0 = *fx->audioOuts[0];
      const float* src[2] = {fx->outCh[static_cast<size_t>(o0.firstChannel)],
                             fx->outCh[static_cast<size_t>(o0.firstChannel + (o0.channels > 1 ? 1 : 0))]};
      const int out = std::clamp(send.output, 0, static_cast<int>(audioOuts.size()) - 1);
      const CAudioOut& port = *audioOuts[static_cast<size_t>(out)];
      MixChannels(&outCh[static_cast<size_t>(port.firstChannel)], port.channels, src, o0.channels, 1.0f,
                  frames);
    }
    for (auto& c : s.children)
      if (c->IsSound()) self(self, static_cast<CSound&>(*c));
  };
  for (auto& s : sounds) walk(walk, *s);
}

void CSampler::Process(int frames) noexcept {
  if (!BeginProcess(frames, true)) return;
  if (editing_.TryTake()) {
    ScopedFlushDenormals denormals;
    for (CComp* fx : sendList_) {
      fx->ResetForBlock(frames);
      if (fx->HasBuffers()) fx->ZeroInputs(frames);
    }
    int pos = 0;
    for (const MidiEvent& e : midiQueue) {
      if (e.kind != kMidiKindMessage) continue;
      const int at = std::clamp(static_cast<int>(e.time), pos, frames);
      RenderVoices(pos, at);
      pos = at;
      HandleMidi(e.msg);
    }
    RenderVoices(pos, frames);
    RunSends(frames);
    editing_.Release();
  }
  EndProcess(frames);
}

}  // namespace qr
