#pragma once
// The stored MIDI event list shared by every owner of MIDI events: MIDI parts,
// chord rhythms and the sequencer's tracks.
//
// Each event carries the ticks since its predecessor (the first: since the part
// start), so moving one event never moves the others. The list keeps the
// semantics of a singly linked list in time order, but the nodes live in one
// contiguous vector: playback walks memory in order without chasing pointers,
// reads never allocate, and a snapshot for undo is a plain copy. The price is
// that an edit shifts the nodes behind it, and that positions held by a player
// are invalid after an edit; owners re-seek after every change (the changed flag
// of a part), which they must do anyway since an edit may delete the event a
// player stands on.
//
// Thread use: edits run on the user-interface thread while the owner's busy
// flag keeps the audio thread away; the audio thread only reads (and writes the
// work field of the events it steps on).
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace qr {

// Flag bits of a stored event. Other bits are kept and saved unchanged.
enum PartEventFlags : int32_t {
  kEvSelected = 1,   // selected in the editor
  kEvMuted = 2,      // not played
  kEvRecording = 4,  // a note still being recorded: its length is not known yet
};

struct PartEvent {
  int32_t delta = 0;   // ticks since the previous event
  int32_t flags = 0;   // PartEventFlags
  uint32_t data = 0;   // packed message: status, data 1, data 2 in bits 0-23
  int32_t work = 0;    // playback's working copy of delta (not saved)
  int32_t length = 0;  // note length in ticks (note-ons)

  bool Selected() const noexcept { return (flags & kEvSelected) != 0; }
  bool Muted() const noexcept { return (flags & kEvMuted) != 0; }
  bool operator==(const PartEvent& o) const noexcept {
    return delta == o.delta && flags == o.flags && data == o.data && length == o.length;
  }
};

class CEventList {
 public:
  using Ticks = int64_t;  // absolute times: sums of stored deltas may exceed 32 bits

  size_t Size() const noexcept { return ev_.size(); }
  bool Empty() const noexcept { return ev_.empty(); }
  PartEvent& operator[](size_t i) noexcept { return ev_[i]; }
  const PartEvent& operator[](size_t i) const noexcept { return ev_[i]; }
  PartEvent* begin() noexcept { return ev_.data(); }
  PartEvent* end() noexcept { return ev_.data() + ev_.size(); }
  const PartEvent* begin() const noexcept { return ev_.data(); }
  const PartEvent* end() const noexcept { return ev_.data() + ev_.size(); }
  // Two lists are equal when their deltas, data, flags and lengths are (work is
  // playback scratch and not compared).
  bool operator==(const CEventList& o) const noexcept { return ev_ == o.ev_; }

  void Clear() noexcept { ev_.clear(); }
  void Reserve(size_t n) { ev_.reserve(n); }

  // Appends with the delta as given (loaders, copies that keep their deltas).
  void Append(const PartEvent& e) { ev_.push_back(e); }

  // Inserts an event at absolute time `time` after every event of equal or
  // earlier time (equal times keep arrival order); its successor's delta shrinks
  // by the new delta so that no other absolute time changes. Returns its index.
  size_t Insert(Ticks time, uint32_t data, int32_t length, int32_t flags = 0);

  // Removes event i; its delta passes to its successor so no other time changes.
  void Erase(size_t i);
  // Removes every event for which keep(index) is false in one pass, the deltas
  // of removed events passing to the next kept event. Returns how many went.
  template <typename Pred>
  size_t EraseUnless(Pred keep);

  // Absolute time of event i (a walk from the start).
  Ticks TimeAt(size_t i) const noexcept;
  // The absolute times of all events, in list order.
  void Times(std::vector<Ticks>& out) const;
  // Sets every delta from absolute times given in list order (times.size() must
  // equal Size()). A time earlier than its predecessor gives a negative delta;
  // the list order is never changed.
  void SetTimes(std::span<const Ticks> times) noexcept;

  // Index of the first event whose absolute time is at or after `tick` (Size()
  // when none), and that event's absolute time in *time when given. Read-only
  // and allocation-free, so several players may seek one list at once.
  size_t Find(Ticks tick, Ticks* time = nullptr) const noexcept;
  // Find, and the found event's work field becomes its absolute time, so a
  // single player can continue from it with base 0.
  size_t Seek(Ticks tick) noexcept;

 private:
  static int32_t ClampDelta(Ticks d) noexcept;
  std::vector<PartEvent> ev_;
};

template <typename Pred>
size_t CEventList::EraseUnless(Pred keep) {
  size_t out = 0;
  Ticks carry = 0;
  const size_t n = ev_.size();
  for (size_t i = 0; i < n; ++i) {
    if (!keep(i)) {
      carry += ev_[i].delta;
      continue;
    }
    PartEvent e = ev_[i];
    e.delta = ClampDelta(e.delta + carry);
    carry = 0;
    ev_[out++] = e;
  }
  ev_.resize(out);
  return n - out;
}

}  // namespace qr
