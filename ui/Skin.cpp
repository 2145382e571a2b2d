#include "ui/Skin.h"

#include <unordered_map>
#include <utility>

#include "platform/Files.h"
#include "platform/Messages.h"
#include "stream/RecordStream.h"

namespace qr {

const char* const kSkinCategoryNames[kSkinCategoryCount] = {
    "Main",  "Icons", "Window", "Menu", "Scrollbar", "Dropdown", "Button",
    "Value", "List",  "Fader",  "Grid", "Leds",      "Items"};
const char* const kSkinStyleNames[3] = {"Off", "Bmp", "Color"};
const char* const kSkinModeNames[4] = {"Default", "Tile", "Stretch", "Center"};

namespace {

constexpr uint64_t kMaxSkinFileBytes = uint64_t{256} << 20;

// The palette an editor starts with before any skin file is loaded, in the
// platform colour layout (0x00BBGGRR). The item defaults below point into it.
constexpr uint32_t kDefaultPalette[] = {
    0x00E6E6E6,  // 0 text
    0x0028A0FF,  // 1 module icons and cables
    0x00403C3A,  // 2 window background
    0x00221F1E,  // 3 frames, dark fills
    0x00322E2C,  // 4 main background
    0x00FFFFFF,  // 5 selected text
    0x002A2624,  // 6 menu background
    0x00AA6E46,  // 7 selection
    0x005A5450,  // 8 control faces
    0x00645E5A,  // 9 grid lines, separators
    0x00827C78,  // 10 grid lines on beats and bars
    0x005AC83C,  // 11 level meter
    0x00E6AA6E,  // 12 data drawn on grids
};

enum : int8_t { kOff = 0, kBmp = 1, kCol = 2 };

struct ItemDefault {
  const char* name;
  int8_t category;
  int8_t number;
  int8_t style;
};

// Table order is the order of the preferences window and of saved skins.
constexpr ItemDefault kItemTable[] = {
    {"ma_bkgnd", 0, 4, kCol},
    {"ma_audio_cable", 0, 1, kCol},
    {"ma_midi_cable", 0, 1, kCol},
    {"ic_font_col", 1, 0, kCol},
    {"ic_arp", 1, 1, kCol},
    {"ic_vst", 1, 1, kCol},
    {"ic_seq", 1, 1, kCol},
    {"ic_env", 1, 1, kCol},
    {"ic_audiopart", 1, 1, kCol},
    {"ic_midipart", 1, 1, kCol},
    {"ic_sampler", 1, 1, kCol},
    {"ic_masterout", 1, 1, kCol},
    {"ic_midiin", 1, 1, kCol},
    {"ic_chords", 1, 1, kCol},
    {"ic_midipatcher", 1, 1, kCol},
    {"ic_midichs", 1, 1, kCol},
    {"ic_mixer", 1, 1, kCol},
    {"ic_mute_on", 1, 3, kBmp},
    {"ic_mute_off", 1, 3, kBmp},
    {"ic_solo_on", 1, 3, kBmp},
    {"ic_solo_off", 1, 3, kBmp},
    {"ic_pre_fader_on", 1, 3, kBmp},
    {"ic_pre_fader_off", 1, 3, kBmp},
    {"ic_on", 1, 3, kBmp},
    {"ic_off", 1, 3, kBmp},
    {"ic_power_on", 1, 3, kBmp},
    {"ic_power_off", 1, 3, kBmp},
    {"ic_play_on", 1, 3, kBmp},
    {"ic_play_off", 1, 3, kBmp},
    {"ic_stop_on", 1, 3, kBmp},
    {"ic_stop_off", 1, 3, kBmp},
    {"ic_rewind", 1, 3, kBmp},
    {"ic_monitor", 1, 3, kBmp},
    {"ic_play_big", 1, 3, kBmp},
    {"ic_rec", 1, 3, kBmp},
    {"ic_rec_big", 1, 3, kBmp},
    {"ic_stop_big", 1, 3, kBmp},
    {"ic_home_big", 1, 3, kBmp},
    {"ic_loop_big", 1, 3, kBmp},
    {"ic_left", 1, 3, kBmp},
    {"ic_right", 1, 3, kBmp},
    {"ic_up", 1, 3, kBmp},
    {"ic_up2", 1, 3, kBmp},
    {"ic_down", 1, 3, kBmp},
    {"ic_down2", 1, 3, kBmp},
    {"ic_zoom", 1, 3, kBmp},
    {"win_active", 2, 7, kCol},
    {"win_active_left", 2, 0, kOff},
    {"win_active_font_col", 2, -1, kCol},
    {"win_bkgnd", 2, 2, kCol},
    {"win_close", 2, 3, kBmp},
    {"win_maximize", 2, 3, kBmp},
    {"win_minimize", 2, 3, kBmp},
    {"win_size", 2, 3, kBmp},
    {"win_font_col", 2, 0, kCol},
    {"win_title_bkgnd", 2, 3, kCol},
    {"win_title_font_col", 2, 0, kCol},
    {"win_group_bkgnd", 2, 3, kCol},
    {"win_group_bkgnd_left", 2, 0, kOff},
    {"win_group_font_col", 2, 0, kCol},
    {"win_split_vert", 2, 3, kCol},
    {"win_split_horz", 2, 3, kCol},
    {"win_frame_left", 2, 1, kBmp},
    {"win_frame_left_top", 2, 0, kBmp},
    {"win_frame_top", 2, 1, kBmp},
    {"win_frame_top_right", 2, 0, kBmp},
    {"win_frame_right", 2, 1, kBmp},
    {"win_frame_right_bottom", 2, 0, kBmp},
    {"win_frame_bottom", 2, 1, kBmp},
    {"win_frame_bottom_left", 2, 0, kBmp},
    {"win_zoom_horz", 2, 3, kBmp},
    {"mu_bkgnd", 3, 6, kCol},
    {"mu_font_col", 3, 0, kCol},
    {"mu_sel_bkgnd", 3, 7, kCol},
    {"mu_sel_font_col", 3, 5, kCol},
    {"mu_separator", 3, 9, kCol},
    {"sb_bkgnd_vert", 4, 3, kCol},
    {"sb_bkgnd_horz", 4, 3, kCol},
    {"sb_btn_left", 4, 3, kBmp},
    {"sb_btn_up", 4, 3, kBmp},
    {"sb_btn_right", 4, 3, kBmp},
    {"sb_btn_down", 4, 3, kBmp},
    {"sb_thumb_vert", 4, 8, kCol},
    {"sb_thumb_vert_top", 4, 0, kOff},
    {"sb_thumb_vert_bottom", 4, 0, kOff},
    {"sb_thumb_horz", 4, 8, kCol},
    {"sb_thumb_horz_left", 4, 0, kOff},
    {"sb_thumb_horz_right", 4, 0, kOff},
    {"dd_bkgnd", 5, 8, kCol},
    {"dd_bkgnd_left", 5, 0, kOff},
    {"dd_btn", 5, 3, kBmp},
    {"dd_font_col", 5, 0, kCol},
    {"bn_bkgnd", 6, 8, kCol},
    {"bn_bkgnd_left", 6, 0, kOff},
    {"bn_bkgnd_right", 6, 0, kOff},
    {"bn_font_col", 6, 0, kCol},
    {"va_bkgnd", 7, 3, kCol},
    {"va_bkgnd_left", 7, 0, kOff},
    {"va_bkgnd_right", 7, 0, kOff},
    {"va_font_col", 7, 0, kCol},
    {"lb_bkgnd", 8, 2, kCol},
    {"lb_font_col", 8, 0, kCol},
    {"lb_sel", 8, 7, kCol},
    {"lb_sel_left", 8, 0, kOff},
    {"lb_sel_right", 8, 0, kOff},
    {"lb_sel_font_col", 8, 5, kCol},
    {"fa_bkgnd_vert", 9, 3, kCol},
    {"fa_bkgnd_horz", 9, 3, kCol},
    {"fa_font_col", 9, 0, kCol},
    {"fa_thumb_horz", 9, 8, kCol},
    {"fa_thumb_vert", 9, 8, kCol},
    {"gr_bkgnd", 10, 4, kCol},
    {"gr_col_data", 10, 12, kCol},
    {"gr_col_normal", 10, 9, kCol},
    {"gr_col_low", 10, 10, kCol},
    {"gr_col_sel", 10, 7, kCol},
    {"le_mix_vu_bkgnd", 11, 3, kCol},
    {"le_mix_vu", 11, 11, kCol},
    {"le_mix_vu_clip", 11, -1, kCol},
    {"sq_track_font_col", 12, -1, kCol},
};
static_assert(std::size(kItemTable) == kSkinItemCount);

XGuiState DefaultState(int32_t number, int32_t style) {
  XGuiState s;
  s.style = style;
  if (style == kCol)
    s.color = s.mode = number;
  else if (style == kBmp)
    s.mode = number;
  return s;
}

}  // namespace

XBitmap::XBitmap(int32_t width, int32_t height) {
  if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide) return;
  width_ = width;
  height_ = height;
  pixels_.assign(static_cast<size_t>(width) * static_cast<size_t>(height), 0);
}

XGuiMan::XGuiMan() : colors(std::begin(kDefaultPalette), std::end(kDefaultPalette)) { ResetItems(); }

XGuiMan::XGuiMan(NoDefaults) : colors(std::begin(kDefaultPalette), std::end(kDefaultPalette)) {}

void XGuiMan::ResetItems() {
  // Every window and every skin load starts from the same defaults; registering
  // them one by one searches the list each time, so they are made once.
  static const std::vector<XGuiItem> defaults = [] {
    XGuiMan first{kNoDefaults};
    first.items.reserve(kSkinItemCount);
    for (const ItemDefault& d : kItemTable) first.RegisterItem(d.name, d.category, d.number, d.style);
    return std::move(first.items);
  }();
  items = defaults;
}

XGuiItem& XGuiMan::RegisterItem(std::string_view name, int32_t category, int32_t number, int32_t style) {
  XGuiItem* item = Find(name);
  if (!item) {
    item = &items.emplace_back();
    item->name = std::string(name);
  }
  item->category = category;
  item->normal = DefaultState(number, style);
  item->pushed = XGuiState{};
  return *item;
}

XGuiItem* XGuiMan::Find(std::string_view name) noexcept {
  return const_cast<XGuiItem*>(std::as_const(*this).Find(name));
}

const XGuiItem* XGuiMan::Find(std::string_view name) const noexcept {
  // Every drawn element looks its item up by name, many times a frame: an item
  // of the fixed table sits at its table position unless someone rearranged the
  // list, so that place is tried before the whole list is searched.
  static const auto place = [] {
    std::unordered_map<std::string_view, size_t> m;
    for (size_t i = 0; i < std::size(kItemTable); ++i) m.emplace(kItemTable[i].name, i);
    return m;
  }();
  if (const auto it = place.find(name);
      it != place.end() && it->second < items.size() && items[it->second].name == name)
    return &items[it->second];
  for (const XGuiItem& i : items)
    if (i.name == name) return &i;
  return nullptr;
}

bool XGuiMan::Load(const std::string& file) {
  if (!FileExists(file)) return false;
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(file, bytes, kMaxSkinFileBytes)) return false;
  fileName = file;
  LoadFromMemory(bytes.data(), bytes.size());
  if (changed) changed(*this);
  return true;
}

void XGuiMan::LoadFromMemory(const uint8_t* bytes, size_t n) {
  ResetItems();
  bitmaps.clear();
  colors.clear();
  CMemStream s(bytes, n);
  XGuiItem* current = nullptr;
  bool told = false;
  std::string key;
  int32_t size = 0;
  while (s.NextRecord(key, size)) {
    const int64_t end = s.Position() + size;
    const std::string_view rec = key;  // compared by length first, not text
    if (rec == "BmpData") {
      // Width and height come first; the pixels follow them whatever the record
      // size says. A bitmap that the rest of the file cannot hold is refused
      // before anything is allocated, and reading resumes after its record.
      const int32_t w = s.ReadInt();
      const int32_t h = s.ReadInt();
      if (s.Failed()) break;
      const bool fits = w > 0 && h > 0 && w <= XBitmap::kMaxSide && h <= XBitmap::kMaxSide &&
                        int64_t{w} * h * 4 <= s.Remaining();
      if (fits) {
        XBitmap& b = bitmaps.emplace_back(w, h);
        for (int32_t y = h - 1; y >= 0; --y) s.ReadBytes(b.Row(y), static_cast<size_t>(w) * 4);
        continue;
      }
      if (!told) ShowError("GUI error", "DIB section failed");
      told = true;
      bitmaps.emplace_back();
      if (s.Position() < end) s.Seek(end);
      continue;
    }
    if (rec == "BmpAlpha") {
      const int32_t v = s.ReadInt();
      if (!bitmaps.empty()) bitmaps.back().alpha = v;
    } else if (rec == "Color") {
      colors.push_back(static_cast<uint32_t>(s.ReadInt()));
    } else if (rec == "Item") {
      current = Find(s.ReadString());
    } else {
      int32_t XGuiState::*field = nullptr;
      bool pushed = false;
      std::string_view k = rec;
      if (k.size() > 1 && k.back() == '2') {
        pushed = true;
        k.remove_suffix(1);
      }
      if (k == "ItemStyle")
        field = &XGuiState::style;
      else if (k == "ItemBmp")
        field = &XGuiState::bmp;
      else if (k == "ItemMode")
        field = &XGuiState::mode;
      else if (k == "ItemColor")
        field = &XGuiState::color;
      if (field) {
        const int32_t v = s.ReadInt();
        if (current) {
          // Through a named reference: GCC 12 applies ".*" on a conditional
          // expression to a temporary copy.
          XGuiState& state = pushed ? current->pushed : current->normal;
          state.*field = v;
        }
      }
    }
    if (s.Failed()) break;
    if (s.Position() < end) s.Seek(end);
  }
}

std::vector<uint8_t> XGuiMan::SaveToMemory() const {
  CMemStream s;
  for (const XBitmap& b : bitmaps) {
    const int32_t w = b.Width(), h = b.Height();
    s.WriteKey("BmpData", w * h * 4 + 8);
    s.WriteInt(w);
    s.WriteInt(h);
    for (int32_t y = h - 1; y >= 0; --y) s.WriteBytes(b.Row(y), static_cast<size_t>(w) * 4);
    s.WriteKeyInt("BmpAlpha", b.alpha);
  }
  for (uint32_t c : colors) s.WriteKeyInt("Color", static_cast<int32_t>(c));
  // The record keys of a state, normal then pushed, spelled out rather than
  // joined for each of the hundred and more items.
  struct StateKeys {
    std::string_view style, bmp, mode, color;
  };
  static constexpr StateKeys kNormal{"ItemStyle", "ItemBmp", "ItemMode", "ItemColor"};
  static constexpr StateKeys kPushed{"ItemStyle2", "ItemBmp2", "ItemMode2", "ItemColor2"};
  auto write_state = [&s](const XGuiState& st, const StateKeys& k) {
    s.WriteKeyInt(k.style, st.style);
    if (st.style == kBmp) {
      s.WriteKeyInt(k.bmp, st.bmp);
      s.WriteKeyInt(k.mode, st.mode);
    } else if (st.style == kCol) {
      s.WriteKeyInt(k.color, st.color);
    }
  };
  for (const XGuiItem& i : items) {
    s.WriteKeyString("Item", i.name);
    write_state(i.normal, kNormal);
    write_state(i.pushed, kPushed);
  }
  return std::move(s.Data());
}

bool XGuiMan::Save(const std::string& file) const { return WriteFileAtomically(file, SaveToMemory()); }

}  // namespace qr
