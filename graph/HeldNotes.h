#pragma once
// What a module that sends note-ons still holds, counted per channel and key so
// that a key struck twice gets two note-offs. Every module that sends notes keeps
// one and releases it when playing stops, its state is replaced, it is switched
// off or deleted, or a loop wraps past a note's end.
#include <array>
#include <cstdint>

#include "graph/MidiQueue.h"

namespace qr {

class HeldNotes {
 public:
  // Counts a message on its way out; anything other than a note passes untouched.
  void Note(uint32_t msg) noexcept {
    if (!(msg & 0x80)) return;
    uint8_t& n = count_[midi::Channel(msg)][midi::Data1(msg) & 127];
    if (midi::IsNoteOn(msg)) {
      if (n < 255) ++n;
    } else if (midi::IsNoteOff(msg) && n > 0) {
      --n;
    }
  }

  uint8_t Count(int channel, int key) const noexcept {
    return count_[static_cast<size_t>(channel & 15)][static_cast<size_t>(key & 127)];
  }
  bool Any() const noexcept {
    for (const auto& ch : count_)
      for (uint8_t n : ch)
        if (n) return true;
    return false;
  }

  // Hands `send` one note-off (a note-on of velocity 0) per count held, then
  // forgets them all. `send(uint32_t msg)`.
  template <typename Send>
  void ReleaseAll(Send&& send) noexcept {
    for (uint32_t ch = 0; ch < 16; ++ch)
      for (uint32_t key = 0; key < 128; ++key)
        for (uint8_t& n = count_[ch][key]; n > 0; --n) send(midi::Make(0x90u | ch, key, 0));
  }

  void Forget() noexcept { count_ = {}; }

 private:
  std::array<std::array<uint8_t, 128>, 16> count_{};
};

}  // namespace qr
