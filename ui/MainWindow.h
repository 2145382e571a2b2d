#pragma once
// The main window: page tabs ("Modules", "Mixer", then one per docked module
// editor), the project menu, and the window it lives in, a child of the host's
// window, a top-level window of the standalone program, or none at all when a
// page is drawn into a picture.
#include <chrono>
#include <memory>
#include <string>

#include "platform/Window.h"
#include "shell/Editor.h"
#include "ui/Ctrl.h"
#include "ui/MixerPage.h"
#include "ui/ModuleEditor.h"
#include "ui/ModulePage.h"
#include "ui/Skin.h"

namespace qr {

class TVSTPlug;
class XMainPanel;

class XMainWin final : public IPlugEditor {
 public:
  XMainWin(TVSTPlug& plug, int width, int height);
  ~XMainWin() override;

  // IPlugEditor
  bool Open(void* parent) override;
  void Close() override;
  void Idle() override;

  // The standalone program's own window. False without a display.
  bool OpenTopLevel(const std::string& title);
  // True once the user closed the top-level window or pressed Ctrl-Q.
  bool QuitRequested() const noexcept { return quit_; }
  bool HasWindow() const noexcept { return window_ != nullptr; }

  // Pages: "Modules", "Mixer" or a docked editor by its module's name.
  bool ShowPage(const std::string& name);
  std::string CurrentPage() const;
  void OpenEditor(CComp& module);
  XModulePage& ModulePage();
  XMixerPage& MixerPage();
  XModuleEditor* EditorPage(const CComp& module);

  // Takes changes made elsewhere (a loaded project, automation, meters) into
  // the widgets; then draws what changed. Returns the rectangle drawn.
  Rect Update();
  XGui& Gui() noexcept { return *gui_; }
  XGuiMan& Skin() noexcept { return skin_; }
  // Draws the whole window afresh and writes it as a PNG file.
  bool WritePng(const std::string& path);

 private:
  uint32_t NowMs() const;
  TVSTPlug& plug_;
  XGuiMan skin_;
  std::unique_ptr<XGui> gui_;
  XMainPanel* panel_ = nullptr;
  std::unique_ptr<CWindow> window_;
  bool quit_ = false;
  uint32_t lastEventServer_ = 0;
  std::chrono::steady_clock::time_point lastEventLocal_ = std::chrono::steady_clock::now();
};

// The factory the plug-in library and the program hand to the shell.
std::unique_ptr<IPlugEditor> CreateMainEditor(TVSTPlug& plug);

}  // namespace qr
