#pragma once
// The "Modules" page: the root group's graph, one box per module with its
// ports, the cables between them, and the menus that change the graph.
#include <cstdint>
#include <functional>
#include <string>

#include "ui/Graph.h"
#include "ui/Widgets.h"

namespace qr {

class CGroup;
class CProject;

// What the page asks of the window around it.
struct PageHost {
  std::function<void(CComp&)> openEditor;
  // Asks the user for a line of text (a name, a file path); `done` runs with it.
  std::function<void(const std::string& title, const std::string& initial,
                     std::function<void(const std::string&)> done)>
      prompt;
  std::function<std::vector<XMenuItem>()> projectMenu;
};

class XModulePage : public XCtrl {
 public:
  XModulePage(CGroup& root, CProject& project, PageHost host);

  void Draw(cairo_t* cr, XPainter& p) override;
  bool OnDown(const WinEvent& e) override;
  void OnDrag(const WinEvent& e) override;
  void OnUp(const WinEvent& e) override;
  void OnDoubleClick(const WinEvent& e) override;
  bool OnWheel(const WinEvent& e) override;
  bool OnKey(const WinEvent& e) override;
  std::string Tip() const override;

  // A summary of everything the page shows; the window redraws when it moves.
  uint64_t Signature() const;
  // Page coordinates of a window point and back.
  int PageX(int wx) const noexcept { return wx - rect.x + scrollX; }
  int PageY(int wy) const noexcept { return wy - rect.y + scrollY; }
  int WinX(int px) const noexcept { return px + rect.x - scrollX; }
  int WinY(int py) const noexcept { return py + rect.y - scrollY; }
  // A root box that was never placed goes horizontally centred, 128 pixels
  // above the bottom of the view.
  void PlaceRoot();
  // Drops a selection whose module went (a load, a delete) before it is used.
  void ForgetGone();
  std::vector<XMenuItem> ModuleMenu(CComp& m);
  std::vector<XMenuItem> PageMenu(int page_x, int page_y);

  int scrollX = 0, scrollY = 0;
  CComp* selected = nullptr;

 private:
  void DrawBox(cairo_t* cr, XPainter& p, CComp& m);
  void DrawCable(cairo_t* cr, const Rect& from, const Rect& to, uint32_t colour, bool midi);
  CGroup& root_;
  CProject& project_;
  PageHost host_;
  enum class Drag { Idle, Move, Cable, Scroll } drag_ = Drag::Idle;
  CComp* dragModule_ = nullptr;
  PortRef dragPort_;
  int dragX_ = 0, dragY_ = 0, grabX_ = 0, grabY_ = 0;
  int hoverX_ = 0, hoverY_ = 0;
};

}  // namespace qr
