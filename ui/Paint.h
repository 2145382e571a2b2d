#pragma once
// Drawing with the skin: every look comes from a named skin item (a colour, or
// a bitmap in one of the four modes), with a built-in colour when the item says
// nothing.
#include <cairo.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ui/Skin.h"

namespace qr {

struct Rect {
  int x = 0, y = 0, w = 0, h = 0;
  bool Contains(int px, int py) const noexcept { return px >= x && py >= y && px < x + w && py < y + h; }
  bool Intersects(const Rect& o) const noexcept {
    return x < o.x + o.w && o.x < x + w && y < o.y + o.h && o.y < y + h;
  }
  bool Empty() const noexcept { return w <= 0 || h <= 0; }
  Rect Union(const Rect& o) const noexcept;
  Rect Inset(int d) const noexcept { return {x + d, y + d, w - 2 * d, h - 2 * d}; }
};

// Built-in colours (0x00BBGGRR, the skin's layout) for items a skin leaves unset.
namespace colour {
inline constexpr uint32_t kText = 0x00E6E6E6;
inline constexpr uint32_t kBack = 0x00322E2C;
inline constexpr uint32_t kFace = 0x005A5450;
inline constexpr uint32_t kFrame = 0x00221F1E;
inline constexpr uint32_t kAccent = 0x0028A0FF;
inline constexpr uint32_t kSelect = 0x00AA6E46;
inline constexpr uint32_t kMeter = 0x005AC83C;
inline constexpr uint32_t kClip = 0x003030E0;
inline constexpr uint32_t kMidi = 0x00E6AA6E;
}  // namespace colour

class XPainter {
 public:
  explicit XPainter(const XGuiMan& skin) : skin_(skin) {}
  ~XPainter();
  XPainter(const XPainter&) = delete;
  XPainter& operator=(const XPainter&) = delete;

  const XGuiMan& Skin() const noexcept { return skin_; }
  // The item's colour in the given state; `fallback` when it has none.
  uint32_t Colour(std::string_view item, uint32_t fallback, bool pushed = false) const;
  // Fills `r` with the item's look. False when the item drew nothing.
  bool Fill(cairo_t* cr, std::string_view item, const Rect& r, uint32_t fallback, bool pushed = false);
  // Drops cached bitmaps after the skin changed.
  void Reset();

 private:
  cairo_surface_t* Surface(int32_t bmp);
  const XGuiState& State(const XGuiItem& it, bool pushed) const;
  const XGuiMan& skin_;
  std::vector<cairo_surface_t*> cache_;
};

void SetColour(cairo_t* cr, uint32_t bgr, double alpha = 1.0);
enum class Align { Left, Center, Right };
// One line of text, vertically centred in `r` and clipped to it.
void DrawText(cairo_t* cr, std::string_view text, const Rect& r, uint32_t bgr, Align align = Align::Left,
              double size = 11.0);
double TextWidth(cairo_t* cr, std::string_view text, double size = 11.0);
// Gives back what the drawing libraries keep for the whole process (font
// caches, the display bookkeeping), once nothing drawn is alive any more: at a
// program's end, so a leak checker sees only what is really lost.
void ReleaseDrawingCaches();

// "prefix" followed by the number in decimal.
std::string Numbered(std::string_view prefix, long n);

}  // namespace qr
