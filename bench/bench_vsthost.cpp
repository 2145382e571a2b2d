// What our host layer adds per hosted plug-in per block: the same installed
// plug-in called directly through processReplacing (the baseline) and run as a
// CVST module with nothing connected (MIDI gathered, inputs cleared, events
// handed over, output checked, volume and pan applied). Both see silence, so
// the plug-in does the same work. Both in the same run; read the ratio.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "graph/Container.h"
#include "platform/DynLib.h"
#include "platform/Files.h"
#include "vsthost/PluginFolders.h"
#include "vsthost/VST.h"

namespace {

using namespace qr;
constexpr int kBlock = 256;
constexpr float kRate = 48000.0f;

std::string Find(const char* name) { return FindPluginFile(name, {"/usr/lib/vst", "/usr/lib/lxvst"}); }

void Direct(benchmark::State& state, const char* name) {
  const std::string path = Find(name);
  CDynLib lib;
  std::string error;
  if (path.empty() || !lib.Open(path, error)) return state.SkipWithError("plug-in not installed");
  auto entry = reinterpret_cast<vst2::EntryProc>(lib.Symbol("VSTPluginMain"));
  if (!entry) entry = reinterpret_cast<vst2::EntryProc>(lib.Symbol("main"));
  vst2::AEffect* e = entry ? entry(&CVST::HostCallback) : nullptr;
  if (!e) return state.SkipWithError("no plug-in record");
  e->dispatcher(e, vst2::effOpen, 0, 0, nullptr, 0.0f);
  e->dispatcher(e, vst2::effSetSampleRate, 0, 0, nullptr, kRate);
  e->dispatcher(e, vst2::effSetBlockSize, 0, kBlock, nullptr, 0.0f);
  e->dispatcher(e, vst2::effMainsChanged, 0, 1, nullptr, 0.0f);
  std::vector<std::vector<float>> in(static_cast<size_t>(e->numInputs), std::vector<float>(kBlock, 0.0f));
  std::vector<std::vector<float>> out(static_cast<size_t>(e->numOutputs), std::vector<float>(kBlock));
  std::vector<float*> ip, op;
  for (auto& v : in) ip.push_back(v.data());
  for (auto& v : out) op.push_back(v.data());
  for (auto _ : state) {
    e->processReplacing(e, ip.data(), op.data(), kBlock);
    benchmark::DoNotOptimize(op[0][0]);
  }
  e->dispatcher(e, vst2::effMainsChanged, 0, 0, nullptr, 0.0f);
  e->dispatcher(e, vst2::effClose, 0, 0, nullptr, 0.0f);
}

void Hosted(benchmark::State& state, const char* name) {
  const std::string path = Find(name);
  if (path.empty()) return state.SkipWithError("plug-in not installed");
  CGroup root(nullptr);
  root.SetSampleRate(kRate);
  root.AddAudioIn(2);
  root.SetBlockSize(kBlock);
  auto owned = std::make_unique<CVST>(&root);
  CVST* vst = owned.get();
  root.AddChild(std::move(owned));
  vst->SetSampleRate(kRate);
  vst->SetBlockSize(kBlock);
  if (!vst->LoadPlugin(path)) return state.SkipWithError("plug-in did not load");
  for (auto _ : state) {
    vst->ResetForBlock(kBlock);
    vst->Process(kBlock);
    benchmark::DoNotOptimize(vst->outCh[0][0]);
  }
}

}  // namespace

BENCHMARK_CAPTURE(Direct, eq, "3BandEQ-vst.so");
BENCHMARK_CAPTURE(Hosted, eq, "3BandEQ-vst.so");
BENCHMARK_CAPTURE(Direct, comp, "ZamComp-vst.so");
BENCHMARK_CAPTURE(Hosted, comp, "ZamComp-vst.so");
BENCHMARK_CAPTURE(Direct, reverb, "MVerb-vst.so");
BENCHMARK_CAPTURE(Hosted, reverb, "MVerb-vst.so");

BENCHMARK_MAIN();
