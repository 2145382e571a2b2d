#pragma once
// XCtrl, the base of every widget, and XGui, which owns a widget tree, routes
// events through it and draws only what changed into an image surface.
#include <cairo.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Window.h"
#include "ui/Paint.h"

namespace qr {

class XGui;

class XCtrl {
 public:
  XCtrl() = default;
  virtual ~XCtrl() = default;
  XCtrl(const XCtrl&) = delete;
  XCtrl& operator=(const XCtrl&) = delete;

  template <typename T, typename... A>
  T* Add(A&&... a) {
    auto c = std::make_unique<T>(std::forward<A>(a)...);
    T* p = c.get();
    p->parent_ = this;
    children_.push_back(std::move(c));
    return p;
  }
  void RemoveChildren();
  const std::vector<std::unique_ptr<XCtrl>>& Children() const noexcept { return children_; }

  // Draws itself, then the visible children that meet the clip.
  void DrawTree(cairo_t* cr, XPainter& p, const Rect& clip);
  // The topmost visible control under a point (this one when no child is).
  XCtrl* Hit(int x, int y);
  // Asks for a redraw of this control's rectangle.
  void Invalidate();
  XGui* Gui();

  virtual void Draw(cairo_t*, XPainter&) {}
  // Events in window coordinates. Down returns true to take the mouse until Up.
  virtual bool OnDown(const WinEvent&) { return false; }
  virtual void OnDrag(const WinEvent&) {}
  virtual void OnUp(const WinEvent&) {}
  virtual bool OnWheel(const WinEvent&) { return false; }
  virtual void OnDoubleClick(const WinEvent&) {}
  // Keys go to the control that took the last click.
  virtual bool OnKey(const WinEvent&) { return false; }
  // Text for the tooltip shown while the mouse rests on the control.
  virtual std::string Tip() const { return tip; }

  Rect rect;
  bool visible = true;
  std::string tip;
  XCtrl* Parent() const noexcept { return parent_; }

 private:
  friend class XGui;
  XCtrl* parent_ = nullptr;
  XGui* gui_ = nullptr;  // set on the root only
  std::vector<std::unique_ptr<XCtrl>> children_;
};

// A popup that lies above the tree: menus and dropdown lists.
class XPopup : public XCtrl {
 public:
  // Clicks outside close it.
  virtual void Closed() {}
};

class XGui {
 public:
  explicit XGui(const XGuiMan& skin, int width, int height);
  ~XGui();
  XGui(const XGui&) = delete;
  XGui& operator=(const XGui&) = delete;

  void SetRoot(std::unique_ptr<XCtrl> root);
  XCtrl* Root() const noexcept { return root_.get(); }
  void Resize(int width, int height);
  int Width() const noexcept { return width_; }
  int Height() const noexcept { return height_; }

  // Routes one event; true when it changed anything on the screen.
  void Dispatch(const WinEvent& e);
  void Invalidate(const Rect& r);
  void InvalidateAll() { Invalidate({0, 0, width_, height_}); }
  // Draws what was invalidated since the last call into the surface and returns
  // that rectangle; empty when nothing changed, and then nothing is drawn.
  Rect Render();
  // Limits the pixels Render() writes to r while every widget in the dirty area
  // still lays out and draws: checks that walk all the drawing code over many
  // inputs need not pay for rasterising it. An empty r writes everywhere again.
  void SetRasterClip(const Rect& r) noexcept { rasterClip_ = r; }
  cairo_surface_t* Surface() const noexcept { return surface_; }
  XPainter& Painter() noexcept { return painter_; }

  void OpenPopup(std::unique_ptr<XPopup> popup);
  void ClosePopup();
  XPopup* Popup() const noexcept { return popup_.get(); }
  void SetFocus(XCtrl* c) noexcept { focus_ = c; }
  XCtrl* Focus() const noexcept { return focus_; }
  // Forgets a control that is about to be destroyed.
  void Forget(const XCtrl* c) noexcept;
  // Called once per idle pass: the tooltip appears after the mouse rested.
  void Tick(uint32_t now_ms);

  static constexpr uint32_t kDoubleClickMs = 400;
  static constexpr uint32_t kTooltipMs = 600;

 private:
  void DrawTooltip(cairo_t* cr);
  std::unique_ptr<XCtrl> root_;
  std::unique_ptr<XPopup> popup_;
  std::vector<std::unique_ptr<XPopup>> closed_;  // destroyed after the event that closed them
  XPainter painter_;
  cairo_surface_t* surface_ = nullptr;
  int width_, height_;
  Rect dirty_;
  Rect rasterClip_;
  XCtrl* capture_ = nullptr;
  XCtrl* focus_ = nullptr;
  XCtrl* hover_ = nullptr;
  uint32_t lastDownTime_ = 0;
  int lastDownX_ = -100, lastDownY_ = -100;
  uint32_t lastMoveTime_ = 0;
  int mouseX_ = 0, mouseY_ = 0;
  std::string tooltip_;
  Rect tooltipRect_;
};

}  // namespace qr
