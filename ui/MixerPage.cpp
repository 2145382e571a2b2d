#include "ui/MixerPage.h"

#include <atomic>
#include <cmath>

#include "graph/Container.h"
#include "graph/Controls.h"
#include "mixer/Mixer.h"

namespace qr {

namespace {
constexpr size_t kPerChannel = 4 + CMixer::kMaxSends;

std::vector<CMixer*> Mixers(CGroup& root) {
  std::vector<CMixer*> out;
  for (auto& c : root.children)
    if (c->TypeKey() == "CMixer") out.push_back(static_cast<CMixer*>(c.get()));
  return out;
}

// The peak since the meter last looked, taken and cleared in one step.
float TakePeak(float& peak) { return std::atomic_ref<float>(peak).exchange(0.0f, std::memory_order_relaxed); }
}  // namespace

uint64_t XMixerPage::Shape() const {
  uint64_t h = static_cast<uint64_t>(scrollX) * 1000003u;
  for (CMixer* m : Mixers(root_))
    h = (h ^
         (reinterpret_cast<uintptr_t>(m) + static_cast<uint64_t>(m->ChannelCount() * 64 + m->SendCount()))) *
        0x100000001B3ull;
  return h;
}

void XMixerPage::Layout() {
  RemoveChildren();
  bound_.clear();
  meters_.clear();
  shape_ = Shape();
  int x = rect.x + 4 - scrollX;
  for (CMixer* mixer : Mixers(root_)) {
    auto* title = Add<XLabel>();
    title->text = mixer->id.empty() ? "Mixer" : mixer->id;
    title->rect = {x, rect.y + 2, std::max(kStrip, mixer->ChannelCount() * kStrip), 16};
    const auto table = mixer->Controls();
    for (int ch = 0; ch < mixer->ChannelCount(); ++ch, x += kStrip) {
      const size_t base = static_cast<size_t>(ch) * kPerChannel;
      auto value = [&](XValueCtrl* v, size_t row) {
        const ControlDesc& c = table[row];
        v->name = c.name;
        v->min = c.min;
        v->max = c.max;
        v->def = c.def;
        v->step = c.step;
        v->value = ReadControl(*mixer, c);
        const ControlDesc* cp = &c;
        v->format = [cp](float f) { return FormatControl(*cp, f); };
        v->parse = [cp](const std::string& t, float& f) { return ParseControl(*cp, t, f); };
        CMixer* mp = mixer;
        const int chan = ch;
        v->changed = [mp, cp, chan](float f) {
          ApplyControl(*mp, *cp, f);
          // Moving a strip's fader or pan starts its hold marks afresh.
          std::atomic_ref<float>(mp->channels[static_cast<size_t>(chan)].holdLeft).store(0.0f);
          std::atomic_ref<float>(mp->channels[static_cast<size_t>(chan)].holdRight).store(0.0f);
        };
        bound_.push_back({v, mixer, row});
      };
      auto* label = Add<XLabel>();
      label->text = std::to_string(ch + 1);
      label->align = Align::Center;
      label->rect = {x, rect.y + 18, kStrip - 4, 14};
      int y = rect.y + 34;
      for (int s = 0; s < mixer->SendCount(); ++s, y += 40) {
        auto* k = Add<XKnob>();
        k->rect = {x + 8, y, 40, 40};
        value(k, base + 4 + static_cast<size_t>(s));
        k->name = Numbered("S", s + 1);
      }
      auto* pan = Add<XKnob>();
      pan->rect = {x + 8, y, 40, 40};
      value(pan, base + 1);
      pan->name = "Pan";
      y += 44;
      for (int b = 0; b < 2; ++b) {
        auto* btn = Add<XButton>();
        btn->text = std::string(b == 0 ? "M" : "S");
        btn->toggle = true;
        btn->rect = {x + 4 + b * 26, y, 24, 16};
        const ControlDesc* cp = &table[base + 2 + static_cast<size_t>(b)];
        btn->on = ReadControl(*mixer, *cp) >= 0.5f;
        btn->tip = cp->name;
        CMixer* mp = mixer;
        btn->clicked = [mp, cp, btn] { ApplyControl(*mp, *cp, btn->on ? 1.0f : 0.0f); };
        bound_.push_back({btn, mixer, base + 2 + static_cast<size_t>(b)});
      }
      y += 20;
      const int faderH = std::max(40, rect.y + rect.h - y - 20);
      auto* fader = Add<XFader>();
      fader->rect = {x + 4, y, 24, faderH};
      value(fader, base);
      for (int side = 0; side < 2; ++side) {
        auto* led = Add<XLed>();
        led->rect = {x + 32 + side * 9, y, 7, faderH};
        CMixer* mp = mixer;
        const size_t chan = static_cast<size_t>(ch);
        led->level = [mp, chan, side] {
          CMixerChannel& c = mp->channels[chan];
          return TakePeak(side == 0 ? c.peakLeft : c.peakRight);
        };
        led->clicked = [mp, chan] {
          std::atomic_ref<float>(mp->channels[chan].holdLeft).store(0.0f);
          std::atomic_ref<float>(mp->channels[chan].holdRight).store(0.0f);
        };
        meters_.push_back(led);
      }
    }
    x += 8;
  }
  Invalidate();
}

bool XMixerPage::Refresh() {
  if (Shape() != shape_) {
    Layout();
    return true;
  }
  bool any = false;
  for (const Bound& b : bound_) {
    const ControlDesc& c = b.mixer->Controls()[b.row];
    const float now = ReadControl(*b.mixer, c);
    if (auto* v = dynamic_cast<XValueCtrl*>(b.widget)) {
      if (v->value != now && !v->Editing()) {
        v->value = now;
        v->Invalidate();
        any = true;
      }
    } else if (auto* btn = dynamic_cast<XButton*>(b.widget)) {
      if (btn->on != (now >= 0.5f)) {
        btn->on = now >= 0.5f;
        btn->Invalidate();
        any = true;
      }
    }
  }
  for (XLed* led : meters_) any = led->Poll() || any;
  return any;
}

void XMixerPage::Draw(cairo_t* cr, XPainter& p) {
  p.Fill(cr, "win_bkgnd", rect, 0x00403C3A);
  if (bound_.empty())
    DrawText(cr, "No mixer in this project", rect, p.Colour("win_font_col", colour::kText), Align::Center);
}

bool XMixerPage::OnWheel(const WinEvent& e) {
  scrollX = std::max(0, scrollX - e.wheel * kStrip);
  Layout();
  return true;
}

}  // namespace qr
