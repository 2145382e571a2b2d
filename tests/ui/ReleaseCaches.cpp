// The drawing libraries' process-wide caches go back at the end of the run,
// so the address sanitizer's leak check reports only what the editor loses.
#include <gtest/gtest.h>

#include "ui/Paint.h"

namespace {

struct ReleaseDrawingCachesAtEnd : ::testing::Environment {
  void TearDown() override { qr::ReleaseDrawingCaches(); }
};

const ::testing::Environment* const g_release =
    ::testing::AddGlobalTestEnvironment(new ReleaseDrawingCachesAtEnd);

}  // namespace
