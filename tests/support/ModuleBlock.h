#pragma once
// A module's block as a module file holds it ("CType", its records, "CEnd"),
// and loading such a block back into a module.
#include <string>
#include <vector>

#include "graph/Container.h"
#include "stream/RecordStream.h"

namespace qr::test {

inline std::vector<uint8_t> SaveBlock(CComp& m) {
  CMemStream s;
  s.WriteKeyString("CType", m.TypeKey());
  m.Save(s);
  s.WriteEnd();
  return s.Data();
}

// Bytes that do not open with the type key (a cut or damaged block) load nothing.
inline void LoadBlock(CComp& m, const std::vector<uint8_t>& bytes) {
  CMemStream s(bytes);
  std::string key;
  int32_t size = 0;
  if (s.NextRecord(key, size) && key == "CType") {
    s.Skip(size);
    m.Load(s, 0);
  }
}

}  // namespace qr::test
