#pragma once
// Windows on the screen: a child inside a host's window, or a top-level window
// of its own. This is the only place that talks to the display server; the rest
// of the editor draws into cairo image surfaces and reads WinEvents, so the very
// same drawing code also runs without any display.
#include <cairo.h>

#include <cstdint>
#include <memory>
#include <string>

namespace qr {

namespace winkey {
enum : uint32_t { kNone = 0, kChar, kEnter, kEscape, kBackspace, kDelete, kLeft, kRight, kUp, kDown, kTab };
enum : uint32_t { kShift = 1, kCtrl = 2, kAlt = 4 };
}  // namespace winkey

struct WinEvent {
  enum class Kind { Empty, Paint, Down, Up, Move, Wheel, Key, Close, Resize };
  Kind kind = Kind::Empty;
  int x = 0, y = 0;
  int button = 0;  // 1 left, 2 middle, 3 right
  int wheel = 0;   // +1 away from the user, -1 towards
  uint32_t mods = 0;
  uint32_t key = winkey::kNone;
  char text[8] = {};  // the typed character for kChar, UTF-8
  uint32_t time = 0;  // milliseconds, the display server's clock
};

class CWindow {
 public:
  ~CWindow();
  CWindow(const CWindow&) = delete;
  CWindow& operator=(const CWindow&) = delete;

  // A child of the window `parent` (an X11 window id); nullptr when there is no
  // display or the parent does not exist.
  static std::unique_ptr<CWindow> CreateChild(uintptr_t parent, int width, int height);
  static std::unique_ptr<CWindow> CreateTopLevel(const std::string& title, int width, int height);

  // Never blocks: false once no event is waiting.
  bool Poll(WinEvent& e);
  // Blocks up to `ms` milliseconds for an event (top-level windows' own loops).
  void Wait(int ms);
  // Copies a rectangle of an image surface of the window's size onto the screen.
  void Present(cairo_surface_t* image, int x, int y, int w, int h);
  void Resize(int width, int height);
  int Width() const noexcept;
  int Height() const noexcept;
  uintptr_t Id() const noexcept;

  struct Impl;  // the display connection and its window; only the layer's source knows it

 private:
  explicit CWindow(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace qr
