#pragma once
// Skins: the bitmaps, colours and the fixed table of named items from which every
// drawn element of the editor takes its look, and the ".gui" files they are kept in.
//
// A skin file is a plain sequence of records (int32 key length, key, int32 size,
// value) up to the end of the file, with no end record: every bitmap ("BmpData",
// "BmpAlpha"), every colour ("Color"), then every item ("Item" followed by its
// state records).
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "graph/Callback.h"

namespace qr {

// A 32-bit bitmap. Rows are kept top row first in memory; files hold them bottom
// row first.
class XBitmap {
 public:
  // Beyond this a bitmap cannot be made, which also keeps width * height * 4 + 8
  // (the size of its record) within 32 bits.
  static constexpr int32_t kMaxSide = 16384;

  XBitmap() = default;
  // An empty bitmap when the size is not positive or beyond kMaxSide.
  XBitmap(int32_t width, int32_t height);

  bool Valid() const noexcept { return !pixels_.empty(); }
  int32_t Width() const noexcept { return width_; }
  int32_t Height() const noexcept { return height_; }
  uint32_t Pixel(int32_t x, int32_t y) const { return pixels_[Index(x, y)]; }
  void SetPixel(int32_t x, int32_t y, uint32_t v) { pixels_[Index(x, y)] = v; }
  uint32_t* Row(int32_t y) { return pixels_.data() + Index(0, y); }
  const uint32_t* Row(int32_t y) const { return pixels_.data() + Index(0, y); }
  const std::vector<uint32_t>& Pixels() const noexcept { return pixels_; }

  int32_t alpha = 0;  // stored as "BmpAlpha"

  bool operator==(const XBitmap&) const = default;

 private:
  size_t Index(int32_t x, int32_t y) const noexcept {
    return static_cast<size_t>(y) * static_cast<size_t>(width_) + static_cast<size_t>(x);
  }
  int32_t width_ = 0;
  int32_t height_ = 0;
  std::vector<uint32_t> pixels_;
};

enum class SkinStyle : int32_t { Off = 0, Bmp = 1, Color = 2 };
enum class SkinMode : int32_t { Default = 0, Tile = 1, Stretch = 2, Center = 3 };

inline constexpr int kSkinCategoryCount = 13;
extern const char* const kSkinCategoryNames[kSkinCategoryCount];  // "Main" ... "Items"
extern const char* const kSkinStyleNames[3];                      // "Off", "Bmp", "Color"
extern const char* const kSkinModeNames[4];                       // "Default" ... "Center"

// One state of an item. -1 means none (and, for the style, unset).
struct XGuiState {
  int32_t style = -1;
  int32_t bmp = -1;
  int32_t mode = -1;
  int32_t color = -1;
  bool operator==(const XGuiState&) const = default;
};

struct XGuiItem {
  int32_t category = 0;
  std::string name;
  XGuiState normal;  // the Default state
  XGuiState pushed;
  bool operator==(const XGuiItem&) const = default;
};

inline constexpr int kSkinItemCount = 120;

class XGuiMan {
 public:
  // The item table with its defaults and a default palette, so that an editor
  // without any skin file still draws.
  XGuiMan();

  std::vector<XBitmap> bitmaps;
  std::vector<uint32_t> colors;  // red in the low byte, then green, then blue
  std::vector<XGuiItem> items;
  std::string fileName;              // of the skin loaded last
  Callback<void(XGuiMan&)> changed;  // called after a skin has been loaded

  // Rebuilds the item table in its fixed order with every default.
  void ResetItems();
  // Adds an item, or updates the one of that name. Style 2 takes `number` as its
  // colour (and mode); style 1 starts without a bitmap with `number` as its mode.
  XGuiItem& RegisterItem(std::string_view name, int32_t category, int32_t number, int32_t style);

  // Exact, case-sensitive name.
  XGuiItem* Find(std::string_view name) noexcept;
  const XGuiItem* Find(std::string_view name) const noexcept;

  // Does nothing and returns false when the file does not exist (or cannot be
  // read at all). Otherwise resets the items, reads the skin and calls `changed`.
  bool Load(const std::string& file);
  // Applies a skin held in memory: resets the items, clears bitmaps and colours,
  // reads the records. A bitmap that cannot be made shows "DIB section failed"
  // (title "GUI error", once per skin) and leaves an empty bitmap in its place, so
  // the item indices after it still point where the skin meant them to.
  void LoadFromMemory(const uint8_t* bytes, size_t n);

  // Saves through a temporary file, so a failed save keeps the old skin file.
  bool Save(const std::string& file) const;
  std::vector<uint8_t> SaveToMemory() const;

 private:
  // An empty table, to build the defaults from.
  struct NoDefaults {};
  static constexpr NoDefaults kNoDefaults{};
  explicit XGuiMan(NoDefaults);
};

}  // namespace qr
