#pragma once
// Stub modules for building graphs of any shape in tests and benchmarks.
#include <functional>
#include <memory>
#include <vector>

#include "graph/Container.h"

namespace qr::test {

// Produces a fixed signal on each output port: channel c of port p carries
// value(p, c, i) for sample i. Counts how often it is processed.
class StubSource : public CComp {
 public:
  StubSource(CContainer* parent, std::vector<int> port_widths, float base = 1.0f);
  void Process(int frames) noexcept override;
  int32_t Latency() const override { return latency; }
  std::string TypeKey() const override { return "CStubSource"; }

  float base;
  int32_t latency = 0;
  int processCount = 0;
  bool ramp = false;  // sample i carries base + i instead of a constant
};

// Copies its first input port to its first output port; optional own latency.
class StubPass : public CComp {
 public:
  StubPass(CContainer* parent, int in_width = 2, int out_width = 2);
  void Process(int frames) noexcept override;
  int32_t Latency() const override { return latency; }
  int32_t latency = 0;
  int processCount = 0;
  bool gatherMidi = false;
};

// Emits the events it is given, once per block, on MIDI port 0.
class StubMidiSource : public CComp {
 public:
  explicit StubMidiSource(CContainer* parent) : CComp(parent) {}
  CMIDIQ* MidiOutput(int port, int frames) noexcept override;
  std::vector<MidiEvent> events;
  int produced = 0;

 private:
  CMIDIQ out_;
};

// Adds a stub to a group and returns the raw pointer the test keeps.
template <typename T, typename... A>
T* Add(CGroup& g, A&&... a) {
  auto m = std::make_unique<T>(&g, std::forward<A>(a)...);
  T* raw = m.get();
  g.AddChild(std::move(m));
  return raw;
}

// A root group with a master input, block size and one stereo master output.
std::unique_ptr<CGroup> MakeRoot(int block = 64, float rate = 44100.0f);

}  // namespace qr::test
