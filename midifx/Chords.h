#pragma once
// CChords: turns single keys into chords. In "Transp" mode a chord's notes are
// offsets from the played key, in "Fixed" mode absolute keys. A chord may carry a
// rhythm (a looping event sequence that retriggers it) and an arpeggio direction.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "graph/BusyFlag.h"
#include "graph/Comp.h"
#include "graph/EventRoom.h"
#include "graph/HeldNotes.h"
#include "graph/TickWalker.h"
#include "midipart/EventList.h"

namespace qr {

class CChord {
 public:
  static constexpr int kLowOffset = -60;
  static constexpr int kHighOffset = 127;
  static constexpr int kOffsets = kHighOffset - kLowOffset + 1;  // 188

  explicit CChord(int32_t trigger_key = 60);

  // Velocity of the note at played key + o ("Transp"), o in -60..127.
  uint8_t& Offset(int o) noexcept { return offsets[static_cast<size_t>(o - kLowOffset)]; }
  uint8_t Offset(int o) const noexcept { return offsets[static_cast<size_t>(o - kLowOffset)]; }

  std::string name = "untitled";
  int32_t key = 60;  // trigger key
  std::array<uint8_t, kOffsets> offsets{};
  std::array<uint8_t, 128> fixed{};  // velocity per absolute key ("Fixed")
  int32_t play = 0;                  // 1: play the rhythm
  CEventList events;                 // the rhythm
  int32_t right = 960;               // loop length of the rhythm in ticks
  int32_t arp = 0;                   // 0 off, 1 up, 2 down, 3 up and down
  int32_t playingCount = 0;          // slots playing this chord
};

class CChords final : public CComp {
 public:
  static constexpr int kSlots = 16;
  static constexpr int kPending = 512;
  enum Mode : int32_t { kTransp = 0, kFixed = 1 };
  enum Arp : int32_t { kArpOff = 0, kArpUp = 1, kArpDown = 2, kArpUpDown = 3 };

  struct Pending {
    double ticks;  // on the slot's walker, like the rhythm's own events
    uint32_t msg;
  };

  struct Slot {
    int32_t state = 0;        // 0 free, 1 playing, 2 stop requested
    size_t current = 0;       // next rhythm event
    int64_t currentTime = 0;  // its absolute time in ticks
    int32_t play = 0;
    int32_t key = 0;
    int32_t velocity = 0;
    std::array<uint8_t, 128> table{};  // velocity per output key
    std::array<uint8_t, 128> held{};   // keys holding the slot
    HeldNotes notes;                   // note-ons sent and not yet ended
    // Rhythm time: the walker places tick 0 on the sample the rhythm started
    // on, and `lap` is where the current lap of the loop began on it; laps are
    // added, never wrapped, so no block size moves a hit.
    TickWalker walker;
    double lap = 0.0;
    int32_t right = 960;
    CChord* chord = nullptr;
    int32_t arpMode = 0;
    int32_t arpIndex = 0;
    int32_t arpDir = 1;
    HeapRoom<Pending, kPending> pending;  // the first pendingCount are in use
    int32_t pendingCount = 0;
  };

  explicit CChords(CContainer* parent);

  CMIDIQ* MidiOutput(int port, int frames) noexcept override;
  std::string TypeKey() const override { return "CChords"; }
  std::span<const ControlDesc> Controls() const override;  // ChordsControls.cpp
  void Save(CStream& s) override;
  void Load(CStream& s, int flag) override;
  void ReleaseNotes(NoteOffSink& sink) noexcept override;

  // (ui) Adds a chord triggered by `key`.
  CChord& AddChord(int32_t key);
  // (ui) The next keys pressed together become the current chord.
  void StartLearning() noexcept;
  bool Learning() const noexcept { return learning != 0; }
  // (ui) Changes chords (their notes, rhythms or the list): waits until the
  // audio side has left them, applies `edit`, and re-seeks playing rhythms.
  template <typename F>
  void EditChords(F&& edit) {
    Lock();
    edit(*this);
    AfterEdit();
    Unlock();
  }

  int32_t mode = kTransp;
  std::vector<std::unique_ptr<CChord>> chords;
  int32_t currentChord = 0;
  uint8_t learning = 0;
  int32_t learnCount = 0;
  int32_t learnRoot = -1;
  std::array<Slot, kSlots> slots{};

 private:
  CChord* Current() noexcept;
  void Learn(uint32_t msg) noexcept;
  void NoteOn(uint32_t msg, int at) noexcept;
  void NoteOff(uint32_t msg, int at) noexcept;
  void Start(CChord& chord, int key, int velocity, const Slot* takeover, int at) noexcept;
  void Stop(Slot& s, int at) noexcept;
  void Render(int from, int n) noexcept;
  void Walk(Slot& s, int from, int end) noexcept;
  void Hit(Slot& s, double tick, int velocity, int length) noexcept;
  void MoveArp(Slot& s) noexcept;
  void Queue(Slot& s, double tick, uint32_t msg) noexcept;
  void Out(Slot& s, uint32_t msg, int at) noexcept;
  void Seek(Slot& s) noexcept;
  void Lock() noexcept { editing_.Take(); }
  void Unlock() noexcept { editing_.Release(); }
  void AfterEdit() noexcept;

  CBusyFlag editing_;
  CMIDIQ out_;
};

}  // namespace qr
