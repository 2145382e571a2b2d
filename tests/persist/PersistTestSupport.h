#pragma once
// A module with ports and records of its own for project tests.
#include <memory>
#include <string>
#include <vector>

#include "graph/Container.h"
#include "persist/Project.h"
#include "stream/RecordStream.h"

namespace qr::test {

// Stores its port layout and a gain, so a load rebuilds the same ports.
class CTestModule : public CComp {
 public:
  explicit CTestModule(CContainer* parent, std::vector<int> ins = {2}, std::vector<int> outs = {2})
      : CComp(parent) {
    SetPorts(ins, outs);
  }
  std::string TypeKey() const override { return "CTest"; }
  void Save(CStream& s) override {
    CComp::Save(s);
    for (const auto& p : audioIns) s.WriteKeyInt("TIn", p->channels);
    for (const auto& p : audioOuts) s.WriteKeyInt("TOut", p->channels);
    s.WriteKeyFloat("TGain", gain);
  }
  void Load(CStream& s, int) override {
    std::vector<int> ins, outs;
    std::string key;
    int32_t size = 0;
    while (s.NextRecord(key, size) && key != "CEnd") {
      if (LoadBaseRecord(s, key, size, true)) continue;
      if (key == "TIn")
        ins.push_back(s.ReadInt());
      else if (key == "TOut")
        outs.push_back(s.ReadInt());
      else if (key == "TGain")
        gain = s.ReadFloat();
      else
        s.Skip(size);
    }
    SetPorts(ins, outs);
  }
  void SetPorts(const std::vector<int>& ins, const std::vector<int>& outs) {
    RemoveAllPorts();
    for (int w : ins) AddAudioIn(w);
    for (int w : outs) AddAudioOut(w);
  }
  float gain = 1.0f;
};

inline std::unique_ptr<CComp> MakeTestModule(std::string_view key, CContainer* parent) {
  if (key == "CTest") return std::make_unique<CTestModule>(parent, std::vector<int>{}, std::vector<int>{});
  return nullptr;
}

inline std::vector<uint8_t> SaveToBytes(CGroup& root, CProject& project) {
  CMemStream s;
  SaveProject(root, project, s);
  return s.Data();
}

}  // namespace qr::test
