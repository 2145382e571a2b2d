#pragma once
// CActions: how the user interface changes the graph safely. The UI thread posts
// an action; the audio thread runs the queue at the start of the next block. When
// no audio block has come for a while (the host stopped), the UI runs it itself.
#include <array>
#include <atomic>
#include <cstdint>

#include "graph/Callback.h"
#include "graph/Limits.h"

namespace qr {

using ActionFn = Callback<void(intptr_t, intptr_t)>;

class CActions {
 public:
  struct Action {
    intptr_t value = 0;
    intptr_t value2 = 0;
    ActionFn callback;
    ActionFn completion;
  };

  // (ui) False when the queue is full.
  bool Post(intptr_t value, intptr_t value2, ActionFn callback, ActionFn completion) noexcept;
  // (audio) At the start of every root block.
  void RunAudio() noexcept;
  // (ui) From the root group's idle; runs the queue itself once audio has stalled,
  // then hands out the completions of actions that ran.
  void RunIdle() noexcept;

  bool Stalled() const noexcept { return stalled_.load(std::memory_order_acquire); }
  int Pending() const noexcept {
    return static_cast<int>(tail_.load(std::memory_order_acquire) -
                            head_.load(std::memory_order_acquire));
  }

 private:
  void Run() noexcept;
  void DeliverCompletions() noexcept;

  // Single producer (the UI) and one consumer at a time (the running flag picks
  // it), so two counters make a lock-free ring.
  std::array<Action, limits::kPendingActions> actions_{};
  std::atomic<uint32_t> head_{0}, tail_{0};
  std::array<Action, limits::kPendingActions> done_{};
  std::atomic<uint32_t> doneHead_{0}, doneTail_{0};
  std::atomic<bool> running_{false};
  std::atomic<bool> stalled_{false};
  std::atomic<int> idleCalls_{0};
};

}  // namespace qr
