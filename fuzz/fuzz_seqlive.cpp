// The sequencer's live input over hostile bytes: a song's records, then MIDI
// that reaches its input while it plays (live triggers, the tempo controller,
// internal tempo messages, step recording, a record with count-in). Every
// note it sends must be ended once it stops.
//
// Input: a 16-bit length n, n bytes of song records, a flags byte, then
// events of five bytes each: block, time in the block / 16, status, data 1,
// data 2.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz/FuzzSupport.h"
#include "graph/Container.h"
#include "persist/Project.h"
#include "sequencer/Tracks.h"
#include "stream/RecordStream.h"

namespace {

constexpr int kFrames = 4096;
constexpr int kBlocks = 16;

// Hands the sequencer the events of the current block.
class Source final : public qr::CComp {
 public:
  using CComp::CComp;
  qr::CMIDIQ* MidiOutput(int, int) noexcept override { return &q; }
  qr::CMIDIQ q;
};

qr::CMIDIPart* FirstMidiPart(qr::CTracks& song) {
  for (auto& a : song.arrs)
    for (auto& t : a->tracks)
      if (t->Kind() == qr::TrackKind::kMidi)
        for (auto& v : t->varis)
          for (auto& p : v->parts)
            if (auto* m = dynamic_cast<qr::CMIDIPart*>(p.get()); m && !m->ghostSource) return m;
  return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  qr::InstallModuleTypes();
  qr::fuzz::SilenceMessages();
  const size_t n = std::min<size_t>(size - 2, static_cast<size_t>(data[0] | data[1] << 8));
  const uint8_t* events = data + 2 + n;
  size_t left = size - 2 - n;

  qr::CGroup root(nullptr);
  root.SetSampleRate(44100.0f);
  root.SetBlockSize(kFrames);
  auto* song = static_cast<qr::CTracks*>(root.AddChild(std::make_unique<qr::CTracks>(&root)));
  auto* src = static_cast<Source*>(root.AddChild(std::make_unique<Source>(&root)));
  song->ConnectMidi(src, 0, 0);
  {
    qr::CMemStream s(data + 2, n);
    std::string key;
    int32_t k = 0;
    if (s.NextRecord(key, k) && key == "CType")
      s.Skip(k);
    else
      s.Seek(0);
    song->Load(s, 0);
  }
  const uint8_t flags = left > 0 ? events[0] : 0;
  if (left > 0) ++events, --left;
  song->arrMode = flags % 3;
  int32_t step = 1 + (flags >> 4) * 60;
  if (flags & 4) song->StartStepRecord(FirstMidiPart(*song), &step);
  song->recordStartMode = (flags >> 2) % 3;
  song->Command((flags & 8) ? "Record" : "Play");

  for (int b = 0; b < kBlocks; ++b) {
    src->q.Clear();
    for (size_t i = 0; i + 5 <= left; i += 5)
      if (events[i] % kBlocks == b) {
        // An internal tempo message with bit 6 of its first data byte carries
        // a float, made of its second data byte.
        const uint8_t status = events[i + 2], d1 = events[i + 3] & 127, d2 = events[i + 4] & 127;
        const bool real = (status & 0xF0) == 0x10 && (d1 & 64);
        src->q.InsertSorted(
            qr::midi::Make(status, d1, d2), real ? qr::kMidiKindParameter : qr::kMidiKindMessage,
            real ? static_cast<uint32_t>(d2) << 23 : 0u, static_cast<float>(events[i + 1] * 16));
      }
    src->ResetForBlock(kFrames);
    song->ResetForBlock(kFrames);
    song->Process(b == 5 ? 333 : kFrames);
    if (b == 9) song->MoveRecorded();
  }
  song->Stop();
  src->q.Clear();
  for (int b = 0; b < 2; ++b) {
    src->ResetForBlock(kFrames);
    song->ResetForBlock(kFrames);
    song->Process(kFrames);
  }
  song->MoveRecorded();
  for (auto& a : song->arrs)
    for (auto& t : a->tracks)
      if (t->Held().Any()) std::abort();  // a note left sounding after a stop
  return 0;
}
