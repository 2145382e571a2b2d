#include "ui/Ctrl.h"

#include <algorithm>
#include <cstdlib>

namespace qr {

void XCtrl::RemoveChildren() {
  if (XGui* g = Gui())
    for (auto& c : children_) {
      c->RemoveChildren();
      g->Forget(c.get());
    }
  children_.clear();
}

XGui* XCtrl::Gui() {
  XCtrl* c = this;
  while (c->parent_) c = c->parent_;
  return c->gui_;
}

void XCtrl::Invalidate() {
  if (XGui* g = Gui()) g->Invalidate(rect);
}

void XCtrl::DrawTree(cairo_t* cr, XPainter& p, const Rect& clip) {
  if (!visible || !rect.Intersects(clip)) return;
  Draw(cr, p);
  for (auto& c : children_) c->DrawTree(cr, p, clip);
}

XCtrl* XCtrl::Hit(int x, int y) {
  if (!visible || !rect.Contains(x, y)) return nullptr;
  for (auto it = children_.rbegin(); it != children_.rend(); ++it)
    if (XCtrl* h = (*it)->Hit(x, y)) return h;
  return this;
}

XGui::XGui(const XGuiMan& skin, int width, int height) : painter_(skin), width_(width), height_(height) {
  surface_ = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
  InvalidateAll();
}

XGui::~XGui() {
  popup_.reset();
  root_.reset();
  cairo_surface_destroy(surface_);
}

void XGui::SetRoot(std::unique_ptr<XCtrl> root) {
  root_ = std::move(root);
  root_->gui_ = this;
  InvalidateAll();
}

void XGui::Resize(int width, int height) {
  if (width <= 0 || height <= 0 || (width == width_ && height == height_)) return;
  cairo_surface_destroy(surface_);
  width_ = width;
  height_ = height;
  surface_ = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
  if (root_) root_->rect = {0, 0, width, height};
  InvalidateAll();
}

void XGui::Invalidate(const Rect& r) {
  const Rect clipped{std::max(r.x, 0), std::max(r.y, 0), std::min(r.x + r.w, width_) - std::max(r.x, 0),
                     std::min(r.y + r.h, height_) - std::max(r.y, 0)};
  if (!clipped.Empty()) dirty_ = dirty_.Union(clipped);
}

void XGui::Forget(const XCtrl* c) noexcept {
  if (capture_ == c) capture_ = nullptr;
  if (focus_ == c) focus_ = nullptr;
  if (hover_ == c) hover_ = nullptr;
}

void XGui::OpenPopup(std::unique_ptr<XPopup> popup) {
  ClosePopup();
  popup->gui_ = this;
  // Keep it on the screen.
  popup->rect.x = std::clamp(popup->rect.x, 0, std::max(0, width_ - popup->rect.w));
  popup->rect.y = std::clamp(popup->rect.y, 0, std::max(0, height_ - popup->rect.h));
  popup_ = std::move(popup);
  Invalidate(popup_->rect);
}

void XGui::ClosePopup() {
  if (!popup_) return;
  Invalidate(popup_->rect);
  Forget(popup_.get());
  for (auto& c : popup_->Children()) Forget(c.get());
  popup_->Closed();
  closed_.push_back(std::move(popup_));
}

void XGui::Dispatch(const WinEvent& e) {
  using K = WinEvent::Kind;
  auto hit = [&](int x, int y) -> XCtrl* {
    if (popup_) return popup_->Hit(x, y);
    return root_ ? root_->Hit(x, y) : nullptr;
  };
  switch (e.kind) {
    case K::Paint:
      InvalidateAll();
      break;
    case K::Resize:
      Resize(e.x, e.y);
      break;
    case K::Down: {
      if (!tooltip_.empty()) {
        Invalidate(tooltipRect_);
        tooltip_.clear();
      }
      XCtrl* c = hit(e.x, e.y);
      if (!c && popup_) {  // a click outside a popup only closes it
        ClosePopup();
        break;
      }
      if (!c) break;
      const bool dbl = e.button == 1 && e.time - lastDownTime_ < kDoubleClickMs &&
                       std::abs(e.x - lastDownX_) < 4 && std::abs(e.y - lastDownY_) < 4;
      lastDownTime_ = e.time;
      lastDownX_ = e.x;
      lastDownY_ = e.y;
      focus_ = c;
      if (dbl) {
        lastDownTime_ = 0;  // a third click starts afresh
        c->OnDoubleClick(e);
        break;
      }
      for (XCtrl* t = c; t; t = t->Parent())
        if (t->OnDown(e)) {
          capture_ = t;
          break;
        }
      break;
    }
    case K::Move:
      mouseX_ = e.x;
      mouseY_ = e.y;
      lastMoveTime_ = e.time;
      if (!tooltip_.empty()) {
        Invalidate(tooltipRect_);
        tooltip_.clear();
      }
      if (capture_) capture_->OnDrag(e);
      hover_ = hit(e.x, e.y);
      break;
    case K::Up:
      if (capture_) {
        XCtrl* c = capture_;
        capture_ = nullptr;
        c->OnUp(e);
      }
      break;
    case K::Wheel:
      for (XCtrl* t = hit(e.x, e.y); t; t = t->Parent())
        if (t->OnWheel(e)) break;
      break;
    case K::Key:
      if (e.key == winkey::kEscape && popup_ && !(focus_ && focus_->OnKey(e))) {
        ClosePopup();
        break;
      }
      for (XCtrl* t = focus_; t; t = t->Parent())
        if (t->OnKey(e)) break;
      break;
    default:
      break;
  }
  closed_.clear();
}

void XGui::Tick(uint32_t now_ms) {
  if (!tooltip_.empty() || capture_ || !hover_ || now_ms - lastMoveTime_ < kTooltipMs) return;
  tooltip_ = hover_->Tip();
  if (tooltip_.empty()) return;
  cairo_t* cr = cairo_create(surface_);
  const int w = static_cast<int>(TextWidth(cr, tooltip_)) + 8;
  cairo_destroy(cr);
  tooltipRect_ = {std::min(mouseX_ + 12, std::max(0, width_ - w)), std::min(mouseY_ + 16, height_ - 18), w,
                  18};
  Invalidate(tooltipRect_);
}

void XGui::DrawTooltip(cairo_t* cr) {
  painter_.Fill(cr, "mu_bkgnd", tooltipRect_, colour::kFrame);
  DrawText(cr, tooltip_, tooltipRect_.Inset(1).Inset(1), painter_.Colour("mu_font_col", colour::kText));
}

Rect XGui::Render() {
  const Rect r = dirty_;
  if (r.Empty()) return {};
  dirty_ = {};
  cairo_t* cr = cairo_create(surface_);
  cairo_rectangle(cr, r.x, r.y, r.w, r.h);
  cairo_clip(cr);
  if (!rasterClip_.Empty()) {
    cairo_rectangle(cr, rasterClip_.x, rasterClip_.y, rasterClip_.w, rasterClip_.h);
    cairo_clip(cr);
  }
  painter_.Fill(cr, "ma_bkgnd", r, colour::kBack);
  if (root_) root_->DrawTree(cr, painter_, r);
  if (popup_) popup_->DrawTree(cr, painter_, r);
  if (!tooltip_.empty()) DrawTooltip(cr);
  cairo_destroy(cr);
  cairo_surface_flush(surface_);
  return r;
}

}  // namespace qr
