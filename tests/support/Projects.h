#pragma once
// The project most host and program tests start from: the master input's
// audio ports (their widths) through `between`, chained, to the master
// outputs, and its MIDI port `midi_port` to the master MIDI output.
#include <memory>
#include <vector>

#include "graph/Container.h"
#include "persist/Project.h"
#include "stream/RecordStream.h"

namespace qr::test {

inline std::vector<uint8_t> WiredProject(const std::vector<int>& in_ports = {2}, int midi_out_ports = 1,
                                         int midi_port = 0, std::vector<std::unique_ptr<CComp>> between = {},
                                         float tempo = 120.0f) {
  CGroup root(nullptr);
  root.id = "Master Out";
  root.AddAudioIn(2);
  root.SetBlockSize(64);
  root.pendingTempo = tempo;
  auto mi = std::make_unique<CMasterIn>(&root);
  mi->RemoveAllPorts();
  for (int w : in_ports) mi->AddAudioOut(w);
  mi->midiOutPorts = midi_out_ports;
  mi->x = 16;
  mi->y = 32;
  CComp* prev = root.AddChild(std::move(mi));
  root.masterIn = static_cast<CMasterIn*>(prev);
  root.ConnectMidi(prev, midi_port, 0);
  for (auto& m : between) {
    CComp* c = root.AddChild(std::move(m));
    c->ConnectAudio(prev, 0, 0);
    prev = c;
  }
  root.ConnectAudio(prev, 0, 0);
  CProject project;
  CMemStream s;
  SaveProject(root, project, s);
  return s.Data();
}

}  // namespace qr::test
