#pragma once
// The "Mixer" page: one strip per channel of every mixer module, with fader,
// pan, mute, solo, sends and a level meter fed from the audio thread's peaks.
#include <cstdint>
#include <vector>

#include "ui/Widgets.h"

namespace qr {

class CGroup;
class CMixer;

class XMixerPage : public XCtrl {
 public:
  explicit XMixerPage(CGroup& root) : root_(root) {}
  void Draw(cairo_t* cr, XPainter& p) override;
  bool OnWheel(const WinEvent& e) override;
  // Rebuilds the strips when the mixers or their channels changed, takes new
  // values and meter readings; true when anything must be drawn again.
  bool Refresh();
  void Layout();

  static constexpr int kStrip = 60;
  int scrollX = 0;

 private:
  uint64_t Shape() const;
  CGroup& root_;
  uint64_t shape_ = 0;
  struct Bound {
    XCtrl* widget;
    CMixer* mixer;
    size_t row;  // in the mixer's control table
  };
  std::vector<Bound> bound_;
  std::vector<XLed*> meters_;
};

}  // namespace qr
