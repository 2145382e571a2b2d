#pragma once
// Structural edits from the user interface hold a module's busy flag while they
// change its lists. The audio thread's pull sets the same flag while it runs the
// module and skips a module whose flag is already set, so holding it keeps
// processing out for as long as the edit takes; the edit itself spins until a
// running block has left.
#include <atomic>
#include <cstdint>
#include <thread>

namespace qr {

class BusyLock {
 public:
  explicit BusyLock(uint8_t& flag) noexcept : flag_(flag) {
    uint8_t expected = 0;
    while (!flag_.compare_exchange_weak(expected, 1, std::memory_order_acquire)) {
      expected = 0;
      std::this_thread::yield();
    }
  }
  ~BusyLock() { flag_.store(0, std::memory_order_release); }
  BusyLock(const BusyLock&) = delete;
  BusyLock& operator=(const BusyLock&) = delete;

 private:
  std::atomic_ref<uint8_t> flag_;
};

}  // namespace qr
