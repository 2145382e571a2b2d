// The sampler's records: the module block of projects and module files, and
// ".qrs" sound files (the samples one sound uses, then its "sound" block).
#include <algorithm>
#include <cmath>
#include <cstring>

#include "audio/OutputStrip.h"
#include "platform/Messages.h"
#include "sampler/Sampler.h"
#include "stream/RecordStream.h"

namespace qr {

namespace {

// Sub-sounds nest no deeper than this; a file that claims more has the deeper
// ones attached at this depth, so walking the tree never runs out of stack.
constexpr size_t kMaxDepth = 32;

void WriteMapping(CStream& s, const char* key, const std::array<int32_t, 4>& m) {
  s.WriteKey(key, 16);
  for (int32_t v : m) s.WriteInt(v);
}

void WriteEnvelope(CStream& s, const char* sustain_key, const char* key, const EnvelopeShape& e) {
  s.WriteKeyInt(sustain_key, e.sustain);
  s.WriteKey(key, 40);
  for (float v : e.v) s.WriteFloat(v);
}

void WriteModulator(CStream& s, const CModulator& m) {
  if (m.kind == CModulator::kGate) {
    const auto& g = static_cast<const CGate&>(m);
    const int steps = std::clamp(g.steps, 1, CGate::kMaxSteps);
    s.WriteKeyMarker("clipGate");
    s.WriteKeyString("gateId", g.name);
    s.WriteKeyInt("gateStepc", steps);
    s.WriteKeyInt("gateTicks", g.ticks);
    s.WriteKeyFloat("gateWBeat", g.widthBeats);
    s.WriteKey("gatePoints", steps * 8);
    for (int i = 0; i < steps; ++i) {
      const size_t k = static_cast<size_t>(i);
      s.WriteFloat(k < g.levels.size() ? g.levels[k] : 0.0f);
      s.WriteInt(k < g.flags.size() ? g.flags[k] : 0);
    }
    return;
  }
  // A random generator carries the common modulator settings (rate, loop and
  // ramp) in the envelope records behind its marker.
  s.WriteKeyMarker(m.kind == CModulator::kRandom ? "clipRnd" : "clipEnv");
  s.WriteKeyString("envId", m.name);
  s.WriteKeyFloat("envWBeat", m.widthBeats);
  s.WriteKeyInt("envSync", m.sync);
  s.WriteKeyInt("envLoop", m.loop);
  s.WriteKeyInt("envLeft", m.left);
  s.WriteKeyInt("envRight", m.right);
  s.WriteKeyInt("envUnit", m.unit);
  s.WriteKeyFloat("envHz", m.rateHz);
  s.WriteKeyFloat("envMul", m.multiplier);
  s.WriteKeyFloat("envDiv", m.divider);
  if (m.kind == CModulator::kFreehand) {
    const auto& f = static_cast<const CFreehand&>(m);
    s.WriteKey("envPoints", static_cast<int32_t>(f.points.size() * 12));
    for (const ModPoint& p : f.points) {
      s.WriteFloat(p.position);
      s.WriteFloat(p.value);
      s.WriteFloat(p.curve);
    }
  }
}

void WriteClip(CStream& s, const CClip& c, int32_t sample) {
  s.WriteKeyMarker("sourceClip");
  s.WriteKeyInt("clipSample", sample);
  s.WriteKeyInt("clipVoiceMode", c.voiceMode);
  s.WriteKeyInt("clipBus", c.bus);
  s.WriteKeyFloat("clipVol", c.volume);
  s.WriteKeyFloat("clipPan", c.pan);
  s.WriteKeyInt("clipPlayMode", c.playMode);
  s.WriteKeyInt("clipLeft", c.left);
  s.WriteKeyInt("clipRight", c.right);
  s.WriteKeyInt("clipLoop", c.loop);
  s.WriteKeyInt("clipLoopStart", c.loopStart);
  s.WriteKeyInt("clipLoopEnd", c.loopEnd);
  s.WriteKeyInt("clipOrgKey", c.rootKey);
  s.WriteKeyInt("clipCoarse", c.coarse);
  s.WriteKeyFloat("clipFine", c.fine);
  s.WriteKeyInt("clipGlide", c.glide);
  s.WriteKeyInt("clipBend", c.bend);
  s.WriteKeyInt("clipFilterMode", c.filterMode);
  s.WriteKeyFloat("clipBlend", c.blend);
  s.WriteKeyFloat("clipCutoff", c.cutoff);
  s.WriteKeyFloat("clipQ", c.q);
  s.WriteKeyFloat("clipDrive", c.drive);
  WriteMapping(s, "clipMapping", c.mapping);
  s.WriteKeyInt("clipUvcs", c.unisonVoices);
  s.WriteKeyFloat("clipUTune", c.unisonTune);
  s.WriteKeyFloat("clipUPan", c.unisonPan);
  s.WriteKeyInt("clipUDelay", c.unisonDelay);
  WriteEnvelope(s, "clipVolSustain", "clipVolEnv", c.volEnv);
  WriteEnvelope(s, "clipFilterSustain", "clipFilterEnv", c.filterEnv);
  s.WriteKeyInt("clipModi", c.selectedModulator);
  for (const auto& m : c.modulators) WriteModulator(s, *m);
  for (const CMod& r : c.routings) {
    s.WriteKeyMarker("clipMod");
    const std::string name = ModSourceName(r.source);
    s.WriteKey("modSource", static_cast<int32_t>(4 + name.size() + 4));
    s.WriteString(name);
    s.WriteInt(r.source == ModSourceKind::kCC || r.source >= ModSourceKind::kEnv ? r.sourceIndex : 0);
    s.WriteKeyInt("modDest", r.dest);
    s.WriteKeyFloat("modA", r.amount);
    s.WriteKeyFloat("modC", r.centre);
  }
  const size_t n = std::min<size_t>(c.sendLevels.size(), sampler_limits::kMaxSends);
  s.WriteKey("sendLevels", static_cast<int32_t>(n * 4));
  for (size_t i = 0; i < n; ++i) s.WriteFloat(c.sendLevels[i]);
  // Only banks mark classes: a clip without one keeps the records above alone.
  if (c.exclusiveClass != 0) s.WriteKeyInt("clipExclusive", c.exclusiveClass);
}

}  // namespace

void CSampler::SaveSound(const CSound& sound, CStream& s, bool, const std::vector<int32_t>* remap) const {
  auto mapped = [&](int32_t index) {
    if (!remap) return index;
    return index >= 0 && index < static_cast<int32_t>(remap->size()) ? (*remap)[static_cast<size_t>(index)]
                                                                     : -1;
  };
  s.WriteKeyInt("soundMode", sound.mode);
  s.WriteKeyInt("soundSample", mapped(sound.sample));
  s.WriteKeyInt("soundLeft", sound.left);
  s.WriteKeyInt("soundRight", sound.right);
  s.WriteKeyFloat("soundBpm", sound.bpm);
  s.WriteKeyFloat("soundBeats", sound.beats);
  s.WriteKeyInt("soundSliceRoot", sound.sliceRoot);
  s.WriteKeyFloat("soundVol", sound.volume);
  s.WriteKeyFloat("soundPan", sound.pan);
  s.WriteKeyFloat("soundCutoff", sound.cutoff);
  s.WriteKeyInt("soundExp", sound.exp);
  s.WriteKeyString("soundId", sound.name);
  WriteMapping(s, "soundMapping", sound.mapping);
  for (const CSoundSend& send : sound.sends) {
    if (!send.effect) continue;
    s.WriteKeyString("soundSend", send.effect->TypeKey());
    send.effect->Save(s);
    s.WriteEnd();
    s.WriteKeyInt("soundSendOut", send.output);
  }
  for (const auto& child : sound.children) {
    if (child->IsSound()) {
      s.WriteKeyMarker("subSound");
      SaveSound(static_cast<const CSound&>(*child), s, false, remap);
      s.WriteKeyMarker("subSoundEnd");
    } else {
      const auto& c = static_cast<const CClip&>(*child);
      WriteClip(s, c, mapped(c.sample));
    }
  }
}

void CSampler::Save(CStream& s) {
  CComp::Save(s);
  s.WriteKeyInt("multimode", multimode);
  s.WriteKeyInt("core", core);
  // Inside the sequencer the tracks own the effects chain; a sampler there
  // keeps only its strips.
  SaveOutputStrips(*this, s, !(parent && parent->TypeKey() == "CTracks"));
  for (const auto& smp : samples) {
    const int64_t at = s.BeginSized("sample");
    smp->SaveRecords(s);
    s.EndSized(at);
  }
  for (const auto& sound : sounds) {
    s.WriteKeyMarker("sound");
    SaveSound(*sound, s, true, nullptr);
  }
  s.WriteKeyMarker("bank");
  for (const auto& p : bank) {
    if (!p) continue;
    s.WriteKeyMarker("preset");
    s.WriteKeyString("presetId", p->name);
    for (const PresetEntry& e : p->entries) {
      s.WriteKeyInt("presetSound", e.sound);
      s.WriteKeyInt("presetSoundOn", e.on);
      s.WriteKeyInt("presetSoundCh", e.channel);
    }
  }
  s.WriteKeyInt("sourcei", selectedSource);
}

void CSampler::SaveSoundFile(const CSound& sound, CStream& s) const {
  // Only the samples the sound uses travel with it, renumbered in order of use.
  std::vector<int32_t> remap(samples.size(), -1);
  std::vector<int32_t> order;
  auto use = [&](int32_t i) {
    if (i >= 0 && i < static_cast<int32_t>(samples.size()) && remap[static_cast<size_t>(i)] < 0) {
      remap[static_cast<size_t>(i)] = static_cast<int32_t>(order.size());
      order.push_back(i);
    }
  };
  auto walk = [&](auto&& self, const CSound& snd) -> void {
    use(snd.sample);
    for (const auto& c : snd.children) {
      if (c->IsSound())
        self(self, static_cast<const CSound&>(*c));
      else
        use(static_cast<const CClip&>(*c).sample);
    }
  };
  walk(walk, sound);
  for (int32_t i : order) {
    const int64_t at = s.BeginSized("sample");
    samples[static_cast<size_t>(i)]->SaveRecords(s);
    s.EndSized(at);
  }
  s.WriteKeyMarker("sound");
  SaveSound(sound, s, true, &remap);
  s.WriteEnd();
}

// ---------------------------------------------------------------- reading

// Reads sampler records into lists of its own, so that a stream which turns
// out to be damaged can be dropped without touching the module.
class SamplerRecordReader {
 public:
  SamplerRecordReader(CSampler& owner, bool sound_file) : owner_(owner), soundFile_(sound_file) {}

  std::vector<std::unique_ptr<CSample>> samples;
  std::vector<std::unique_ptr<CSound>> sounds;
  std::vector<std::unique_ptr<Preset>> presets;
  int32_t multimode = 0, core = 0, sourcei = 0;
  bool sawBank = false;

  // Reads one record whose header was just read; false when it is not one of ours.
  bool Read(CStream& s, const std::string& key, int32_t size) {
    const int64_t end = s.Position() + size;
    bool handled = true;
    if (key == "sample") {
      auto smp = std::make_unique<CSample>();
      smp->LoadRecords(s, size);
      samples.push_back(std::move(smp));
      return true;
    }
    if (key == "soundSend") {
      ReadSend(s, size);
      return true;
    }
    if (key == "multimode" && !soundFile_) {
      Int(s, key, size, multimode);
    } else if (key == "core" && !soundFile_) {
      Int(s, key, size, core);
    } else if (key == "sourcei" && !soundFile_) {
      Int(s, key, size, sourcei);
    } else if (key == "sound") {
      sounds.push_back(std::make_unique<CSound>());
      stack_.assign(1, sounds.back().get());
      clip_ = nullptr;
    } else if (key == "subSound") {
      if (CSound* top = Top()) {
        auto* sub = static_cast<CSound*>(top->Add(std::make_unique<CSound>()));
        if (stack_.size() < kMaxDepth)
          stack_.push_back(sub);
        else
          depthOverflow_.push_back(sub);
        clip_ = nullptr;
      }
    } else if (key == "subSoundEnd") {
      if (!depthOverflow_.empty())
        depthOverflow_.pop_back();
      else if (stack_.size() > 1)
        stack_.pop_back();
      clip_ = nullptr;
    } else if (key.rfind("sound", 0) == 0) {
      handled = ReadSound(s, key, size);
    } else if (key == "sourceClip") {
      if (CSound* top = Top()) clip_ = static_cast<CClip*>(top->Add(std::make_unique<CClip>()));
      mod_ = nullptr;
      route_ = nullptr;
    } else if (key.rfind("clip", 0) == 0 || key.rfind("env", 0) == 0 || key.rfind("gate", 0) == 0 ||
               key.rfind("mod", 0) == 0 || key == "sendLevels") {
      handled = ReadClip(s, key, size);
    } else if (key == "bank" && !soundFile_) {
      sawBank = true;
    } else if (key == "preset" && !soundFile_) {
      if (presets.size() < sampler_limits::kPresets) presets.push_back(std::make_unique<Preset>());
      preset_ =
          presets.size() <= sampler_limits::kPresets && !presets.empty() ? presets.back().get() : nullptr;
    } else if (key == "presetId" && !soundFile_) {
      const std::string name = s.ReadString();
      if (preset_) preset_->name = name;
    } else if ((key == "presetSound" || key == "presetSoundOn" || key == "presetSoundCh") && !soundFile_) {
      int32_t v = 0;
      if (Int(s, key, size, v) && preset_) {
        if (key == "presetSound")
          preset_->entries.push_back(PresetEntry{v, 1, 0});
        else if (!preset_->entries.empty())
          (key == "presetSoundOn" ? preset_->entries.back().on : preset_->entries.back().channel) = v;
      }
    } else {
      handled = false;
    }
    if (handled && !s.Failed()) s.Seek(end);
    return handled;
  }

 private:
  CSound* Top() const {
    return !depthOverflow_.empty() ? depthOverflow_.back() : stack_.empty() ? nullptr : stack_.back();
  }

  void Report(const std::string& key, int32_t size) {
    ShowNotice("Sampler: error reading block '" + key + "' size " + std::to_string(size));
  }
  bool Int(CStream& s, const std::string& key, int32_t size, int32_t& out) {
    if (size != 4) return Report(key, size), false;
    out = s.ReadInt();
    return true;
  }
  bool Float(CStream& s, const std::string& key, int32_t size, float& out) {
    if (size != 4) return Report(key, size), false;
    const float v = s.ReadFloat();
    out = std::isfinite(v) ? v : 0.0f;
    return true;
  }
  bool Mapping(CStream& s, const std::string& key, int32_t size, std::array<int32_t, 4>& m) {
    if (size != 16) return Report(key, size), false;
    for (int32_t& v : m) v = s.ReadInt();
    return true;
  }
  bool Envelope(CStream& s, const std::string& key, int32_t size, EnvelopeShape& e) {
    if (size != 40) return Report(key, size), false;
    for (float& v : e.v) {
      v = s.ReadFloat();
      if (!std::isfinite(v)) v = 0.0f;
    }
    return true;
  }

  void ReadSend(CStream& s, int32_t size) {
    const int64_t end = s.Position() + size;
    const std::string type = s.ReadString();
    s.Seek(end);
    CSound* top = Top();
    const ModuleFactory factory = DefaultInsertFactory();
    std::unique_ptr<CComp> fx = factory ? factory(type, &owner_) : nullptr;
    if (fx) {
      fx->Load(s, 0);
    } else {
      std::string k;
      int32_t n = 0;
      while (s.NextRecord(k, n) && k != "CEnd") s.Skip(n);
    }
    if (top && top->sends.size() < sampler_limits::kMaxSends)
      top->sends.push_back(CSoundSend{std::move(fx), 0});
  }

  bool ReadSound(CStream& s, const std::string& key, int32_t size) {
    CSound* snd = Top();
    CSound dummy;
    CSound& d = snd ? *snd : dummy;
    if (key == "soundMode")
      Int(s, key, size, d.mode);
    else if (key == "soundSample")
      Int(s, key, size, d.sample), d.sample += d.sample >= 0 ? sampleBase_ : 0;
    else if (key == "soundLeft")
      Int(s, key, size, d.left);
    else if (key == "soundRight")
      Int(s, key, size, d.right);
    else if (key == "soundBpm")
      Float(s, key, size, d.bpm);
    else if (key == "soundBeats")
      Float(s, key, size, d.beats);
    else if (key == "soundSliceRoot")
      Int(s, key, size, d.sliceRoot);
    else if (key == "soundVol")
      Float(s, key, size, d.volume);
    else if (key == "soundPan")
      Float(s, key, size, d.pan);
    else if (key == "soundCutoff")
      Float(s, key, size, d.cutoff);
    else if (key == "soundExp")
      Int(s, key, size, d.exp);
    else if (key == "soundId")
      d.name = s.ReadString();
    else if (key == "soundMapping")
      Mapping(s, key, size, d.mapping);
    else if (key == "soundSendOut") {
      int32_t out = 0;
      if (Int(s, key, size, out) && !d.sends.empty()) d.sends.back().output = out;
    } else
      return false;
    return true;
  }

  bool ReadClip(CStream& s, const std::string& key, int32_t size) {
    CClip dummy;
    CClip& c = clip_ ? *clip_ : dummy;
    if (key == "clipSample") {
      if (Int(s, key, size, c.sample) && c.sample >= 0) c.sample += sampleBase_;
    } else if (key == "clipVoiceMode")
      Int(s, key, size, c.voiceMode);
    else if (key == "clipBus")
      Int(s, key, size, c.bus);
    else if (key == "clipVol")
      Float(s, key, size, c.volume);
    else if (key == "clipPan")
      Float(s, key, size, c.pan);
    else if (key == "clipPlayMode")
      Int(s, key, size, c.playMode);
    else if (key == "clipLeft")
      Int(s, key, size, c.left);
    else if (key == "clipRight")
      Int(s, key, size, c.right);
    else if (key == "clipLoop")
      Int(s, key, size, c.loop);
    else if (key == "clipLoopStart")
      Int(s, key, size, c.loopStart);
    else if (key == "clipLoopEnd")
      Int(s, key, size, c.loopEnd);
    else if (key == "clipOrgKey")
      Int(s, key, size, c.rootKey);
    else if (key == "clipCoarse")
      Int(s, key, size, c.coarse);
    else if (key == "clipFine")
      Float(s, key, size, c.fine);
    else if (key == "clipGlide")
      Int(s, key, size, c.glide);
    else if (key == "clipBend")
      Int(s, key, size, c.bend);
    else if (key == "clipFilterMode")
      Int(s, key, size, c.filterMode);
    else if (key == "clipBlend")
      Float(s, key, size, c.blend);
    else if (key == "clipCutoff")
      Float(s, key, size, c.cutoff);
    else if (key == "clipQ")
      Float(s, key, size, c.q);
    else if (key == "clipDrive")
      Float(s, key, size, c.drive);
    else if (key == "clipMapping")
      Mapping(s, key, size, c.mapping);
    else if (key == "clipUvcs")
      Int(s, key, size, c.unisonVoices);
    else if (key == "clipUTune")
      Float(s, key, size, c.unisonTune);
    else if (key == "clipUPan")
      Float(s, key, size, c.unisonPan);
    else if (key == "clipUDelay")
      Int(s, key, size, c.unisonDelay);
    else if (key == "clipVolSustain")
      Int(s, key, size, c.volEnv.sustain);
    else if (key == "clipVolEnv")
      Envelope(s, key, size, c.volEnv);
    else if (key == "clipFilterSustain")
      Int(s, key, size, c.filterEnv.sustain);
    else if (key == "clipFilterEnv")
      Envelope(s, key, size, c.filterEnv);
    else if (key == "clipModi")
      Int(s, key, size, c.selectedModulator);
    else if (key == "clipExclusive")
      Int(s, key, size, c.exclusiveClass);
    else if (key == "clipEnv" || key == "clipGate" || key == "clipRnd") {
      std::unique_ptr<CModulator> m;
      if (key == "clipEnv")
        m = std::make_unique<CFreehand>();
      else if (key == "clipGate")
        m = std::make_unique<CGate>();
      else
        m = std::make_unique<CRandom>();
      mod_ = m.get();
      c.modulators.push_back(std::move(m));
      if (!clip_) c.modulators.clear(), mod_ = nullptr;
    } else if (key == "clipMod") {
      c.routings.emplace_back();
      route_ = clip_ ? &c.routings.back() : nullptr;
    } else if (key.rfind("env", 0) == 0 || key.rfind("gate", 0) == 0) {
      return ReadModulator(s, key, size);
    } else if (key == "modSource") {
      const int64_t end = s.Position() + size;
      const std::string name = s.ReadString();
      int32_t index = 0;
      if (s.Position() + 4 <= end) index = s.ReadInt();
      if (route_) {
        route_->source = ModSourceFromName(name);
        route_->sourceIndex = index;
      }
    } else if (key == "modDest" || key == "modA" || key == "modC") {
      CMod dummyRoute;
      CMod& r = route_ ? *route_ : dummyRoute;
      if (key == "modDest")
        Int(s, key, size, r.dest);
      else
        Float(s, key, size, key == "modA" ? r.amount : r.centre);
    } else if (key == "sendLevels") {
      if (size < 0 || size % 4 != 0 || size / 4 > sampler_limits::kMaxSends) {
        Report(key, size);
      } else {
        c.sendLevels.resize(static_cast<size_t>(size / 4));
        for (float& v : c.sendLevels) {
          v = s.ReadFloat();
          if (!std::isfinite(v)) v = 0.0f;
        }
      }
    } else {
      return false;
    }
    return true;
  }

  bool ReadModulator(CStream& s, const std::string& key, int32_t size) {
    CFreehand dummy;
    CModulator& m = mod_ ? *mod_ : dummy;
    if (key == "envId" || key == "gateId")
      m.name = s.ReadString();
    else if (key == "envWBeat" || key == "gateWBeat")
      Float(s, key, size, m.widthBeats);
    else if (key == "envSync")
      Int(s, key, size, m.sync);
    else if (key == "envLoop")
      Int(s, key, size, m.loop);
    else if (key == "envLeft")
      Int(s, key, size, m.left);
    else if (key == "envRight")
      Int(s, key, size, m.right);
    else if (key == "envUnit")
      Int(s, key, size, m.unit);
    else if (key == "envHz")
      Float(s, key, size, m.rateHz);
    else if (key == "envMul")
      Float(s, key, size, m.multiplier);
    else if (key == "envDiv")
      Float(s, key, size, m.divider);
    else if (key == "envPoints") {
      if (size < 0 || size % 12 != 0) return Report(key, size), true;
      std::vector<ModPoint> pts(static_cast<size_t>(size / 12));
      for (ModPoint& p : pts) {
        p.position = s.ReadFloat();
        p.value = s.ReadFloat();
        p.curve = s.ReadFloat();
        if (!std::isfinite(p.position)) p.position = 0.0f;
        if (!std::isfinite(p.value)) p.value = 0.0f;
        if (!std::isfinite(p.curve)) p.curve = 0.0f;
      }
      // Points stay in time order whatever the file says.
      for (size_t i = 1; i < pts.size(); ++i)
        pts[i].position = std::max(pts[i].position, pts[i - 1].position);
      if (mod_ && mod_->kind == CModulator::kFreehand) static_cast<CFreehand*>(mod_)->points = std::move(pts);
    } else if (key == "gateStepc" || key == "gateTicks") {
      int32_t v = 0;
      if (Int(s, key, size, v) && mod_ && mod_->kind == CModulator::kGate) {
        auto* g = static_cast<CGate*>(mod_);
        (key == "gateStepc" ? g->steps : g->ticks) =
            key == "gateStepc" ? std::clamp(v, 1, CGate::kMaxSteps) : std::max(v, 1);
      }
    } else if (key == "gatePoints") {
      if (size < 0 || size % 8 != 0) return Report(key, size), true;
      const int n = std::min(size / 8, CGate::kMaxSteps);
      if (mod_ && mod_->kind == CModulator::kGate) {
        auto* g = static_cast<CGate*>(mod_);
        for (int i = 0; i < n; ++i) {
          const float level = s.ReadFloat();
          g->levels[static_cast<size_t>(i)] = std::isfinite(level) ? level : 0.0f;
          g->flags[static_cast<size_t>(i)] = s.ReadInt();
        }
      }
    } else {
      return false;
    }
    return true;
  }

 public:
  int32_t sampleBase_ = 0;  // sound files: their sample numbers follow the module's own

 private:
  CSampler& owner_;
  bool soundFile_;
  std::vector<CSound*> stack_;
  std::vector<CSound*> depthOverflow_;
  CClip* clip_ = nullptr;
  CModulator* mod_ = nullptr;
  CMod* route_ = nullptr;
  Preset* preset_ = nullptr;
};

void CSampler::Load(CStream& s, int) {
  SamplerRecordReader r(*this, false);
  OutputStripReader strips;
  std::string key;
  int32_t size = 0;
  while (s.NextRecord(key, size) && key != "CEnd") {
    if (LoadBaseRecord(s, key, size, false)) continue;
    if (strips.Read(*this, s, key, size)) continue;
    const int64_t end = s.Position() + size;
    if (!r.Read(s, key, size)) s.Seek(end);
  }
  BeginEdit();
  ReleaseAllVoices();
  multimode = r.multimode;
  core = r.core;
  selectedSource = r.sourcei;
  samples = std::move(r.samples);
  sounds = std::move(r.sounds);
  for (auto& p : bank) p.reset();
  for (size_t i = 0; i < r.presets.size() && i < bank.size(); ++i) bank[i] = std::move(r.presets[i]);
  program_.fill(0);
  ResetChannels();
  EndEdit();
  if (strips.Any()) strips.Apply(*this);
}

bool CSampler::LoadSoundFile(CStream& s) {
  SamplerRecordReader r(*this, true);
  r.sampleBase_ = static_cast<int32_t>(samples.size());
  std::string key;
  int32_t size = 0;
  bool ended = false;
  while (s.NextRecord(key, size)) {
    if (key == "CEnd") {
      ended = true;
      break;
    }
    const int64_t end = s.Position() + size;
    if (!r.Read(s, key, size)) s.Seek(end);
    if (r.sounds.size() > 1) break;
  }
  if (s.Failed() || r.sounds.size() != 1 || !ended) return false;
  BeginEdit();
  for (auto& smp : r.samples) samples.push_back(std::move(smp));
  sounds.push_back(std::move(r.sounds.front()));
  EndEdit();
  return true;
}

}  // namespace qr
