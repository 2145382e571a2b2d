#pragma once
// The worker cores as the modules below the plug-in shell see them: a module
// that runs other modules (the sequencer) hands a phase's list over and waits
// for it, without knowing how the threads are made. The shell implements it.
#include <span>

namespace qr {

class CComp;

class IWorkerPool {
 public:
  virtual ~IWorkerPool() = default;
  // (audio) Hands every module of the list whose block core names a worker to
  // that worker and wakes it; returns how many went.
  virtual int RunPhase(std::span<CComp* const> modules, int frames) noexcept = 0;
  // (audio) Spins until the modules handed out are finished.
  virtual void WaitForPhase(std::span<CComp* const> modules) noexcept = 0;
  // Cores including the audio thread's (core 0).
  virtual int Count() const noexcept = 0;
};

}  // namespace qr
