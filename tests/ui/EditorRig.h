#pragma once
// The plug-in object in process with its main window drawn offscreen, and
// synthetic mouse and key events sent through the window's widget tree.
#include <cstring>
#include <memory>
#include <vector>

#include "graph/Globals.h"
#include "shell/VSTPlug.h"
#include "ui/MainWindow.h"

namespace qr::test {

struct PagePoint {
  int x, y;
};

class EditorRig {
 public:
  explicit EditorRig(int width = 512, int height = 425) {
    g_runMode = kRunEffect;
    effect = CreatePlugin(&Host, "");
    plug = static_cast<TVSTPlug*>(static_cast<AudioEffect*>(effect->object));
    plug->dispatcher(vst2::effSetBlockSize, 0, 64, nullptr, 0);
    win = std::make_unique<XMainWin>(*plug, width, height);
    win->Update();
  }
  ~EditorRig() {
    win.reset();
    effect->dispatcher(effect, vst2::effClose, 0, 0, nullptr, 0);
  }
  EditorRig(const EditorRig&) = delete;
  EditorRig& operator=(const EditorRig&) = delete;

  CGroup& Root() { return plug->Root(); }

  void Send(WinEvent::Kind kind, int x, int y, int button = 1, uint32_t mods = 0) {
    WinEvent e;
    e.kind = kind;
    e.x = x;
    e.y = y;
    e.button = button;
    e.mods = mods;
    // Far enough apart that two clicks never make a double-click by accident.
    clock_ += kind == WinEvent::Kind::Down ? 1000 : 10;
    e.time = clock_;
    win->Gui().Dispatch(e);
  }
  void Click(int x, int y, int button = 1) {
    Send(WinEvent::Kind::Down, x, y, button);
    Send(WinEvent::Kind::Up, x, y, button);
  }
  void DoubleClick(int x, int y) {
    Click(x, y);
    WinEvent e;
    e.kind = WinEvent::Kind::Down;
    e.x = x;
    e.y = y;
    e.button = 1;
    e.time = clock_ + 100;
    win->Gui().Dispatch(e);
    e.kind = WinEvent::Kind::Up;
    win->Gui().Dispatch(e);
    clock_ += 200;
  }
  void Drag(int x0, int y0, int x1, int y1, uint32_t mods = 0, int steps = 5) {
    Send(WinEvent::Kind::Down, x0, y0, 1, mods);
    for (int i = 1; i <= steps; ++i)
      Send(WinEvent::Kind::Move, x0 + (x1 - x0) * i / steps, y0 + (y1 - y0) * i / steps, 1, mods);
    Send(WinEvent::Kind::Up, x1, y1, 1, mods);
  }
  void Wheel(int x, int y, int clicks) {
    WinEvent e;
    e.kind = WinEvent::Kind::Wheel;
    e.x = x;
    e.y = y;
    e.wheel = clicks;
    win->Gui().Dispatch(e);
  }
  void Type(const std::string& text) {
    for (char c : text) {
      WinEvent e;
      e.kind = WinEvent::Kind::Key;
      e.key = winkey::kChar;
      e.text[0] = c;
      win->Gui().Dispatch(e);
    }
  }
  void Key(uint32_t key) {
    WinEvent e;
    e.kind = WinEvent::Kind::Key;
    e.key = key;
    win->Gui().Dispatch(e);
  }

  // Window coordinates of a page point, and of a port's centre.
  PagePoint OnPage(int px, int py) { return {win->ModulePage().WinX(px), win->ModulePage().WinY(py)}; }
  PagePoint Port(CComp& m, PortKind kind, int index) {
    const Rect r = PortRect(m, Root(), kind, index);
    return OnPage(r.x + r.w / 2, r.y + r.h / 2);
  }

  // The project as the host would store it.
  std::vector<uint8_t> Chunk() {
    void* data = nullptr;
    const auto n = plug->dispatcher(vst2::effGetChunk, 0, 0, &data, 0);
    const auto* p = static_cast<const uint8_t*>(data);
    return {p, p + n};
  }

  vst2::AEffect* effect = nullptr;
  TVSTPlug* plug = nullptr;
  std::unique_ptr<XMainWin> win;

 private:
  static intptr_t Host(vst2::AEffect*, int32_t opcode, int32_t, intptr_t, void*, float) {
    return opcode == vst2::audioMasterVersion ? 2400 : 0;
  }
  uint32_t clock_ = 10000;
};

// A second plug-in that loads a chunk, to see what the next session would see.
inline void LoadChunkInto(EditorRig& other, std::vector<uint8_t> chunk) {
  other.plug->dispatcher(vst2::effSetChunk, 0, static_cast<intptr_t>(chunk.size()), chunk.data(), 0);
  for (int i = 0; i < 200 && other.plug->Rebuilding(); ++i) other.plug->IdlePass();
}

}  // namespace qr::test
