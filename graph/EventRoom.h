#pragma once
// Room for up to N plain values of which only a counted prefix is ever read:
// the event pools of MIDI queues and play slots. The room is left as the
// allocator hands it over. A module holds dozens of these pools, and zeroing
// them made building a module (every project load, every preset) cost more
// than a block of its work; pages never written are never faulted in either.
#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>

namespace qr {

template <typename T, size_t N>
class EventRoom {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                "only values that need no construction may live in raw room");

 public:
  // User-provided, so that `{}` does not zero the room after all.
  EventRoom() noexcept {}

  T* data() noexcept { return std::launder(reinterpret_cast<T*>(bytes_)); }
  const T* data() const noexcept { return std::launder(reinterpret_cast<const T*>(bytes_)); }
  T& operator[](size_t i) noexcept { return data()[i]; }
  const T& operator[](size_t i) const noexcept { return data()[i]; }
  static constexpr size_t size() noexcept { return N; }

 private:
  alignas(T) unsigned char bytes_[N * sizeof(T)];
};

// The same room in a heap block of its own, made with its owner. A module that
// holds many rooms inline grows past the size the sanitizers' allocator (and
// glibc's) recycles: each such module then comes fresh from the system, and
// faulting in the pages its header fields touch cost more than its work.
template <typename T, size_t N>
class HeapRoom {
 public:
  HeapRoom() : room_(std::make_unique<EventRoom<T, N>>()) {}

  T* data() noexcept { return room_->data(); }
  const T* data() const noexcept { return room_->data(); }
  T& operator[](size_t i) noexcept { return (*room_)[i]; }
  const T& operator[](size_t i) const noexcept { return (*room_)[i]; }
  static constexpr size_t size() noexcept { return N; }

 private:
  std::unique_ptr<EventRoom<T, N>> room_;
};

}  // namespace qr
