#include "ui/Paint.h"

#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cstring>

namespace qr {

Rect Rect::Union(const Rect& o) const noexcept {
  if (Empty()) return o;
  if (o.Empty()) return *this;
  const int l = std::min(x, o.x), t = std::min(y, o.y);
  const int r = std::max(x + w, o.x + o.w), b = std::max(y + h, o.y + o.h);
  return {l, t, r - l, b - t};
}

void ReleaseDrawingCaches() {
  cairo_debug_reset_static_data();
  FcFini();
}

std::string Numbered(std::string_view prefix, long n) {
  std::string s(prefix);
  s += std::to_string(n);
  return s;
}

void SetColour(cairo_t* cr, uint32_t c, double alpha) {
  cairo_set_source_rgba(cr, (c & 0xFF) / 255.0, ((c >> 8) & 0xFF) / 255.0, ((c >> 16) & 0xFF) / 255.0, alpha);
}

namespace {
void SelectFont(cairo_t* cr, double size) {
  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, size);
}
}  // namespace

double TextWidth(cairo_t* cr, std::string_view text, double size) {
  SelectFont(cr, size);
  cairo_text_extents_t ext;
  const std::string s(text);
  cairo_text_extents(cr, s.c_str(), &ext);
  return ext.x_advance;
}

void DrawText(cairo_t* cr, std::string_view text, const Rect& r, uint32_t bgr, Align align, double size) {
  if (text.empty() || r.Empty()) return;
  // The font is chosen outside the saved state, so the next text of the same
  // size in this drawing finds its scaled font ready instead of looking it up.
  SelectFont(cr, size);
  cairo_save(cr);
  cairo_rectangle(cr, r.x, r.y, r.w, r.h);
  cairo_clip(cr);
  const std::string s(text);
  double x = r.x + 2;
  if (align != Align::Left) {  // only centred and right-aligned text needs its width
    cairo_text_extents_t ext;
    cairo_text_extents(cr, s.c_str(), &ext);
    x = align == Align::Center ? r.x + (r.w - ext.x_advance) / 2 : r.x + r.w - ext.x_advance - 2;
  }
  SetColour(cr, bgr);
  cairo_move_to(cr, x, r.y + r.h / 2.0 + size * 0.35);
  cairo_show_text(cr, s.c_str());
  cairo_restore(cr);
}

XPainter::~XPainter() { Reset(); }

void XPainter::Reset() {
  for (cairo_surface_t* s : cache_)
    if (s) cairo_surface_destroy(s);
  cache_.clear();
}

const XGuiState& XPainter::State(const XGuiItem& it, bool pushed) const {
  // An unset pushed state looks like the default one.
  return pushed && it.pushed.style >= 0 ? it.pushed : it.normal;
}

uint32_t XPainter::Colour(std::string_view item, uint32_t fallback, bool pushed) const {
  const XGuiItem* it = skin_.Find(item);
  if (!it) return fallback;
  const XGuiState& st = State(*it, pushed);
  if (st.style != static_cast<int32_t>(SkinStyle::Color) || st.color < 0 ||
      static_cast<size_t>(st.color) >= skin_.colors.size())
    return fallback;
  return skin_.colors[static_cast<size_t>(st.color)];
}

cairo_surface_t* XPainter::Surface(int32_t bmp) {
  if (bmp < 0 || static_cast<size_t>(bmp) >= skin_.bitmaps.size()) return nullptr;
  if (cache_.size() < skin_.bitmaps.size()) cache_.resize(skin_.bitmaps.size(), nullptr);
  cairo_surface_t*& s = cache_[static_cast<size_t>(bmp)];
  if (s) return s;
  const XBitmap& b = skin_.bitmaps[static_cast<size_t>(bmp)];
  if (!b.Valid()) return nullptr;
  // Skin pixels are 0x00RRGGBB words, which is cairo's own RGB24 layout.
  s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, b.Width(), b.Height());
  cairo_surface_flush(s);
  unsigned char* data = cairo_image_surface_get_data(s);
  const int stride = cairo_image_surface_get_stride(s);
  for (int32_t y = 0; y < b.Height(); ++y)
    std::memcpy(data + static_cast<size_t>(y) * static_cast<size_t>(stride), b.Row(y),
                static_cast<size_t>(b.Width()) * 4);
  cairo_surface_mark_dirty(s);
  return s;
}

bool XPainter::Fill(cairo_t* cr, std::string_view item, const Rect& r, uint32_t fallback, bool pushed) {
  if (r.Empty()) return false;
  const XGuiItem* it = skin_.Find(item);
  const XGuiState* st = it ? &State(*it, pushed) : nullptr;
  if (st && st->style == static_cast<int32_t>(SkinStyle::Off)) return false;
  if (st && st->style == static_cast<int32_t>(SkinStyle::Bmp)) {
    if (cairo_surface_t* s = Surface(st->bmp)) {
      const int bw = cairo_image_surface_get_width(s), bh = cairo_image_surface_get_height(s);
      cairo_save(cr);
      cairo_rectangle(cr, r.x, r.y, r.w, r.h);
      cairo_clip(cr);
      switch (static_cast<SkinMode>(st->mode)) {
        case SkinMode::Tile: {
          cairo_pattern_t* p = cairo_pattern_create_for_surface(s);
          cairo_pattern_set_extend(p, CAIRO_EXTEND_REPEAT);
          cairo_matrix_t m;
          cairo_matrix_init_translate(&m, -r.x, -r.y);
          cairo_pattern_set_matrix(p, &m);
          cairo_set_source(cr, p);
          cairo_paint(cr);
          cairo_pattern_destroy(p);
          break;
        }
        case SkinMode::Stretch:
          cairo_translate(cr, r.x, r.y);
          cairo_scale(cr, static_cast<double>(r.w) / bw, static_cast<double>(r.h) / bh);
          cairo_set_source_surface(cr, s, 0, 0);
          cairo_paint(cr);
          break;
        case SkinMode::Center:
          cairo_set_source_surface(cr, s, r.x + (r.w - bw) / 2, r.y + (r.h - bh) / 2);
          cairo_paint(cr);
          break;
        default:  // top-left, at its own size
          cairo_set_source_surface(cr, s, r.x, r.y);
          cairo_paint(cr);
      }
      cairo_restore(cr);
      return true;
    }
  }
  SetColour(cr, Colour(item, fallback, pushed));
  cairo_rectangle(cr, r.x, r.y, r.w, r.h);
  cairo_fill(cr);
  return true;
}

}  // namespace qr
