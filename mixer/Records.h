#pragma once
// Reading the fixed-size values of the mixer and effect records. A record whose
// size does not match its value is skipped whole, so a damaged record never
// shifts the reader into the middle of the next one.
#include <cstdint>

#include "stream/RecordStream.h"

namespace qr::records {

inline bool ReadInt(CStream& s, int32_t size, int32_t& out) {
  if (size != 4) return s.Skip(size), false;
  out = s.ReadInt();
  return true;
}

inline bool ReadFloat(CStream& s, int32_t size, float& out) {
  if (size != 4) return s.Skip(size), false;
  out = s.ReadFloat();
  return true;
}

}  // namespace qr::records
