#include "ui/ModulePage.h"

#include <algorithm>
#include <cmath>

#include "graph/Container.h"
#include "persist/Project.h"

namespace qr {

namespace {

// The skin's icon item for a module's type key.
const char* IconItem(const std::string& key) {
  static const std::pair<const char*, const char*> kIcons[] = {
      {"CArp", "ic_arp"},
      {"CVST", "ic_vst"},
      {"CTracks", "ic_seq"},
      {"CEnv", "ic_env"},
      {"CAPart", "ic_audiopart"},
      {"CMPart", "ic_midipart"},
      {"CSampler", "ic_sampler"},
      {"CGroup", "ic_masterout"},
      {"CMidiIn", "ic_midiin"},
      {"CChords", "ic_chords"},
      {"CMPatcher", "ic_midipatcher"},
      {"CMIDIChs", "ic_midichs"},
      {"CMixer", "ic_mixer"},
  };
  for (const auto& [k, item] : kIcons)
    if (key == k) return item;
  return "ic_mixer";
}

uint64_t Mix(uint64_t h, uint64_t v) { return (h ^ v) * 0x100000001B3ull; }

}  // namespace

XModulePage::XModulePage(CGroup& root, CProject& project, PageHost host)
    : root_(root), project_(project), host_(std::move(host)) {}

void XModulePage::PlaceRoot() {
  if (root_.x != 0 || root_.y != 0 || rect.Empty()) return;
  root_.x = std::max(0, (rect.w - box::kWidth) / 2);
  root_.y = std::max(0, rect.h - 128);
}

void XModulePage::ForgetGone() {
  if (selected && selected != &root_ &&
      std::none_of(root_.children.begin(), root_.children.end(),
                   [&](auto& c) { return c.get() == selected; }))
    selected = nullptr;
}

uint64_t XModulePage::Signature() const {
  uint64_t h = 0xCBF29CE484222325ull;
  h = Mix(h, static_cast<uint64_t>(scrollX) << 32 | static_cast<uint32_t>(scrollY));
  h = Mix(h, reinterpret_cast<uintptr_t>(selected));
  auto one = [&](const CComp& m) {
    h = Mix(h, reinterpret_cast<uintptr_t>(&m));
    h = Mix(h, static_cast<uint64_t>(static_cast<uint32_t>(m.x)) << 32 | static_cast<uint32_t>(m.y));
    h = Mix(h, std::hash<std::string>{}(m.id));
    h = Mix(h, m.audioIns.size() << 16 | m.audioOuts.size() << 8 | static_cast<uint64_t>(m.enabled & 1));
    for (const auto& c : m.audioInCables)
      h = Mix(h, reinterpret_cast<uintptr_t>(c->Source()) +
                     (static_cast<uint64_t>(static_cast<uint32_t>(c->sourceOut)) << 32 |
                      static_cast<uint32_t>(c->destIn)));
    for (const auto& c : m.midiIn)
      h = Mix(h, reinterpret_cast<uintptr_t>(c->Source()) +
                     (static_cast<uint64_t>(static_cast<uint32_t>(c->sourcePort)) << 32 |
                      static_cast<uint32_t>(c->destPort)));
  };
  one(root_);
  for (const auto& c : root_.children) one(*c);
  return h;
}

void XModulePage::DrawCable(cairo_t* cr, const Rect& a, const Rect& b, uint32_t col, bool midi) {
  const double x0 = WinX(a.x + a.w / 2), y0 = WinY(a.y + a.h / 2);
  const double x1 = WinX(b.x + b.w / 2), y1 = WinY(b.y + b.h / 2);
  const double bend = std::max(30.0, std::fabs(x1 - x0) / 2);
  SetColour(cr, col);
  cairo_set_line_width(cr, 2.0);
  if (midi) {
    const double dash[] = {5.0, 3.0};
    cairo_set_dash(cr, dash, 2, 0);
  }
  cairo_move_to(cr, x0, y0);
  cairo_curve_to(cr, x0 + bend, y0, x1 - bend, y1, x1, y1);
  cairo_stroke(cr);
  cairo_set_dash(cr, nullptr, 0, 0);
}

void XModulePage::DrawBox(cairo_t* cr, XPainter& p, CComp& m) {
  Rect b = BoxRect(m, root_);
  b.x = WinX(b.x);
  b.y = WinY(b.y);
  p.Fill(cr, "win_bkgnd", b, 0x00403C3A);
  const Rect head{b.x, b.y, b.w, box::kHeader};
  p.Fill(cr, &m == selected ? "win_active" : "win_title_bkgnd", head,
         &m == selected ? colour::kSelect : colour::kFrame);
  const Rect icon{b.x + 2, b.y + 2, box::kHeader - 4, box::kHeader - 4};
  p.Fill(cr, IconItem(m.TypeKey()), icon, colour::kAccent);
  const std::string name = m.id.empty() ? m.TypeKey() : m.id;
  DrawText(cr, name, {icon.x + icon.w + 2, b.y, b.w - icon.w - 6, box::kHeader},
           p.Colour(&m == selected ? "win_active_font_col" : "win_title_font_col", colour::kText));
  if (!m.enabled) {
    SetColour(cr, colour::kClip);
    cairo_rectangle(cr, b.x + b.w - 7, b.y + 3, 4, 4);
    cairo_fill(cr);
  }
  SetColour(cr, p.Colour("win_frame_left", colour::kFrame));
  cairo_set_line_width(cr, 1);
  cairo_rectangle(cr, b.x + 0.5, b.y + 0.5, b.w - 1, b.h - 1);
  cairo_stroke(cr);
  const uint32_t text = p.Colour("win_font_col", colour::kText);
  const uint32_t audio = p.Colour("ma_audio_cable", colour::kAccent);
  const uint32_t midi = p.Colour("ma_midi_cable", colour::kAccent);
  for (PortKind k : {PortKind::AudioIn, PortKind::AudioOut, PortKind::MidiIn, PortKind::MidiOut}) {
    const int n = PortCount(m, root_, k);
    const bool isMidi = k == PortKind::MidiIn || k == PortKind::MidiOut;
    const bool left = k == PortKind::AudioIn || k == PortKind::MidiIn;
    for (int i = 0; i < n; ++i) {
      Rect r = PortRect(m, root_, k, i);
      r.x = WinX(r.x);
      r.y = WinY(r.y);
      SetColour(cr, isMidi ? midi : audio);
      if (isMidi) {  // MIDI ports are diamonds, audio ports squares
        cairo_move_to(cr, r.x + r.w / 2.0, r.y);
        cairo_line_to(cr, r.x + r.w, r.y + r.h / 2.0);
        cairo_line_to(cr, r.x + r.w / 2.0, r.y + r.h);
        cairo_line_to(cr, r.x, r.y + r.h / 2.0);
        cairo_close_path(cr);
        cairo_fill(cr);
      } else {
        cairo_rectangle(cr, r.x, r.y, r.w, r.h);
        cairo_fill(cr);
      }
      std::string label;
      if (isMidi)
        label = n > 1 ? Numbered("MIDI ", i + 1) : std::string("MIDI");
      else
        label = left ? Numbered("in ", i + 1)
                     : std::string(m.audioOuts[static_cast<size_t>(i)]->channels == 1 ? "mono" : "out");
      if (!isMidi && !left && i > 0) label += Numbered(" ", i + 1);
      const Rect lr{left ? r.x + r.w + 2 : b.x + b.w / 2, r.y - 3, b.w / 2 - r.w, r.h + 6};
      DrawText(cr, label, lr, text, left ? Align::Left : Align::Right, 9);
    }
  }
}

void XModulePage::Draw(cairo_t* cr, XPainter& p) {
  cairo_save(cr);
  cairo_rectangle(cr, rect.x, rect.y, rect.w, rect.h);
  cairo_clip(cr);
  p.Fill(cr, "ma_bkgnd", rect, colour::kBack);
  DrawBox(cr, p, root_);
  for (auto& c : root_.children) DrawBox(cr, p, *c);
  // Cables over the boxes, so a cable is never hidden behind a module.
  const uint32_t audio = p.Colour("ma_audio_cable", colour::kAccent);
  const uint32_t midi = p.Colour("ma_midi_cable", colour::kAccent);
  auto cablesInto = [&](CComp& m) {
    for (const auto& c : m.audioInCables) {
      if (c->sourceOut < 0 || c->destIn < 0 ||
          c->sourceOut >= PortCount(*c->Source(), root_, PortKind::AudioOut) ||
          c->destIn >= static_cast<int>(m.audioIns.size()))
        continue;
      DrawCable(cr, PortRect(*c->Source(), root_, PortKind::AudioOut, c->sourceOut),
                PortRect(m, root_, PortKind::AudioIn, c->destIn), audio, false);
    }
    for (const auto& c : m.midiIn) {
      const int outs = PortCount(*c->Source(), root_, PortKind::MidiOut);
      if (outs == 0 || PortCount(m, root_, PortKind::MidiIn) == 0) continue;
      DrawCable(cr, PortRect(*c->Source(), root_, PortKind::MidiOut, std::min(c->sourcePort, outs - 1)),
                PortRect(m, root_, PortKind::MidiIn, 0), midi, true);
    }
  };
  cablesInto(root_);
  for (auto& c : root_.children) cablesInto(*c);
  if (drag_ == Drag::Cable && dragPort_) {
    const Rect a = PortRect(*dragPort_.module, root_, dragPort_.kind, dragPort_.index);
    const Rect b{PageX(hoverX_), PageY(hoverY_), 0, 0};
    const bool out = dragPort_.kind == PortKind::AudioOut || dragPort_.kind == PortKind::MidiOut;
    const bool m = dragPort_.kind == PortKind::MidiOut || dragPort_.kind == PortKind::MidiIn;
    if (out)
      DrawCable(cr, a, b, m ? midi : audio, m);
    else
      DrawCable(cr, b, a, m ? midi : audio, m);
  }
  cairo_restore(cr);
}

bool XModulePage::OnDown(const WinEvent& e) {
  const int px = PageX(e.x), py = PageY(e.y);
  hoverX_ = e.x;
  hoverY_ = e.y;
  if (e.button == 3) {
    CComp* m = ModuleAt(root_, px, py);
    selected = m;
    Invalidate();
    if (XGui* g = Gui())
      g->OpenPopup(std::make_unique<XMenu>(m ? ModuleMenu(*m) : PageMenu(px, py), e.x, e.y));
    return false;
  }
  if (e.button == 2) {
    drag_ = Drag::Scroll;
    dragX_ = e.x + scrollX;
    dragY_ = e.y + scrollY;
    return true;
  }
  if (e.button != 1) return false;
  if (PortRef port = PortAt(root_, px, py)) {
    drag_ = Drag::Cable;
    dragPort_ = port;
    return true;
  }
  CComp* m = ModuleAt(root_, px, py);
  selected = m;
  Invalidate();
  if (!m) return false;
  drag_ = Drag::Move;
  dragModule_ = m;
  grabX_ = px - m->x;
  grabY_ = py - m->y;
  return true;
}

void XModulePage::OnDrag(const WinEvent& e) {
  hoverX_ = e.x;
  hoverY_ = e.y;
  switch (drag_) {
    case Drag::Move:
      // Boxes stay on the page; nothing on the audio side reads the position.
      dragModule_->x = std::max(0, PageX(e.x) - grabX_);
      dragModule_->y = std::max(0, PageY(e.y) - grabY_);
      Invalidate();
      break;
    case Drag::Cable:
      Invalidate();
      break;
    case Drag::Scroll:
      scrollX = std::max(0, dragX_ - e.x);
      scrollY = std::max(0, dragY_ - e.y);
      Invalidate();
      break;
    default:
      break;
  }
}

void XModulePage::OnUp(const WinEvent& e) {
  if (drag_ == Drag::Cable) {
    const PortRef to = PortAt(root_, PageX(e.x), PageY(e.y));
    if (to && to.module != dragPort_.module) ToggleCable(root_, project_, dragPort_, to);
  } else if (drag_ == Drag::Move && dragModule_) {
    dragModule_->MarkModified();
  }
  drag_ = Drag::Idle;
  dragModule_ = nullptr;
  dragPort_ = {};
  Invalidate();
}

void XModulePage::OnDoubleClick(const WinEvent& e) {
  if (CComp* m = ModuleAt(root_, PageX(e.x), PageY(e.y)); m && host_.openEditor) host_.openEditor(*m);
}

bool XModulePage::OnWheel(const WinEvent& e) {
  if (e.mods & winkey::kShift)
    scrollX = std::max(0, scrollX - e.wheel * 40);
  else
    scrollY = std::max(0, scrollY - e.wheel * 40);
  Invalidate();
  return true;
}

bool XModulePage::OnKey(const WinEvent& e) {
  if (e.key == winkey::kDelete && selected) {
    if (DeleteModule(root_, project_, selected)) selected = nullptr;
    Invalidate();
    return true;
  }
  return false;
}

std::string XModulePage::Tip() const {
  auto& root = const_cast<CGroup&>(root_);
  const PortRef p = PortAt(root, PageX(hoverX_), PageY(hoverY_));
  if (!p) return {};
  switch (p.kind) {
    case PortKind::AudioIn:
      return p.module->InputName(p.index);
    case PortKind::AudioOut:
      return p.module->OutputName(p.index);
    case PortKind::MidiIn:
      return "MIDI in";
    case PortKind::MidiOut:
      return "MIDI out " + std::to_string(p.index);
  }
  return {};
}

std::vector<XMenuItem> XModulePage::ModuleMenu(CComp& m) {
  std::vector<XMenuItem> items;
  CComp* mp = &m;
  items.push_back({.text = "Editor", .run = [this, mp] {
                     if (host_.openEditor) host_.openEditor(*mp);
                   }});
  items.push_back({.text = "Rename", .run = [this, mp] {
                     if (host_.prompt)
                       host_.prompt("Rename", mp->id, [this, mp](const std::string& name) {
                         mp->id = name;
                         mp->MarkModified();
                         Invalidate();
                       });
                   }});
  items.push_back({.text = mp->enabled ? "Switch off" : "Switch on", .run = [mp] {
                     mp->SetEnabled(mp->enabled ? 0 : 1);
                     mp->MarkModified();
                   }});
  if (mp != &root_ && mp->TypeKey() != "CMidiIn") {
    items.push_back({.text = "Save module", .run = [this, mp] {
                       if (host_.prompt)
                         host_.prompt("Save module", mp->id + ".qrm",
                                      [mp](const std::string& path) { SaveModuleFile(*mp, path); });
                     }});
    items.push_back({.text = "Load module", .run = [this, mp] {
                       if (host_.prompt)
                         host_.prompt("Load module", "", [this, mp](const std::string& path) {
                           EditGraph(root_, project_, [&] { LoadModuleFile(*mp, path, mp->TypeKey()); });
                           Invalidate();
                         });
                     }});
    items.push_back({.separator = true});
    items.push_back({.text = "Delete", .run = [this, mp] {
                       if (DeleteModule(root_, project_, mp) && selected == mp) selected = nullptr;
                       Invalidate();
                     }});
  }
  return items;
}

std::vector<XMenuItem> XModulePage::PageMenu(int px, int py) {
  std::vector<XMenuItem> add;
  for (const ModuleType& t : AvailableModuleTypes())
    add.push_back({.text = t.caption, .run = [this, key = t.key, px, py] {
                     if (CComp* m = AddModule(root_, project_, key, px, py)) {
                       if (m->id.empty()) m->id = m->TypeKey();
                       selected = m;
                     }
                     Invalidate();
                   }});
  std::vector<XMenuItem> items;
  items.push_back({.text = "Add module", .sub = std::move(add)});
  if (host_.projectMenu) {
    items.push_back({.separator = true});
    for (auto& it : host_.projectMenu()) items.push_back(std::move(it));
  }
  return items;
}

}  // namespace qr
