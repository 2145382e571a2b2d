#pragma once
// The probe plug-in opened by the test itself (to shape it and read its log)
// and a graph around a CVST that loads the same library.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/RunBlock.h"
#include "tests/support/Stubs.h"
#include "tests/vsthost/probe/Probe.h"
#include "vsthost/VST.h"

namespace qr::test {

inline const std::string kProbePath = std::string(QR_PROBE_DIR) + "/probe.so";
inline const std::string kNoEntryPath = std::string(QR_PROBE_DIR) + "/noentry.so";

class ProbeLib {
 public:
  explicit ProbeLib(const probe::Config& c = {}) : h_(dlopen(kProbePath.c_str(), RTLD_NOW | RTLD_LOCAL)) {
    EXPECT_NE(h_, nullptr) << dlerror();
    reinterpret_cast<probe::SetupFn>(dlsym(h_, "ProbeSetup"))(&c);
    log = reinterpret_cast<probe::LogFn>(dlsym(h_, "ProbeLog"))();
  }
  ~ProbeLib() { dlclose(h_); }
  ProbeLib(const ProbeLib&) = delete;
  ProbeLib& operator=(const ProbeLib&) = delete;

  // The log from `from` on, as (op, a, b) triples.
  std::vector<std::vector<int32_t>> Since(int from, std::initializer_list<int32_t> ops = {}) const {
    std::vector<std::vector<int32_t>> r;
    for (int i = from; i < log->count; ++i) {
      const probe::Entry& e = log->entries[i];
      if (ops.size() && std::find(ops.begin(), ops.end(), e.op) == ops.end()) continue;
      r.push_back({e.op, e.a, e.b});
    }
    return r;
  }
  probe::Log* log = nullptr;

 private:
  void* h_;
};

struct ProbeRig {
  explicit ProbeRig(const probe::Config& c = {}, int block = 256, float rate = 44100.0f)
      : lib(c), root(MakeRoot(block, rate)) {
    vst = Add<CVST>(*root);
    midi = Add<StubMidiSource>(*root);
    loaded = vst->LoadPlugin(kProbePath);
    vst->ConnectMidi(midi, 0, 0);
    root->ConnectAudio(vst, 0, 0);
  }
  void Run(int frames) { RunBlock(*root, frames); }
  ProbeLib lib;
  std::unique_ptr<CGroup> root;
  CVST* vst = nullptr;
  StubMidiSource* midi = nullptr;
  bool loaded = false;
};

inline MidiEvent Ev(float t, uint32_t status, uint32_t d1, uint32_t d2) {
  return {t, midi::Make(status, d1, d2)};
}

}  // namespace qr::test
