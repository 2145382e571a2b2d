#pragma once
// The lock between a module's editor and the audio thread. The user-interface
// side takes it and spins until a running block has left; the audio side only
// tries, and skips the module's work for the block when an edit holds it. No
// thread ever sleeps on the audio side.
#include <atomic>
#include <cstdint>
#include <thread>

namespace qr {

class CBusyFlag {
 public:
  // (audio) True when taken; false means an edit holds it: skip this block.
  bool TryTake() noexcept { return !flag_.exchange(true, std::memory_order_acquire); }
  // (ui) Waits for a running block to leave.
  void Take() noexcept {
    while (flag_.exchange(true, std::memory_order_acquire)) std::this_thread::yield();
  }
  void Release() noexcept { flag_.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> flag_{false};
};

// The same over a module's own busy byte (CComp::busy), which the pull sets
// while it runs the module: holding it keeps processing out while structural
// edits change the module's lists.
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
