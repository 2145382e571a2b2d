#include "tests/support/AllocGuard.h"

#include <dlfcn.h>
#include <pthread.h>

#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QR_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QR_SANITIZED 1
#endif
#endif

namespace {
// Counters are per thread: a guard watches the thread that processes.
thread_local int t_depth = 0;
thread_local int t_allocs = 0;
thread_local int t_locks = 0;

inline void NoteAlloc() noexcept {
  if (t_depth > 0) ++t_allocs;
}
}  // namespace

#ifdef QR_SANITIZED
// The sanitizers own malloc and the mutex functions; their hook sees every
// allocation made through them.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, size_t),
                                                        void (*)(const volatile void*));
namespace {
void MallocHook(const volatile void*, size_t) { NoteAlloc(); }
void FreeHook(const volatile void*) {}
const int g_hooks = __sanitizer_install_malloc_and_free_hooks(MallocHook, FreeHook);
}  // namespace
#else
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);

void* malloc(size_t n) {
  NoteAlloc();
  return __libc_malloc(n);
}
void* calloc(size_t a, size_t b) {
  NoteAlloc();
  return __libc_calloc(a, b);
}
void* realloc(void* p, size_t n) {
  NoteAlloc();
  return __libc_realloc(p, n);
}
void free(void* p) { __libc_free(p); }

// A lock on the audio thread is as bad as an allocation.
int pthread_mutex_lock(pthread_mutex_t* m) {
  using Fn = int (*)(pthread_mutex_t*);
  static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "pthread_mutex_lock"));
  if (t_depth > 0) ++t_locks;
  return real(m);
}
}  // extern "C"
#endif

namespace qr::test {

AllocGuard::AllocGuard() noexcept : allocBase_(t_allocs), lockBase_(t_locks) { ++t_depth; }
AllocGuard::~AllocGuard() { --t_depth; }
int AllocGuard::Allocations() const noexcept { return t_allocs - allocBase_; }
int AllocGuard::Locks() const noexcept { return t_locks - lockBase_; }

std::string AllocGuard::Report() const {
  // Built after the guard's counts are read; the string itself allocates.
  const int a = Allocations(), l = Locks();
  return "allocations: " + std::to_string(a) + ", locks: " + std::to_string(l);
}

bool LockDetectionAvailable() noexcept {
#ifdef QR_SANITIZED
  return false;
#else
  return true;
#endif
}

}  // namespace qr::test
