#include "ui/Graph.h"

#include <algorithm>

#include "graph/Container.h"
#include "graph/ModuleTypes.h"
#include "midifx/MidiPatcher.h"
#include "persist/Project.h"

namespace qr {

namespace {

bool IsRoot(const CComp& m, const CGroup& root) { return &m == &root; }
// Known by its class, not through the root's pointer, which the audio thread
// writes every block.
bool IsMasterIn(const CComp& m) { return m.TypeKey() == "CMidiIn"; }

// Where a MIDI cable would come from or go to: the root gathers what reaches
// the host and makes none; the master input only hands the host's MIDI on.
bool HasMidiIn(const CComp& m, const CGroup&) { return !IsMasterIn(m); }
bool HasMidiOut(const CComp& m, const CGroup& root) { return !IsRoot(m, root); }

}  // namespace

int PortCount(const CComp& m, const CGroup& root, PortKind kind) {
  switch (kind) {
    case PortKind::AudioIn:
      return static_cast<int>(m.audioIns.size());
    case PortKind::AudioOut:
      return IsRoot(m, root) ? 0 : static_cast<int>(m.audioOuts.size());
    case PortKind::MidiIn:
      return HasMidiIn(m, root) ? 1 : 0;
    case PortKind::MidiOut: {
      if (!HasMidiOut(m, root)) return 0;
      if (IsMasterIn(m)) return static_cast<const CMasterIn&>(m).midiOutPorts == 1 ? 1 : limits::kMidiPorts;
      if (m.TypeKey() == "CMPatcher") return CMidiPatcher::kPorts;  // one output per split
      return 1;
    }
  }
  return 0;
}

namespace {
// A stored position can be anything a file says; the page is drawn within a
// million pixels each way, so no sum of coordinates overflows.
constexpr int kFarthest = 1 << 20;
int OnPage(int32_t v) { return std::clamp(v, -kFarthest, kFarthest); }
}  // namespace

Rect BoxRect(const CComp& m, const CGroup& root) {
  const int audioRows =
      std::max({PortCount(m, root, PortKind::AudioIn), PortCount(m, root, PortKind::AudioOut), 1});
  const int midiRows = std::max(PortCount(m, root, PortKind::MidiIn), PortCount(m, root, PortKind::MidiOut));
  return {OnPage(m.x), OnPage(m.y), box::kWidth, box::kHeader + (audioRows + midiRows) * box::kRow + 4};
}

Rect PortRect(const CComp& m, const CGroup& root, PortKind kind, int index) {
  const Rect b = BoxRect(m, root);
  const int audioRows =
      std::max({PortCount(m, root, PortKind::AudioIn), PortCount(m, root, PortKind::AudioOut), 1});
  const bool midi = kind == PortKind::MidiIn || kind == PortKind::MidiOut;
  const bool left = kind == PortKind::AudioIn || kind == PortKind::MidiIn;
  const int row = (midi ? audioRows : 0) + std::clamp(index, 0, limits::kMaxChannels);
  return {left ? b.x - box::kPort / 2 : b.x + b.w - box::kPort / 2,
          b.y + box::kHeader + row * box::kRow + (box::kRow - box::kPort) / 2, box::kPort, box::kPort};
}

namespace {
template <typename F>
void ForEachModule(CGroup& root, F&& f) {
  // Topmost first: later children are drawn above earlier ones, the root below all.
  for (auto it = root.children.rbegin(); it != root.children.rend(); ++it)
    if (f(**it)) return;
  f(static_cast<CComp&>(root));
}
}  // namespace

PortRef PortAt(CGroup& root, int x, int y) {
  PortRef found;
  ForEachModule(root, [&](CComp& m) {
    for (PortKind k : {PortKind::AudioIn, PortKind::AudioOut, PortKind::MidiIn, PortKind::MidiOut}) {
      const int n = PortCount(m, root, k);
      for (int i = 0; i < n; ++i)
        if (PortRect(m, root, k, i).Inset(-3).Contains(x, y)) {
          found = {&m, k, i};
          return true;
        }
    }
    return false;
  });
  return found;
}

CComp* ModuleAt(CGroup& root, int x, int y) {
  CComp* found = nullptr;
  ForEachModule(root, [&](CComp& m) {
    if (BoxRect(m, root).Contains(x, y)) found = &m;
    return found != nullptr;
  });
  return found;
}

std::vector<ModuleType> AvailableModuleTypes() {
  static const ModuleType kAll[] = {
      {"CTracks", "Sequencer"},      {"CMPart", "MIDI part"},
      {"CAPart", "Audio part"},      {"CSampler", "Sampler"},
      {"CMixer", "Mixer"},           {"CArp", "Arpeggiator"},
      {"CChords", "Chords"},         {"CGroove", "Groove"},
      {"CMPatcher", "MIDI patcher"}, {"CMIDIChs", "Channel router"},
      {"CEnv", "Envelope"},          {"CVST", "Plug-in"},
      {"CDelay", "Delay"},           {"Ceq", "Eq"},
  };
  std::vector<ModuleType> out;
  for (const ModuleType& t : kAll)
    if (CreateModule(t.key, nullptr)) out.push_back(t);
  return out;
}

bool EditGraph(CGroup& root, CProject& project, const std::function<void()>& edit) {
  if (project.pending.active || root.rebuild.exchange(true)) return false;
  if (project.hooks.waitForSilence) project.hooks.waitForSilence();
  edit();
  root.rebuild.store(false);
  return true;
}

bool ToggleCable(CGroup& root, CProject& project, const PortRef& a, const PortRef& b) {
  // Either end may be where the drag started.
  const bool aOut = a.kind == PortKind::AudioOut || a.kind == PortKind::MidiOut;
  const PortRef& from = aOut ? a : b;
  const PortRef& to = aOut ? b : a;
  const bool audio = from.kind == PortKind::AudioOut && to.kind == PortKind::AudioIn;
  const bool midi = from.kind == PortKind::MidiOut && to.kind == PortKind::MidiIn;
  if (!from || !to || (!audio && !midi)) return false;
  return EditGraph(root, project, [&] {
    if (audio)
      to.module->ConnectAudio(from.module, to.index, from.index);
    else
      to.module->ConnectMidi(from.module, from.index, to.index);
    root.RecomputeDelayCompensation();
  });
}

CComp* AddModule(CGroup& root, CProject& project, std::string_view type_key, int x, int y) {
  auto m = CreateModule(type_key, &root);
  if (!m) return nullptr;
  m->x = x;
  m->y = y;
  m->SetSampleRate(root.sampleRate);
  m->SetTempo(root.tempo);
  m->SetBlockSize(root.blockSize);
  CComp* added = nullptr;
  EditGraph(root, project, [&] { added = root.AddChild(std::move(m)); });
  return added;
}

bool DeleteModule(CGroup& root, CProject& project, CComp* module) {
  // Only a module that is still a child is looked at: the pointer may be stale.
  auto it =
      std::find_if(root.children.begin(), root.children.end(), [&](auto& c) { return c.get() == module; });
  if (it == root.children.end() || IsMasterIn(*module) || !module->CanDelete()) return false;
  std::unique_ptr<CComp> gone;
  const bool ok = EditGraph(root, project, [&] {
    root.ChildRemoved(module);
    gone = std::move(*it);
    root.children.erase(it);
    for (size_t i = 0; i < root.children.size(); ++i) root.children[i]->index = static_cast<int32_t>(i + 1);
    gone.reset();  // its cables go with it, while processing is still held off
    root.RecomputeDelayCompensation();
    root.MarkModified();
  });
  return ok;
}

}  // namespace qr
