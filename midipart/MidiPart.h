#pragma once
// MIDI parts: CMIDIPart (a pattern of stored events with its loop, output
// settings and its own undo snapshots; the sequencer places the same class on
// its tracks) and CLiveMIDIPart (a part of the MIDI part module, triggered by a
// key or a controller).
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "graph/Part.h"
#include "midipart/EventList.h"

namespace qr {

class CStream;
class CMIDIPart;

// What the owner of a part (the MIDI part module, later the sequencer) offers
// the editing operations: exclusive use of the events while they change (the
// audio thread may be playing them) and a notice when they did.
class IMidiPartOwner {
 public:
  virtual ~IMidiPartOwner() = default;
  // Spins until the audio side has left the part's events; held until Unlock.
  virtual void LockEvents() = 0;
  virtual void UnlockEvents() = 0;
  // The events of `part` were replaced; players re-seek.
  virtual void EventsChanged(CMIDIPart& part) = 0;
};

class CMIDIPart : public CPart {
 public:
  static constexpr int32_t kDefaultTicks = 7680;  // two 4/4 bars
  static constexpr size_t kMaxUndo = 100;         // snapshots kept per part

  struct UndoSnapshot {
    std::string name;
    CEventList events;
  };

  CMIDIPart() { length = kDefaultTicks; }

  // CPart
  std::unique_ptr<CPart> Copy() const override;
  std::unique_ptr<CPart> NewInstance() const override { return std::make_unique<CMIDIPart>(); }
  const void* FirstEvent() const override { return events.Empty() ? nullptr : events.begin(); }
  bool Assign(const CPart& other) override;

  int32_t Ticks() const noexcept { return length; }
  // Edits and recording go to the source of an alias.
  CMIDIPart& EditTarget() noexcept { return source ? *source : *this; }
  // The events this part plays (an alias plays its source's).
  const CEventList& PlayEvents() const noexcept { return source ? source->events : events; }
  bool EventsChangedFlag() const noexcept { return changed || (source && source->changed); }

  // Pushes a copy of the events under an operation's name (the oldest goes
  // past kMaxUndo), and pops the last one back into the events.
  void PushUndo(std::string_view operation);
  bool PopUndo();
  void ClearUndo() noexcept { undo_.clear(); }
  const std::vector<UndoSnapshot>& UndoStack() const noexcept { return undo_; }

  CEventList events;
  int32_t loopLeft = 0;                // "MPartLoopLeft"
  int32_t loopRight = kDefaultTicks;   // "MPartLoopRight"
  uint8_t changed = 0;                 // events replaced while perhaps playing: re-seek
  uint8_t reindex = 0;                 // events only added: players find their place again
  int32_t port = 0;                    // "MPartPort"
  int32_t channel = -1;                // "MPartMCh": 0-15, or -1 to keep each event's own
  int32_t lengthScale = 100;           // percent; played lengths scale by (scale / 100)^2
  int32_t request = 0;                 // 4 play, 8 record, 1 served (user interface to audio)
  int32_t sync = 1;                    // "MPartSync"
  int32_t fr = 0;                      // "MPartFR": on stop, play on to the loop end
  int32_t stepPosition = 0;            // step-record position, ticks
  int32_t lastKey = 60;                // last key entered by step record
  float beatWidth = 64.0f;             // "MPartWBeat": editor zoom, pixels per beat
  int32_t noteHeight = 8;              // "MPartHNote": editor zoom, pixels per key row
  CMIDIPart* source = nullptr;         // alias of another part; not owned
  IMidiPartOwner* owner = nullptr;     // not owned; none for a free-standing part

 private:
  std::vector<UndoSnapshot> undo_;
};

class CLiveMIDIPart : public CMIDIPart {
 public:
  enum TriggerMode : int32_t { kNoteOnOff = 0, kNoteToggle = 1, kCCOnOff = 2, kCCToggle = 3 };

  std::unique_ptr<CPart> Copy() const override;
  std::unique_ptr<CPart> NewInstance() const override { return std::make_unique<CLiveMIDIPart>(); }

  int32_t key = 36;            // "MPartKey": trigger key or controller number
  int32_t triggerMode = 0;     // "MPartTrig"
  int32_t playGroup = -1;      // "MPartPlayGr"
  int32_t muteGroup = -1;      // "MPartMuteGr"
  int32_t mixerStyle = 1;      // "MPartMixerStyle"
  uint8_t armed = 0;           // may be triggered in this block
  uint8_t queued = 0;          // waiting for a slot of its mute group to stop
  int32_t playingCount = 0;    // slots playing it, counted by each render
};

// The event records shared by every owner of MIDI parts: "MPEv" (size 0) then
// "MPEvDt", "MPEvDa", "MPEvSy", "MPEvLe" per event.
void SaveEventRecords(CStream& s, const CEventList& events);
// Reads one of those records into `events` ("MPEv" appends an empty event, the
// others fill the last one); false when `key` is not one of them.
bool LoadEventRecord(CStream& s, const std::string& key, int32_t size, CEventList& events);
// The packed form: 12 bytes per event (delta, data, length), flags 0.
std::vector<uint8_t> PackEvents(const CEventList& events);
void UnpackEvents(const std::vector<uint8_t>& bytes, CEventList& events);

}  // namespace qr
