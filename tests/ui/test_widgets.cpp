// The widget set on its own: skin looks in each mode and state, and the
// habits that tell a click from a double-click, a popup from the page below,
// a resting mouse from a moving one.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "ui/Ctrl.h"
#include "ui/Widgets.h"

using namespace qr;

namespace {

uint32_t Pixel(cairo_surface_t* s, int x, int y) {
  cairo_surface_flush(s);
  uint32_t px;
  std::memcpy(&px, cairo_image_surface_get_data(s) + y * cairo_image_surface_get_stride(s) + x * 4, 4);
  return px & 0x00FFFFFF;  // cairo's 0x00RRGGBB, the bitmaps' own layout
}

// A 2 x 2 bitmap with four different pixels, as the only bitmap of a skin.
struct BitmapSkin {
  static constexpr uint32_t kTL = 0x00FF0000, kTR = 0x0000FF00, kBL = 0x000000FF, kBR = 0x00FFFF00;
  BitmapSkin() {
    XBitmap b(2, 2);
    b.SetPixel(0, 0, kTL);
    b.SetPixel(1, 0, kTR);
    b.SetPixel(0, 1, kBL);
    b.SetPixel(1, 1, kBR);
    skin.bitmaps.push_back(b);
  }
  void Use(const char* item, SkinMode mode) {
    skin.Find(item)->normal = {static_cast<int32_t>(SkinStyle::Bmp), 0, static_cast<int32_t>(mode), -1};
  }
  XGuiMan skin;
};

struct Surface {
  Surface() {
    s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 32, 32);
    cr = cairo_create(s);
  }
  ~Surface() {
    cairo_destroy(cr);
    cairo_surface_destroy(s);
  }
  cairo_surface_t* s;
  cairo_t* cr;
};

WinEvent Ev(WinEvent::Kind k, int x, int y, uint32_t time, int button = 1) {
  WinEvent e;
  e.kind = k;
  e.x = x;
  e.y = y;
  e.button = button;
  e.time = time;
  return e;
}

}  // namespace

TEST(SkinLooks, BitmapModesPlaceThePixelsWhereEachModeSays) {
  struct Case {
    SkinMode mode;
    int x, y;
    uint32_t want;
  };
  // The item fills 6 x 6 pixels at (10, 10).
  const Case cases[] = {
      {SkinMode::Default, 10, 10, BitmapSkin::kTL},
      {SkinMode::Default, 11, 11, BitmapSkin::kBR},
      {SkinMode::Default, 12, 12, 0},
      {SkinMode::Tile, 12, 12, BitmapSkin::kTL},
      {SkinMode::Tile, 15, 14, BitmapSkin::kTR},
      {SkinMode::Tile, 16, 16, 0},
      {SkinMode::Stretch, 11, 11, BitmapSkin::kTL},
      {SkinMode::Stretch, 14, 14, BitmapSkin::kBR},
      {SkinMode::Center, 12, 12, BitmapSkin::kTL},
      {SkinMode::Center, 13, 13, BitmapSkin::kBR},
      {SkinMode::Center, 11, 11, 0},
  };
  for (const Case& c : cases) {
    BitmapSkin b;
    b.Use("bn_bkgnd", c.mode);
    XPainter p(b.skin);
    Surface s;
    EXPECT_TRUE(p.Fill(s.cr, "bn_bkgnd", {10, 10, 6, 6}, 0x00FFFFFF));
    EXPECT_EQ(Pixel(s.s, c.x, c.y), c.want)
        << "mode " << static_cast<int>(c.mode) << " at " << c.x << "," << c.y;
  }
}

TEST(SkinLooks, PushedStateColoursAndOffItems) {
  XGuiMan skin;
  skin.colors = {0x000000FF, 0x0000FF00};  // red, green in the skin's 0x00BBGGRR
  XGuiItem* it = skin.Find("bn_bkgnd");
  it->normal = {static_cast<int32_t>(SkinStyle::Color), -1, 0, 0};
  XPainter p(skin);
  EXPECT_EQ(p.Colour("bn_bkgnd", 7, true), 0x000000FFu);  // an unset pushed state looks like the default
  it->pushed = {static_cast<int32_t>(SkinStyle::Color), -1, 0, 1};
  EXPECT_EQ(p.Colour("bn_bkgnd", 7, true), 0x0000FF00u);
  it->pushed.color = 99;  // past the palette: the built-in colour
  EXPECT_EQ(p.Colour("bn_bkgnd", 7, true), 7u);
  EXPECT_EQ(p.Colour("no_such_item", 7), 7u);
  it->normal.style = static_cast<int32_t>(SkinStyle::Off);
  Surface s;
  EXPECT_FALSE(p.Fill(s.cr, "bn_bkgnd", {0, 0, 8, 8}, 0x00FFFFFF));
  EXPECT_EQ(Pixel(s.s, 2, 2), 0u);
  // A bitmap item whose bitmap is missing falls back to its colour.
  it->normal = {static_cast<int32_t>(SkinStyle::Bmp), 3, 0, -1};
  EXPECT_TRUE(p.Fill(s.cr, "bn_bkgnd", {0, 0, 8, 8}, 0x00FFFFFF));
  EXPECT_EQ(Pixel(s.s, 2, 2), 0x00FFFFFFu);
}

TEST(Widgets, DoubleClickTooltipAndPopupsFollowTheirTimesAndPlaces) {
  XGuiMan skin;
  XGui gui(skin, 300, 200);
  auto root = std::make_unique<XCtrl>();
  root->rect = {0, 0, 300, 200};
  XKnob* knob = root->Add<XKnob>();
  knob->rect = {10, 10, 40, 50};
  knob->name = "Level";
  knob->min = 0;
  knob->max = 1;
  knob->def = 0.5f;
  knob->value = 0.9f;
  XButton* below = root->Add<XButton>();
  below->rect = {150, 100, 60, 20};
  int clicks = 0;
  below->clicked = [&] { ++clicks; };
  gui.SetRoot(std::move(root));

  // Two clicks further apart than a double-click leave the value alone.
  for (uint32_t t : {1000u, 1000u + XGui::kDoubleClickMs}) {
    gui.Dispatch(Ev(WinEvent::Kind::Down, 20, 20, t));
    gui.Dispatch(Ev(WinEvent::Kind::Up, 20, 20, t + 5));
  }
  EXPECT_FLOAT_EQ(knob->value, 0.9f);
  gui.Dispatch(Ev(WinEvent::Kind::Down, 20, 20, 1000 + 2 * XGui::kDoubleClickMs - 1));
  EXPECT_FLOAT_EQ(knob->value, 0.5f);
  gui.Dispatch(Ev(WinEvent::Kind::Up, 20, 20, 3000));

  // The tooltip shows the value once the mouse has rested long enough.
  gui.Dispatch(Ev(WinEvent::Kind::Move, 20, 20, 5000));
  gui.Render();
  gui.Tick(5000 + XGui::kTooltipMs - 1);
  EXPECT_TRUE(gui.Render().Empty());
  gui.Tick(5000 + XGui::kTooltipMs);
  EXPECT_FALSE(gui.Render().Empty());
  EXPECT_EQ(knob->Tip(), "Level: 0.50");

  // A click outside a popup closes it and reaches nothing beneath.
  std::vector<XMenuItem> items;
  items.push_back({.text = "One", .run = [&] { clicks += 10; }});
  gui.OpenPopup(std::make_unique<XMenu>(std::move(items), 140, 40));
  gui.Dispatch(Ev(WinEvent::Kind::Down, 160, 110, 9000));
  gui.Dispatch(Ev(WinEvent::Kind::Up, 160, 110, 9005));
  EXPECT_EQ(gui.Popup(), nullptr);
  EXPECT_EQ(clicks, 0);
  gui.Dispatch(Ev(WinEvent::Kind::Down, 160, 110, 10000));
  gui.Dispatch(Ev(WinEvent::Kind::Up, 160, 110, 10005));
  EXPECT_EQ(clicks, 1);
}

TEST(Widgets, ScrollBarAndListStayWithinTheirContent) {
  XGuiMan skin;
  XGui gui(skin, 300, 300);
  auto root = std::make_unique<XCtrl>();
  root->rect = {0, 0, 300, 300};
  XScrollBar* bar = root->Add<XScrollBar>();
  bar->rect = {0, 0, 10, 100};
  bar->total = 1000;
  bar->page = 100;
  XList* list = root->Add<XList>();
  list->rect = {50, 0, 100, 4 * XList::kRow};
  for (int i = 0; i < 10; ++i) list->items.push_back(Numbered("item ", i));
  gui.SetRoot(std::move(root));

  gui.Dispatch(Ev(WinEvent::Kind::Down, 5, 90, 100));  // below the thumb: a page on
  gui.Dispatch(Ev(WinEvent::Kind::Up, 5, 90, 105));
  EXPECT_EQ(bar->pos, 100);
  bar->SetPos(5000);
  EXPECT_EQ(bar->pos, 900);  // the last page, not past it
  WinEvent wheel = Ev(WinEvent::Kind::Wheel, 5, 50, 0);
  wheel.wheel = 100;
  gui.Dispatch(wheel);
  EXPECT_EQ(bar->pos, 0);

  gui.Dispatch(Ev(WinEvent::Kind::Down, 60, 2, 1000));  // selects and takes the keys
  gui.Dispatch(Ev(WinEvent::Kind::Up, 60, 2, 1005));
  WinEvent down;
  down.kind = WinEvent::Kind::Key;
  down.key = winkey::kDown;
  for (int i = 0; i < 20; ++i) gui.Dispatch(down);
  EXPECT_EQ(list->selected, 9);
  EXPECT_EQ(list->first, 6);  // the selection stays in view, the list does not run past its end
}

// A value a file put far outside the range, or not a number at all, draws at
// the range's end at once (a knob's arc once spun for seconds over such).
TEST(Widgets, ValuesOutsideTheRangeDrawAtItsEnds) {
  XGuiMan skin;
  XGui gui(skin, 100, 100);
  auto root = std::make_unique<XCtrl>();
  root->rect = {0, 0, 100, 100};
  XKnob* knob = root->Add<XKnob>();
  knob->rect = {10, 10, 60, 70};
  XFader* fader = root->Add<XFader>();
  fader->rect = {80, 10, 16, 80};
  gui.SetRoot(std::move(root));
  for (float v :
       {3e38f, -3e38f, std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
    knob->value = fader->value = v;
    gui.InvalidateAll();
    EXPECT_FALSE(gui.Render().Empty());
  }
}

namespace {
// Paints its whole rectangle white and counts how often it was asked to draw.
struct CountingFill final : XCtrl {
  void Draw(cairo_t* cr, XPainter&) override {
    ++draws;
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_rectangle(cr, rect.x, rect.y, rect.w, rect.h);
    cairo_fill(cr);
  }
  int draws = 0;
};
}  // namespace

TEST(Widgets, RasterClipLimitsThePixelsWrittenButEveryWidgetStillDraws) {
  XGuiMan skin;
  XGui gui(skin, 64, 32);
  auto root = std::make_unique<CountingFill>();
  root->rect = {0, 0, 64, 32};
  CountingFill* left = root->Add<CountingFill>();
  left->rect = {0, 0, 32, 32};
  CountingFill* right = root->Add<CountingFill>();
  right->rect = {40, 8, 24, 24};
  CountingFill* top = root.get();
  gui.SetRoot(std::move(root));

  gui.SetRasterClip({0, 0, 8, 8});
  gui.Render();
  EXPECT_EQ(top->draws, 1);
  EXPECT_EQ(left->draws, 1);
  EXPECT_EQ(right->draws, 1);  // wholly outside the clip, still drawn
  EXPECT_EQ(Pixel(gui.Surface(), 7, 7), 0x00FFFFFFu);
  EXPECT_EQ(Pixel(gui.Surface(), 8, 7), 0u);
  EXPECT_EQ(Pixel(gui.Surface(), 7, 8), 0u);
  EXPECT_EQ(Pixel(gui.Surface(), 63, 31), 0u);

  gui.SetRasterClip({});
  gui.InvalidateAll();
  gui.Render();
  EXPECT_EQ(right->draws, 2);
  EXPECT_EQ(Pixel(gui.Surface(), 8, 8), 0x00FFFFFFu);
  EXPECT_EQ(Pixel(gui.Surface(), 63, 31), 0x00FFFFFFu);
}
