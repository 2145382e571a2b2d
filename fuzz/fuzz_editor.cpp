// The main window over hostile projects: whatever graph a project file makes
// (ports that do not exist, boxes far off the page, modules of every kind), the
// "Modules" and "Mixer" pages and every module's editor draw without a fault.
// One plug-in and one window live through the whole run, so each input also
// replaces the graph under pages drawn from the one before.
#include <cstddef>
#include <cstdint>
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
  }
  vst2::AEffect* effect;
  qr::TVSTPlug* plug;
  std::unique_ptr<qr::XMainWin> win;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qr::fuzz::SilenceMessages();
  static Studio s;
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
