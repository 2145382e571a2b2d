// The MIDI part module's records over hostile bytes, then the parts they made
// at work: a few blocks of playback with triggers, recording, the editing
// operations, and a save that must load back to the same parts.
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzSupport.h"
#include "graph/Container.h"
#include "midipart/MidiEdit.h"
#include "midipart/MidiPart2.h"
#include "stream/RecordStream.h"

namespace {

// The root and the two modules of one input, each built afresh in room kept
// from the last input; the modules go before the group they live in.
struct Objects {
  qr::fuzz::Reused<qr::CGroup> root;
  qr::fuzz::Reused<qr::CMIDIPart2> first, second;
  struct Done {
    Objects& o;
    ~Done() {
      o.second.Drop();
      o.first.Drop();
      o.root.Drop();
    }
  };
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qr::fuzz::SilenceMessages();
  static Objects objects;
  const Objects::Done done{objects};
  qr::CGroup& root = objects.root.Make(nullptr);
  root.SetSampleRate(44100.0f);
  root.transport.playing = size % 2 == 0;
  root.transport.songTicks = static_cast<double>(size * 37 % 960);
  qr::CMIDIPart2& m = objects.first.Make(&root);
  qr::CMemStream in(data, size);
  m.Load(in, 0);

  // Play every part, start and stop some by key, record into the first.
  for (int i = 0; i < m.PartCount(); ++i) m.PlayPart(m.Part(i));
  m.RecordPart(m.Part(0));
  for (int block = 0; block < 8; ++block) {
    for (int i = 0; i < m.PartCount() && i < 8; ++i) {
      const uint32_t key = static_cast<uint32_t>(m.Part(i)->key) & 0x7F;
      m.DirectMidiInput(qr::midi::Make(block % 2 ? 0x80 : 0x90, key, 100));
      m.DirectMidiInput(qr::midi::Make(0xB0, key, block * 16));
    }
    m.ResetForBlock(512);
    m.MidiOutput(0, 512);
    m.MoveRecorded();
  }

  // The editing operations must survive any stored events.
  qr::CMIDIEdit ed(static_cast<uint32_t>(size));
  qr::CLiveMIDIPart& p = *m.Part(0);
  // The generators' loops are the same for 34 grid steps as for a thousand;
  // a longer part only makes each input slower (inserting is linear).
  if (p.length > 1 << 15) p.length = 1 << 15;
  ed.Quantize(p, 240);
  ed.LengthQuantize(p, 160);
  ed.DeleteDoubles(p);
  ed.Slices(p, 3);
  qr::NotesSettings notes;
  notes.octave = true;
  ed.Notes(p, 480, notes);
  ed.ControllerLane(p, 960, {7, 1, 0, 127});
  m.UndoPart(&p);

  qr::CMemStream out;
  m.Save(out);
  out.WriteEnd();
  out.Rewind();
  qr::CMIDIPart2& again = objects.second.Make(&root);
  again.Load(out, 0);
  if (again.PartCount() != m.PartCount()) __builtin_trap();
  for (int i = 0; i < m.PartCount(); ++i)
    if (!(again.Part(i)->events == m.Part(i)->events)) __builtin_trap();
  return 0;
}
