#include "midipart/EventList.h"

#include <limits>

namespace qr {

int32_t CEventList::ClampDelta(Ticks d) noexcept {
  constexpr Ticks lo = std::numeric_limits<int32_t>::min();
  constexpr Ticks hi = std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(d < lo ? lo : (d > hi ? hi : d));
}

size_t CEventList::Insert(Ticks time, uint32_t data, int32_t length, int32_t flags) {
  // Walk while the next event is not later than the new one.
  size_t i = 0;
  Ticks prev = 0;
  while (i < ev_.size() && prev + ev_[i].delta <= time) prev += ev_[i++].delta;
  PartEvent e;
  e.delta = ClampDelta(time - prev);
  e.flags = flags;
  e.data = data;
  e.length = length;
  if (i < ev_.size()) ev_[i].delta = ClampDelta(ev_[i].delta - static_cast<Ticks>(e.delta));
  ev_.insert(ev_.begin() + static_cast<std::ptrdiff_t>(i), e);
  return i;
}

void CEventList::Erase(size_t i) {
  if (i >= ev_.size()) return;
  if (i + 1 < ev_.size()) ev_[i + 1].delta = ClampDelta(static_cast<Ticks>(ev_[i + 1].delta) + ev_[i].delta);
  ev_.erase(ev_.begin() + static_cast<std::ptrdiff_t>(i));
}

CEventList::Ticks CEventList::TimeAt(size_t i) const noexcept {
  Ticks t = 0;
  for (size_t k = 0; k <= i && k < ev_.size(); ++k) t += ev_[k].delta;
  return t;
}

void CEventList::Times(std::vector<Ticks>& out) const {
  out.resize(ev_.size());
  Ticks t = 0;
  for (size_t k = 0; k < ev_.size(); ++k) out[k] = t += ev_[k].delta;
}

void CEventList::SetTimes(std::span<const Ticks> times) noexcept {
  Ticks prev = 0;
  for (size_t k = 0; k < ev_.size() && k < times.size(); ++k) {
    ev_[k].delta = ClampDelta(times[k] - prev);
    prev += ev_[k].delta;
  }
}

size_t CEventList::Find(Ticks tick, Ticks* time) const noexcept {
  Ticks t = 0;
  for (size_t k = 0; k < ev_.size(); ++k) {
    t += ev_[k].delta;
    if (t >= tick) {
      if (time) *time = t;
      return k;
    }
  }
  if (time) *time = t;
  return ev_.size();
}

size_t CEventList::Seek(Ticks tick) noexcept {
  Ticks t = 0;
  const size_t k = Find(tick, &t);
  if (k < ev_.size()) ev_[k].work = ClampDelta(t);
  return k;
}

}  // namespace qr
