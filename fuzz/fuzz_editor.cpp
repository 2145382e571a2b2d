// The main window over hostile projects: whatever graph a project file makes
// (ports that do not exist, boxes far off the page, modules of every kind), the
// "Modules" and "Mixer" pages and every module's editor draw without a fault.
// One plug-in and one window live through the whole run, so each input also
// replaces the graph under pages drawn from the one before.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "graph/Container.h"
#include "graph/Globals.h"
#include "shell/VSTPlug.h"
#include "ui/MainWindow.h"

namespace {

intptr_t Host(vst2::AEffect*, int32_t opcode, int32_t, intptr_t, void*, float) {
  return opcode == vst2::audioMasterVersion ? 2400 : 0;
}

struct Studio {
  Studio() {
    qr::g_runMode = qr::kRunEffect;
    effect = qr::CreatePlugin(&Host, "");
    plug = static_cast<qr::TVSTPlug*>(static_cast<qr::AudioEffect*>(effect->object));
    win = std::make_unique<qr::XMainWin>(*plug, 320, 240);
    // Every widget of every page still lays out and draws over the whole
    // window; only the pixels of one small corner are written, since the
    // rasteriser's work follows the window's size, not the input.
    win->Gui().SetRasterClip({0, 0, 8, 8});
  }
  vst2::AEffect* effect;
  qr::TVSTPlug* plug;
  std::unique_ptr<qr::XMainWin> win;
};

Studio* g_studio = nullptr;

// At the end of the run the window and the plug-in go, then the drawing
// libraries' caches, so the leak check at exit sees only real losses.
void TearDown() {
  g_studio->win.reset();
  g_studio->effect->dispatcher(g_studio->effect, vst2::effClose, 0, 0, nullptr, 0);
  qr::ReleaseDrawingCaches();
}

}  // namespace

// The address sanitizer's allocator fills the first 4 KB of every new block
// with a pattern byte. Drawing allocates and frees paths, glyph lists and
// widgets by the hundred for each input, and the fill took a third of the run;
// neither sanitizer reports a read of memory never written as such (the
// pattern only makes such reads repeatable), so this target leaves new blocks
// as they come. What is given up: a never-written bool read as a bool, which
// the undefined-behaviour check can catch when the pattern byte is there.
extern "C" const char* __asan_default_options() { return "max_malloc_fill_size=0"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qr::fuzz::SilenceMessages();
  if (!g_studio) {
    static Studio studio;
    g_studio = &studio;
    std::atexit(&TearDown);
  }
  Studio& s = *g_studio;
  std::vector<uint8_t> bytes(data, data + size);
  s.plug->dispatcher(vst2::effSetChunk, 0, static_cast<intptr_t>(bytes.size()), bytes.data(), 0);
  s.win->ShowPage("Modules");
  s.win->Update();
  s.win->ShowPage("Mixer");
  s.win->Update();
  for (auto& c : s.plug->Root().children) {
    s.win->OpenEditor(*c);
    s.win->Gui().InvalidateAll();
    s.win->Update();
  }
  return 0;
}
