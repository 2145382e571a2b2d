#include "ui/Widgets.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace qr {

namespace {
constexpr double kPi = 3.14159265358979323846;
// Pixels of vertical drag that cross a value control's whole range; Shift makes
// every pixel worth a tenth.
constexpr float kDragRange = 200.0f;
constexpr float kFine = 0.1f;
}  // namespace

// ---------------------------------------------------------------- value controls

void XValueCtrl::SetByUser(float v) {
  if (!std::isfinite(v)) return;
  if (step > 0.0f) v = min + std::nearbyint((v - min) / step) * step;
  v = std::clamp(v, std::min(min, max), std::max(min, max));
  if (v == value) return;
  value = v;
  Invalidate();
  if (changed) changed(v);
}

std::string XValueCtrl::Text() const {
  if (format) return format(value);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f", static_cast<double>(value));
  return buf;
}

std::string XValueCtrl::Tip() const { return name.empty() ? Text() : name + ": " + Text(); }

bool XValueCtrl::OnDown(const WinEvent& e) {
  if (e.button != 1) return false;
  downX_ = e.x;
  downY_ = e.y;
  downValue_ = value;
  downMods_ = e.mods;
  if (editing_) {
    editing_ = false;
    Invalidate();
  }
  return true;
}

float XValueCtrl::DragTo(const WinEvent& e) {
  const float perPixel = Span() / kDragRange * ((e.mods & winkey::kShift) ? kFine : 1.0f);
  return downValue_ + static_cast<float>(downY_ - e.y) * perPixel;
}

void XValueCtrl::OnDrag(const WinEvent& e) {
  // A change of Shift mid-drag restarts from here, so the value does not jump.
  if ((e.mods & winkey::kShift) != (downMods_ & winkey::kShift)) {
    downX_ = e.x;
    downY_ = e.y;
    downValue_ = value;
    downMods_ = e.mods;
    return;
  }
  SetByUser(DragTo(e));
}

bool XValueCtrl::OnWheel(const WinEvent& e) {
  float s = step > 0.0f ? step : Span() / 100.0f;
  if ((e.mods & winkey::kShift) && step <= 0.0f) s *= kFine;
  SetByUser(value + static_cast<float>(e.wheel) * s);
  return true;
}

void XValueCtrl::OnDoubleClick(const WinEvent&) { SetByUser(def); }

bool XValueCtrl::OnKey(const WinEvent& e) {
  if (!editing_) {
    if (e.key != winkey::kChar && e.key != winkey::kEnter) {
      if (e.key == winkey::kUp || e.key == winkey::kDown) {
        WinEvent w = e;
        w.wheel = e.key == winkey::kUp ? 1 : -1;
        return OnWheel(w);
      }
      return false;
    }
    if (e.mods & winkey::kCtrl) return false;
    editing_ = true;
    edit_.clear();
    if (e.key == winkey::kEnter) edit_ = Text();
  }
  switch (e.key) {
    case winkey::kChar:
      edit_ += e.text;
      break;
    case winkey::kBackspace:
      if (!edit_.empty()) edit_.pop_back();
      break;
    case winkey::kEscape:
      editing_ = false;
      break;
    case winkey::kEnter: {
      editing_ = false;
      float v = 0.0f;
      if (parse ? parse(edit_, v) : (std::sscanf(edit_.c_str(), "%f", &v) == 1)) SetByUser(v);
      break;
    }
    default:
      return true;
  }
  Invalidate();
  return true;
}

void XValueCtrl::DrawEditText(cairo_t* cr, XPainter& p, const Rect& r) {
  p.Fill(cr, "va_bkgnd", r, colour::kFrame, true);
  DrawText(cr, edit_ + "|", r, p.Colour("va_font_col", colour::kText), Align::Center);
}

void XKnob::Draw(cairo_t* cr, XPainter& p) {
  const int labelH = name.empty() ? 0 : 12;
  const int d = std::max(8, std::min(rect.w, rect.h - labelH - 12));
  const double cx = rect.x + rect.w / 2.0, cy = rect.y + labelH + d / 2.0;
  const double r = d / 2.0 - 1;
  const double a0 = kPi * 0.75, a1 = kPi * 2.25;
  const double a = a0 + (a1 - a0) * Fraction();
  if (labelH)
    DrawText(cr, name, {rect.x, rect.y, rect.w, labelH}, p.Colour("fa_font_col", colour::kText),
             Align::Center, 10);
  SetColour(cr, p.Colour("fa_bkgnd_vert", colour::kFace));
  cairo_arc(cr, cx, cy, r, 0, 2 * kPi);
  cairo_fill(cr);
  SetColour(cr, p.Colour("fa_thumb_vert", colour::kAccent));
  cairo_set_line_width(cr, 2.5);
  cairo_arc(cr, cx, cy, r - 2, a0, a);
  cairo_stroke(cr);
  cairo_move_to(cr, cx, cy);
  cairo_line_to(cr, cx + std::cos(a) * (r - 2), cy + std::sin(a) * (r - 2));
  cairo_stroke(cr);
  const Rect text{rect.x - 4, rect.y + labelH + d, rect.w + 8, 12};
  if (editing_)
    DrawEditText(cr, p, text);
  else
    DrawText(cr, Text(), text, p.Colour("va_font_col", colour::kText), Align::Center, 10);
}

bool XFader::OnDown(const WinEvent& e) {
  if (!XValueCtrl::OnDown(e)) return false;
  // A click beside the thumb jumps there; on it, the drag is relative.
  const float at = AtPoint(e.x, e.y);
  if (std::fabs(at - value) > Span() * 0.06f) {
    SetByUser(at);
    downValue_ = value;
  }
  return true;
}

float XFader::AtPoint(int x, int y) const {
  const float f =
      vertical ? 1.0f - static_cast<float>(y - rect.y - 4) / static_cast<float>(std::max(1, rect.h - 8))
               : static_cast<float>(x - rect.x - 4) / static_cast<float>(std::max(1, rect.w - 8));
  return min + std::clamp(f, 0.0f, 1.0f) * Span();
}

float XFader::DragTo(const WinEvent& e) {
  const float len = static_cast<float>(std::max(1, (vertical ? rect.h : rect.w) - 8));
  const float px = vertical ? static_cast<float>(downY_ - e.y) : static_cast<float>(e.x - downX_);
  return downValue_ + px / len * Span() * ((e.mods & winkey::kShift) ? kFine : 1.0f);
}

void XFader::Draw(cairo_t* cr, XPainter& p) {
  p.Fill(cr, vertical ? "fa_bkgnd_vert" : "fa_bkgnd_horz", rect, colour::kFrame);
  const float f = Fraction();
  Rect thumb;
  if (vertical) {
    const int y = rect.y + 4 + static_cast<int>((1.0f - f) * static_cast<float>(rect.h - 8));
    SetColour(cr, colour::kFace);
    cairo_rectangle(cr, rect.x + rect.w / 2.0 - 1, rect.y + 4, 2, rect.h - 8);
    cairo_fill(cr);
    thumb = {rect.x + 1, y - 4, rect.w - 2, 8};
  } else {
    const int x = rect.x + 4 + static_cast<int>(f * static_cast<float>(rect.w - 8));
    thumb = {x - 4, rect.y + 1, 8, rect.h - 2};
  }
  p.Fill(cr, vertical ? "fa_thumb_vert" : "fa_thumb_horz", thumb, colour::kAccent, editing_);
}

void XValue::Draw(cairo_t* cr, XPainter& p) {
  if (editing_) {
    DrawEditText(cr, p, rect);
    return;
  }
  p.Fill(cr, "va_bkgnd", rect, colour::kFrame);
  DrawText(cr, Text(), rect, p.Colour("va_font_col", colour::kText), Align::Center);
}

// ---------------------------------------------------------------- buttons, labels

void XButton::Draw(cairo_t* cr, XPainter& p) {
  p.Fill(cr, "bn_bkgnd", rect, colour::kFace, pressed_ || on);
  if (on) {
    SetColour(cr, p.Colour("gr_col_sel", colour::kSelect));
    cairo_rectangle(cr, rect.x + 0.5, rect.y + 0.5, rect.w - 1, rect.h - 1);
    cairo_stroke(cr);
  }
  DrawText(cr, text, rect, p.Colour("bn_font_col", colour::kText), Align::Center);
}

bool XButton::OnDown(const WinEvent& e) {
  if (e.button != 1) return false;
  pressed_ = true;
  Invalidate();
  return true;
}

void XButton::OnUp(const WinEvent& e) {
  pressed_ = false;
  Invalidate();
  if (!rect.Contains(e.x, e.y)) return;  // released elsewhere: no click
  if (toggle) on = !on;
  if (clicked) clicked();
}

void XLabel::Draw(cairo_t* cr, XPainter& p) {
  DrawText(cr, text, rect, p.Colour("win_font_col", colour::kText), align);
}

// ---------------------------------------------------------------- menus

XMenu::XMenu(std::vector<XMenuItem> items, int x, int y) : items_(std::move(items)) {
  int w = 100;
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1);
  cairo_t* cr = cairo_create(s);
  for (const auto& it : items_) w = std::max(w, static_cast<int>(TextWidth(cr, it.text)) + 30);
  cairo_destroy(cr);
  cairo_surface_destroy(s);
  rect = {x, y, w, static_cast<int>(items_.size()) * kRow + 4};
}

int XMenu::RowAt(int y) const {
  const int r = (y - rect.y - 2) / kRow;
  return r >= 0 && r < static_cast<int>(items_.size()) ? r : -1;
}

void XMenu::Draw(cairo_t* cr, XPainter& p) {
  p.Fill(cr, "mu_bkgnd", rect, colour::kFrame);
  for (size_t i = 0; i < items_.size(); ++i) {
    const Rect row{rect.x + 2, rect.y + 2 + static_cast<int>(i) * kRow, rect.w - 4, kRow};
    const XMenuItem& it = items_[i];
    if (it.separator) {
      p.Fill(cr, "mu_separator", {row.x + 4, row.y + kRow / 2, row.w - 8, 1}, colour::kFace);
      continue;
    }
    const bool hot = static_cast<int>(i) == hot_;
    if (hot) p.Fill(cr, "mu_sel_bkgnd", row, colour::kSelect);
    const uint32_t fg =
        hot ? p.Colour("mu_sel_font_col", 0x00FFFFFF) : p.Colour("mu_font_col", colour::kText);
    DrawText(cr, (it.checked ? "\xE2\x9C\x93 " : "  ") + it.text, {row.x + 2, row.y, row.w - 14, row.h}, fg);
    if (!it.sub.empty()) DrawText(cr, "\xE2\x96\xB8", row, fg, Align::Right);
  }
}

bool XMenu::Choose(int x, int y) {
  if (!rect.Contains(x, y)) return false;
  const int r = RowAt(y);
  if (r < 0 || items_[static_cast<size_t>(r)].separator) return false;
  XMenuItem it = items_[static_cast<size_t>(r)];  // the menu goes away below
  XGui* g = Gui();
  if (!it.sub.empty()) {
    if (g)
      g->OpenPopup(std::make_unique<XMenu>(std::move(it.sub), rect.x + rect.w - 4, rect.y + 2 + r * kRow));
    return true;
  }
  if (g) g->ClosePopup();
  if (it.run) it.run();
  return true;
}

bool XMenu::OnDown(const WinEvent& e) {
  hot_ = RowAt(e.y);
  Invalidate();
  return true;
}

void XMenu::OnDrag(const WinEvent& e) {
  const int h = rect.Contains(e.x, e.y) ? RowAt(e.y) : -1;
  if (h != hot_) {
    hot_ = h;
    Invalidate();
  }
}

void XMenu::OnUp(const WinEvent& e) { Choose(e.x, e.y); }

void XDropdown::Draw(cairo_t* cr, XPainter& p) {
  p.Fill(cr, "dd_bkgnd", rect, colour::kFrame);
  const Rect btn{rect.x + rect.w - 14, rect.y, 14, rect.h};
  p.Fill(cr, "dd_btn", btn, colour::kFace);
  const uint32_t fg = p.Colour("dd_font_col", colour::kText);
  DrawText(cr, "\xE2\x96\xBE", btn, fg, Align::Center);
  if (selected >= 0 && selected < static_cast<int>(choices.size()))
    DrawText(cr, choices[static_cast<size_t>(selected)], {rect.x, rect.y, rect.w - 14, rect.h}, fg);
}

void XDropdown::Select(int index) {
  if (index < 0 || index >= static_cast<int>(choices.size()) || index == selected) return;
  selected = index;
  Invalidate();
  if (changed) changed(index);
}

bool XDropdown::OnDown(const WinEvent& e) {
  if (e.button != 1) return false;
  std::vector<XMenuItem> items;
  for (size_t i = 0; i < choices.size(); ++i)
    items.push_back({.text = choices[i],
                     .run = [this, i] { Select(static_cast<int>(i)); },
                     .checked = static_cast<int>(i) == selected});
  if (XGui* g = Gui()) g->OpenPopup(std::make_unique<XMenu>(std::move(items), rect.x, rect.y + rect.h));
  return false;
}

bool XDropdown::OnWheel(const WinEvent& e) {
  Select(selected - e.wheel);
  return true;
}

// ---------------------------------------------------------------- scroll bar, list

Rect XScrollBar::Thumb() const {
  const int len = vertical ? rect.h : rect.w;
  const int t = total > page ? std::max(12, len * page / std::max(1, total)) : len;
  const int range = std::max(1, total - page);
  const int at = total > page ? (len - t) * pos / range : 0;
  return vertical ? Rect{rect.x, rect.y + at, rect.w, t} : Rect{rect.x + at, rect.y, t, rect.h};
}

void XScrollBar::Draw(cairo_t* cr, XPainter& p) {
  p.Fill(cr, vertical ? "sb_bkgnd_vert" : "sb_bkgnd_horz", rect, colour::kFrame);
  p.Fill(cr, vertical ? "sb_thumb_vert" : "sb_thumb_horz", Thumb().Inset(1), colour::kFace);
}

void XScrollBar::SetPos(int p) {
  p = std::clamp(p, 0, std::max(0, total - page));
  if (p == pos) return;
  pos = p;
  Invalidate();
  if (changed) changed(p);
}

bool XScrollBar::OnDown(const WinEvent& e) {
  if (e.button != 1) return false;
  const Rect t = Thumb();
  if (!t.Contains(e.x, e.y)) {  // outside the thumb: a page towards the click
    const bool before = vertical ? e.y < t.y : e.x < t.x;
    SetPos(pos + (before ? -page : page));
  }
  downPos_ = pos;
  downAt_ = vertical ? e.y : e.x;
  return true;
}

void XScrollBar::OnDrag(const WinEvent& e) {
  const int len = vertical ? rect.h : rect.w;
  const int t = vertical ? Thumb().h : Thumb().w;
  if (len <= t) return;
  const int moved = (vertical ? e.y : e.x) - downAt_;
  SetPos(downPos_ + moved * std::max(0, total - page) / (len - t));
}

bool XScrollBar::OnWheel(const WinEvent& e) {
  SetPos(pos - e.wheel * std::max(1, page / 8));
  return true;
}

void XList::Draw(cairo_t* cr, XPainter& p) {
  p.Fill(cr, "lb_bkgnd", rect, colour::kFrame);
  const int rows = rect.h / kRow;
  for (int r = 0; r < rows; ++r) {
    const int i = first + r;
    if (i >= static_cast<int>(items.size())) break;
    const Rect row{rect.x, rect.y + r * kRow, rect.w, kRow};
    const bool sel = i == selected;
    if (sel) p.Fill(cr, "lb_sel", row, colour::kSelect);
    DrawText(cr, items[static_cast<size_t>(i)], row,
             sel ? p.Colour("lb_sel_font_col", 0x00FFFFFF) : p.Colour("lb_font_col", colour::kText));
  }
}

bool XList::OnDown(const WinEvent& e) {
  const int i = RowAt(e.y);
  if (i >= 0 && i < static_cast<int>(items.size()) && i != selected) {
    selected = i;
    Invalidate();
    if (changed) changed(i);
  }
  return false;
}

void XList::OnDoubleClick(const WinEvent& e) {
  const int i = RowAt(e.y);
  if (i >= 0 && i < static_cast<int>(items.size()) && activated) activated(i);
}

bool XList::OnWheel(const WinEvent& e) {
  const int rows = std::max(1, rect.h / kRow);
  first = std::clamp(first - e.wheel * 3, 0, std::max(0, static_cast<int>(items.size()) - rows));
  Invalidate();
  return true;
}

bool XList::OnKey(const WinEvent& e) {
  if (e.key != winkey::kUp && e.key != winkey::kDown) return false;
  const int i = std::clamp(selected + (e.key == winkey::kUp ? -1 : 1), 0, static_cast<int>(items.size()) - 1);
  if (i != selected) {
    selected = i;
    const int rows = std::max(1, rect.h / kRow);
    first = std::clamp(first, i - rows + 1, i);
    Invalidate();
    if (changed) changed(i);
  }
  return true;
}

// ---------------------------------------------------------------- grid, meter, tabs

void XGrid::Draw(cairo_t* cr, XPainter& p) {
  p.Fill(cr, "gr_bkgnd", rect, colour::kFrame);
  if (cols <= 0 || rows <= 0) return;
  const double cw = static_cast<double>(rect.w) / cols, rh = static_cast<double>(rect.h) / rows;
  const uint32_t data = p.Colour("gr_col_data", colour::kMidi);
  for (int c = 0; c < cols; ++c) {
    if (c == marker) {
      SetColour(cr, p.Colour("gr_col_sel", colour::kSelect));
      cairo_rectangle(cr, rect.x + c * cw, rect.y, cw, rect.h);
      cairo_fill(cr);
    }
    for (int r = 0; r < rows && get; ++r) {
      const float span = maxValue - minValue;
      const double f = span != 0.0f ? std::clamp((get(c, r) - minValue) / span, 0.0f, 1.0f) : 0.0;
      SetColour(cr, data);
      cairo_rectangle(cr, rect.x + c * cw + 1, rect.y + (r + 1) * rh - f * (rh - 2) - 1, cw - 2,
                      f * (rh - 2));
      cairo_fill(cr);
    }
  }
  SetColour(cr, p.Colour("gr_col_normal", colour::kFace));
  cairo_set_line_width(cr, 1);
  for (int c = 1; c < cols; ++c) {
    if (c % 4 == 0) SetColour(cr, p.Colour("gr_col_low", 0x00827C78));
    cairo_move_to(cr, rect.x + c * cw + 0.5, rect.y);
    cairo_line_to(cr, rect.x + c * cw + 0.5, rect.y + rect.h);
    cairo_stroke(cr);
    if (c % 4 == 0) SetColour(cr, p.Colour("gr_col_normal", colour::kFace));
  }
}

void XGrid::SetAt(int x, int y) {
  if (!set || cols <= 0 || rows <= 0) return;
  const int c = std::clamp((x - rect.x) * cols / std::max(1, rect.w), 0, cols - 1);
  const int r = std::clamp((y - rect.y) * rows / std::max(1, rect.h), 0, rows - 1);
  const double rh = static_cast<double>(rect.h) / rows;
  const double f = std::clamp(1.0 - (y - rect.y - r * rh) / rh, 0.0, 1.0);
  set(c, r, minValue + static_cast<float>(f) * (maxValue - minValue));
  Invalidate();
}

bool XGrid::OnDown(const WinEvent& e) {
  if (e.button != 1) return false;
  SetAt(e.x, e.y);
  return true;
}

void XGrid::OnDrag(const WinEvent& e) { SetAt(e.x, e.y); }

bool XLed::Poll() {
  const float in = level ? std::fabs(level()) : 0.0f;
  // What is shown falls by a fixed fraction per poll and jumps up at once.
  float next = std::max(in, shown * 0.85f);
  if (next < 0.001f) next = 0.0f;
  const float h = std::max(hold, in);
  if (next == shown && h == hold) return false;
  shown = next;
  hold = h;
  Invalidate();
  return true;
}

void XLed::Draw(cairo_t* cr, XPainter& p) {
  p.Fill(cr, "le_mix_vu_bkgnd", rect, colour::kFrame);
  // A 60 dB scale reads better than a linear one.
  auto frac = [](float v) {
    return v <= 0.001f ? 0.0 : std::clamp((20.0 * std::log10(v) + 60.0) / 60.0, 0.0, 1.0);
  };
  const int h = static_cast<int>(frac(shown) * rect.h);
  p.Fill(cr, shown >= 1.0f ? "le_mix_vu_clip" : "le_mix_vu", {rect.x + 1, rect.y + rect.h - h, rect.w - 2, h},
         shown >= 1.0f ? colour::kClip : colour::kMeter);
  const int hy = rect.y + rect.h - static_cast<int>(frac(hold) * rect.h);
  SetColour(cr, hold >= 1.0f ? p.Colour("le_mix_vu_clip", colour::kClip) : colour::kText);
  cairo_rectangle(cr, rect.x + 1, hy, rect.w - 2, 1);
  cairo_fill(cr);
}

bool XLed::OnDown(const WinEvent& e) {
  if (e.button != 1) return false;
  hold = 0.0f;
  Invalidate();
  if (clicked) clicked();
  return false;
}

std::string XLed::Tip() const {
  char buf[32];
  if (hold <= 0.0f) return "-inf dB";
  std::snprintf(buf, sizeof buf, "%.1f dB", 20.0 * std::log10(static_cast<double>(hold)));
  return buf;
}

Rect XTabs::TabRect(int i) const {
  // Narrower as more editors dock, leaving room for the Project button.
  const int n = std::max(1, static_cast<int>(tabs.size()));
  const int w = std::clamp((rect.w - 72) / n - 2, 24, 80);
  return {rect.x + 2 + i * (w + 2), rect.y, w, rect.h};
}

void XTabs::Draw(cairo_t* cr, XPainter& p) {
  p.Fill(cr, "win_title_bkgnd", rect, colour::kFrame);
  for (size_t i = 0; i < tabs.size(); ++i) {
    const Rect r = TabRect(static_cast<int>(i));
    // Tabs are placed left to right; those past the bar's end are not seen.
    if (r.x >= rect.x + rect.w) break;
    const bool cur = static_cast<int>(i) == current;
    p.Fill(cr, cur ? "win_active" : "win_group_bkgnd", r, cur ? colour::kSelect : colour::kFace);
    DrawText(
        cr, tabs[i], r,
        cur ? p.Colour("win_active_font_col", 0x00FFFFFF) : p.Colour("win_title_font_col", colour::kText),
        Align::Center);
  }
}

bool XTabs::OnDown(const WinEvent& e) {
  if (e.button == 3) {
    for (size_t i = 0; i < tabs.size(); ++i)
      if (TabRect(static_cast<int>(i)).Contains(e.x, e.y) && closeAsked) closeAsked(static_cast<int>(i));
    return false;
  }
  for (size_t i = 0; i < tabs.size(); ++i)
    if (TabRect(static_cast<int>(i)).Contains(e.x, e.y) && static_cast<int>(i) != current) {
      current = static_cast<int>(i);
      Invalidate();
      if (changed) changed(current);
      return false;
    }
  return false;
}

}  // namespace qr
