#include "ui/ModuleEditor.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <complex>
#include <cstring>

#include "audio/AudioPart.h"
#include "graph/Comp.h"
#include "graph/Container.h"
#include "midifx/Arp.h"
#include "midifx/Envelope.h"
#include "midifx/Groove.h"
#include "midipart/MidiPart2.h"
#include "mixer/Eq.h"

namespace qr {

XModuleEditor::XModuleEditor(CComp& module) : module_(module), table_(module.Controls()) {}

XModuleEditor::Shown XModuleEditor::WhatIsShown() const {
  Shown s;
  s.rows.reserve(table_.size());
  for (const ControlDesc& c : table_) s.rows.push_back(!c.shown || c.shown(module_, c.arg));
  return s;
}

void XModuleEditor::Layout() {
  RemoveChildren();
  widgets_.assign(table_.size(), nullptr);
  shown_ = WhatIsShown();
  int top = rect.y + 24;
  picture_ = nullptr;
  gridCols_ = nullptr;
  const std::string type = module_.TypeKey();
  if (type == "Ceq") picture_ = Add<XEqCurve>(module_);
  if (type == "CEnv") picture_ = Add<XEnvCurve>(module_);
  if (type == "CArp") picture_ = ArpGrid();
  if (type == "CGroove") picture_ = GrooveGrid();
  if (type == "CMPart") {
    auto* list = Add<XPartList>(module_);
    list->Refresh();
    picture_ = list;
  }
  if (type == "CAPart") picture_ = Add<XClipView>(module_);
  if (picture_) {
    picture_->rect = {rect.x + 8, top, std::max(64, rect.w - 16), 110};
    top += 118;
  }
  const int perRow = std::max(1, (rect.w - 16) / kCell);
  int n = 0;
  for (size_t i = 0; i < table_.size(); ++i) {
    if (!shown_.rows[i]) continue;
    const ControlDesc& c = table_[i];
    CComp* m = &module_;
    const ControlDesc* cp = &c;
    const Rect cell{rect.x + 8 + (n % perRow) * kCell, top + (n / perRow) * kCell, kCell - 4, kCell - 4};
    ++n;
    if (!c.choices.empty()) {
      auto* label = Add<XLabel>();
      label->text = c.name;
      label->align = Align::Center;
      label->rect = {cell.x, cell.y + 8, cell.w, 14};
      auto* d = Add<XDropdown>();
      for (const char* ch : c.choices) d->choices.emplace_back(ch);
      d->selected = static_cast<int>(std::lround(ReadControl(module_, c) - c.min));
      d->rect = {cell.x, cell.y + 26, cell.w, 18};
      d->tip = c.name;
      // One control may move others (a band's mode resets its frequency).
      d->changed = [this, m, cp](int i) {
        ApplyControl(*m, *cp, cp->min + static_cast<float>(i));
        Refresh();
      };
      widgets_[i] = d;
      continue;
    }
    XValueCtrl* v = nullptr;
    if (c.step >= 1.0f && c.max - c.min <= 16.0f) {
      v = Add<XKnob>();
    } else if (c.step >= 1.0f) {
      auto* box = Add<XValue>();
      auto* label = Add<XLabel>();
      label->text = c.name;
      label->align = Align::Center;
      label->rect = {cell.x, cell.y + 8, cell.w, 14};
      box->rect = {cell.x, cell.y + 26, cell.w, 18};
      v = box;
    } else {
      v = Add<XKnob>();
    }
    if (!v->rect.w) v->rect = cell;
    v->name = c.name;
    v->min = c.min;
    v->max = c.max;
    v->def = c.def;
    v->step = c.step;
    v->value = ReadControl(module_, c);
    v->format = [cp](float x) { return FormatControl(*cp, x); };
    v->parse = [cp](const std::string& t, float& x) { return ParseControl(*cp, t, x); };
    v->changed = [this, m, cp](float x) {
      ApplyControl(*m, *cp, x);
      Refresh();
      if (picture_) picture_->Invalidate();
    };
    widgets_[i] = v;
  }
  Invalidate();
}

namespace {
// Cells the audio side reads while the editor writes them.
uint8_t ReadCell(const uint8_t& c) {
  return std::atomic_ref<uint8_t>(const_cast<uint8_t&>(c)).load(std::memory_order_relaxed);
}
void WriteCell(uint8_t& c, uint8_t v) { std::atomic_ref<uint8_t>(c).store(v, std::memory_order_relaxed); }
int32_t ReadStep(const int32_t& v) { return static_cast<int32_t>(AtomicRead(v)); }
}  // namespace

// The current pattern's notes, an octave either side of the played key; a
// click's height in a cell is the velocity, the bottom of a cell clears it.
XCtrl* XModuleEditor::ArpGrid() {
  auto& arp = static_cast<CArp&>(module_);
  auto* g = Add<XGrid>();
  constexpr int kShownRange = 12;
  gridCols_ = [&arp] { return std::clamp(ReadStep(arp.CurrentPattern()->steps), 1, 32); };
  g->cols = gridCols_();
  g->rows = 2 * kShownRange + 1;
  g->get = [&arp](int c, int r) {
    return static_cast<float>(ReadCell(arp.CurrentPattern()->Cell(c, kShownRange - r)) & 0x7F) / 127.0f;
  };
  g->set = [&arp](int c, int r, float f) {
    CArpPattern& p = *arp.CurrentPattern();
    const int off = kShownRange - r;
    const auto vel = static_cast<uint8_t>(std::lround(f * 127.0f));
    uint8_t& cell = p.Cell(c, off);
    WriteCell(cell, static_cast<uint8_t>((ReadCell(cell) & CArpPattern::kOffBit) | (vel < 8 ? 0 : vel)));
    // A drawn note lasts one step: its end is marked on the step after it.
    uint8_t& end = p.Cell((c + 1) % std::max(1, p.steps), off);
    if (vel >= 8) WriteCell(end, static_cast<uint8_t>(ReadCell(end) | CArpPattern::kOffBit));
    arp.MarkModified();
  };
  return g;
}

// Per step: timing offset, velocity and gate, each row its own lane.
XCtrl* XModuleEditor::GrooveGrid() {
  auto& gr = static_cast<CGroove&>(module_);
  auto* g = Add<XGrid>();
  gridCols_ = [&gr] { return std::clamp(ReadStep(gr.steps), 1, 64); };
  g->cols = gridCols_();
  g->rows = 3;
  auto lane = [&gr](int r, int c) -> int32_t& {
    auto& a = r == 0 ? gr.offsets : r == 1 ? gr.velocities : gr.gates;
    return a[static_cast<size_t>(c)];
  };
  // Offsets -50..50 % of Q, velocities 1..127, gates 0..200 % of the length.
  static constexpr float kLow[] = {-50.0f, 1.0f, 0.0f}, kHigh[] = {50.0f, 127.0f, 200.0f};
  g->get = [lane](int c, int r) { return (AtomicRead(lane(r, c)) - kLow[r]) / (kHigh[r] - kLow[r]); };
  g->set = [lane, &gr](int c, int r, float f) {
    AtomicWrite(lane(r, c), kLow[r] + f * (kHigh[r] - kLow[r]));
    gr.MarkModified();
  };
  return g;
}

bool XModuleEditor::Refresh() {
  if (WhatIsShown() != shown_) {
    Layout();
    return true;
  }
  bool any = false;
  for (size_t i = 0; i < table_.size(); ++i) {
    XCtrl* w = widgets_[i];
    if (!w) continue;
    const float now = ReadControl(module_, table_[i]);
    if (auto* v = dynamic_cast<XValueCtrl*>(w)) {
      if (v->value != now && !v->Editing()) {
        v->value = now;
        v->Invalidate();
        any = true;
      }
    } else if (auto* d = dynamic_cast<XDropdown*>(w)) {
      const int sel = static_cast<int>(std::lround(now - table_[i].min));
      if (sel != d->selected) {
        d->selected = sel;
        d->Invalidate();
        any = true;
      }
    }
  }
  if (gridCols_)
    if (auto* g = dynamic_cast<XGrid*>(picture_); g && g->cols != gridCols_()) {
      g->cols = gridCols_();
      any = true;
    }
  if (auto* list = dynamic_cast<XPartList*>(picture_)) any = list->Refresh() || any;
  if (any && picture_) picture_->Invalidate();
  return any;
}

void XModuleEditor::Draw(cairo_t* cr, XPainter& p) {
  p.Fill(cr, "win_bkgnd", rect, 0x00403C3A);
  const Rect title{rect.x, rect.y, rect.w, 20};
  p.Fill(cr, "win_group_bkgnd", title, colour::kFrame);
  DrawText(cr,
           (module_.id.empty() ? module_.TypeKey() : module_.id) + (table_.empty() ? "  (no controls)" : ""),
           title.Inset(2), p.Colour("win_group_font_col", colour::kText));
}

void XEnvCurve::Draw(cairo_t* cr, XPainter& p) {
  p.Fill(cr, "gr_bkgnd", rect, colour::kFrame);
  const auto& env = static_cast<const CEnvelope&>(env_);
  const double length = std::max(1, env.beats) * 960.0;
  SetColour(cr, p.Colour("gr_col_normal", colour::kFace));
  cairo_set_line_width(cr, 1);
  for (int b = 1; b < env.beats; ++b) {
    const double x = std::floor(rect.x + b * 960.0 / length * rect.w) + 0.5;
    cairo_move_to(cr, x, rect.y);
    cairo_line_to(cr, x, rect.y + rect.h);
  }
  cairo_stroke(cr);
  SetColour(cr, p.Colour("gr_col_data", colour::kMidi));
  cairo_set_line_width(cr, 1.5);
  int64_t t = 0;
  for (size_t i = 0; i < env.shape.points.size(); ++i) {
    t += env.shape.points[i].delta;
    const double x = rect.x + static_cast<double>(t) / length * rect.w;
    const double y =
        rect.y + (1.0 - std::clamp(static_cast<double>(env.shape.points[i].value), 0.0, 1.0)) * (rect.h - 4) +
        2;
    if (i == 0)
      cairo_move_to(cr, x, y);
    else
      cairo_line_to(cr, x, y);
  }
  cairo_stroke(cr);
}

namespace {
// "C3" for key 60.
std::string NoteName(int key) {
  static constexpr const char* kNames[] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
  return std::string(kNames[key % 12]) + std::to_string(key / 12 - 2);
}
}  // namespace

bool XPartList::Refresh() {
  auto& pc = static_cast<CPartComp&>(module_);
  std::vector<std::string> now;
  const bool midi = module_.TypeKey() == "CMPart";
  for (int i = 0; i < pc.PartCount(); ++i) {
    std::string line = Numbered("", i + 1) + "  " + pc.PartName(i);
    if (midi) {
      const CLiveMIDIPart* p = static_cast<CMIDIPart2&>(pc).Part(i);
      const int key = static_cast<int>(AtomicRead(p->key));
      const int mode = static_cast<int>(AtomicRead(p->triggerMode));
      line += mode >= 2 ? "   CC " + std::to_string(key) : "   " + NoteName(std::clamp(key, 0, 127));
      line += mode % 2 ? " toggles" : " on/off";
      if (pc.IsPlaying(const_cast<CLiveMIDIPart*>(p))) line += "   playing";
    }
    now.push_back(std::move(line));
  }
  if (now == items) return false;
  items = std::move(now);
  Invalidate();
  return true;
}

void XClipView::Draw(cairo_t* cr, XPainter& p) {
  p.Fill(cr, "gr_bkgnd", rect, colour::kFrame);
  const auto& ap = static_cast<const CAudioPart2&>(module_);
  const int parts = std::max(1, ap.PartCount());
  const double rowH = static_cast<double>(rect.h) / parts;
  // The longest part sets the time scale.
  double longest = 960.0 * 4;
  for (int i = 0; i < ap.PartCount(); ++i)
    longest = std::max(
        longest,
        static_cast<double>(ap.PartLength(const_cast<void*>(static_cast<const void*>(ap.PartAt(i))))));
  const uint32_t data = p.Colour("gr_col_data", colour::kMidi);
  for (int i = 0; i < ap.PartCount(); ++i) {
    const auto* part = static_cast<const CLiveAudioPart*>(ap.PartAt(i));
    const double top = rect.y + i * rowH;
    int64_t start = 0;
    for (const CAudioClip* c = part->ClipHead(); c; c = c->next.get()) {
      start += c->delta;
      if (c->sample < 0 || static_cast<size_t>(c->sample) >= ap.samples.size()) continue;
      const CSample& s = *ap.samples[static_cast<size_t>(c->sample)];
      // The summary: "peak", frame count, channel count, then per block of
      // frames and channel a minimum and maximum byte around 127.
      const std::vector<uint8_t>& pk = s.peaks;
      if (pk.size() < 9) continue;
      int32_t frames = 0;
      std::memcpy(&frames, pk.data() + 4, 4);
      const int ch = std::max<int>(1, pk[8]);
      const size_t blocks = (pk.size() - 9) / (2 * static_cast<size_t>(ch));
      const int32_t first = std::max(c->first, 1), last = c->last > 0 ? c->last : frames;
      const double x0 = rect.x + start / longest * rect.w;
      const double len = std::max(1, last - first + 1);
      // As wide as the clip lasts at the part's own pace is unknown here; the
      // clip gets its share up to the next clip or the end of the row.
      const double x1 = c->next ? rect.x + (start + c->next->delta) / longest * rect.w : rect.x + rect.w;
      SetColour(cr, data, 0.25);
      cairo_rectangle(cr, x0, top + 1, std::max(1.0, x1 - x0), rowH - 2);
      cairo_fill(cr);
      SetColour(cr, data);
      for (int px = 0; px < static_cast<int>(x1 - x0); ++px) {
        const double frame = first + len * px / std::max(1.0, x1 - x0);
        const size_t b = std::min(blocks - 1, static_cast<size_t>(frame / kPeakBlockFrames));
        if (blocks == 0) break;
        const uint8_t lo = pk[9 + b * 2 * ch], hi = pk[9 + b * 2 * ch + 1];
        const double mid = top + rowH / 2, scale = (rowH - 4) / 254.0;
        cairo_rectangle(cr, x0 + px, mid - (hi - 127) * scale, 1, std::max(1.0, (hi - lo) * scale));
      }
      cairo_fill(cr);
    }
  }
}

double XEqCurve::ResponseDb(double hz) const {
  const auto& eq = static_cast<const CEq&>(eq_);
  const double w = 2.0 * 3.14159265358979323846 * hz / eq.sampleRate;
  const std::complex<double> z1 = std::polar(1.0, -w), z2 = z1 * z1;
  double db = 0.0;
  for (int b = 0; b < eq.BandCount(); ++b) {
    const auto& c = eq.bands[static_cast<size_t>(b)].ch[0];
    const std::complex<double> num =
        static_cast<double>(c.b0) + static_cast<double>(c.b1) * z1 + static_cast<double>(c.b2) * z2;
    const std::complex<double> den = 1.0 + static_cast<double>(c.a1) * z1 + static_cast<double>(c.a2) * z2;
    const double mag = std::abs(num / den);
    db += 20.0 * std::log10(std::max(mag, 1e-9));
  }
  return db;
}

void XEqCurve::Draw(cairo_t* cr, XPainter& p) {
  p.Fill(cr, "gr_bkgnd", rect, colour::kFrame);
  constexpr double kRangeDb = 24.0;
  auto yOf = [&](double db) {
    return rect.y + rect.h / 2.0 - std::clamp(db / kRangeDb, -1.0, 1.0) * (rect.h / 2.0 - 2);
  };
  SetColour(cr, p.Colour("gr_col_normal", colour::kFace));
  cairo_set_line_width(cr, 1);
  for (double hz : {100.0, 1000.0, 10000.0}) {
    const double x = rect.x + std::log(hz / 20.0) / std::log(1000.0) * rect.w;
    cairo_move_to(cr, std::floor(x) + 0.5, rect.y);
    cairo_line_to(cr, std::floor(x) + 0.5, rect.y + rect.h);
  }
  cairo_move_to(cr, rect.x, std::floor(yOf(0)) + 0.5);
  cairo_line_to(cr, rect.x + rect.w, std::floor(yOf(0)) + 0.5);
  cairo_stroke(cr);
  SetColour(cr, p.Colour("gr_col_data", colour::kMidi));
  cairo_set_line_width(cr, 1.5);
  // Each column's response costs a complex division per band: a redraw of a
  // small damaged area works out only the columns whose line can reach it
  // (a mitred corner of this width reaches at most 7.5 pixels sideways).
  double x1 = rect.x, y1 = rect.y, x2 = rect.x + rect.w, y2 = rect.y + rect.h;
  cairo_clip_extents(cr, &x1, &y1, &x2, &y2);
  const int first = std::clamp(static_cast<int>(std::floor(x1 - rect.x)) - 8, 0, rect.w);
  const int last = std::clamp(static_cast<int>(std::ceil(x2 - rect.x)) + 8, 0, rect.w);
  for (int i = first; i <= last; ++i) {
    const double hz = 20.0 * std::pow(1000.0, static_cast<double>(i) / rect.w);
    const double y = yOf(ResponseDb(hz));
    if (i == first)
      cairo_move_to(cr, rect.x + i, y);
    else
      cairo_line_to(cr, rect.x + i, y);
  }
  cairo_stroke(cr);
}

}  // namespace qr
