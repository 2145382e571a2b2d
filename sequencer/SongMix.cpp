// The song's audio outside the tracks' own clips: the inserts of the output
// strips of comps and audio tracks, and the sends.
//
// A send hears every strip through that strip's level for it. For a comp the
// strip takes the output as the module made it (its own volume and pan are
// the module's business), so "pre" and "post" send the same. For an audio
// track a post send follows the strip's volume and mute and a pre send does
// not; neither follows the pan, which places the track in the song's outputs
// only. A send's own cables add their sources at the cable's gain, as a pull
// would, from modules the first phase has already run.
#include <algorithm>
#include <cmath>

#include "sequencer/Tracks.h"

namespace qr {

// An audio input's channel selector names the first of the sequencer's input
// channels it takes: that channel and the next make a stereo input, and where
// there is no next one the single channel feeds both sides.
void CTracks::MonitorInput(CTrack& t, int s, int m) noexcept {
  if (!t.monitor || t.audioIn < 0 || static_cast<size_t>(t.audioIn) >= audioInStrips.size()) return;
  if (t.audioOuts.empty() || !t.audioOuts[0]->ch[0]) return;
  const AudioInStrip& in = audioInStrips[static_cast<size_t>(t.audioIn)];
  const int total = TotalInputChannels();
  if (in.channels < 0 || in.channels >= total) return;
  const float* l = inCh[static_cast<size_t>(in.channels)];
  const float* r = in.channels + 1 < total ? inCh[static_cast<size_t>(in.channels + 1)] : l;
  const float g = in.volume * (1.0f - static_cast<float>(in.mute != 0));
  if (!l || !r || g == 0.0f || !std::isfinite(g)) return;
  const CAudioOut& p = *t.audioOuts[0];
  float* dst[2] = {p.ch[0], p.ch[1]};
  const float* src[2] = {l + s, r + s};
  MixChannels(dst, p.channels, src, 2, g, m);
}

// The song's outputs: each runs its strip's inserts, then its volume, pan
// (the pan law every output strip here uses: 1 - pan left, 1 + pan right)
// and mute.
void CTracks::SongStrips(int s, int m) noexcept {
  for (size_t i = 0; i < audioOutStrips.size() && i < audioOuts.size(); ++i) {
    StripOut& o = audioOutStrips[i];
    const CAudioOut& p = *audioOuts[i];
    if (!p.ch[0]) continue;
    float* ch[2] = {p.ch[0] + s, p.ch[1] + s};
    if (!o.inserts.empty()) RunStripInserts(o, ch, p.channels, m);
    const float v = std::isfinite(o.volume) ? std::max(o.volume, 0.0f) : 1.0f;
    const float pan = std::isfinite(o.pan) ? std::clamp(o.pan, -1.0f, 1.0f) : 0.0f;
    const float g[2] = {o.mute ? 0.0f : v * (p.channels > 1 ? 1.0f - pan : 1.0f),
                        o.mute ? 0.0f : v * (1.0f + pan)};
    if (g[0] == 1.0f && g[1] == 1.0f) continue;
    for (int c = 0; c < p.channels && c < 2; ++c)
      for (int k = 0; k < m; ++k) ch[c][k] *= g[c];
  }
}

void CTracks::SetUpStrip(StripOut& o) {
  for (auto& slot : o.inserts) {
    CComp& m = *slot.module;
    m.parent = this;
    m.SetSampleRate(sampleRate);
    if (m.blockSize != blockSize || !m.HasBuffers()) {
      m.SetBlockSize(blockSize);
      m.blockSize = blockSize;
      m.AllocBuffers();
    }
    m.SetTempo(tempo);
  }
}

void CTracks::RunStripInserts(StripOut& o, float* const* ch, int channels, int m) noexcept {
  for (auto& slot : o.inserts) {
    CComp& ins = *slot.module;
    if (!ins.enabled || ins.audioIns.empty() || !ins.HasBuffers() || m > ins.blockSize) continue;
    if (ins.tempo != tempo) ins.SetTempo(tempo);
    ins.ResetForBlock(m);
    ins.ZeroInputs(m);
    const CAudioIn& in0 = *ins.audioIns[0];
    float* const* ich = &ins.inCh[static_cast<size_t>(in0.firstChannel)];
    CopyChannels(ich, in0.channels, ch, channels, 1.0f, m);
    // Its input was filled here: its own pull must not clear it.
    const uint8_t ai = ins.audioInEnabled, mi = ins.midiInEnabled;
    ins.audioInEnabled = 0;
    ins.midiInEnabled = 0;
    if (ins.TryTakeBusy()) {
      ins.Process(m);
      ins.ReleaseBusy();
    }
    ins.audioInEnabled = ai;
    ins.midiInEnabled = mi;
    if (ins.audioOuts.empty()) continue;
    const CAudioOut& o0 = *ins.audioOuts[0];
    if (!o0.ch[0]) continue;
    const float w = std::isfinite(slot.wet) ? std::clamp(slot.wet, 0.0f, 1.0f) : 1.0f;
    if (w >= 1.0f) {
      CopyChannels(ch, channels, o0.ch.data(), o0.channels, 1.0f, m);
    } else {
      for (int c = 0; c < channels; ++c)
        for (int i = 0; i < m; ++i) ch[c][i] *= 1.0f - w;
      MixChannels(ch, channels, o0.ch.data(), o0.channels, w, m);
    }
  }
}

void CTracks::RunSend(size_t k, int m) noexcept {
  CComp& snd = *sends[k];
  if (!snd.enabled || !snd.HasBuffers() || m > snd.blockSize) return;
  if (!snd.TryTakeBusy()) return;
  if (!snd.audioIns.empty()) {
    snd.ZeroInputs(m);
    const CAudioIn& in0 = *snd.audioIns[0];
    float* dst[2] = {snd.inCh[static_cast<size_t>(in0.firstChannel)],
                     snd.inCh[static_cast<size_t>(in0.firstChannel + (in0.channels > 1 ? 1 : 0))]};
    auto feed = [&](const CAudioOut& p, const StripOut& o, float post) {
      if (k >= o.sends.size() || !p.ch[0] || !dst[0]) return;
      const SendLevel& l = o.sends[k];
      const float g = l.level * (l.pre ? 1.0f : post);
      if (g == 0.0f || !std::isfinite(g)) return;
      MixChannels(dst, in0.channels, p.ch.data(), p.channels, g, m);
    };
    for (auto& c : comps) {
      const CComp& mod = *c.module;
      if (!mod.enabled || !mod.HasBuffers()) continue;
      for (size_t i = 0; i < c.outs.size() && i < mod.audioOuts.size(); ++i)
        feed(*mod.audioOuts[i], c.outs[i], 1.0f);
    }
    for (const CTrack* t : audioTracks_) {
      if (!t->HasBuffers() || m > t->blockSize) continue;
      for (size_t i = 0; i < t->strips.size() && i < t->audioOuts.size(); ++i) {
        const CAudioOut& p = *t->audioOuts[i];
        feed(p, t->strips[i], p.mute ? 0.0f : p.volume);
      }
    }
    for (const auto& cp : snd.audioInCables) {
      const CAudioCable& cable = *cp;
      const CComp* src = cable.Source();
      if (!src->HasBuffers() || m > src->blockSize) continue;
      if (cable.sourceOut < 0 || cable.sourceOut >= static_cast<int>(src->audioOuts.size())) continue;
      if (cable.destIn < 0 || cable.destIn >= static_cast<int>(snd.audioIns.size())) continue;
      const CAudioOut& sp = *src->audioOuts[static_cast<size_t>(cable.sourceOut)];
      const CAudioIn& dp = *snd.audioIns[static_cast<size_t>(cable.destIn)];
      float* d[2] = {snd.inCh[static_cast<size_t>(dp.firstChannel)],
                     snd.inCh[static_cast<size_t>(dp.firstChannel + (dp.channels > 1 ? 1 : 0))]};
      if (sp.ch[0] && d[0]) MixChannels(d, dp.channels, sp.ch.data(), sp.channels, cable.gain, m);
    }
  }
  const uint8_t ai = snd.audioInEnabled;
  snd.audioInEnabled = 0;
  snd.Process(m);
  snd.audioInEnabled = ai;
  snd.ReleaseBusy();
}

}  // namespace qr
