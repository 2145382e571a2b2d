// Skin files come from anywhere: loading must neither crash nor allocate beyond
// the file, and a loaded skin must save to bytes that load and save identically.
#include <cstdint>
#include <vector>

#include "ui/Skin.h"
#include "fuzz/FuzzSupport.h"

namespace {

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qr::fuzz::SilenceMessages();
  qr::XGuiMan g;
  g.LoadFromMemory(data, size);
  const std::vector<uint8_t> once = g.SaveToMemory();
  qr::XGuiMan h;
  h.LoadFromMemory(once.data(), once.size());
  if (h.SaveToMemory() != once || h.bitmaps.size() != g.bitmaps.size() || h.colors != g.colors)
    __builtin_trap();
  return 0;
}
