#include "midifx/Arp.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "platform/Messages.h"
#include "stream/RecordStream.h"

namespace qr {

// ---------------------------------------------------------------- pattern

CArpPattern::CArpPattern(bool with_lane) {
  // The mod wheel is as good a first lane as any; it sends nothing until edited.
  if (with_lane) lanes.emplace_back(1);
}

void CArpPattern::UpdateStepLengths(float sample_rate, float tempo) noexcept {
  float p = tempo > 0.0f ? sample_rate / (tempo * 4.0f) : 0.0f;
  if (!std::isfinite(p)) p = 0.0f;
  // Beyond +-3 one of the two steps would last no time or less than none.
  const float sw = std::clamp(swing, -3.0f, 3.0f);
  stepEven = p + 0.33f * p * sw;
  stepOdd = 2.0f * p - stepEven;
}

double CArpPattern::EvenPatternTick() const noexcept {
  // 240 pattern ticks to a beat: one is 4 of ours.
  return 4.0 * (1.0 + 0.33 * std::clamp(static_cast<double>(swing), -3.0, 3.0));
}

double CArpPattern::StepTicks(int swing_index) const noexcept {
  const double even = static_cast<double>(std::max(ticksPerStep, 1)) * EvenPatternTick();
  return swing_index ? 8.0 * std::max(ticksPerStep, 1) - even : even;
}

bool CArpPattern::Accepts(uint32_t msg) const noexcept {
  const auto ch = static_cast<int32_t>(midi::Channel(msg));
  const auto key = static_cast<int32_t>(midi::Data1(msg));
  const auto vel = static_cast<int32_t>(midi::Data2(msg));
  return (inChannel == -1 || inChannel == ch) && key >= keyLow && key <= keyHigh && vel >= velLow &&
         vel <= velHigh;
}

// ---------------------------------------------------------------- module

CArp::CArp(CContainer* parent) : CComp(parent) {
  id = "Arpeggiator";
  AddPattern();
}

CArpPattern& CArp::AddPattern() {
  patterns.push_back(std::make_unique<CArpPattern>());
  patterns.back()->UpdateStepLengths(sampleRate, tempo);
  return *patterns.back();
}

void CArp::SetSwing(CArpPattern& p, float swing) noexcept {
  p.swing = swing;
  p.UpdateStepLengths(sampleRate, tempo);
}

void CArp::SetSampleRate(float rate) {
  CComp::SetSampleRate(rate);
  for (auto& p : patterns) p->UpdateStepLengths(sampleRate, tempo);
}

void CArp::SetTempo(float bpm) {
  CComp::SetTempo(bpm);
  for (auto& p : patterns) p->UpdateStepLengths(sampleRate, tempo);
}

CArpPattern* CArp::PatternOrNull(int index) noexcept {
  return index >= 0 && index < PatternCount() ? patterns[static_cast<size_t>(index)].get() : nullptr;
}

CArpPattern* CArp::Pattern(int index) {
  if (CArpPattern* p = PatternOrNull(index)) return p;
  ShowNotice("Pattern out of range " + std::to_string(index) + " of " + std::to_string(PatternCount()));
  return nullptr;
}

int CArp::ActiveVoices() const noexcept {
  int n = 0;
  for (const ArpVoice& v : voices) n += v.active;
  return n;
}

void CArp::StartRecording() noexcept {
  recordStep = -1;
  recording = 1;
}

// ---------------------------------------------------------------- block

void CArp::ReleaseNotes(NoteOffSink& sink) noexcept {
  for (ArpVoice& v : voices) {
    v.notes.ReleaseAll([&](uint32_t off) { sink.NoteOff(0, off); });
    v.release = 0;
  }
}

CMIDIQ* CArp::MidiOutput(int port, int frames) noexcept {
  if (port != 0) return nullptr;
  if (done[0]) return &out_;
  done[0] = 1;
  out_.Clear();
  GatherMidi(frames);
  if (!editing_.TryTake()) return &out_;
  for (ArpVoice& v : voices) {
    if (v.release) {
      v.notes.ReleaseAll([&](uint32_t off) { Emit(off, 0); });
      v.release = 0;
    }
    v.walker.SetTempo(tempo, sampleRate);
  }
  const int n = midiQueue.Count();
  const int last = std::max(frames - 1, 0);
  auto sampleOf = [&](int i) { return std::clamp(static_cast<int>(midiQueue[i].time), 0, last); };
  int ev = 0;
  int pos = 0;
  // Sample by sample, input events come before the voices; between input
  // events the voices jump from one sample in which something happens to the next.
  while (pos < frames) {
    while (ev < n && sampleOf(ev) <= pos) HandleInput(midiQueue[ev++], pos);
    const int next = ev < n ? sampleOf(ev) : frames;
    RunVoices(pos, next);
    pos = next;
  }
  for (ArpVoice& v : voices) v.walker.Advance(frames);
  editing_.Release();
  return &out_;
}

namespace {

// A string record whose size may claim more (or less) than the string.
std::string ReadStringRecord(CStream& s, int32_t size) {
  if (size < 4) {
    s.Skip(size);
    return {};
  }
  const int64_t end = s.Position() + size;
  std::string text = s.ReadString();
  if (s.Position() < end) s.Seek(end);
  return text;
}

}  // namespace

void CArp::RunVoices(int from, int to) noexcept {
  // Jump to the next sample in which any voice reaches a step or an off
  // position, and run that sample for every voice in order, on side first, as
  // a sample-by-sample loop would: the output stays in time order. A voice
  // moves at most one step on each side per sample.
  auto due = [](const ArpVoice& v, double tick) { return v.walker.SampleOf(tick); };
  int64_t s = from;
  while (s < to) {
    int64_t t = to;
    for (const ArpVoice& v : voices)
      if (v.active) t = std::min({t, due(v, v.nextOn), due(v, v.nextOff)});
    if (t >= to) return;
    t = std::max(t, s);
    const int at = static_cast<int>(t);
    for (ArpVoice& v : voices) {
      if (!v.active) continue;
      if (due(v, v.nextOn) <= t) OnStep(v, at);
      if (v.active && due(v, v.nextOff) <= t) OffStep(v, at);
    }
    s = t + 1;
  }
}

void CArp::OnStep(ArpVoice& v, int at) noexcept {
  const CArpPattern& p = *v.pattern;
  v.onSwing ^= 1;
  v.nextOn += p.StepTicks(v.onSwing);
  if (++v.onStep >= v.steps) {
    v.onStep = 0;
    if (v.pendingKey >= 0) {
      v.key = v.pendingKey;
      v.pendingKey = -1;
    }
    if (playMode == kOneShot) {
      StopVoice(v, at);
      return;
    }
  }
  Sound(v, at);
}

void CArp::OffStep(ArpVoice& v, int at) noexcept {
  const CArpPattern& p = *v.pattern;
  v.offSwing ^= 1;
  v.nextOff += p.StepTicks(v.offSwing);
  if (++v.offStep >= v.steps) v.offStep = 0;
  const uint32_t status = 0x90u | static_cast<uint32_t>(v.outChannel & 15);
  for (int o = -CArpPattern::kRange; o <= CArpPattern::kRange; ++o) {
    if (!(p.Cell(v.offStep, o) & CArpPattern::kOffBit)) continue;
    const auto q = static_cast<size_t>((v.key + o + v.root) & 127);
    const uint8_t k = v.offMap[q];
    v.offMap[q] = static_cast<uint8_t>(q);
    const uint32_t off = midi::Make(status, k, 0);
    Emit(off, at);
    v.notes.Note(off);
  }
}

void CArp::Sound(ArpVoice& v, int at) noexcept {
  const CArpPattern& p = *v.pattern;
  const auto ch = static_cast<uint32_t>(v.outChannel & 15);
  for (const CArpCC& lane : p.lanes) {
    const int16_t val = lane.values[static_cast<size_t>(v.onStep)];
    if (val >= 0)
      Emit(midi::Make(0xB0u | ch, static_cast<uint32_t>(lane.controller & 127),
                      static_cast<uint32_t>(val & 127)),
           at);
  }
  for (int o = -CArpPattern::kRange; o <= CArpPattern::kRange; ++o) {
    const uint8_t vel = p.Cell(v.onStep, o) & 0x7F;
    if (!vel) continue;
    const auto q = static_cast<uint32_t>((v.key + o + v.root) & 127);
    const uint32_t on = midi::Make(0x90u | ch, q, vel);
    v.notes.Note(on);
    Emit(on, at);
  }
}

void CArp::StopVoice(ArpVoice& v, int at) noexcept {
  v.active = 0;
  v.notes.ReleaseAll([&](uint32_t off) { Emit(off, at); });
}

void CArp::Retune(ArpVoice& v, int new_key) noexcept {
  // Each sounding note must end where its off bit now falls, on the key that
  // really sounds. Positions moved by an earlier retune move again, so notes
  // survive several key changes.
  const int d = v.key - new_key;
  auto sounding = [&](int k) { return v.notes.Count(v.outChannel, k) > 0; };
  std::array<uint8_t, 128> moved;
  std::array<bool, 128> placed{};
  for (int q = 0; q < 128; ++q) moved[static_cast<size_t>(q)] = static_cast<uint8_t>(q);
  for (int q = 0; q < 128; ++q) {
    const uint8_t k = v.offMap[static_cast<size_t>(q)];
    if (k != q && sounding(k)) {
      moved[static_cast<size_t>((q - d) & 127)] = k;
      placed[k] = true;
    }
  }
  for (int k = 0; k < 128; ++k)
    if (sounding(k) && !placed[static_cast<size_t>(k)])
      moved[static_cast<size_t>((k - d) & 127)] = static_cast<uint8_t>(k);
  v.offMap = moved;
  v.key = new_key;
}

void CArp::StartVoice(const CArpPattern& p, uint32_t msg, const ArpVoice* sync, int at) noexcept {
  ArpVoice* v = nullptr;
  for (ArpVoice& c : voices)
    if (!c.active) {
      v = &c;
      break;
    }
  if (!v) return;
  const auto ch = static_cast<int32_t>(midi::Channel(msg));
  v->active = 1;
  v->pattern = &p;
  v->inChannel = ch;
  v->outChannel = p.outChannel == -1 ? ch : p.outChannel;
  v->root = p.transpose;
  v->key = static_cast<int32_t>(midi::Data1(msg));
  v->pendingKey = -1;
  v->steps = std::clamp(p.steps, 1, CArpPattern::kSteps);
  if (sync) {
    v->onStep = sync->onStep;
    v->onSwing = sync->onSwing;
    v->offStep = sync->offStep;
    v->offSwing = sync->offSwing;
    v->walker = sync->walker;
    v->nextOn = sync->nextOn;
    v->nextOff = sync->nextOff;
  } else {
    v->onStep = 0;
    v->onSwing = 0;
    v->offStep = -1;
    v->offSwing = 0;
    v->walker.SetTempo(tempo, sampleRate);
    v->walker.Locate(0.0, at);
    // The off side runs one pattern tick ahead of the on side.
    v->nextOn = p.StepTicks(0);
    v->nextOff = v->nextOn - p.EvenPatternTick();
  }
  v->onStep = std::min(v->onStep, v->steps - 1);
  v->offStep = std::min(v->offStep, v->steps - 1);
  v->notes.Forget();
  for (int k = 0; k < 128; ++k) v->offMap[static_cast<size_t>(k)] = static_cast<uint8_t>(k);
  if (v->onStep == 0) Sound(*v, at);
}

void CArp::NoteOn(uint32_t msg, int at) noexcept {
  const auto key = static_cast<int32_t>(midi::Data1(msg));
  for (const auto& pp : patterns) {
    const CArpPattern& p = *pp;
    if (!p.Accepts(msg)) continue;
    ArpVoice* playing = nullptr;
    for (ArpVoice& v : voices)
      if (v.active && v.pattern == &p) {
        playing = &v;
        break;
      }
    if (playing && trigger == kMono) {
      Retune(*playing, key);
    } else if (playing && trigger == kHold) {
      playing->pendingKey = key;
    } else {
      StartVoice(p, msg, playing && trigger == kSync ? playing : nullptr, at);
    }
  }
}

void CArp::Record(uint32_t msg) noexcept {
  CArpPattern* p = PatternOrNull(currentPattern);
  if (!p || !midi::IsNoteOn(msg)) return;
  const auto key = static_cast<int32_t>(midi::Data1(msg));
  if (recordStep < 0) {
    recordRoot = key;
    p->ClearGrid();
    recordStep = 0;
    return;
  }
  // Keys beyond three octaves of the root have no row; they are not recorded
  // and do not use up a step.
  const int off = key - recordRoot;
  if (off < -CArpPattern::kRange || off > CArpPattern::kRange) return;
  if (recordStep < CArpPattern::kSteps)
    p->Cell(recordStep, off) = static_cast<uint8_t>(midi::Data2(msg) | CArpPattern::kOffBit);
  if (++recordStep >= std::clamp(p->steps, 1, CArpPattern::kSteps)) recording = 0;
}

void CArp::HandleInput(const MidiEvent& e, int at) noexcept {
  if (recording) return Record(e.msg);
  if (midi::IsNoteOn(e.msg)) {
    NoteOn(e.msg, at);
  } else if (midi::IsNoteOff(e.msg)) {
    const auto key = static_cast<int32_t>(midi::Data1(e.msg));
    const auto ch = static_cast<int32_t>(midi::Channel(e.msg));
    for (ArpVoice& v : voices)
      if (v.active && v.key == key && v.inChannel == ch) StopVoice(v, at);
  } else if (midi::IsController(e.msg)) {
    const uint32_t cc = midi::Data1(e.msg);
    if (cc == 123 || cc == 120)
      for (ArpVoice& v : voices)
        if (v.active) StopVoice(v, at);
    out_.Push(e.msg, e.kind, e.value, static_cast<float>(at));
  }
}

// ---------------------------------------------------------------- randomiser

void CArp::CaptureRandomSource() {
  randomSource.clear();
  const CArpPattern* p = PatternOrNull(currentPattern);
  if (!p) return;
  const int steps = std::clamp(p->steps, 1, CArpPattern::kSteps);
  for (int s = 0; s < steps; ++s)
    for (int o = -CArpPattern::kRange; o <= CArpPattern::kRange; ++o) {
      const int vel = p->Cell(s, o) & 0x7F;
      if (!vel) continue;
      for (int e = s; e < CArpPattern::kSteps; ++e)
        if (p->Cell(e, o) & CArpPattern::kOffBit) {
          randomSource.push_back({s, o, vel, e - s});
          break;
        }
    }
}

void CArp::Randomize(const ArpRandomSettings& st) {
  CArpPattern* p = PatternOrNull(currentPattern);
  if (!p) return;
  if (randomSource.empty()) CaptureRandomSource();
  if (randomSource.empty()) return;
  const auto count = static_cast<int32_t>(randomSource.size());
  auto octave = [&](int off) {
    if (st.oct) {
      const bool up = random_.Next(2) == 0;
      const int amount = 12 * random_.Next(std::max(st.octRange, 0) + 1);
      off += up ? amount : -amount;
    }
    while (off > CArpPattern::kRange) off -= 12;
    while (off < -CArpPattern::kRange) off += 12;
    return off;
  };
  auto velocity = [&](int own) {
    const int v = st.velo ? st.veloMin + random_.Next(st.veloMax - st.veloMin + 1) : own;
    return static_cast<uint8_t>(std::clamp(v, 0, 127));
  };
  p->ClearGrid();
  const int steps = std::clamp(p->steps, 1, CArpPattern::kSteps);
  if (!st.steps) {
    for (const CNote& n : randomSource) {
      int off = st.notes ? randomSource[static_cast<size_t>(random_.Next(count))].offset : n.offset;
      off = octave(off);
      const uint8_t vel = velocity(n.velocity);
      p->Cell(n.step, off) = vel;
      if (n.step + n.length < CArpPattern::kSteps) p->Cell(n.step + n.length, off) |= CArpPattern::kOffBit;
    }
    return;
  }
  for (int s = 0; s < steps; ++s) {
    if (random_.Next(100) >= st.stepsRate) continue;
    const CNote& n = randomSource[static_cast<size_t>(random_.Next(count))];
    const int off = octave(n.offset);
    const uint8_t vel = velocity(n.velocity);
    if (s + n.length >= steps) continue;
    bool empty = true;
    for (int e = s; e <= s + n.length && empty; ++e) empty = p->Cell(e, off) == 0;
    if (!empty) continue;
    p->Cell(s, off) = vel;
    p->Cell(s + n.length, off) |= CArpPattern::kOffBit;
  }
}

void CArp::RandomizeFromSettings() { Randomize(ReadArpRandom(CSettings())); }

// ---------------------------------------------------------------- records

void CArp::Save(CStream& s) {
  CComp::Save(s);
  s.WriteKeyInt("Trigger", trigger);
  s.WriteKeyInt("Mode", playMode);
  for (const auto& pp : patterns) {
    const CArpPattern& p = *pp;
    const int steps = std::clamp(p.steps, 1, CArpPattern::kSteps);
    s.WriteKeyMarker("Pat");
    s.WriteKeyString("PatName", p.name);
    s.WriteKeyInt("PatSteps", p.steps);
    s.WriteKey("PatMChs", 8);
    s.WriteInt(p.inChannel);
    s.WriteInt(p.outChannel);
    s.WriteKey("PatKeyRng", 8);
    s.WriteInt(p.keyLow);
    s.WriteInt(p.keyHigh);
    // This record has always said 4 and carried 8 bytes; readers take two
    // values, and files written elsewhere depend on it staying that way.
    s.WriteKey("PatVelRng", 4);
    s.WriteInt(p.velLow);
    s.WriteInt(p.velHigh);
    s.WriteKeyInt("PatTransp", p.transpose);
    s.WriteKeyFloat("PatQ", p.swing);
    s.WriteKeyInt("PatTicks", p.ticksPerStep);
    for (int st = 0; st < steps; ++st)
      for (int o = -CArpPattern::kRange; o <= CArpPattern::kRange; ++o) {
        const uint8_t c = p.Cell(st, o);
        if (!c) continue;
        s.WriteKey("PatNote", 12);
        s.WriteInt(st);
        s.WriteInt(o);
        s.WriteInt(c);
      }
    for (const CArpCC& lane : p.lanes) {
      s.WriteKeyInt("PatCC", lane.controller);
      for (int st = 0; st < steps; ++st) {
        const int16_t v = lane.values[static_cast<size_t>(st)];
        if (v <= -1) continue;
        s.WriteKey("PatCCVal", 8);
        s.WriteInt(st);
        s.WriteInt(v);
      }
    }
  }
}

void CArp::Load(CStream& s, int) {
  editing_.Take();
  // Voices point into the patterns about to be replaced: they stop, and the
  // notes they hold end at the next block.
  for (ArpVoice& v : voices) {
    if (v.active && v.notes.Any()) v.release = 1;
    v.active = 0;
    v.pattern = nullptr;
  }
  recording = 0;
  patterns.clear();
  randomSource.clear();
  std::string key;
  int32_t size = 0;
  CArpPattern* p = nullptr;
  auto readInt = [&](int32_t& v) {
    if (size < 4) return void(s.Skip(size));
    v = s.ReadInt();
    s.Skip(size - 4);
  };
  auto readPair = [&](int32_t& a, int32_t& b) {
    if (size < 8) return void(s.Skip(size));
    a = s.ReadInt();
    b = s.ReadInt();
    s.Skip(size - 8);
  };
  while (s.NextRecord(key, size) && key != "CEnd") {
    if (LoadBaseRecord(s, key, size, false)) continue;
    if (key == "Trigger") {
      readInt(trigger);
    } else if (key == "Mode") {
      readInt(playMode);
    } else if (key == "Pat") {
      patterns.push_back(std::make_unique<CArpPattern>(false));
      p = patterns.back().get();
      s.Skip(size);
    } else if (!p) {
      s.Skip(size);
    } else if (key == "PatName") {
      p->name = ReadStringRecord(s, size);
    } else if (key == "PatSteps") {
      readInt(p->steps);
      p->steps = std::clamp(p->steps, 1, CArpPattern::kSteps);
    } else if (key == "PatMChs") {
      readPair(p->inChannel, p->outChannel);
    } else if (key == "PatKeyRng") {
      readPair(p->keyLow, p->keyHigh);
    } else if (key == "PatVelRng") {
      // Two values whatever the size field says (it says 4).
      p->velLow = s.ReadInt();
      p->velHigh = s.ReadInt();
    } else if (key == "PatTransp") {
      readInt(p->transpose);
    } else if (key == "PatQ") {
      if (size >= 4) {
        const float q = s.ReadFloat();
        p->swing = std::isfinite(q) ? q : 0.0f;
      }
      s.Skip(std::max(size - 4, 0));
    } else if (key == "PatTicks") {
      readInt(p->ticksPerStep);
      p->ticksPerStep = std::max(p->ticksPerStep, 1);
    } else if (key == "PatNote") {
      if (size < 12) {
        s.Skip(size);
        continue;
      }
      const int32_t st = s.ReadInt(), o = s.ReadInt(), c = s.ReadInt();
      s.Skip(size - 12);
      if (st >= 0 && st < CArpPattern::kSteps && o >= -CArpPattern::kRange && o <= CArpPattern::kRange)
        p->Cell(st, o) = static_cast<uint8_t>(c);
    } else if (key == "PatCC") {
      int32_t number = 0;
      readInt(number);
      p->lanes.emplace_back(number & 127);
    } else if (key == "PatCCVal") {
      int32_t st = -1, v = -1;
      readPair(st, v);
      if (!p->lanes.empty() && st >= 0 && st < CArpPattern::kSteps)
        p->lanes.back().values[static_cast<size_t>(st)] = static_cast<int16_t>(std::clamp(v, -1, 127));
    } else {
      s.Skip(size);
    }
  }
  if (patterns.empty()) patterns.push_back(std::make_unique<CArpPattern>());
  for (auto& pat : patterns) pat->UpdateStepLengths(sampleRate, tempo);
  currentPattern = std::clamp(currentPattern, 0, PatternCount() - 1);
  editing_.Release();
}

}  // namespace qr
