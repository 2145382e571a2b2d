#pragma once
// The widget kinds. Value controls share the habits of audio editors: drag up
// to raise, Shift for fine steps, the wheel for one step, double-click for the
// default, type a value and Enter, a tooltip with the value and its unit.
#include <functional>
#include <string>
#include <vector>

#include "ui/Ctrl.h"

namespace qr {

class XValueCtrl : public XCtrl {
 public:
  float value = 0.0f, min = 0.0f, max = 1.0f, def = 0.0f;
  float step = 0.0f;  // 0: continuous
  std::string name;
  std::function<std::string(float)> format;               // the value as shown
  std::function<bool(const std::string&, float&)> parse;  // typed text to a value
  std::function<void(float)> changed;                     // after every change by the user

  // Sets the value as the user would (clamped, snapped, `changed` called).
  void SetByUser(float v);
  std::string Text() const;
  std::string Tip() const override;
  bool Editing() const noexcept { return editing_; }

  bool OnDown(const WinEvent& e) override;
  void OnDrag(const WinEvent& e) override;
  bool OnWheel(const WinEvent& e) override;
  void OnDoubleClick(const WinEvent& e) override;
  bool OnKey(const WinEvent& e) override;

 protected:
  // The value moved by a vertical drag of `dy` pixels (up is negative).
  virtual float DragTo(const WinEvent& e);
  void DrawEditText(cairo_t* cr, XPainter& p, const Rect& r);
  float Span() const noexcept { return max - min; }
  // Where the value stands in the range, 0..1 even for a value a file put
  // outside it (an arc of a huge angle would take cairo forever to stroke).
  float Fraction() const noexcept {
    const float f = Span() != 0.0f ? (value - min) / Span() : 0.0f;
    return f >= 0.0f ? (f <= 1.0f ? f : 1.0f) : 0.0f;  // NaN lands on 0
  }
  int downX_ = 0, downY_ = 0;
  float downValue_ = 0.0f;
  uint32_t downMods_ = 0;
  bool editing_ = false;
  std::string edit_;
};

class XKnob : public XValueCtrl {
 public:
  void Draw(cairo_t* cr, XPainter& p) override;
};

class XFader : public XValueCtrl {
 public:
  bool vertical = true;
  void Draw(cairo_t* cr, XPainter& p) override;
  bool OnDown(const WinEvent& e) override;

 protected:
  float DragTo(const WinEvent& e) override;
  float AtPoint(int x, int y) const;
};

// A number in a box: drag, wheel and typing like a knob.
class XValue : public XValueCtrl {
 public:
  void Draw(cairo_t* cr, XPainter& p) override;
};

class XButton : public XCtrl {
 public:
  std::string text{};
  bool toggle = false;  // keeps its state between clicks
  bool on = false;
  std::function<void()> clicked;
  void Draw(cairo_t* cr, XPainter& p) override;
  bool OnDown(const WinEvent& e) override;
  void OnUp(const WinEvent& e) override;

 private:
  bool pressed_ = false;
};

class XLabel : public XCtrl {
 public:
  std::string text{};
  Align align = Align::Left;
  void Draw(cairo_t* cr, XPainter& p) override;
};

// A popup menu. An item with `sub` items opens them beside it.
struct XMenuItem {
  std::string text{};
  std::function<void()> run{};
  std::vector<XMenuItem> sub{};
  bool checked = false;
  bool separator = false;
};

class XMenu : public XPopup {
 public:
  XMenu(std::vector<XMenuItem> items, int x, int y);
  static constexpr int kRow = 18;
  void Draw(cairo_t* cr, XPainter& p) override;
  bool OnDown(const WinEvent& e) override;
  void OnDrag(const WinEvent& e) override;
  void OnUp(const WinEvent& e) override;
  int RowAt(int y) const;
  // Runs the item at a window point as a click would; false when none.
  bool Choose(int x, int y);
  const std::vector<XMenuItem>& Items() const noexcept { return items_; }

 private:
  std::vector<XMenuItem> items_;
  int hot_ = -1;
};

class XDropdown : public XCtrl {
 public:
  std::vector<std::string> choices;
  int selected = 0;
  std::function<void(int)> changed;
  void Draw(cairo_t* cr, XPainter& p) override;
  bool OnDown(const WinEvent& e) override;
  bool OnWheel(const WinEvent& e) override;
  void Select(int index);
};

class XScrollBar : public XCtrl {
 public:
  bool vertical = true;
  int total = 0, page = 1, pos = 0;
  std::function<void(int)> changed;
  void Draw(cairo_t* cr, XPainter& p) override;
  bool OnDown(const WinEvent& e) override;
  void OnDrag(const WinEvent& e) override;
  bool OnWheel(const WinEvent& e) override;
  void SetPos(int p);

 private:
  Rect Thumb() const;
  int downPos_ = 0, downAt_ = 0;
};

class XList : public XCtrl {
 public:
  std::vector<std::string> items;
  int selected = -1;
  int first = 0;  // the topmost row shown
  static constexpr int kRow = 16;
  std::function<void(int)> changed;
  std::function<void(int)> activated;  // double-click
  void Draw(cairo_t* cr, XPainter& p) override;
  bool OnDown(const WinEvent& e) override;
  void OnDoubleClick(const WinEvent& e) override;
  bool OnWheel(const WinEvent& e) override;
  bool OnKey(const WinEvent& e) override;
  int RowAt(int y) const { return first + (y - rect.y) / kRow; }
};

// Cells of values: step patterns, lanes. Click sets a cell from the click's
// height; a drag paints across cells.
class XGrid : public XCtrl {
 public:
  int cols = 16, rows = 1;
  float minValue = 0.0f, maxValue = 1.0f;
  std::function<float(int col, int row)> get;
  std::function<void(int col, int row, float)> set;
  int marker = -1;  // a column drawn highlighted (the playing step)
  void Draw(cairo_t* cr, XPainter& p) override;
  bool OnDown(const WinEvent& e) override;
  void OnDrag(const WinEvent& e) override;

 private:
  void SetAt(int x, int y);
};

// A level meter: polls its level, decays what it shows and keeps a hold mark.
class XLed : public XCtrl {
 public:
  std::function<float()> level;  // linear peak since the last poll
  std::function<void()> clicked;
  float shown = 0.0f, hold = 0.0f;
  // Takes a new reading; true when what is shown changed.
  bool Poll();
  void Draw(cairo_t* cr, XPainter& p) override;
  bool OnDown(const WinEvent& e) override;
  std::string Tip() const override;
};

class XTabs : public XCtrl {
 public:
  std::vector<std::string> tabs;
  int current = 0;
  std::function<void(int)> changed;
  std::function<void(int)> closeAsked;  // a right-click on a tab
  void Draw(cairo_t* cr, XPainter& p) override;
  bool OnDown(const WinEvent& e) override;
  Rect TabRect(int i) const;
};

}  // namespace qr
