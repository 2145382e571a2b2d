// The audio part's inserts are made through the factory handed down from the
// layer that knows every module class; this library alone links without it.
#include <gtest/gtest.h>

#include "audio/AudioPart.h"
#include "graph/Container.h"
#include "graph/ModuleTypes.h"
#include "stream/RecordStream.h"

using namespace qr;

namespace {

class TestInsert : public CComp {
 public:
  using CComp::CComp;
  std::string TypeKey() const override { return "CTestInsert"; }
};

std::unique_ptr<CComp> MakeTestInsert(std::string_view key, CContainer* parent) {
  if (key == "CTestInsert") return std::make_unique<TestInsert>(parent);
  return nullptr;
}

}  // namespace

TEST(InsertFactory, InsertsComeFromTheFactoryInstalledFromAbove) {
  CGroup root(nullptr);
  CAudioPart2 part(&root);
  ASSERT_FALSE(part.audioOuts.empty());
  part.audioOuts[0]->inserts.push_back(std::make_unique<TestInsert>(&root));
  CMemStream s;
  part.Save(s);
  s.WriteEnd();

  for (ModuleFactory factory : {ModuleFactory{nullptr}, ModuleFactory{&MakeTestInsert}}) {
    SetModuleFactory(factory);
    CAudioPart2 back(&root);
    CMemStream in(s.Data());
    back.Load(in, 0);
    ASSERT_FALSE(back.audioOuts.empty());
    ASSERT_EQ(back.audioOuts[0]->inserts.size(), factory ? 1u : 0u);
    if (factory) {
      EXPECT_EQ(back.audioOuts[0]->inserts[0]->TypeKey(), "CTestInsert");
    }
  }
  SetModuleFactory(nullptr);
}
