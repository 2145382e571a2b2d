// Every module type's editor, drawn from its control table: each control set
// through its widget to an edge of its range reaches the module and comes back
// from the saved project.
#include <gtest/gtest.h>

#include <cmath>

#include "graph/Container.h"
#include "tests/ui/EditorRig.h"

using namespace qr;
using qr::test::EditorRig;

namespace {

class EveryModuleEditor : public ::testing::TestWithParam<std::string> {};

std::vector<std::string> TypeKeys() {
  std::vector<std::string> keys;
  for (const ModuleType& t : AvailableModuleTypes()) keys.push_back(t.key);
  return keys;
}

// The edge of the range the control is not at by default.
float FarEdge(const ControlDesc& c) { return c.def != c.min ? c.min : c.max; }

}  // namespace

TEST_P(EveryModuleEditor, ControlsReachTheModuleAndTheSavedProject) {
  EditorRig rig;
  CComp* m = AddModule(rig.Root(), rig.plug->Project(), GetParam(), 200, 40);
  ASSERT_NE(m, nullptr);
  rig.win->OpenEditor(*m);
  XModuleEditor* ed = rig.win->EditorPage(*m);
  ASSERT_NE(ed, nullptr);
  rig.win->Gui().InvalidateAll();
  EXPECT_FALSE(rig.win->Update().Empty());
  const auto table = m->Controls();
  std::vector<std::pair<size_t, float>> set;
  for (size_t i = 0; i < table.size(); ++i) {
    XCtrl* w = ed->ControlWidget(i);
    const ControlDesc& c = table[i];
    const bool shown = !c.shown || c.shown(*m, c.arg);
    ASSERT_EQ(w != nullptr, shown) << c.name;
    if (!w) continue;
    const float v = FarEdge(c);
    if (auto* vc = dynamic_cast<XValueCtrl*>(w)) {
      EXPECT_FLOAT_EQ(vc->value, ReadControl(*m, c)) << c.name << " shows another value than the module has";
      vc->SetByUser(v);
    } else if (auto* d = dynamic_cast<XDropdown*>(w)) {
      d->Select(static_cast<int>(std::lround(v - c.min)));
    } else {
      FAIL() << c.name << " has no value widget";
    }
    EXPECT_FLOAT_EQ(ReadControl(*m, c), ClampControl(c, v)) << c.name;
    set.emplace_back(i, ClampControl(c, v));
  }
  ed->Refresh();
  EditorRig next;
  test::LoadChunkInto(next, rig.Chunk());
  CComp* loaded = nullptr;
  for (auto& c : next.Root().children)
    if (c->TypeKey() == GetParam()) loaded = c.get();
  ASSERT_NE(loaded, nullptr);
  for (const auto& [row, v] : set) {
    const ControlDesc& c = loaded->Controls()[row];
    if (c.shown && !c.shown(*loaded, c.arg)) continue;
    EXPECT_FLOAT_EQ(ReadControl(*loaded, c), v) << c.name << " is not in the saved project";
  }
}

INSTANTIATE_TEST_SUITE_P(Types, EveryModuleEditor, ::testing::ValuesIn(TypeKeys()),
                         [](const auto& info) { return info.param; });
