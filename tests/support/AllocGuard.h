#pragma once
// Fails a test when anything allocates or takes a lock on the calling thread
// while a guard is alive. Processing calls in every module test run under it:
//
//   { AllocGuard g; root.Process(64); EXPECT_TRUE(g.Clean()) << g.Report(); }
#include <string>

namespace qr::test {

class AllocGuard {
 public:
  AllocGuard() noexcept;
  ~AllocGuard();
  AllocGuard(const AllocGuard&) = delete;
  AllocGuard& operator=(const AllocGuard&) = delete;

  int Allocations() const noexcept;
  int Locks() const noexcept;
  bool Clean() const noexcept { return Allocations() == 0 && Locks() == 0; }
  std::string Report() const;

 private:
  int allocBase_;
  int lockBase_;
};

// True when this build can see locks (not under the sanitizers, which own
// the mutex functions themselves).
bool LockDetectionAvailable() noexcept;

}  // namespace qr::test
