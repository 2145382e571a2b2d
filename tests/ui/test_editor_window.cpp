// The built plug-in's editor on a real display, as a host shows it: a child of
// the host's window, clicked and dragged with XTest. ctest runs these under
// xvfb-run; without a display they skip.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "graph/Container.h"
#include "tests/shell/TestHost.h"
#include "tests/ui/EditorRig.h"

// Last: the X11 headers define macros that clash with ordinary names.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

using namespace qr;

namespace {

class HostWindow {
 public:
  HostWindow() {
    // A display server may refuse a connection for a moment just after others
    // closed (the window layer waits for it the same way).
    for (int i = 0; i < 10 && !dpy; ++i) {
      dpy = XOpenDisplay(nullptr);
      if (!dpy) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!dpy) return;
    win = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, 640, 480, 0, 0, 0);
    XMapWindow(dpy, win);
    XSync(dpy, False);
  }
  ~HostWindow() {
    if (!dpy) return;
    XDestroyWindow(dpy, win);
    XCloseDisplay(dpy);
  }
  int Children() {
    ::Window root = 0, parent = 0, *kids = nullptr;
    unsigned n = 0;
    XSync(dpy, False);
    if (!XQueryTree(dpy, win, &root, &parent, &kids, &n)) return -1;
    if (kids) XFree(kids);
    return static_cast<int>(n);
  }
  Display* dpy = nullptr;
  ::Window win = 0;
};

void Pump(test::TestHost& h, int passes) {
  for (int i = 0; i < passes; ++i) {
    h.Dispatch(vst2::effEditIdle);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::string PluginPath() { return std::string(QR_PLUGIN_DIR) + "/quillrow.so"; }

}  // namespace

TEST(EditorWindow, AnXTestDragInTheHostsWindowMakesACableTheChunkHolds) {
  if (!std::getenv("DISPLAY")) GTEST_SKIP() << "needs a display; ctest runs this under xvfb-run";
  HostWindow host;
  ASSERT_NE(host.dpy, nullptr);
  int ev = 0, err = 0, major = 0, minor = 0;
  ASSERT_TRUE(XTestQueryExtension(host.dpy, &ev, &err, &major, &minor));
  test::TestHost h(PluginPath());
  ASSERT_TRUE(h.Loaded()) << h.Error();
  vst2::AEffect* e = h.Open();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->flags & 0x1FF, 0x31);
  vst2::ERect* rect = nullptr;
  ASSERT_EQ(h.Dispatch(vst2::effEditGetRect, 0, 0, &rect), 1);
  EXPECT_EQ(rect->right - rect->left, 512);
  EXPECT_EQ(rect->bottom - rect->top, 425);
  ASSERT_EQ(h.Dispatch(vst2::effEditOpen, 0, 0, reinterpret_cast<void*>(host.win)), 1);
  ASSERT_EQ(host.Children(), 1);
  Pump(h, 10);

  // The same start-up in process tells where the two ports are drawn.
  test::EditorRig ref;
  const auto from = ref.Port(*ref.plug->MasterIn(), PortKind::AudioOut, 0);
  const auto to = ref.Port(ref.Root(), PortKind::AudioIn, 0);
  auto screen = [&](int x, int y) {
    int sx = 0, sy = 0;
    ::Window child = 0;
    XTranslateCoordinates(host.dpy, host.win, DefaultRootWindow(host.dpy), x, y, &sx, &sy, &child);
    return std::pair{sx, sy};
  };
  auto moveTo = [&](int x, int y) {
    const auto [sx, sy] = screen(x, y);
    XTestFakeMotionEvent(host.dpy, -1, sx, sy, CurrentTime);
    XFlush(host.dpy);
    Pump(h, 2);
  };
  moveTo(from.x, from.y);
  XTestFakeButtonEvent(host.dpy, 1, True, CurrentTime);
  XFlush(host.dpy);
  Pump(h, 2);
  for (int i = 1; i <= 8; ++i) moveTo(from.x + (to.x - from.x) * i / 8, from.y + (to.y - from.y) * i / 8);
  XTestFakeButtonEvent(host.dpy, 1, False, CurrentTime);
  XFlush(host.dpy);
  Pump(h, 5);

  test::EditorRig next;
  test::LoadChunkInto(next, h.Chunk());
  ASSERT_EQ(next.Root().audioInCables.size(), 1u);
  EXPECT_EQ(next.Root().audioInCables[0]->Source(), next.plug->MasterIn());

  EXPECT_EQ(h.Dispatch(vst2::effEditClose), 1);
  EXPECT_EQ(host.Children(), 0);
}

// The address sanitizer build runs this too and fails on anything left behind.
TEST(EditorWindow, OpeningAndClosingAHundredTimesLeavesNothingBehind) {
  if (!std::getenv("DISPLAY")) GTEST_SKIP() << "needs a display; ctest runs this under xvfb-run";
  HostWindow host;
  ASSERT_NE(host.dpy, nullptr);
  test::TestHost h(PluginPath());
  ASSERT_NE(h.Open(), nullptr);
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(h.Dispatch(vst2::effEditOpen, 0, 0, reinterpret_cast<void*>(host.win)), 1);
    h.Dispatch(vst2::effEditIdle);
    ASSERT_EQ(h.Dispatch(vst2::effEditClose), 1);
  }
  EXPECT_EQ(host.Children(), 0);
  // A host that closes the plug-in with its editor still open.
  ASSERT_EQ(h.Dispatch(vst2::effEditOpen, 0, 0, reinterpret_cast<void*>(host.win)), 1);
  h.Close();
  EXPECT_EQ(host.Children(), 0);
}
