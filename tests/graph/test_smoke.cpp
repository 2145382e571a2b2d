#include <gtest/gtest.h>
#include "tests/support/Stubs.h"
TEST(Smoke, Builds) { auto r = qr::test::MakeRoot(); EXPECT_EQ(r->ChildCount(), 1); }
