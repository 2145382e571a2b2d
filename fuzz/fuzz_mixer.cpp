// The mixer's, delay's and equaliser's record readers over hostile bytes, then
// a save and two processing blocks with whatever the reader left: pins that
// must match the channel and send lists, lengths inside the echo buffers,
// coefficients from any stored band.
//
// The first byte picks the module (0 mixer, 1 delay, 2 equaliser, by value
// modulo 3); the rest is the module's record block. The modules live across
// runs, so the echo buffers are made once.
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzSupport.h"
#include "graph/Container.h"
#include "mixer/Delay.h"
#include "mixer/Eq.h"
#include "mixer/Mixer.h"
#include "stream/RecordStream.h"

namespace {

struct Graph {
  qr::CGroup root{nullptr};
  qr::CComp* modules[3] = {};
  Graph() {
    root.AddAudioIn(2);
    root.SetBlockSize(64);
    modules[0] = root.AddChild(std::make_unique<qr::CMixer>(&root));
    modules[1] = root.AddChild(std::make_unique<qr::CDelay>(&root));
    modules[2] = root.AddChild(std::make_unique<qr::CEq>(&root));
    // Each module feeds the master outputs, so each block runs all three.
    for (qr::CComp* m : modules) root.ConnectAudio(m, 0, 0);
    modules[2]->ConnectAudio(modules[0], 0, 0);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qr::fuzz::SilenceMessages();
  static Graph g;
  if (size == 0) return 0;
  qr::CComp* m = g.modules[data[0] % 3];
  qr::CMemStream s(data + 1, size - 1);
  m->Load(s, 0);
  qr::CMemStream out;
  m->Save(out);
  g.root.pendingTempo = 20.0f + static_cast<float>(data[0]);  // new delay lengths now and then
  g.root.Process(64);
  g.root.Process(64);
  return 0;
}
