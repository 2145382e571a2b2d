#pragma once
// The module graph as the editor sees it: where each box and port lies on the
// "Modules" page, and the structural edits, each made while processing is held
// off by the graph-rebuild flag so no block ever sees a half-changed list.
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "ui/Paint.h"

namespace qr {

class CComp;
class CGroup;
class CProject;

enum class PortKind { AudioIn, AudioOut, MidiIn, MidiOut };

struct PortRef {
  CComp* module = nullptr;
  PortKind kind = PortKind::AudioIn;
  int index = 0;
  explicit operator bool() const noexcept { return module != nullptr; }
};

namespace box {
inline constexpr int kWidth = 92;
inline constexpr int kHeader = 18;
inline constexpr int kRow = 14;
inline constexpr int kPort = 8;
}  // namespace box

// Geometry in page coordinates (the module's stored X and Y are its top left).
Rect BoxRect(const CComp& m, const CGroup& root);
Rect PortRect(const CComp& m, const CGroup& root, PortKind kind, int index);
int PortCount(const CComp& m, const CGroup& root, PortKind kind);
// The port under a page point, found with a few pixels of slack.
PortRef PortAt(CGroup& root, int x, int y);
// The module whose box holds a page point, topmost first; the root counts.
CComp* ModuleAt(CGroup& root, int x, int y);

// What a module type is called in menus, for every type key this build creates.
struct ModuleType {
  std::string key;
  std::string caption;
};
std::vector<ModuleType> AvailableModuleTypes();

// Runs `edit` with processing held off; false (and nothing runs) while a
// project load holds the graph.
bool EditGraph(CGroup& root, CProject& project, const std::function<void()>& edit);
// Connects an output port to an input port, or removes that cable when it
// exists. False when the ports do not fit together.
bool ToggleCable(CGroup& root, CProject& project, const PortRef& from, const PortRef& to);
CComp* AddModule(CGroup& root, CProject& project, std::string_view type_key, int x, int y);
bool DeleteModule(CGroup& root, CProject& project, CComp* module);

}  // namespace qr
