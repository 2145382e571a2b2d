#include "tests/support/Stubs.h"

namespace qr::test {

StubSource::StubSource(CContainer* parent, std::vector<int> port_widths, float b)
    : CComp(parent), base(b) {
  for (int w : port_widths) AddAudioOut(w);
}

void StubSource::Process(int frames) noexcept {
  if (!BeginProcess(frames, false)) return;
  ++processCount;
  for (size_t p = 0; p < audioOuts.size(); ++p) {
    const CAudioOut& port = *audioOuts[p];
    for (int c = 0; c < port.channels; ++c) {
      float* d = outCh[static_cast<size_t>(port.firstChannel + c)];
      const float v = base * static_cast<float>(p + 1) * (c == 0 ? 1.0f : 2.0f);
      for (int i = 0; i < frames; ++i) d[i] = ramp ? base + static_cast<float>(i) : v;
    }
  }
  EndProcess(frames);
}

StubPass::StubPass(CContainer* parent, int in_width, int out_width) : CComp(parent) {
  AddAudioIn(in_width);
  AddAudioOut(out_width);
}

void StubPass::Process(int frames) noexcept {
  if (!BeginProcess(frames, gatherMidi)) return;
  ++processCount;
  PassThrough(frames);
  EndProcess(frames);
}

CMIDIQ* StubMidiSource::MidiOutput(int port, int) noexcept {
  if (port != 0) return nullptr;
  if (!done[0]) {
    out_.Clear();
    for (const auto& e : events) out_.Push(e.msg, e.kind, e.value, e.time);
    done[0] = 1;
    ++produced;
  }
  return &out_;
}

std::unique_ptr<CGroup> MakeRoot(int block, float rate) {
  auto g = std::make_unique<CGroup>(nullptr);
  g->id = "Master Out";
  g->SetSampleRate(rate);
  g->AddAudioIn(2);
  g->SetBlockSize(block);
  auto mi = std::make_unique<CMasterIn>(g.get());
  mi->x = 16;
  mi->y = 32;
  g->masterIn = static_cast<CMasterIn*>(g->AddChild(std::move(mi)));
  g->modified = 0;
  return g;
}

}  // namespace qr::test
