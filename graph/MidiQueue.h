#pragma once
// CMIDIQ: the MIDI that travels along one cable in one block. A fixed pool of
// events kept in time order, cleared by resetting its count; nothing allocates
// after construction.
#include <array>
#include <cstdint>
#include <string>

#include "graph/EventRoom.h"
#include "graph/Limits.h"

namespace qr {

namespace midi {

constexpr uint32_t Make(uint32_t status, uint32_t d1, uint32_t d2) noexcept {
  return (status & 0xFF) | ((d1 & 0xFF) << 8) | ((d2 & 0xFF) << 16);
}
constexpr uint32_t WithPort(uint32_t msg, uint32_t port) noexcept {
  return (msg & 0x00FFFFFFu) | ((port & 0xFF) << 24);
}
constexpr uint32_t Status(uint32_t m) noexcept { return m & 0xFF; }
constexpr uint32_t Type(uint32_t m) noexcept { return m & 0xF0; }
constexpr uint32_t Channel(uint32_t m) noexcept { return m & 0x0F; }
constexpr uint32_t Data1(uint32_t m) noexcept { return (m >> 8) & 0xFF; }
constexpr uint32_t Data2(uint32_t m) noexcept { return (m >> 16) & 0xFF; }
constexpr uint32_t Port(uint32_t m) noexcept { return (m >> 24) & 0xFF; }
constexpr bool IsNoteOn(uint32_t m) noexcept { return Type(m) == 0x90 && Data2(m) > 0; }
constexpr bool IsNoteOff(uint32_t m) noexcept {
  return Type(m) == 0x80 || (Type(m) == 0x90 && Data2(m) == 0);
}
constexpr bool IsController(uint32_t m) noexcept { return Type(m) == 0xB0; }

// "CC 007", or the names of the pseudo-controllers -1, -2 and -3.
std::string ControllerLabel(int number);

}  // namespace midi

enum MidiEventKind : uint8_t { kMidiKindMessage = 0, kMidiKindParameter = 1 };

struct MidiEvent {
  float time = 0.0f;  // sample offset within the block
  uint32_t msg = 0;   // packed message
  uint8_t kind = kMidiKindMessage;
  uint32_t value = 0;  // for kind 1: the host parameter's float bits
};

class CMIDIQ {
 public:
  static constexpr int kCapacity = limits::kQueueEvents;

  CMIDIQ() noexcept {}

  // Appends; a full queue drops the event.
  bool Push(uint32_t msg, uint8_t kind = kMidiKindMessage, uint32_t value = 0, float time = 0.0f) noexcept;
  // Places the event after every event whose time is lower or equal, so events
  // of equal time keep their arrival order.
  bool InsertSorted(uint32_t msg, uint8_t kind = kMidiKindMessage, uint32_t value = 0,
                    float time = 0.0f) noexcept;
  bool InsertSorted(const MidiEvent& e) noexcept { return InsertSorted(e.msg, e.kind, e.value, e.time); }

  void Clear() noexcept { count_ = 0; }
  int Count() const noexcept { return count_; }
  bool Empty() const noexcept { return count_ == 0; }
  bool Full() const noexcept { return count_ >= kCapacity; }
  const MidiEvent* First() const noexcept { return count_ ? &events_[0] : nullptr; }

  const MidiEvent& operator[](int i) const noexcept { return events_[static_cast<size_t>(i)]; }
  MidiEvent& operator[](int i) noexcept { return events_[static_cast<size_t>(i)]; }
  const MidiEvent* begin() const noexcept { return events_.data(); }
  const MidiEvent* end() const noexcept { return events_.data() + count_; }
  MidiEvent* begin() noexcept { return events_.data(); }
  MidiEvent* end() noexcept { return events_.data() + count_; }

 private:
  // The list order is the array order: insertion shifts the later events up,
  // which keeps iteration a plain walk over memory.
  EventRoom<MidiEvent, kCapacity> events_;
  int count_ = 0;
};

}  // namespace qr
