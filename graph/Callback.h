#pragma once
// A method pointer: code and object. Unlike std::function it never allocates, so
// it can be installed and called on the audio thread.
#include <utility>

namespace qr {

template <typename Sig>
struct Callback;

template <typename R, typename... A>
struct Callback<R(A...)> {
  R (*fn)(void*, A...) = nullptr;
  void* obj = nullptr;

  explicit operator bool() const noexcept { return fn != nullptr; }
  R operator()(A... a) const { return fn(obj, std::forward<A>(a)...); }
  void Clear() noexcept { fn = nullptr, obj = nullptr; }

  template <auto Method, typename T>
  static Callback Bind(T* object) noexcept {
    return {[](void* o, A... a) -> R { return (static_cast<T*>(o)->*Method)(std::forward<A>(a)...); },
            object};
  }
};

}  // namespace qr
