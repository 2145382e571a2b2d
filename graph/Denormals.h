#pragma once
// Denormal numbers cost far more than they are worth in audio. Every thread
// that processes sets flush-to-zero and denormals-are-zero for its pass and
// gives the caller its own mode back afterwards.
#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace qr {

class ScopedFlushDenormals {
 public:
#if defined(__SSE__) || defined(__x86_64__)
  ScopedFlushDenormals() noexcept : saved_(_mm_getcsr()) { _mm_setcsr(saved_ | 0x8040); }
  ~ScopedFlushDenormals() { _mm_setcsr(saved_); }

 private:
  unsigned saved_;
#else
  ScopedFlushDenormals() noexcept = default;
#endif
};

}  // namespace qr
