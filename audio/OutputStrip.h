#pragma once
// The output strip records of modules with audio outputs (the audio part and
// the sampler): per output "AudioOut", "AudioOutChs", "AudioOutVol",
// "AudioOutVolCC", "AudioOutPan", "AudioOutPanCC", then per insert effect
// "Insert" (its type key), the effect's own records, "CEnd" and "InsWet".
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "graph/ModuleTypes.h"

namespace qr {

class CComp;
class CContainer;
class CStream;

// The factory installed from above (graph/ModuleTypes.h); nullptr when none is
// (then inserts are skipped on loading).
ModuleFactory DefaultInsertFactory() noexcept;

void SaveOutputStrips(CComp& owner, CStream& s, bool with_inserts);

// Collects the strip records of one load and rebuilds the owner's outputs from
// them at the end, so that the ports get their final widths at once.
class OutputStripReader {
 public:
  explicit OutputStripReader(ModuleFactory factory = DefaultInsertFactory()) : factory_(factory) {}
  ~OutputStripReader();

  // Reads the record when it is a strip record and returns true. For "Insert"
  // the effect's records up to its "CEnd" are read as well.
  bool Read(CComp& owner, CStream& s, const std::string& key, int32_t size);
  bool Any() const noexcept { return !outs_.empty(); }
  // Replaces the owner's output ports with the loaded ones.
  void Apply(CComp& owner);

 private:
  struct Pending {
    int32_t channels = 2;
    float volume = 1.0f, pan = 0.0f, wet = 1.0f;
    int32_t volumeCC = -1, panCC = -1;
    std::vector<std::unique_ptr<CComp>> inserts;
  };
  ModuleFactory factory_;
  std::vector<Pending> outs_;
};

}  // namespace qr
