#pragma once
// Reading Standard MIDI Files. One reader serves the sequencer's import and the
// standalone program's --midi option: it walks the chunks and tracks, resolves
// running status and variable-length quantities, scales delta times to 960
// ticks per quarter note, and hands each event to a handler that decides what
// becomes of it.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "graph/TickWalker.h"  // kTicksPerBeat

namespace qr {

class SmfHandler {
 public:
  virtual ~SmfHandler() = default;
  virtual void Header(int format, int tracks, int division) { (void)format, (void)tracks, (void)division; }
  virtual void TrackBegin(int index) { (void)index; }
  virtual void TrackEnd(int index) { (void)index; }
  // A meta event other than end of track. `tick` is absolute, 960 per beat.
  virtual void Meta(int64_t tick, int type, std::span<const uint8_t> data) {
    (void)tick, (void)type, (void)data;
  }
  // A channel event: status with channel, and its one or two data bytes (data2
  // is 0 for program change and channel pressure).
  virtual void Channel(int64_t tick, uint8_t status, uint8_t data1, uint8_t data2) = 0;
};

// Reads `bytes` as a Standard MIDI File. Returns an empty string on success, or
// the message that stopped the reading: "Not a MIDI file " and the first four
// bytes as eight hexadecimal digits (nothing was read), or "Invalid file format
// (3)" (what came before the bad status byte was handed out). A chunk whose
// length runs past the end ends the reading at the end of the data.
std::string ReadSmf(std::span<const uint8_t> bytes, SmfHandler& handler);

// Scales a delta of `division` ticks per beat to 960 ticks per beat, rounding
// half to even.
int64_t ScaleDelta(int64_t delta, int division) noexcept;

// The plain form the standalone program uses: every channel event of every
// track with its time in seconds (from the file's tempo map, 120 bpm until the
// first tempo event), in time order, ties in track order.
struct TimedMidiEvent {
  double seconds = 0.0;
  uint32_t msg = 0;  // packed status, data 1, data 2
};
std::string ReadSmfEvents(std::span<const uint8_t> bytes, std::vector<TimedMidiEvent>& out);

}  // namespace qr
