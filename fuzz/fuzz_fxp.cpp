// Program and bank files are untrusted input. Whatever the bytes, reading
// ends with a result or a reason; what was read writes out with a size field
// that tells the truth and reads back to the same bytes. (The size fields of
// a file are not trusted, so a file with a wrong inner one comes back
// corrected, not byte for byte.) Seeds: fuzz/corpus/fxp/.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "vsthost/FxFile.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

// The header's size field counts every byte after it.
bool SizeFieldTells(std::span<const uint8_t> b) {
  if (b.size() < 8) return false;
  const uint32_t n = (uint32_t{b[4]} << 24) | (uint32_t{b[5]} << 16) | (uint32_t{b[6]} << 8) | b[7];
  return n == b.size() - 8;
}

template <typename T, typename Read, typename Write>
void RoundTrip(std::span<const uint8_t> in, Read read, Write write) {
  T value;
  std::string error;
  if (!read(in, value, error)) {
    Check(!error.empty());
    return;
  }
  const std::vector<uint8_t> once = write(value);
  T again;
  Check(read(once, again, error));
  Check(write(again) == once);
  Check(SizeFieldTells(once));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> in(data, size);
  RoundTrip<qr::FxBank>(in, qr::ReadFxBank, qr::WriteFxBank);
  RoundTrip<qr::FxProgram>(in, qr::ReadFxProgram, qr::WriteFxProgram);
  return 0;
}
