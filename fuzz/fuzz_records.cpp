// The record-stream reader as the module base, the group and the master input
// use it, and the text form, which must build every stream back byte for byte.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "graph/Container.h"
#include "persist/TextForm.h"
#include "stream/RecordStream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qr::fuzz::SilenceMessages();
  qr::CGroup root(nullptr);
  root.SetBlockSize(64);
  {
    qr::CMemStream s(data, size);
    root.Load(s, 0);
  }
  auto* mi = static_cast<qr::CMasterIn*>(root.AddChild(std::make_unique<qr::CMasterIn>(&root)));
  auto* unknown = root.AddChild(std::make_unique<qr::CUnknown>(&root));
  // The three read from one stream in turn, as blocks follow each other in a file.
  qr::CMemStream s(data, size);
  mi->Load(s, 0);
  unknown->Load(s, 0);
  root.Load(s, 0);

  const std::vector<uint8_t> bytes(data, data + size);
  std::vector<uint8_t> built;
  std::string error;
  if (!qr::BuildRecords(qr::DumpRecords(bytes), built, error) || built != bytes) __builtin_trap();
  return 0;
}
