// The host chunk is untrusted input: whatever bytes a host hands to
// effSetChunk, the plug-in must load what it can, save again and process a
// block without crashing, hanging or allocating without bound.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "graph/Globals.h"
#include "shell/VSTPlug.h"
#include "fuzz/FuzzSupport.h"

namespace {

intptr_t Host(vst2::AEffect*, int32_t opcode, int32_t, intptr_t, void*, float) {
  return opcode == vst2::audioMasterVersion ? 2400 : 0;
}

vst2::AEffect* Plugin() {
  static vst2::AEffect* effect = [] {
    qr::fuzz::SilenceMessages();
    qr::g_runMode = qr::kRunEffect;
    vst2::AEffect* e = qr::CreatePlugin(&Host, "");
    e->dispatcher(e, vst2::effSetBlockSize, 0, 64, nullptr, 0.0f);
    return e;
  }();
  return effect;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vst2::AEffect* e = Plugin();
  std::vector<uint8_t> bytes(data, data + size);
  e->dispatcher(e, vst2::effSetChunk, 0, static_cast<intptr_t>(bytes.size()), bytes.data(), 0.0f);
  void* out = nullptr;
  e->dispatcher(e, vst2::effGetChunk, 0, 0, &out, 0.0f);
  static float in[2][64], o[2][64];
  float* ip[2] = {in[0], in[1]};
  float* op[2] = {o[0], o[1]};
  e->processReplacing(e, ip, op, 64);
  e->dispatcher(e, vst2::effIdle, 0, 0, nullptr, 0.0f);
  return 0;
}
