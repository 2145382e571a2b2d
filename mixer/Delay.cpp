#include "mixer/Delay.h"

#include <algorithm>
#include <cmath>

#include "mixer/Records.h"
#include "stream/RecordStream.h"

namespace qr {

namespace {

constexpr int32_t kMinDivision = 1;
constexpr int32_t kMaxDivision = 16;

// One run of echoes that does not wrap: each buffer slot is read, refilled with
// the new input plus the fed-back echo, and the old value goes out. The input
// enters the buffer at full level, so the first echo is the input times the
// wet gain whatever the feedback, and feedback 0 gives exactly one echo.
// Slots are independent, so the loop vectorises.
void EchoRun(float* __restrict buf, const float* __restrict in, float* __restrict out, int n, float feedback,
             float wet) noexcept {
  for (int i = 0; i < n; ++i) {
    const float y = buf[i];
    buf[i] = in[i] + y * feedback;
    out[i] += y * wet;
  }
}

}  // namespace

CDelay::CDelay(CContainer* parent_container) : CComp(parent_container) {
  id = "Delay";
  // Taken here, once: tempo and division changes only move the lengths, so
  // nothing on the audio thread ever allocates echo memory. The buffers are
  // zero pages from the system: a project file naming a hundred delays costs
  // address space, not memory, and only the reach of each echo is written.
  // The reach at the creating tempo is written here; should the tempo later
  // slow, the first lap over the longer reach meets fresh pages on the audio
  // thread (a page fault each 1024 samples, once), which is the price of not
  // committing 30 MB per delay up front.
  for (auto& b : buffer_) b = CZeroPages(sizeof(float) * kBufferSamples);
  AddAudioIn(2);
  AddAudioOut(2);
  RecomputeLengths();
  for (int c = 0; c < 2; ++c) buffer_[c].Touch(sizeof(float) * static_cast<size_t>(length_[c]));
}

// A length past the buffer is cut to the buffer: the echo then falls off the
// beat grid, which needs a beat longer than 20 s at 192 kHz (below 3 bpm). A
// tempo of zero, a negative one or a non-number gives the same full-buffer
// length rather than a meaningless one. The shortest echo is one sample.
int32_t CDelay::LengthFor(int32_t division, float sample_rate, float bpm) noexcept {
  const int32_t d = std::clamp(division, kMinDivision, kMaxDivision);
  double v = (960.0 / d) * static_cast<double>(sample_rate) / (16.0 * static_cast<double>(bpm));
  if (!(v < kBufferSamples) || bpm <= 0.0f) v = kBufferSamples;
  if (!(v >= 1.0)) v = 1.0;
  return static_cast<int32_t>(std::nearbyint(v));
}

void CDelay::RecomputeLengths() noexcept {
  length_[0] = LengthFor(division1, sampleRate, tempo);
  length_[1] = LengthFor(division2, sampleRate, tempo);
  position_[0] = position_[1] = 0;
  lengthTempo_ = tempo;
  lengthRate_ = sampleRate;
}

void CDelay::SetDivisions(int32_t left, int32_t right) {
  division1 = std::clamp(left, kMinDivision, kMaxDivision);
  division2 = std::clamp(right, kMinDivision, kMaxDivision);
  RecomputeLengths();
  MarkModified();
}

void CDelay::Process(int frames) noexcept {
  if (!BeginProcess(frames, false)) return;
  // A new sample rate moves the lengths just as a new tempo does.
  if (tempo != lengthTempo_ || sampleRate != lengthRate_) RecomputeLengths();
  // Without its echo memory (the system refused it) a delay stays silent.
  if (enabled == 1 && buffer_[0].Ok() && buffer_[1].Ok() && !audioIns.empty() && !audioOuts.empty()) {
    const float fb = feedback, w = wet;
    for (int c = 0; c < 2; ++c) {
      const float* in = inCh[static_cast<size_t>(c)];
      float* out = outCh[static_cast<size_t>(c)];
      if (!in || !out) continue;
      float* buf = static_cast<float*>(buffer_[c].Data());
      // The editor may move the length between blocks; the buffer is always
      // whole, so clamping here keeps every index inside it.
      const int len = std::clamp(length_[c], 1, kBufferSamples);
      int pos = position_[c];
      if (pos < 0 || pos >= len) pos = 0;
      if (std::fabs(buf[pos]) < 1e-10f) buf[pos] = 0.0f;
      for (int i = 0; i < frames;) {
        const int run = std::min(frames - i, len - pos);
        EchoRun(buf + pos, in + i, out + i, run, fb, w);
        i += run;
        pos += run;
        if (pos >= len) pos = 0;
      }
      position_[c] = pos;
    }
  }
  EndProcess(frames);
}

void CDelay::Save(CStream& s) {
  CComp::Save(s);
  s.WriteKeyInt("enabled", enabled);
  s.WriteKeyFloat("wet", wet);
  s.WriteKeyFloat("fb", feedback);
  s.WriteKeyInt("d1", division1);
  s.WriteKeyInt("d2", division2);
}

void CDelay::Load(CStream& s, int) {
  std::string key;
  int32_t size = 0;
  while (s.NextRecord(key, size) && key != "CEnd") {
    if (LoadBaseRecord(s, key, size, false)) continue;
    if (key == "enabled")
      records::ReadInt(s, size, enabled);
    else if (key == "wet")
      records::ReadFloat(s, size, wet);
    else if (key == "fb")
      records::ReadFloat(s, size, feedback);
    else if (key == "d1")
      records::ReadInt(s, size, division1);
    else if (key == "d2")
      records::ReadInt(s, size, division2);
    else
      s.Skip(size);
  }
  division1 = std::clamp(division1, kMinDivision, kMaxDivision);
  division2 = std::clamp(division2, kMinDivision, kMaxDivision);
  RecomputeLengths();
}

}  // namespace qr
