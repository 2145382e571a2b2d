// Project loading over hostile bytes: the loader, every module class in the type
// table, cables and the project records; then the loaded graph is saved and
// loaded once more, as the host's chunk would be.
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzSupport.h"
#include "graph/Container.h"
#include "persist/Project.h"
#include "stream/RecordStream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qr::fuzz::SilenceMessages();
  qr::CGroup root(nullptr);
  root.AddAudioIn(2);
  root.SetBlockSize(64);
  qr::CProject project;
  qr::CMemStream in(data, size);
  qr::LoadProject(root, project, in);
  qr::CMemStream out;
  qr::SaveProject(root, project, out);
  out.Rewind();
  qr::LoadProject(root, project, out);
  return 0;
}
