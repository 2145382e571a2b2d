// The guard must see what it is there to catch, or every module test passes blind.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>

#include "tests/support/AllocGuard.h"

TEST(AllocGuard, SeesAllocationsAndLocksOnlyWhileAlive) {
  std::mutex m;
  qr::test::AllocGuard g;
  auto p = std::make_unique<int[]>(100);
  void* raw = std::malloc(16);
  std::free(raw);
  EXPECT_GE(g.Allocations(), 2);
  if (qr::test::LockDetectionAvailable()) {
    m.lock();
    m.unlock();
    EXPECT_EQ(g.Locks(), 1);
  }
  EXPECT_FALSE(g.Clean());
}
