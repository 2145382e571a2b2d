// Standard MIDI files are untrusted input: the reader must end on any bytes.
#include <cstddef>
#include <cstdint>

#include "sequencer/MidiFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<qr::TimedMidiEvent> events;
  qr::ReadSmfEvents(std::span<const uint8_t>(data, size), events);
  return 0;
}
