// The text form's builder over hostile text. What it accepts must dump and
// build again to the same bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "persist/TextForm.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> built, again;
  std::string error;
  if (!qr::BuildRecords(std::string_view(reinterpret_cast<const char*>(data), size), built, error)) return 0;
  if (!qr::BuildRecords(qr::DumpRecords(built), again, error) || again != built) __builtin_trap();
  return 0;
}
