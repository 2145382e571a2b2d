#include "audio/AudioPart.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

#include "audio/OutputStrip.h"
#include "platform/Messages.h"
#include "stream/RecordStream.h"

namespace qr {

namespace {

constexpr int kMaxLinkDepth = 16;

// Reads the value of a fixed-size record; a record of another size leaves the
// value as it was.
void ReadRecordInt(CStream& s, int32_t size, int32_t& v) {
  if (size == 4) v = s.ReadInt();
}
void ReadRecordFloat(CStream& s, int32_t size, float& v) {
  if (size != 4) return;
  const float x = s.ReadFloat();
  if (std::isfinite(x)) v = x;
}

std::unique_ptr<CAudioClip> CopyList(const CAudioClip* c) {
  std::unique_ptr<CAudioClip> head;
  std::unique_ptr<CAudioClip>* tail = &head;
  for (; c; c = c->next.get()) {
    *tail = c->CopyClip();
    tail = &(*tail)->next;
  }
  return head;
}

// Long lists are released one node at a time, not by recursion.
void ReleaseList(std::unique_ptr<CAudioClip>& head) {
  while (head) head = std::move(head->next);
}

}  // namespace

// ---------------------------------------------------------------- clips

void CAudioClip::AddRampPoint(float position, float value) {
  if (!(position >= 0.0f)) position = 0.0f;
  auto at = std::upper_bound(ramp.begin(), ramp.end(), position,
                             [](float p, const CRampPoint& r) { return p < r.position; });
  ramp.insert(at, CRampPoint{position, value});
}

std::unique_ptr<CAudioClip> CAudioClip::CopyClip() const {
  auto c = std::make_unique<CAudioClip>();
  c->delta = delta;
  c->style = style;
  c->sample = sample;
  c->channel = channel;
  c->first = first;
  c->last = last;
  c->fadeIn = fadeIn;
  c->fadeOut = fadeOut;
  c->coarse = coarse;
  c->fine = fine;
  c->volume = volume;
  c->pan = pan;
  c->ramp = ramp;
  return c;
}

// ---------------------------------------------------------------- CAudioPart3

CAudioPart3::CAudioPart3() {
  name = "Untitled";
  length = kNewLength;
}

CAudioPart3::~CAudioPart3() { ReleaseList(clips); }

CAudioPart3& CAudioPart3::Content() {
  CAudioPart3* p = this;
  for (int d = 0; d < kMaxLinkDepth && p->link && p->link != p; ++d) p = p->link;
  return *p;
}

const CAudioPart3& CAudioPart3::Content() const { return const_cast<CAudioPart3*>(this)->Content(); }

CAudioClip* CAudioPart3::ClipHead() const { return Content().clips.get(); }

void CAudioPart3::SetClipHead(std::unique_ptr<CAudioClip> head) {
  CAudioPart3& c = Content();
  ReleaseList(c.clips);
  c.clips = std::move(head);
}

void CAudioPart3::SwapContent(CAudioPart3& other) {
  std::swap(clips, other.clips);
  std::swap(lanes, other.lanes);
}

std::vector<std::unique_ptr<CLane>>& CAudioPart3::Lanes() { return Content().lanes; }
const std::vector<std::unique_ptr<CLane>>& CAudioPart3::Lanes() const { return Content().lanes; }

void CAudioPart3::CopyInto(CAudioPart3& to) const {
  static_cast<CPart&>(to) = static_cast<const CPart&>(*this);
  to.link = link;
  to.lanes.clear();
  for (const auto& l : Lanes()) to.lanes.push_back(std::make_unique<CLane>(*l));
  ReleaseList(to.clips);
  to.clips = CopyList(ClipHead());
}

std::unique_ptr<CPart> CAudioPart3::Copy() const {
  auto p = std::make_unique<CAudioPart3>();
  CopyInto(*p);
  return p;
}

std::unique_ptr<CPart> CAudioPart3::NewInstance() const {
  auto p = std::make_unique<CAudioPart3>();
  p->link = link;
  p->name = name;
  return p;
}

bool CAudioPart3::Assign(const CPart& other) {
  const auto* o = dynamic_cast<const CAudioPart3*>(&other);
  if (!o) return false;
  if (o != this) o->CopyInto(*this);
  return true;
}

CAudioClip& CAudioPart3::AppendClip(int32_t start) {
  CAudioPart3& c = Content();
  std::unique_ptr<CAudioClip>* tail = &c.clips;
  int64_t at = 0;
  while (*tail) {
    at += (*tail)->delta;
    tail = &(*tail)->next;
  }
  *tail = std::make_unique<CAudioClip>();
  (*tail)->delta = static_cast<int32_t>(std::clamp<int64_t>(start - at, INT32_MIN, INT32_MAX));
  return **tail;
}

CLane& CAudioPart3::AddLane(int32_t bus) {
  auto& l = Lanes();
  l.push_back(std::make_unique<CLane>());
  l.back()->bus = bus;
  return *l.back();
}

void CAudioPart3::SaveRecords(CStream& s) const {
  s.WriteKeyMarker("APartPart");
  s.WriteKeyString("APartPartName", name);
  s.WriteKeyInt("APartPartBeats", length / 960);
  s.WriteKeyInt("APartPartTicks", length);
  int64_t start = 0;
  for (const CAudioClip* c = ClipHead(); c; c = c->next.get()) {
    start += c->delta;
    s.WriteKeyMarker("APartClip");
    s.WriteKeyInt("APartClipSmp", c->sample);
    s.WriteKeyInt("APartClipCh", c->channel);
    s.WriteKeyInt("APartClipDelta", c->delta);
    s.WriteKeyInt("APartClipStart", static_cast<int32_t>(std::clamp<int64_t>(start, INT32_MIN, INT32_MAX)));
    s.WriteKeyInt("APartClipFirst", c->first);
    s.WriteKeyInt("APartClipLast", c->last);
    s.WriteKeyInt("APartClipStyle", c->style);
    s.WriteKeyInt("APartClipFaIn", c->fadeIn);
    s.WriteKeyInt("APartClipFaOut", c->fadeOut);
    s.WriteKeyInt("APartClipCoarse", c->coarse);
    s.WriteKeyFloat("APartClipFine", c->fine);
    s.WriteKeyFloat("APartClipVol", c->volume);
    s.WriteKeyFloat("APartClipPan", c->pan);
    for (const CRampPoint& r : c->ramp) {
      s.WriteKey("APartClipVolRamp", 8);
      s.WriteFloat(r.position);
      s.WriteFloat(r.value);
    }
  }
  for (const auto& l : Lanes()) {
    s.WriteKeyMarker("APartCh");
    s.WriteKeyInt("APartChBus", l->bus);
    s.WriteKeyFloat("APartChVol", l->strip.volume);
    s.WriteKeyFloat("APartChPan", l->strip.pan);
    s.WriteKeyInt("APartChMute", l->strip.mute);
    s.WriteKeyInt("APartChSolo", l->strip.solo);
  }
}

bool CAudioPart3::LoadRecord(CStream& s, const std::string& key, int32_t size) {
  const int64_t record_end = s.Position() + size;
  const bool clip_key = key.rfind("APartClip", 0) == 0;
  const bool lane_key = !clip_key && key.rfind("APartCh", 0) == 0;
  if (key == "APartPartName") {
    name = s.ReadString();
  } else if (key == "APartPartBeats") {
    int32_t beats = 0;
    ReadRecordInt(s, size, beats);
    if (size == 4)
      length = static_cast<int32_t>(std::clamp<int64_t>(int64_t{beats} * 960, INT32_MIN, INT32_MAX));
  } else if (key == "APartPartTicks") {
    ReadRecordInt(s, size, length);
  } else if (key == "APartClip") {
    auto c = std::make_unique<CAudioClip>();
    CAudioClip* raw = c.get();
    if (loadTail_) {
      loadTail_->next = std::move(c);
    } else {
      std::unique_ptr<CAudioClip>* tail = &clips;
      while (*tail) tail = &(*tail)->next;
      *tail = std::move(c);
    }
    loadTail_ = raw;
    loadStarts_.emplace_back();
  } else if (clip_key) {
    if (CAudioClip* c = loadTail_) {
      LoadedStart& ls = loadStarts_.back();
      if (key == "APartClipSmp")
        ReadRecordInt(s, size, c->sample);
      else if (key == "APartClipCh")
        ReadRecordInt(s, size, c->channel);
      else if (key == "APartClipDelta")
        ls.hasDelta = size == 4, ReadRecordInt(s, size, c->delta);
      else if (key == "APartClipStart")
        ls.hasStart = size == 4, ReadRecordInt(s, size, ls.start);
      else if (key == "APartClipFirst")
        ReadRecordInt(s, size, c->first);
      else if (key == "APartClipLast")
        ReadRecordInt(s, size, c->last);
      else if (key == "APartClipStyle")
        ReadRecordInt(s, size, c->style);
      else if (key == "APartClipFaIn")
        ReadRecordInt(s, size, c->fadeIn);
      else if (key == "APartClipFaOut")
        ReadRecordInt(s, size, c->fadeOut);
      else if (key == "APartClipCoarse")
        ReadRecordInt(s, size, c->coarse);
      else if (key == "APartClipFine")
        ReadRecordFloat(s, size, c->fine);
      else if (key == "APartClipVol")
        ReadRecordFloat(s, size, c->volume);
      else if (key == "APartClipPan")
        ReadRecordFloat(s, size, c->pan);
      else if (key == "APartClipVolRamp" && size == 8) {
        CRampPoint r;
        r.position = s.ReadFloat();
        r.value = s.ReadFloat();
        if (!(r.position >= 0.0f) || !std::isfinite(r.position)) r.position = 0.0f;
        if (!std::isfinite(r.value)) r.value = 1.0f;
        c->ramp.push_back(r);
      }
    }
  } else if (key == "APartCh") {
    lanes.push_back(std::make_unique<CLane>());
  } else if (lane_key) {
    if (!lanes.empty()) {
      CLane& l = *lanes.back();
      if (key == "APartChBus")
        ReadRecordInt(s, size, l.bus);
      else if (key == "APartChVol")
        ReadRecordFloat(s, size, l.strip.volume);
      else if (key == "APartChPan")
        ReadRecordFloat(s, size, l.strip.pan);
      else if (key == "APartChMute")
        ReadRecordInt(s, size, l.strip.mute);
      else if (key == "APartChSolo")
        ReadRecordInt(s, size, l.strip.solo);
    }
  } else {
    return false;
  }
  s.Seek(record_end);
  return true;
}

void CAudioPart3::FinishLoad() {
  // A clip that carries only its absolute start gets the delta from it.
  int64_t prev = 0;
  size_t k = 0;
  for (CAudioClip* c = clips.get(); c; c = c->next.get(), ++k) {
    if (k < loadStarts_.size() && !loadStarts_[k].hasDelta && loadStarts_[k].hasStart)
      c->delta = static_cast<int32_t>(std::clamp<int64_t>(loadStarts_[k].start - prev, INT32_MIN, INT32_MAX));
    prev += c->delta;
  }
  loadTail_ = nullptr;
  loadStarts_.clear();
}

// ---------------------------------------------------------------- CLiveAudioPart

std::unique_ptr<CPart> CLiveAudioPart::Copy() const {
  auto p = std::make_unique<CLiveAudioPart>();
  CopyInto(*p);
  return p;
}

std::unique_ptr<CPart> CLiveAudioPart::NewInstance() const {
  auto p = std::make_unique<CLiveAudioPart>();
  p->link = link;
  p->name = name;
  return p;
}

// ---------------------------------------------------------------- CAudioPart2

CAudioPart2::CAudioPart2(CContainer* parent_container) : CPartComp(parent_container) {
  id = "Audio Part";
  AddAudioOut(2);
  player_.SetOutputRate(sampleRate);
  player_.SetBlockSize(blockSize);
}

CAudioPart2::~CAudioPart2() = default;

void CAudioPart2::SetBlockSize(int frames) {
  CPartComp::SetBlockSize(frames);
  player_.SetBlockSize(frames);
}

void CAudioPart2::SetSampleRate(float rate) {
  CPartComp::SetSampleRate(rate);
  player_.SetOutputRate(rate);
}

std::string CAudioPart2::PartName(int index) const {
  return index >= 0 && index < PartCount() ? parts[static_cast<size_t>(index)]->name : std::string();
}

CLiveAudioPart& CAudioPart2::NewPart() {
  parts.push_back(std::make_unique<CLiveAudioPart>());
  return *parts.back();
}

void* CAudioPart2::AddPart() { return &NewPart(); }

void* CAudioPart2::PartAt(int index) const {
  return index >= 0 && index < PartCount() ? parts[static_cast<size_t>(index)].get() : nullptr;
}

void CAudioPart2::DeletePart(void* part) {
  auto it = std::find_if(parts.begin(), parts.end(), [&](const auto& p) { return p.get() == part; });
  if (it == parts.end()) return;
  FreeSlotsOf(it->get());
  parts.erase(it);
}

void CAudioPart2::PlayPart(void* part) {
  for (auto& p : parts)
    if (p.get() == part) StartPart(*p, -1);
}

void CAudioPart2::StopPart(void* part) {
  for (auto& p : parts)
    if (p.get() == part) {
      p->playing = p->running = 0;
      FreeSlotsOf(p.get());
    }
}

bool CAudioPart2::IsPlaying(void* part) const {
  for (const auto& p : parts)
    if (p.get() == part) return p->playing != 0;
  return false;
}

void CAudioPart2::StopAll() {
  for (auto& p : parts) p->playing = p->running = 0;
  player_.StopAll();
}

int32_t CAudioPart2::PartLength(void* part) const {
  for (const auto& p : parts)
    if (p.get() == part) return p->length;
  return 0;
}

void CAudioPart2::SetPartLength(void* part, int32_t ticks) {
  for (auto& p : parts)
    if (p.get() == part) p->length = ticks;
}

bool CAudioPart2::SavePart(void* part, CStream& s) {
  for (auto& p : parts)
    if (p.get() == part) {
      p->SaveRecords(s);
      return true;
    }
  return false;
}

bool CAudioPart2::LoadPart(void* part, CStream& s) {
  auto it = std::find_if(parts.begin(), parts.end(), [&](const auto& p) { return p.get() == part; });
  if (it == parts.end()) return false;
  CLiveAudioPart& p = **it;
  FreeSlotsOf(&p);
  p.SetClipHead(nullptr);
  p.Lanes().clear();
  std::string key;
  int32_t size = 0;
  while (s.NextRecord(key, size) && key != "CEnd")
    if (key == "APartPart" || !p.LoadRecord(s, key, size)) s.Skip(size);
  p.FinishLoad();
  return true;
}

CSample* CAudioPart2::InsertSample(const std::string& path) {
  auto smp = std::make_unique<CSample>();
  if (!smp->OpenFile(path)) {
    ShowError("Insert sample", "Could not load sample");
    return nullptr;
  }
  samples.push_back(std::move(smp));
  return samples.back().get();
}

// ---- playing

void CAudioPart2::StartPart(CLiveAudioPart& p, int32_t key) noexcept {
  p.currentClip = p.ClipHead();
  p.position = 0.0;
  p.clipStart = 0;
  p.running = 1;
  p.loopStart = 0.0;
  p.end = p.length;
  p.triggerKey = key;
  p.playing = 1;
}

void CAudioPart2::FreeSlotsOf(const CLiveAudioPart* p) noexcept { player_.Free(p); }

void CAudioPart2::StopKey(int32_t key) noexcept {
  for (auto& p : parts)
    if (p->playing && p->triggerKey == key) {
      p->playing = p->running = 0;
      FreeSlotsOf(p.get());
    }
}

void CAudioPart2::Process(int frames) noexcept {
  if (!BeginProcess(frames, true)) return;
  int pos = 0;
  // Notes, MIDI start and song position take effect at their own sample.
  for (const MidiEvent& e : midiQueue) {
    const uint32_t m = e.msg, status = midi::Status(m);
    const bool on = midi::IsNoteOn(m), off = midi::IsNoteOff(m);
    if (!on && !off && status != 250 && status != 242) continue;
    const int t = std::clamp(static_cast<int>(e.time), pos, frames);
    RenderSpan(pos, t - pos);
    pos = t;
    const auto key = static_cast<int32_t>(midi::Data1(m));
    if (on) {
      const int index = key - kFirstKey;
      if (index >= 0 && index < PartCount()) StartPart(*parts[static_cast<size_t>(index)], key);
    } else if (off) {
      StopKey(key);
    }
  }
  RenderSpan(pos, frames - pos);
  EndProcess(frames);
}

void CAudioPart2::RenderSpan(int from, int n) noexcept {
  if (n <= 0) return;
  AdvanceParts(n);
  RenderSlots(from, n);
}

void CAudioPart2::AdvanceParts(int n) noexcept {
  const double spt = static_cast<double>(sampleRate) / (16.0 * static_cast<double>(tempo));
  if (!(spt > 0.0) || !std::isfinite(spt)) return;
  const double ticks = n / spt;
  // Clip offsets are whole frames in exact arithmetic; the small bias keeps
  // rounding error from truncating them one frame early.
  constexpr double kBias = 1e-6;
  for (auto& pp : parts) {
    CLiveAudioPart& p = *pp;
    if (!p.playing) continue;
    // The span is worked to its exact end, fraction of a tick included, so a
    // clip (or a loop's first clip) starts on the frame its tick falls on, even
    // when the tick lies within the last fraction of a span.
    double remaining = ticks, worked = 0.0;
    while (remaining > 0.0) {
      if (p.position >= p.end) {
        const double loop_length = p.end - p.loopStart;
        if (!(loop_length > 0.0)) break;
        p.position -= loop_length;
        p.currentClip = p.ClipHead();
        p.clipStart = 0;
      }
      const bool to_end = p.end - p.position <= remaining;
      const double step = to_end ? p.end - p.position : remaining;
      const double horizon = p.position + step;
      while (p.currentClip && static_cast<double>(p.clipStart + p.currentClip->delta) < horizon) {
        const double at =
            (static_cast<double>(p.clipStart + p.currentClip->delta) - p.position + worked) * spt;
        StartClip(p, *p.currentClip, static_cast<int>(at + kBias));
        p.clipStart += p.currentClip->delta;
        p.currentClip = p.currentClip->next.get();
      }
      p.position = to_end ? p.end : p.position + step;
      worked += step;
      remaining -= step;
    }
  }
}

void CAudioPart2::StartClip(CLiveAudioPart& p, const CAudioClip& c, int offset) noexcept {
  if (c.sample < 0 || c.sample >= static_cast<int>(samples.size())) return;
  player_.Start(p, c, samples[static_cast<size_t>(c.sample)].get(), offset);
}

void CAudioPart2::RenderSlots(int from, int n) noexcept {
  std::array<ClipBus, limits::kMaxChannels> buses{};
  size_t count = 0;
  for (const auto& pp : audioOuts) {
    const CAudioOut& port = *pp;
    ClipBus& b = buses[count++];
    b.ch[0] = outCh[static_cast<size_t>(port.firstChannel)];
    b.ch[1] = outCh[static_cast<size_t>(port.firstChannel + (port.channels > 1 ? 1 : 0))];
    b.channels = port.channels;
    if (count == buses.size()) break;
  }
  player_.Render(from, n, std::span<const ClipBus>(buses.data(), count));
}

// ---- records

void CAudioPart2::Save(CStream& s) {
  CComp::Save(s);
  for (const auto& smp : samples) {
    const int64_t at = s.BeginSized("sample");
    smp->SaveRecords(s);
    s.EndSized(at);
    s.WriteKeyMarker("APartSmp");
  }
  for (const auto& p : parts) p->SaveRecords(s);
  SaveOutputStrips(*this, s, true);
  s.WriteKeyInt("APartOuts", static_cast<int32_t>(audioOuts.size()));
}

namespace {

// The older sample form: 16-bit frames stored with the name, rate, bits and channels.
void LoadOldFormFrames(CSample& smp, CStream& s, int32_t size, int32_t channels) {
  const int32_t frames = size / (2 * channels);
  if (!smp.Allocate(frames, 16, channels)) return;
  const size_t bytes = static_cast<size_t>(frames) * 2 * static_cast<size_t>(channels);
  if (s.ReadBytes(smp.FrameData() + smp.FrameBytes(), bytes) != bytes) s.SetFailed();
  smp.formatTag = 1;
  smp.start = smp.loopStart = 1;
  smp.end = frames;
  smp.loop = 0;
  smp.open = frames > 0 ? 1 : 0;
  if (smp.open && smp.computePeaks) smp.BuildPeaks();
}

}  // namespace

void CAudioPart2::Load(CStream& s, int) {
  StopAll();
  parts.clear();
  samples.clear();
  OutputStripReader strips;
  CLiveAudioPart* part = nullptr;
  CSample* old_form = nullptr;
  int32_t outputs = 1;
  std::string key;
  int32_t size = 0;
  auto old_sample = [&]() -> CSample& {
    if (!old_form) {
      samples.push_back(std::make_unique<CSample>());
      old_form = samples.back().get();
    }
    return *old_form;
  };
  while (s.NextRecord(key, size) && key != "CEnd") {
    if (LoadBaseRecord(s, key, size, false)) continue;
    const int64_t record_end = s.Position() + size;
    if (key == "sample") {
      samples.push_back(std::make_unique<CSample>());
      samples.back()->LoadRecords(s, size);
    } else if (key == "APartSmp") {
      old_form = nullptr;
    } else if (key == "APartSmpName") {
      old_form = nullptr;
      CSample& smp = old_sample();
      smp.fileName = s.ReadString();
      smp.displayName = smp.fileName.substr(smp.fileName.find_last_of("/\\") + 1);
    } else if (key == "APartSmpRate" && size == 4) {
      // Older files may hold the rate as an integer; a float of such bits is tiny.
      int32_t bits_of = s.ReadInt();
      float r;
      std::memcpy(&r, &bits_of, 4);
      old_sample().rate = std::isfinite(r) && r >= 1.0f ? r : static_cast<float>(bits_of);
    } else if (key == "APartSmpBits" || key == "APartSmpChs") {
      // The frames' own record names their layout (16-bit, mono or stereo);
      // these only describe it, and must not contradict frames already read.
      CSample& smp = old_sample();
      int32_t& field = key == "APartSmpBits" ? smp.bits : smp.channels;
      int32_t value = field;
      ReadRecordInt(s, size, value);
      if (!smp.HoldsFramesOfHeader()) field = value;
    } else if (key == "APartSmpData16IntMono" || key == "APartSmpData16IntStereo") {
      CSample& smp = old_sample();
      const std::string name = smp.fileName;
      LoadOldFormFrames(smp, s, size, key == "APartSmpData16IntMono" ? 1 : 2);
      smp.fileName = name;
    } else if (key == "APartPart") {
      if (part) part->FinishLoad();
      part = &NewPart();
    } else if (part && part->LoadRecord(s, key, size)) {
      continue;
    } else if (strips.Read(*this, s, key, size)) {
      continue;  // "Insert" reads the effect's records behind its own
    } else if (key == "APartOuts") {
      ReadRecordInt(s, size, outputs);
    }
    if (s.Failed()) break;
    s.Seek(record_end);
  }
  if (part) part->FinishLoad();
  if (strips.Any()) {
    strips.Apply(*this);
  } else {
    FreeBuffers();
    audioOuts.clear();
    for (int i = 0; i < std::clamp(outputs, 1, limits::kMaxChannels / 2); ++i) AddAudioOut(2);
    AllocBuffers();
  }
}

}  // namespace qr
