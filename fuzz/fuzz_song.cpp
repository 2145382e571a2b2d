// Song records over hostile bytes: the sequencer's loader, a save that must
// read back into the same bytes, and a few blocks of playback of whatever
// loaded, in each arrangement mode.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "fuzz/FuzzSupport.h"
#include "graph/Container.h"
#include "persist/Project.h"
#include "sequencer/Tracks.h"
#include "stream/RecordStream.h"

namespace {

std::vector<uint8_t> Saved(qr::CTracks& t) {
  qr::CMemStream s;
  t.Save(s);
  s.WriteEnd();
  return s.Data();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qr::InstallModuleTypes();  // inserts are made by type, as in the program
  qr::fuzz::SilenceMessages();
  qr::CGroup root(nullptr);
  root.SetSampleRate(44100.0f);
  root.SetBlockSize(256);
  // The song module (above 128 KB) is built in room kept from the last input;
  // it stands under the root as a child would, without the root owning it.
  static qr::fuzz::Reused<qr::CTracks> room;
  struct Done {
    ~Done() { room.Drop(); }
  } const done;
  qr::CTracks* song = &room.Make(&root);
  {
    qr::CMemStream s(data, size);
    std::string key;
    int32_t n = 0;
    // A whole module block or the song's records alone.
    if (s.NextRecord(key, n) && key == "CType")
      s.Skip(n);
    else
      s.Seek(0);
    song->Load(s, 0);
  }
  const std::vector<uint8_t> first = Saved(*song);
  {
    qr::CTracks again(&root);
    qr::CMemStream s(first);
    again.Load(s, 0);
    // Modules of a class this build lacks load as placeholders that mark
    // their name each time; everything else must come back unchanged.
    const std::string_view text(reinterpret_cast<const char*>(first.data()), first.size());
    if (text.find("CComp") == std::string_view::npos && Saved(again) != first) std::abort();
  }
  song->arrMode = static_cast<int32_t>(size % 3);
  song->Start();
  for (int b = 0; b < 6; ++b) {
    song->ResetForBlock(256);
    song->Process(b == 3 ? 17 : 256);
  }
  song->Stop();
  song->ResetForBlock(256);
  song->Process(256);
  for (auto& a : song->arrs)
    for (auto& t : a->tracks)
      if (t->Held().Any()) std::abort();  // a note left sounding after a stop
  return 0;
}
