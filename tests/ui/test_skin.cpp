#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Files.h"
#include "platform/Messages.h"
#include "stream/RecordStream.h"
#include "tests/support/FuzzSeeds.h"
#include "tests/support/MessageCapture.h"
#include "tests/support/TempDir.h"
#include "ui/Skin.h"

namespace qr {
namespace {

class SkinTest : public ::testing::Test {
 protected:
  test::TempDir tmp_;
  std::string dir_ = tmp_.Path();
  test::MessageCapture sink_;
};

TEST(SkinTable, OrderCategoriesAndRegistration) {
  XGuiMan g;
  ASSERT_EQ(g.items.size(), size_t{kSkinItemCount});
  EXPECT_EQ(g.items.front().name, "ma_bkgnd");
  EXPECT_EQ(g.items[46].name, "win_active");
  EXPECT_EQ(g.items.back().name, "sq_track_font_col");
  static const char* const kPrefix[] = {"ma_", "ic_", "win_", "mu_", "sb_", "dd_", "bn_",
                                        "va_", "lb_", "fa_",  "gr_", "le_", "sq_"};
  int last_category = 0;
  for (const XGuiItem& i : g.items) {
    ASSERT_GE(i.category, last_category) << i.name;  // categories come in blocks
    last_category = i.category;
    EXPECT_EQ(i.name.rfind(kPrefix[i.category], 0), 0u) << i.name;
    EXPECT_EQ(i.pushed, XGuiState{}) << i.name;
  }
  auto color_of = [&](const char* n) { return g.Find(n)->normal.color; };
  EXPECT_EQ(g.Find("MA_BKGND"), nullptr);
  g.RegisterItem("ma_bkgnd", 0, 9, 2);
  EXPECT_EQ(g.items.size(), size_t{kSkinItemCount});
  EXPECT_EQ(color_of("ma_bkgnd"), 9);
}

TEST_F(SkinTest, SaveAndReloadPixelForPixel) {
  XGuiMan g;
  g.bitmaps.emplace_back(3, 2);
  g.bitmaps.emplace_back(1, 5);
  for (XBitmap& b : g.bitmaps)
    for (int32_t y = 0; y < b.Height(); ++y)
      for (int32_t x = 0; x < b.Width(); ++x)
        b.SetPixel(x, y, 0x01000000u * (y + 1) + 0x100u * x + b.Width());
  g.bitmaps[1].alpha = 200;
  g.colors.push_back(0x00123456);
  XGuiItem* it = g.Find("ic_play_on");
  it->normal.bmp = 1;
  it->pushed = {2, -1, -1, 13};  // a colour state keeps no mode
  const std::string file = JoinPath(dir_, "t.gui");
  ASSERT_TRUE(g.Save(file));
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(ReadWholeFile(file, bytes));
  test::KeepFuzzSeed("skin", "saved.gui", bytes);

  // The first record is the 3x2 bitmap, bottom row first.
  CMemStream s(bytes);
  std::string key;
  int32_t size = 0;
  ASSERT_TRUE(s.NextRecord(key, size));
  EXPECT_EQ(key, "BmpData");
  EXPECT_EQ(size, 3 * 2 * 4 + 8);
  EXPECT_EQ(s.ReadInt(), 3);
  EXPECT_EQ(s.ReadInt(), 2);
  EXPECT_EQ(static_cast<uint32_t>(s.ReadInt()), g.bitmaps[0].Pixel(0, 1));

  XGuiMan h;
  int calls = 0;
  h.changed = {[](void* c, XGuiMan&) { ++*static_cast<int*>(c); }, &calls};
  ASSERT_TRUE(h.Load(file));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(h.fileName, file);
  EXPECT_EQ(h.bitmaps, g.bitmaps);
  EXPECT_EQ(h.colors, g.colors);
  EXPECT_EQ(h.items, g.items);
  EXPECT_EQ(h.SaveToMemory(), bytes);
  EXPECT_TRUE(sink_.TitleTexts().empty());

  EXPECT_FALSE(h.Load(JoinPath(dir_, "missing.gui")));
  EXPECT_EQ(h.fileName, file);
  EXPECT_EQ(calls, 1);
}

TEST_F(SkinTest, UnknownAndMissingItems) {
  CMemStream s;
  s.WriteKeyInt("Color", 0x00FF0000);
  s.WriteKeyString("Item", "zz_not_an_item");
  s.WriteKeyInt("ItemStyle", 2);
  s.WriteKeyInt("ItemColor", 0);
  s.WriteKeyString("Future", "ignored");
  s.WriteKeyString("Item", "mu_bkgnd");
  s.WriteKeyInt("ItemStyle", 2);
  s.WriteKeyInt("ItemColor", 0);
  s.WriteKeyInt("ItemStyle2", 1);
  s.WriteKeyInt("ItemBmp2", 5);
  s.WriteKeyInt("ItemMode2", 2);
  test::KeepFuzzSeed("skin", "items.gui", s.Data());

  XGuiMan g;
  g.Find("ma_bkgnd")->normal.color = 99;  // a table left over from an earlier skin
  g.LoadFromMemory(s.Data().data(), s.Data().size());
  const XGuiMan fresh;
  EXPECT_EQ(g.colors, std::vector<uint32_t>{0x00FF0000});
  EXPECT_EQ(g.Find("mu_bkgnd")->normal, (XGuiState{2, -1, 6, 0}));
  EXPECT_EQ(g.Find("mu_bkgnd")->pushed, (XGuiState{1, 5, 2, -1}));
  for (size_t i = 0; i < g.items.size(); ++i) {
    if (g.items[i].name == "mu_bkgnd") continue;
    EXPECT_EQ(g.items[i], fresh.items[i]) << g.items[i].name;
  }
  EXPECT_TRUE(sink_.TitleTexts().empty());
}

TEST_F(SkinTest, HostileAndTruncatedFiles) {
  CMemStream s;
  s.WriteKey("BmpData", 8);  // claims 100000 x 100000 pixels in a file of a few bytes
  s.WriteInt(100000);
  s.WriteInt(100000);
  s.WriteKeyInt("BmpAlpha", 7);
  s.WriteKey("BmpData", 8);
  s.WriteInt(-1);
  s.WriteInt(4);
  s.WriteKey("BmpData", 12);
  s.WriteInt(1);
  s.WriteInt(1);
  s.WriteInt(0x00ABCDEF);
  s.WriteKeyInt("Color", 3);
  test::KeepFuzzSeed("skin", "hostile.gui", s.Data());
  XGuiMan g;
  g.LoadFromMemory(s.Data().data(), s.Data().size());
  using Msg = std::pair<std::string, std::string>;
  EXPECT_EQ(sink_.TitleTexts(), (std::vector<Msg>{{"GUI error", "DIB section failed"}}));
  ASSERT_EQ(g.bitmaps.size(), 3u);  // the refused ones keep their places
  EXPECT_FALSE(g.bitmaps[0].Valid());
  EXPECT_EQ(g.bitmaps[0].alpha, 7);
  EXPECT_EQ(g.bitmaps[2].Pixel(0, 0), 0x00ABCDEFu);
  EXPECT_EQ(g.colors, std::vector<uint32_t>{3});

  // Every prefix of a real skin loads without harm and keeps what it held whole.
  XGuiMan full;
  full.bitmaps.emplace_back(4, 4);
  const std::vector<uint8_t> bytes = full.SaveToMemory();
  for (size_t n = 0; n < bytes.size(); n += 3) {
    XGuiMan t;
    t.LoadFromMemory(bytes.data(), n);
    EXPECT_LE(t.bitmaps.size(), 1u);
    EXPECT_LE(t.colors.size(), full.colors.size());
  }
}

}  // namespace
}  // namespace qr
