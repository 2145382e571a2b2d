#pragma once
// Shared by the fuzz targets: the system's messages to the user are expected on
// bad input and would only slow the fuzzer down, so they go nowhere.
#include <new>
#include <utility>

#include "platform/Messages.h"

namespace qr::fuzz {

class QuietMessages final : public IMessageSink {
 public:
  bool Show(MsgKind, std::string_view, std::string_view) override { return false; }
};

// Installs the quiet sink once for the whole run.
inline void SilenceMessages() {
  static QuietMessages quiet;
  static const bool installed = (SetMessageSink(&quiet), true);
  (void)installed;
}

// Room for one large object that every input builds afresh. Heap blocks of a
// module's size come fresh from the system under the sanitizers' allocator, and
// faulting in their pages cost more than the input's own work; built here, the
// object still starts from its constructor and ends in its destructor for each
// input, so nothing carries over from one input to the next.
template <typename T>
class Reused {
 public:
  Reused() = default;
  Reused(const Reused&) = delete;
  Reused& operator=(const Reused&) = delete;
  ~Reused() { Drop(); }

  template <typename... A>
  T& Make(A&&... a) {
    Drop();
    obj_ = new (static_cast<void*>(storage_)) T(std::forward<A>(a)...);
    return *obj_;
  }
  void Drop() noexcept {
    if (obj_) obj_->~T();
    obj_ = nullptr;
  }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
  T* obj_ = nullptr;
};

}  // namespace qr::fuzz
