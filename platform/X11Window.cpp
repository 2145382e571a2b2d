#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <cairo-xlib.h>
#include <poll.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "platform/Window.h"

namespace qr {

struct CWindow::Impl {
  Display* dpy = nullptr;
  ::Window win = 0;
  cairo_surface_t* surface = nullptr;
  Atom wmDelete = 0;
  int width = 0, height = 0;

  ~Impl() {
    if (surface) {
      // Finishing the display's drawing device lets cairo give back what it
      // keeps for this connection before the connection goes.
      cairo_device_t* device = cairo_device_reference(cairo_surface_get_device(surface));
      cairo_surface_destroy(surface);
      if (device) {
        cairo_device_finish(device);
        cairo_device_destroy(device);
      }
    }
    if (dpy) {
      if (win) XDestroyWindow(dpy, win);
      XCloseDisplay(dpy);  // frees every resource of this connection
    }
  }
};

namespace {

// The default handler ends the process on any protocol error; a host's bad
// parent id must only fail the open. Installed just around our own requests.
bool g_xerror = false;
int RecordError(Display*, XErrorEvent*) {
  g_xerror = true;
  return 0;
}

constexpr long kEventMask = ExposureMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask |
                            KeyPressMask | StructureNotifyMask;

std::unique_ptr<CWindow::Impl> Make(::Window parent_or_none, bool child, int w, int h) {
  auto impl = std::make_unique<CWindow::Impl>();
  // A server may refuse a connection for a moment right after other clients
  // closed theirs; a few short tries ride that out at the cost of an open.
  for (int i = 0; i < 5 && !impl->dpy; ++i) {
    impl->dpy = XOpenDisplay(nullptr);
    if (!impl->dpy && i < 4) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!impl->dpy) return nullptr;
  Display* dpy = impl->dpy;
  const ::Window parent = child ? parent_or_none : DefaultRootWindow(dpy);
  auto old = XSetErrorHandler(&RecordError);
  g_xerror = false;
  impl->win = XCreateSimpleWindow(dpy, parent, 0, 0, static_cast<unsigned>(w), static_cast<unsigned>(h), 0, 0,
                                  0x202020);
  XSync(dpy, False);
  const bool failed = g_xerror;
  XSetErrorHandler(old);
  if (failed) {
    impl->win = 0;
    return nullptr;
  }
  XSelectInput(dpy, impl->win, kEventMask);
  impl->width = w;
  impl->height = h;
  impl->surface = cairo_xlib_surface_create(dpy, impl->win, DefaultVisual(dpy, DefaultScreen(dpy)), w, h);
  return impl;
}

uint32_t Mods(unsigned state) {
  uint32_t m = 0;
  if (state & ShiftMask) m |= winkey::kShift;
  if (state & ControlMask) m |= winkey::kCtrl;
  if (state & Mod1Mask) m |= winkey::kAlt;
  return m;
}

}  // namespace

CWindow::CWindow(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
CWindow::~CWindow() = default;

std::unique_ptr<CWindow> CWindow::CreateChild(uintptr_t parent, int width, int height) {
  if (parent == 0) return nullptr;
  auto impl = Make(static_cast<::Window>(parent), true, width, height);
  if (!impl) return nullptr;
  XMapWindow(impl->dpy, impl->win);
  XFlush(impl->dpy);
  return std::unique_ptr<CWindow>(new CWindow(std::move(impl)));
}

std::unique_ptr<CWindow> CWindow::CreateTopLevel(const std::string& title, int width, int height) {
  auto impl = Make(0, false, width, height);
  if (!impl) return nullptr;
  XStoreName(impl->dpy, impl->win, title.c_str());
  impl->wmDelete = XInternAtom(impl->dpy, "WM_DELETE_WINDOW", False);
  XSetWMProtocols(impl->dpy, impl->win, &impl->wmDelete, 1);
  XMapWindow(impl->dpy, impl->win);
  XFlush(impl->dpy);
  return std::unique_ptr<CWindow>(new CWindow(std::move(impl)));
}

bool CWindow::Poll(WinEvent& out) {
  Display* dpy = impl_->dpy;
  while (XPending(dpy)) {
    XEvent ev;
    XNextEvent(dpy, &ev);
    out = WinEvent{};
    switch (ev.type) {
      case Expose:
        if (ev.xexpose.count != 0) continue;
        out.kind = WinEvent::Kind::Paint;
        return true;
      case ConfigureNotify:
        if (ev.xconfigure.width == impl_->width && ev.xconfigure.height == impl_->height) continue;
        impl_->width = ev.xconfigure.width;
        impl_->height = ev.xconfigure.height;
        cairo_xlib_surface_set_size(impl_->surface, impl_->width, impl_->height);
        out.kind = WinEvent::Kind::Resize;
        out.x = impl_->width;
        out.y = impl_->height;
        return true;
      case ButtonPress:
      case ButtonRelease: {
        const unsigned b = ev.xbutton.button;
        out.x = ev.xbutton.x;
        out.y = ev.xbutton.y;
        out.mods = Mods(ev.xbutton.state);
        out.time = static_cast<uint32_t>(ev.xbutton.time);
        if (b == 4 || b == 5) {
          if (ev.type == ButtonRelease) continue;
          out.kind = WinEvent::Kind::Wheel;
          out.wheel = b == 4 ? 1 : -1;
          return true;
        }
        if (b > 3) continue;
        out.kind = ev.type == ButtonPress ? WinEvent::Kind::Down : WinEvent::Kind::Up;
        out.button = static_cast<int>(b);
        // A child inside a host gets no keys until it asks for the focus.
        if (ev.type == ButtonPress) XSetInputFocus(dpy, impl_->win, RevertToParent, CurrentTime);
        return true;
      }
      case MotionNotify: {
        // Only the newest position matters; older ones would lag a drag.
        while (XCheckTypedWindowEvent(dpy, impl_->win, MotionNotify, &ev)) {
        }
        out.kind = WinEvent::Kind::Move;
        out.x = ev.xmotion.x;
        out.y = ev.xmotion.y;
        out.mods = Mods(ev.xmotion.state);
        out.time = static_cast<uint32_t>(ev.xmotion.time);
        return true;
      }
      case KeyPress: {
        char buf[8] = {};
        KeySym sym = 0;
        const int n = XLookupString(&ev.xkey, buf, sizeof buf - 1, &sym, nullptr);
        out.kind = WinEvent::Kind::Key;
        out.mods = Mods(ev.xkey.state);
        out.time = static_cast<uint32_t>(ev.xkey.time);
        switch (sym) {
          case XK_Return:
          case XK_KP_Enter:
            out.key = winkey::kEnter;
            break;
          case XK_Escape:
            out.key = winkey::kEscape;
            break;
          case XK_BackSpace:
            out.key = winkey::kBackspace;
            break;
          case XK_Delete:
            out.key = winkey::kDelete;
            break;
          case XK_Left:
            out.key = winkey::kLeft;
            break;
          case XK_Right:
            out.key = winkey::kRight;
            break;
          case XK_Up:
            out.key = winkey::kUp;
            break;
          case XK_Down:
            out.key = winkey::kDown;
            break;
          case XK_Tab:
            out.key = winkey::kTab;
            break;
          default:
            if (n <= 0) continue;
            out.key = winkey::kChar;
            std::memcpy(out.text, buf, static_cast<size_t>(n));
            // Control turns letters into control codes; give back the letter.
            if ((out.mods & winkey::kCtrl) && n == 1 && buf[0] > 0 && buf[0] < 27)
              out.text[0] = static_cast<char>('a' + buf[0] - 1);
        }
        return true;
      }
      case ClientMessage:
        if (static_cast<Atom>(ev.xclient.data.l[0]) == impl_->wmDelete) {
          out.kind = WinEvent::Kind::Close;
          return true;
        }
        continue;
      default:
        continue;
    }
  }
  return false;
}

void CWindow::Wait(int ms) {
  if (XPending(impl_->dpy)) return;
  pollfd p{ConnectionNumber(impl_->dpy), POLLIN, 0};
  ::poll(&p, 1, ms);
}

void CWindow::Present(cairo_surface_t* image, int x, int y, int w, int h) {
  if (!image || w <= 0 || h <= 0) return;
  cairo_t* cr = cairo_create(impl_->surface);
  cairo_rectangle(cr, x, y, w, h);
  cairo_clip(cr);
  cairo_set_source_surface(cr, image, 0, 0);
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  cairo_paint(cr);
  cairo_destroy(cr);
  cairo_surface_flush(impl_->surface);
  XFlush(impl_->dpy);
}

void CWindow::Resize(int width, int height) {
  if (width <= 0 || height <= 0) return;
  XResizeWindow(impl_->dpy, impl_->win, static_cast<unsigned>(width), static_cast<unsigned>(height));
  impl_->width = width;
  impl_->height = height;
  cairo_xlib_surface_set_size(impl_->surface, width, height);
  XFlush(impl_->dpy);
}

int CWindow::Width() const noexcept { return impl_->width; }
int CWindow::Height() const noexcept { return impl_->height; }
uintptr_t CWindow::Id() const noexcept { return static_cast<uintptr_t>(impl_->win); }

}  // namespace qr
