// The MIDI effects' record readers over hostile bytes, then a save and a few
// processing blocks with notes, controllers and whatever the reader left:
// patterns of any step count and length, envelopes with negative or zero
// segments and loops of nothing, chord rhythms of any shape. Every block must
// end (no endless walks) and nothing may be read outside its table.
//
// The first byte picks the module (by value modulo 6: arpeggiator, chords,
// groove, envelope, MIDI patcher, channel router); the rest is its record block.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "fuzz/FuzzSupport.h"
#include "graph/Container.h"
#include "midifx/Arp.h"
#include "midifx/Chords.h"
#include "midifx/Envelope.h"
#include "midifx/Groove.h"
#include "midifx/MidiPatcher.h"
#include "stream/RecordStream.h"

namespace {

class Notes final : public qr::CComp {
 public:
  explicit Notes(qr::CContainer* p) : CComp(p) {}
  qr::CMIDIQ* MidiOutput(int port, int) noexcept override {
    if (port != 0) return nullptr;
    if (!done[0]) {
      done[0] = 1;
      out_.Clear();
      for (int i = 0; i < 4; ++i)
        out_.Push(qr::midi::Make(0x90 | (seed & 15), (seed * 7 + i * 5) & 127, 1 + i * 30), 0, 0,
                  static_cast<float>(i * 13));
      out_.Push(qr::midi::Make(0x80, (seed * 7) & 127, 0), 0, 0, 60.0f);
      out_.Push(qr::midi::Make(0xB0, 74, seed & 127), 0, 0, 61.0f);
      ++seed;
    }
    return &out_;
  }
  uint32_t seed = 0;

 private:
  qr::CMIDIQ out_;
};

struct Graph {
  qr::CGroup root{nullptr};
  qr::CComp* modules[6] = {};
  qr::CGroove* groove = nullptr;
  Graph() {
    root.AddAudioIn(2);
    root.SetBlockSize(64);
    auto* notes = root.AddChild(std::make_unique<Notes>(&root));
    modules[0] = root.AddChild(std::make_unique<qr::CArp>(&root));
    modules[1] = root.AddChild(std::make_unique<qr::CChords>(&root));
    modules[2] = groove = static_cast<qr::CGroove*>(root.AddChild(std::make_unique<qr::CGroove>(&root)));
    modules[3] = root.AddChild(std::make_unique<qr::CEnvelope>(&root));
    modules[4] = root.AddChild(std::make_unique<qr::CMidiPatcher>(&root));
    modules[5] = root.AddChild(std::make_unique<qr::CMIDIChs>(&root));
    for (int i : {0, 1, 3, 4, 5}) {
      modules[i]->ConnectMidi(notes, 0, 0);
      root.ConnectMidi(modules[i], 0, 0);
    }
    root.ConnectMidi(modules[4], 5, 0);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qr::fuzz::SilenceMessages();
  static Graph g;
  if (size == 0) return 0;
  qr::CComp* m = g.modules[data[0] % 6];
  qr::CMemStream s(data + 1, size - 1);
  m->Load(s, 0);
  qr::CMemStream out;
  m->Save(out);
  if (m == g.groove)
    for (int64_t t : {0, 130, 250, 100000}) g.groove->Apply(t, qr::midi::Make(0x90, 60, 100), 100, 240);
  g.root.pendingTempo = 20.0f + static_cast<float>(data[0]);
  for (int i = 0; i < 4; ++i) g.root.Process(64);
  return 0;
}
