#pragma once
// Processing cores: worker threads that run chosen modules of the graph beside
// the host's audio thread.
//
// Core 0 is the audio thread itself and owns no thread. Each further core has a
// thread that sleeps on its wake-up event. Per phase the audio thread marks the
// modules assigned to a worker, lets each prepare on the audio thread (pull its
// inputs), then wakes the workers, which run the modules' core-processing
// operation. A consumer that needs such a module's output spins on the module's
// completion flag (CComp::WorkerFinished); the audio thread never sleeps on a
// worker.
#include <atomic>
#include <cstdint>
#include <memory>
#include <semaphore>
#include <span>
#include <thread>
#include <vector>

#include "graph/WorkerPool.h"

namespace qr {

class CComp;

class CCore {
 public:
  // Index 0 makes no thread.
  explicit CCore(int index);
  ~CCore();  // waits for a pass in progress to finish
  CCore(const CCore&) = delete;
  CCore& operator=(const CCore&) = delete;

  int Index() const noexcept { return index_; }
  bool Busy() const noexcept { return busy_.load(std::memory_order_acquire); }
  // (audio) Hands the worker a phase and wakes it.
  void Wake(std::span<CComp* const> modules, int frames) noexcept;
  // (audio) Spins until the worker has finished the pass it was handed.
  void WaitIdle() const noexcept;

 private:
  void Run() noexcept;

  const int index_;
  int frames_ = 0;
  std::counting_semaphore<> wake_{0};  // a wake-up and a close may both be pending
  // About 20 to 50 microseconds of pause instructions.
  static constexpr int kWatchSpins = 2000;
  std::atomic<bool> terminate_{false};
  std::atomic<bool> busy_{false};
  std::atomic<bool> pending_{false};  // a pass was handed out and not yet run
  std::span<CComp* const> modules_;
  std::thread thread_;
};

class CCoreSet final : public IWorkerPool {
 public:
  // One core per processor when parallel processing is on (core 0 included),
  // none otherwise.
  explicit CCoreSet(int processors, bool parallel = true);
  ~CCoreSet() override;

  int Count() const noexcept override { return static_cast<int>(cores_.size()); }

  // (audio) Sends the phase's modules whose block core names a worker to that
  // worker; every other module is left for the audio thread. Returns how many
  // modules went to workers.
  int RunPhase(std::span<CComp* const> modules, int frames) noexcept override;
  // (audio) Spins until every module of the phase sent to a worker is finished
  // and every woken worker has let go of the phase's list.
  void WaitForPhase(std::span<CComp* const> modules) noexcept override;

  // The machine's processor count, read once.
  static int Processors() noexcept;

 private:
  std::vector<std::unique_ptr<CCore>> cores_;
  uint64_t woken_ = 0;  // workers handed the current phase
};

}  // namespace qr
