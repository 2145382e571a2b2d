// `quillrow snapshot`: a page of a project's main window drawn into a PNG with
// no display, run as a user runs the program.
#include <cairo.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "tests/app/AppTestSupport.h"

using namespace qr::test;

TEST(Snapshot, DrawsTheDemoProjectsPagesWithoutADisplay) {
  const std::string dir = TempDir();
  ASSERT_EQ(RunQuillrowBinary("demo -o " + dir + "/d.wav --project " + dir + "/demo.qrw", dir).code, 0);
  unsetenv("DISPLAY");  // the child inherits it: nothing may need a display
  for (const std::string page : {"editor", "Mixer", "Echo"}) {
    const std::string png = dir + "/" + page + ".png";
    const RunResult r =
        RunQuillrowBinary("snapshot " + dir + "/demo.qrw --page " + page + " --size 640x400 -o " + png, dir);
    ASSERT_EQ(r.code, 0) << r.err;
    cairo_surface_t* s = cairo_image_surface_create_from_png(png.c_str());
    ASSERT_EQ(cairo_surface_status(s), CAIRO_STATUS_SUCCESS) << page;
    EXPECT_EQ(cairo_image_surface_get_width(s), 640);
    EXPECT_EQ(cairo_image_surface_get_height(s), 400);
    cairo_surface_destroy(s);
  }
  // Without a size, the window's own: what the project stores.
  ASSERT_EQ(RunQuillrowBinary("snapshot " + dir + "/demo.qrw -o " + dir + "/own.png", dir).code, 0);
  cairo_surface_t* s = cairo_image_surface_create_from_png((dir + "/own.png").c_str());
  EXPECT_EQ(cairo_image_surface_get_width(s), 512);
  cairo_surface_destroy(s);

  EXPECT_EQ(RunQuillrowBinary("snapshot " + dir + "/demo.qrw --page Nowhere -o " + dir + "/x.png", dir).code,
            2);
  EXPECT_EQ(RunQuillrowBinary("snapshot " + dir + "/demo.qrw", dir).code, 2);
  const RunResult bad = RunQuillrowBinary("snapshot " + dir + "/d.wav -o " + dir + "/x.png", dir);
  EXPECT_EQ(bad.code, 1);
  EXPECT_FALSE(std::filesystem::exists(dir + "/x.png"));
  std::filesystem::remove_all(dir);
}
