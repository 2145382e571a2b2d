// SoundFont 2 banks are untrusted input. The bytes are parsed as a bank; one
// that parses has its first presets, instruments and samples imported into a
// sampler, which then plays a few blocks of notes across the keyboard.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "graph/Container.h"
#include "sampler/Sampler.h"
#include "sampler/SoundFont.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qr::fuzz::SilenceMessages();
  qr::TSF2 sf;
  if (!sf.Parse(qr::SF2MemoryBytes(std::vector<uint8_t>(data, data + size)))) {
    if (sf.PresetCount() != 0 || sf.SampleCount() != 0) __builtin_trap();  // a refused bank keeps nothing
    return 0;
  }
  qr::CGroup root(nullptr);
  root.SetSampleRate(44100.0f);
  root.AddAudioIn(2);
  root.SetBlockSize(64);
  auto* s = static_cast<qr::CSampler*>(root.AddChild(std::make_unique<qr::CSampler>(&root)));
  s->SetSampleRate(44100.0f);
  s->SetBlockSize(64);
  qr::SF2Importer imp(*s, sf);
  for (int i = 0; i < 4; ++i) {
    imp.ImportPreset(i);
    imp.ImportInstrument(i);
    imp.ImportSample(i);
  }
  if (sf.PresetCount() <= 8) imp.ImportGeneralMidiBank();
  for (int b = 0; b < 6; ++b) {
    s->midiQueue.Clear();
    s->ResetForBlock(64);
    s->midiInEnabled = 0;
    for (int k = 0; k < 8; ++k)
      s->midiQueue.Push(qr::midi::Make(0x90u | (k & 15), (b * 23 + k * 16) & 127, 100), qr::kMidiKindMessage,
                        0, static_cast<float>(k * 8));
    s->Process(64);
  }
  return 0;
}
