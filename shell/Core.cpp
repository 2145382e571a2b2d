#include "shell/Core.h"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include "graph/Comp.h"
#include "graph/Denormals.h"

namespace qr {

namespace {
// The highest priority the system grants this process; quietly none otherwise.
void RaisePriority(std::thread& t) noexcept {
  sched_param p{};
  p.sched_priority = sched_get_priority_max(SCHED_FIFO);
  if (pthread_setschedparam(t.native_handle(), SCHED_FIFO, &p) != 0) {
    p.sched_priority = 0;
    pthread_setschedparam(t.native_handle(), SCHED_OTHER, &p);
  }
}
}  // namespace

CCore::CCore(int index) : index_(index) {
  if (index_ >= 1) {
    thread_ = std::thread([this] { Run(); });
    RaisePriority(thread_);
  }
}

CCore::~CCore() {
  if (!thread_.joinable()) return;
  terminate_.store(true, std::memory_order_release);
  wake_.release();
  thread_.join();  // returns once a pass in progress has finished
}

void CCore::Wake(std::span<CComp* const> modules, int frames) noexcept {
  if (!thread_.joinable()) return;
  modules_ = modules;
  frames_ = frames;
  pending_.store(true, std::memory_order_release);
  wake_.release();
}

void CCore::WaitIdle() const noexcept {
  while (pending_.load(std::memory_order_acquire) || busy_.load(std::memory_order_acquire)) {
#if defined(__x86_64__)
    __builtin_ia32_pause();
#endif
  }
}

void CCore::Run() noexcept {
  for (;;) {
    // Passes often follow each other within microseconds (a block's segments
    // between MIDI events, an offline render's blocks): a short watch for the
    // next one spares the sleep and the wake-up, which cost more than the
    // pass itself. The wake-up token is taken either way.
    for (int i = 0; i < kWatchSpins && !pending_.load(std::memory_order_acquire); ++i) {
#if defined(__x86_64__)
      __builtin_ia32_pause();
#endif
    }
    wake_.acquire();
    // A pass handed out before the close still runs: the audio thread may be
    // waiting on its modules.
    if (!pending_.exchange(false, std::memory_order_acq_rel)) {
      if (terminate_.load(std::memory_order_acquire)) return;
      continue;
    }
    busy_.store(true, std::memory_order_release);
    ScopedFlushDenormals ftz;
    for (CComp* m : modules_) {
      if (!m->onWorker || m->blockCore != index_) continue;
      m->ProcessOnCore(frames_);
      m->SetWorkerFinished();
    }
    busy_.store(false, std::memory_order_release);
    if (terminate_.load(std::memory_order_acquire)) return;
  }
}

CCoreSet::CCoreSet(int processors, bool parallel) {
  if (!parallel) return;
  for (int i = 0; i < processors; ++i) cores_.push_back(std::make_unique<CCore>(i));
}

CCoreSet::~CCoreSet() { cores_.clear(); }

int CCoreSet::RunPhase(std::span<CComp* const> modules, int frames) noexcept {
  const int count = Count();
  int sent = 0;
  uint64_t cores = 0;
  for (CComp* m : modules) {
    if (!m->HasBuffers() || m->blockCore < 1 || m->blockCore >= count || !m->TryTakeBusy()) continue;
    m->onWorker = 1;
    m->ClearWorkerFinished();
    // The ordinary process runs first on the audio thread: with the flag set a
    // module only gathers its inputs there and leaves the work to the core.
    m->Process(frames);
    m->ReleaseBusy();
    cores |= uint64_t{1} << (m->blockCore & 63);
    ++sent;
  }
  // Only the cores that have work this phase are woken.
  for (int i = 1; i < count; ++i)
    if (cores & (uint64_t{1} << (i & 63))) {
      cores_[static_cast<size_t>(i)]->Wake(modules, frames);
      woken_ |= uint64_t{1} << (i & 63);
    }
  return sent;
}

void CCoreSet::WaitForPhase(std::span<CComp* const> modules) noexcept {
  for (CComp* m : modules) m->WaitForWorker();
  // A worker still walking the list after its last module must be done with
  // it before the list or its modules change.
  for (int i = 1; i < Count(); ++i)
    if (woken_ & (uint64_t{1} << (i & 63))) cores_[static_cast<size_t>(i)]->WaitIdle();
  woken_ = 0;
}

int CCoreSet::Processors() noexcept {
  static const int n = [] {
    const long c = sysconf(_SC_NPROCESSORS_ONLN);
    return c > 0 ? static_cast<int>(c) : 1;
  }();
  return n;
}

}  // namespace qr
