#include "graph/MidiQueue.h"

#include <cstdio>
#include <cstring>

namespace qr {

std::string midi::ControllerLabel(int number) {
  switch (number) {
    case -1: return "Velocity";
    case -2: return "P.Bend";
    case -3: return "P.Change";
    default: break;
  }
  char buf[24];
  std::snprintf(buf, sizeof buf, "CC %03d", number);
  return buf;
}

bool CMIDIQ::Push(uint32_t msg, uint8_t kind, uint32_t value, float time) noexcept {
  if (count_ >= kCapacity) return false;
  events_[static_cast<size_t>(count_++)] = MidiEvent{time, msg, kind, value};
  return true;
}

bool CMIDIQ::InsertSorted(uint32_t msg, uint8_t kind, uint32_t value, float time) noexcept {
  if (count_ >= kCapacity) return false;
  // Events mostly arrive in time order, so search from the back.
  int at = count_;
  while (at > 0 && events_[static_cast<size_t>(at - 1)].time > time) --at;
  if (at < count_)
    std::memmove(&events_[static_cast<size_t>(at + 1)], &events_[static_cast<size_t>(at)],
                 sizeof(MidiEvent) * static_cast<size_t>(count_ - at));
  events_[static_cast<size_t>(at)] = MidiEvent{time, msg, kind, value};
  ++count_;
  return true;
}

}  // namespace qr
