#pragma once
// A module's editor, drawn from its control table: a knob for a continuous
// value, a box for a whole number, a dropdown for named choices. Modules with a
// picture of their own (the equaliser's response) add it above the controls.
#include <functional>
#include <vector>

#include "graph/Controls.h"
#include "ui/Widgets.h"

namespace qr {

class CComp;

class XModuleEditor : public XCtrl {
 public:
  explicit XModuleEditor(CComp& module);

  void Draw(cairo_t* cr, XPainter& p) override;
  // Lays the controls out again (after a resize, or when the shown set changed).
  void Layout();
  // Takes values changed elsewhere (a load, automation); true when any did.
  bool Refresh();
  CComp& Module() noexcept { return module_; }
  // The control widget for a table row, or null when the row is hidden.
  XCtrl* ControlWidget(size_t row) const { return row < widgets_.size() ? widgets_[row] : nullptr; }
  // The module's own picture above the controls (curve, step grid, parts), if any.
  XCtrl* Picture() const noexcept { return picture_; }

  static constexpr int kCell = 72;

 private:
  struct Shown {
    bool operator==(const Shown&) const = default;
    std::vector<bool> rows;
  };
  Shown WhatIsShown() const;
  XCtrl* ArpGrid();
  XCtrl* GrooveGrid();
  CComp& module_;
  std::span<const ControlDesc> table_;
  std::vector<XCtrl*> widgets_;  // one per table row, null when hidden
  Shown shown_;
  XCtrl* picture_ = nullptr;
  std::function<int()> gridCols_;  // a step grid follows its module's step count
};

// The envelope's breakpoints over the editor's length in beats.
class XEnvCurve : public XCtrl {
 public:
  explicit XEnvCurve(CComp& env) : env_(env) {}
  void Draw(cairo_t* cr, XPainter& p) override;

 private:
  CComp& env_;
};

// A part-holding module's parts: name, length and what starts them.
class XPartList : public XList {
 public:
  explicit XPartList(CComp& module) : module_(module) {}
  // Reads the parts again; true when the list changed.
  bool Refresh();

 private:
  CComp& module_;
};

// The audio part module's clips along time, each drawn from its sample's peak
// summary, one row per part.
class XClipView : public XCtrl {
 public:
  explicit XClipView(CComp& module) : module_(module) {}
  void Draw(cairo_t* cr, XPainter& p) override;

 private:
  CComp& module_;
};

// The equaliser's magnitude response over 20 Hz .. 20 kHz, from the bands'
// own coefficients.
class XEqCurve : public XCtrl {
 public:
  explicit XEqCurve(CComp& eq) : eq_(eq) {}
  void Draw(cairo_t* cr, XPainter& p) override;
  // Decibels at a frequency, all bands in series.
  double ResponseDb(double hz) const;

 private:
  CComp& eq_;
};

}  // namespace qr
