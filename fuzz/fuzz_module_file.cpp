// Module files over hostile bytes: the type check and the load of the module
// class the file names (or another one, to take the refusal path).
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "graph/Container.h"
#include "graph/ModuleTypes.h"
#include "persist/Project.h"
#include "stream/RecordStream.h"

namespace {

// The type string of a leading "CType" record, when there is one.
std::string TypeOf(const uint8_t* data, size_t size) {
  qr::CMemStream s(data, size);
  std::string key;
  int32_t n = 0;
  if (!s.NextRecord(key, n) || key != "CType") return {};
  return s.ReadString();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qr::fuzz::SilenceMessages();
  qr::CGroup root(nullptr);
  root.SetBlockSize(64);
  std::string type = TypeOf(data, size);
  if (size % 8 == 7) type = "CArp";  // now and then the wrong type
  std::unique_ptr<qr::CComp> m = qr::CreateModule(type, &root);
  if (!m && type == "CMidiIn") m = std::make_unique<qr::CMasterIn>(&root);
  if (!m) m = std::make_unique<qr::CUnknown>(&root);
  qr::CComp* module = root.AddChild(std::move(m));
  qr::CMemStream s(data, size);
  qr::LoadModuleBytes(*module, s, type);
  qr::CMemStream out;
  module->Save(out);
  return 0;
}
