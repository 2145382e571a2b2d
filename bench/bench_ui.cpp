// Drawing the main window: the "Modules" page of a 200-module project at
// 1920x1080 from scratch, and an idle pass with nothing changed, which should
// draw nothing. BM_FillSurface, one plain fill of the same surface, is the
// baseline to read the two against on a busy machine; the target for the full
// page is under 16 ms (one frame at 60 Hz).
#include <benchmark/benchmark.h>

#include <memory>

#include "graph/Container.h"
#include "graph/Globals.h"
#include "shell/VSTPlug.h"
#include "ui/MainWindow.h"

using namespace qr;

namespace {

intptr_t Host(vst2::AEffect*, int32_t opcode, int32_t, intptr_t, void*, float) {
  return opcode == vst2::audioMasterVersion ? 2400 : 0;
}

struct Studio {
  Studio() {
    g_runMode = kRunEffect;
    effect = CreatePlugin(&Host, "");
    plug = static_cast<TVSTPlug*>(static_cast<AudioEffect*>(effect->object));
    CGroup& root = plug->Root();
    CComp* prev = plug->MasterIn();
    // 200 modules on a 20 x 10 grid, each fed by the one before it.
    for (int i = 0; i < 199; ++i) {
      CComp* m =
          AddModule(root, plug->Project(), i % 2 ? "CMixer" : "Ceq", 16 + (i % 20) * 95, 40 + (i / 20) * 100);
      m->id = "Module " + std::to_string(i + 1);
      ToggleCable(root, plug->Project(), {prev, PortKind::AudioOut, 0}, {m, PortKind::AudioIn, 0});
      prev = m;
    }
    root.x = 900;
    root.y = 1000;
    win = std::make_unique<XMainWin>(*plug, 1920, 1080);
  }
  ~Studio() {
    win.reset();
    effect->dispatcher(effect, vst2::effClose, 0, 0, nullptr, 0);
  }
  vst2::AEffect* effect;
  TVSTPlug* plug;
  std::unique_ptr<XMainWin> win;
};

Studio& Shared() {
  static Studio s;
  return s;
}

void BM_FillSurface(benchmark::State& state) {
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1920, 1080);
  for (auto _ : state) {
    cairo_t* cr = cairo_create(s);
    cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
    cairo_paint(cr);
    cairo_destroy(cr);
    cairo_surface_flush(s);
  }
  cairo_surface_destroy(s);
}

void BM_ModulesPage200(benchmark::State& state) {
  Studio& s = Shared();
  for (auto _ : state) {
    s.win->Gui().InvalidateAll();
    benchmark::DoNotOptimize(s.win->Update());
  }
  state.counters["modules"] = static_cast<double>(s.plug->Root().children.size() + 1);
}

void BM_IdleNothingChanged(benchmark::State& state) {
  Studio& s = Shared();
  s.win->Update();
  int drawn = 0;
  for (auto _ : state) drawn += s.win->Update().Empty() ? 0 : 1;
  state.counters["passes_that_drew"] = drawn;
}

}  // namespace

BENCHMARK(BM_FillSurface)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ModulesPage200)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IdleNothingChanged)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
