#include "graph/Actions.h"

namespace qr {

namespace {
constexpr uint32_t kMask = limits::kPendingActions - 1;
static_assert((limits::kPendingActions & kMask) == 0, "the action ring needs a power of two");
}  // namespace

bool CActions::Post(intptr_t value, intptr_t value2, ActionFn callback, ActionFn completion) noexcept {
  const uint32_t t = tail_.load(std::memory_order_relaxed);
  if (t - head_.load(std::memory_order_acquire) >= limits::kPendingActions) return false;
  actions_[t & kMask] = Action{value, value2, callback, completion};
  tail_.store(t + 1, std::memory_order_release);
  return true;
}

void CActions::Run() noexcept {
  if (running_.exchange(true, std::memory_order_acq_rel)) return;
  uint32_t h = head_.load(std::memory_order_relaxed);
  const uint32_t t = tail_.load(std::memory_order_acquire);
  for (; h != t; ++h) {
    const Action a = actions_[h & kMask];
    if (a.callback) a.callback(a.value, a.value2);
    if (a.completion) {
      const uint32_t dt = doneTail_.load(std::memory_order_relaxed);
      // The completion ring is as large as the action ring; a completion that
      // finds it full (the UI never collected) is dropped rather than waited for.
      if (dt - doneHead_.load(std::memory_order_acquire) < limits::kPendingActions) {
        done_[dt & kMask] = a;
        doneTail_.store(dt + 1, std::memory_order_release);
      }
    }
    head_.store(h + 1, std::memory_order_release);
  }
  running_.store(false, std::memory_order_release);
}

void CActions::RunAudio() noexcept {
  stalled_.store(false, std::memory_order_release);
  idleCalls_.store(0, std::memory_order_relaxed);
  Run();
}

void CActions::RunIdle() noexcept {
  if (idleCalls_.fetch_add(1, std::memory_order_relaxed) + 1 > limits::kStallIdleCalls)
    stalled_.store(true, std::memory_order_release);
  if (stalled_.load(std::memory_order_acquire)) Run();
  DeliverCompletions();
}

void CActions::DeliverCompletions() noexcept {
  uint32_t h = doneHead_.load(std::memory_order_relaxed);
  const uint32_t t = doneTail_.load(std::memory_order_acquire);
  for (; h != t; ++h) {
    const Action a = done_[h & kMask];
    a.completion(a.value, a.value2);
    doneHead_.store(h + 1, std::memory_order_release);
  }
}

}  // namespace qr
