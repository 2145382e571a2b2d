// The guard must see what it is there to catch, or every module test passes blind.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <mutex>

#include "tests/support/AllocGuard.h"

TEST(AllocGuard, SeesAllocationsAndLocksOnlyWhileAlive) {
  std::mutex m;
  int allocs = 0, locks = 0;
  {
    qr::test::AllocGuard g;
    auto p = std::make_unique<int[]>(100);
    void* volatile raw = std::malloc(16);  // volatile: the pair must not be elided
    std::free(raw);
    if (qr::test::LockDetectionAvailable()) {
      m.lock();
      m.unlock();
    }
    allocs = g.Allocations();
    locks = g.Locks();
  }
  EXPECT_GE(allocs, 2);
  if (qr::test::LockDetectionAvailable()) {
    EXPECT_EQ(locks, 1);
  }
  qr::test::AllocGuard quiet;
  EXPECT_EQ(quiet.Allocations(), 0);
}
