// Sampler sound files (".qrs") are untrusted input. The bytes are read into a
// sampler that already holds a sound; a refused file must leave it as it was.
// An accepted one plays a few blocks of notes, is saved, and must read back.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "fuzz/FuzzSupport.h"
#include "graph/Container.h"
#include "persist/Project.h"
#include "sampler/Sampler.h"
#include "stream/RecordStream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qr::InstallModuleTypes();  // send inserts are made by type, as in the program
  qr::fuzz::SilenceMessages();
  qr::CGroup root(nullptr);
  root.SetSampleRate(44100.0f);
  root.AddAudioIn(2);
  root.SetBlockSize(64);
  // The sampler (above 128 KB) is built in room kept from the last input; it
  // stands under the root as a child would, without the root owning it.
  static qr::fuzz::Reused<qr::CSampler> first, second;
  struct Done {
    ~Done() {
      second.Drop();
      first.Drop();
    }
  } const done;
  qr::CSampler* s = &first.Make(&root);
  s->SetSampleRate(44100.0f);
  s->SetBlockSize(64);
  s->NewSound("kept");
  qr::CMemStream in(data, size);
  if (!s->LoadSoundFile(in)) {
    if (s->sounds.size() != 1 || !s->samples.empty()) __builtin_trap();
    return 0;
  }
  for (int b = 0; b < 6; ++b) {
    s->midiQueue.Clear();
    s->ResetForBlock(64);
    s->midiInEnabled = 0;
    for (int k = 0; k < 8; ++k)
      s->midiQueue.Push(qr::midi::Make(k == 7 ? 0xE0 : 0x90, (b * 29 + k * 16) & 127, 90),
                        qr::kMidiKindMessage, 0, static_cast<float>(k * 8));
    s->Process(64);
  }
  qr::CMemStream out;
  s->SaveSoundFile(*s->sounds.back(), out);
  out.Rewind();
  if (!second.Make(nullptr).LoadSoundFile(out)) __builtin_trap();
  return 0;
}
