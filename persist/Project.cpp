#include "persist/Project.h"

#include <algorithm>
#include <cstdio>
#include <unordered_map>

#include "graph/Container.h"
#include "graph/Globals.h"
#include "graph/ModuleTypes.h"
#include "platform/Files.h"
#include "platform/Messages.h"
#include "stream/RecordStream.h"

namespace qr {

namespace {

// A hostile file could name millions of tiny modules or pages, each costing far
// more memory than its few bytes in the file. Real projects stay far below these.
constexpr int kMaxModules = 16384;
constexpr size_t kMaxPages = 1024;
constexpr uint64_t kMaxProjectBytes = uint64_t{1} << 30;

std::unique_ptr<CComp> MakeModule(const ProjectHooks& hooks, std::string_view key, CContainer* parent) {
  std::unique_ptr<CComp> m;
  if (hooks.makeModule) m = hooks.makeModule(key, parent);
  if (!m) m = CreateModule(key, parent);
  if (!m) m = std::make_unique<CUnknown>(parent);
  return m;
}

void WriteModuleBlock(CStream& s, CComp& m) {
  s.WriteKeyString("CType", m.TypeKey());
  m.Save(s);
  s.WriteEnd();
  int l = 0, t = 0, w = 0, h = 0;
  m.EditorRect(l, t, w, h);
  s.WriteKeyInt("ELeft", l);
  s.WriteKeyInt("ETop", t);
  s.WriteKeyInt("EWith", w);
  s.WriteKeyInt("EHeight", h);
  if (m.hasEditorWindow) {
    if (g_runMode.load() == kRunStandalone && m.EditorOpen()) s.WriteKeyInt("EOpen", 1);
    s.WriteKeyInt("DockPage", m.dockPage);
    if (m.editorMaximized) s.WriteKeyInt("EMaximized", 1);
  }
}

void WriteCable(CStream& s, std::string_view key, int32_t a, int32_t b, int32_t c, int32_t d) {
  s.WriteKey(key, 16);
  s.WriteInt(a);
  s.WriteInt(b);
  s.WriteInt(c);
  s.WriteInt(d);
}

int32_t FirstInputChannel(const CComp& m, int port) {
  if (port < 0 || port >= static_cast<int>(m.audioIns.size())) return 0;
  return m.audioIns[static_cast<size_t>(port)]->firstChannel;
}

int32_t FirstOutputChannel(const CComp& m, int port) {
  if (port < 0 || port >= static_cast<int>(m.audioOuts.size())) return 0;
  return m.audioOuts[static_cast<size_t>(port)]->firstChannel;
}

// Channel-numbered cables name the first channel of a port; 0 when no port
// starts there.
int InputPortAtChannel(const CComp& m, int32_t channel) {
  for (size_t i = 0; i < m.audioIns.size(); ++i)
    if (m.audioIns[i]->firstChannel == channel) return static_cast<int>(i);
  return 0;
}

int OutputPortAtChannel(const CComp& m, int32_t channel) {
  for (size_t i = 0; i < m.audioOuts.size(); ++i)
    if (m.audioOuts[i]->firstChannel == channel) return static_cast<int>(i);
  return 0;
}

void ShowProgress(const CProject& project, int64_t pos, int64_t size, int& shown) {
  if (!project.hooks.progress || size <= 0) return;
  const int pct = static_cast<int>(pos * 100 / size);
  if (pct == shown) return;
  shown = pct;
  char text[32];
  std::snprintf(text, sizeof text, "Loading %.3d%%", pct);
  project.hooks.progress(text);
}

// Starts a clear or load: processing turns silent until EndRebuild.
bool BeginRebuild(CGroup& root) {
  if (root.rebuild.exchange(true)) {
    ShowNotice("MasterClearBegin error");
    return false;
  }
  return true;
}

void EndRebuild(CGroup& root) { root.rebuild.store(false); }

// Opening a project posts an action through the root's queue so that it takes
// its place after the edits posted before it. The action itself does nothing:
// posted actions may run on the audio thread, and a load allocates and frees
// the whole graph. The load runs in the action's completion, which the root's
// idle pass hands out on the user-interface thread. The rebuild flag, set
// before posting, keeps the audio callback from touching the graph meanwhile;
// the shell's waitForSilence hook covers a block that was already running when
// the flag went up.
void NoAction(void*, intptr_t, intptr_t) {}

void FinishPending(void* obj, intptr_t serial, intptr_t) {
  CProject& project = *static_cast<CProject*>(obj);
  CProject::PendingOpen& p = project.pending;
  // A load that ran at once since this was posted (a host's chunk) has dropped it.
  if (!p.active || static_cast<uint32_t>(serial) != project.pendingSerial) return;
  CGroup& root = *p.root;
  if (project.hooks.waitForSilence) project.hooks.waitForSilence();
  if (p.emptyProject) {
    EmptyProject(root, project);
  } else {
    CMemStream s(std::move(p.bytes));
    LoadProject(root, project, s);
    root.projectFile = p.asTemplate ? std::string() : p.path;
  }
  const bool addRecent = p.addRecent;
  const std::string path = std::move(p.path);
  p = CProject::PendingOpen{};
  EndRebuild(root);
  if (addRecent && project.hooks.addRecent) project.hooks.addRecent(path);
}

bool PostPending(CGroup& root, CProject& project) {
  if (!BeginRebuild(root)) {
    project.pending = CProject::PendingOpen{};
    return false;
  }
  project.pending.active = true;
  project.pending.root = &root;
  const ActionFn action{&NoAction, nullptr};
  const ActionFn done{&FinishPending, &project};
  if (root.Actions().Post(static_cast<intptr_t>(project.pendingSerial), 0, action, done)) return true;
  project.pending = CProject::PendingOpen{};
  EndRebuild(root);
  return false;
}

bool OpenFile(CGroup& root, CProject& project, const std::string& path, bool add_recent, bool as_template) {
  if (project.pending.active || !FileExists(path)) return false;
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(path, bytes, kMaxProjectBytes)) {
    ShowError("Open error", "Error reading file " + path);
    return false;
  }
  if (!ProjectLoadsWhole(bytes, project.hooks)) return false;
  project.pending.bytes = std::move(bytes);
  project.pending.path = path;
  project.pending.addRecent = add_recent;
  project.pending.asTemplate = as_template;
  return PostPending(root, project);
}

// A cable as the file names it: module numbers and port indexes.
struct CableRecord {
  int32_t dst, src, dstPort, srcPort;
};

// The cables of a file are connected once every module exists, in an order
// that keeps each connect cheap: a cable goes in before any cable that leaves
// its destination, so the loop check of a connect finds nothing downstream.
// Per destination the file's order stays, which is the order the cables are
// mixed and saved in. A valid file never holds a loop; in a hostile one the
// cables that close loops (and cables from a module into itself) are dropped
// here, where one pass finds them, instead of one search per connect.
std::vector<CableRecord> InConnectOrder(std::vector<CableRecord> cables, int modules) {
  const auto n = static_cast<size_t>(modules);
  // The cables leaving each module, in file order (compressed rows).
  std::vector<uint32_t> first(n + 1, 0), out(cables.size());
  for (const CableRecord& c : cables) ++first[static_cast<size_t>(c.src) + 1];
  for (size_t i = 0; i < n; ++i) first[i + 1] += first[i];
  {
    std::vector<uint32_t> fill(first.begin(), first.end() - 1);
    for (size_t i = 0; i < cables.size(); ++i)
      out[fill[static_cast<size_t>(cables[i].src)]++] = static_cast<uint32_t>(i);
  }
  // Depth-first search without recursion; a cable into a module still on the
  // path closes a loop.
  std::vector<uint8_t> state(n, 0), dropped(cables.size(), 0);  // 0 new, 1 on the path, 2 done
  std::vector<std::pair<uint32_t, uint32_t>> path;              // module, next cable row
  for (size_t start = 0; start < n; ++start) {
    if (state[start]) continue;
    state[start] = 1;
    path.push_back({static_cast<uint32_t>(start), first[start]});
    while (!path.empty()) {
      auto& [m, next] = path.back();
      if (next == first[m + 1]) {
        state[m] = 2;
        path.pop_back();
        continue;
      }
      const uint32_t ci = out[next++];
      const auto d = static_cast<size_t>(cables[ci].dst);
      if (cables[ci].dst == cables[ci].src || state[d] == 1) {
        dropped[ci] = 1;
      } else if (state[d] == 0) {
        state[d] = 1;
        path.push_back({static_cast<uint32_t>(d), first[d]});
      }
    }
  }
  // Topological rank of every module over the cables that stay.
  std::vector<uint32_t> pending(n, 0), rank(n, 0), ready;
  for (size_t i = 0; i < cables.size(); ++i)
    if (!dropped[i]) ++pending[static_cast<size_t>(cables[i].dst)];
  for (size_t m = 0; m < n; ++m)
    if (!pending[m]) ready.push_back(static_cast<uint32_t>(m));
  for (size_t k = 0; k < ready.size(); ++k) {
    const uint32_t m = ready[k];
    rank[m] = static_cast<uint32_t>(k);
    for (uint32_t r = first[m]; r < first[m + 1]; ++r)
      if (!dropped[out[r]] && --pending[static_cast<size_t>(cables[out[r]].dst)] == 0)
        ready.push_back(static_cast<uint32_t>(cables[out[r]].dst));
  }
  std::vector<CableRecord> kept;
  kept.reserve(cables.size());
  for (size_t i = 0; i < cables.size(); ++i)
    if (!dropped[i]) kept.push_back(cables[i]);
  std::stable_sort(kept.begin(), kept.end(), [&](const CableRecord& a, const CableRecord& b) {
    return rank[static_cast<size_t>(a.dst)] < rank[static_cast<size_t>(b.dst)];
  });
  return kept;
}

// Records of a fixed size are read with their primitives; a record longer than
// its values is skipped to its end so that the following records stay aligned.
void SkipRest(CStream& s, int64_t record_end) {
  if (!s.Failed() && s.Position() < record_end) s.Skip(record_end - s.Position());
}

void ReportLoadError(const std::string& key, const std::string& type, int32_t size) {
  if (key == "CType")
    ShowNotice("Main: error reading ctype '" + type + "' size" + std::to_string(size));
  else
    ShowNotice("Main: error reading block '" + key + "' size" + std::to_string(size));
}

}  // namespace

const std::string& DefaultParameterName(int index) {
  // Every project load resets all the names and every save compares them, so
  // the names are built once.
  static const auto names = [] {
    std::array<std::string, kHostParameters> n;
    for (int i = 0; i < kHostParameters; ++i) n[static_cast<size_t>(i)] = "param" + std::to_string(i);
    return n;
  }();
  static const std::string none;
  return index >= 0 && index < kHostParameters ? names[static_cast<size_t>(index)] : none;
}

CProject::CProject() {
  ClearPages();
  ResetParameters();
}

void CProject::ClearPages() {
  pages.assign(1, ProjectPage{});
  frontPage = 0;
}

void CProject::ResetParameters() {
  parameterMode = 0;
  for (int i = 0; i < kHostParameters; ++i)
    parameters[static_cast<size_t>(i)] = HostParameter{0, 0.0f, DefaultParameterName(i), 0};
}

bool SaveProject(CGroup& root, CProject& project, CStream& s) {
  s.WriteKeyInt("panlaw", root.PanLaw());
  for (size_t i = 1; i < project.pages.size(); ++i) {
    s.WriteKeyMarker("Page");
    s.WriteKeyString("PageId", project.pages[i].name);
    // Only the shown page's active window is kept; the first page has no
    // records of its own, so its active window is not stored.
    if (static_cast<int32_t>(i) == project.frontPage && !project.pages[i].activeWindow.empty())
      s.WriteKeyString("PageActiveWin", project.pages[i].activeWindow);
  }

  std::vector<CComp*> modules;
  modules.reserve(root.children.size() + 1);
  modules.push_back(&root);
  for (auto& c : root.children) modules.push_back(c.get());
  std::unordered_map<const CComp*, int32_t> number;
  number.reserve(modules.size());
  for (size_t i = 0; i < modules.size(); ++i) number.emplace(modules[i], static_cast<int32_t>(i));

  for (CComp* m : modules) WriteModuleBlock(s, *m);

  // Cables from modules outside the root's list (none in a sound graph) have no
  // number to refer to and are left out.
  for (size_t d = 0; d < modules.size(); ++d) {
    const CComp& dst = *modules[d];
    for (const auto& c : dst.audioInCables) {
      const auto it = number.find(c->Source());
      if (it == number.end()) continue;
      const CComp& src = *c->Source();
      WriteCable(s, "ACable2", static_cast<int32_t>(d), c->destIn, it->second, c->sourceOut);
      WriteCable(s, "ACable", static_cast<int32_t>(d), FirstInputChannel(dst, c->destIn), it->second,
                 FirstOutputChannel(src, c->sourceOut));
    }
  }
  for (size_t d = 0; d < modules.size(); ++d)
    for (const auto& c : modules[d]->midiIn) {
      const auto it = number.find(c->Source());
      if (it == number.end()) continue;
      WriteCable(s, "MCable", static_cast<int32_t>(d), c->destPort, it->second, c->sourcePort);
    }

  s.WriteKeyInt("prccon", project.parameterMode);
  for (int i = 0; i < kHostParameters; ++i) {
    const HostParameter& p = project.parameters[static_cast<size_t>(i)];
    s.WriteKeyFloat("prccv", p.value);
    if (p.kind != 0) s.WriteKeyInt("prccm", p.kind);
    if (p.name != DefaultParameterName(i)) s.WriteKeyString("prcct", p.name);
  }

  // The standalone program's window adds a frame of 6 by 26 pixels; the file
  // keeps the inner size so that both modes open at the same size.
  const bool standalone = g_runMode.load() == kRunStandalone;
  s.WriteKeyInt("MainLeft", project.mainLeft);
  s.WriteKeyInt("MainTop", project.mainTop);
  s.WriteKeyInt("MainWidth", standalone ? project.mainWidth - 6 : project.mainWidth);
  s.WriteKeyInt("MainHeight", standalone ? project.mainHeight - 26 : project.mainHeight);
  if (project.mainMaxed) s.WriteKeyInt("MainMaxed", 1);
  s.WriteKeyInt("MainSB", project.mainSB);
  s.WriteKeyInt("GMixer", project.showMixer);
  s.WriteKeyInt("shInM", project.shInM);
  s.WriteKeyInt("shI", project.shI);
  s.WriteKeyInt("shS", project.shS);
  s.WriteKeyInt("FrontPage", project.frontPage);
  s.WriteKeyInt("PDC", root.compensation);

  root.modified = 0;
  return !s.WriteFailed();
}

bool LoadProject(CGroup& root, CProject& project, CStream& s) {
  InstallModuleTypes();
  const ProjectHooks& hooks = project.hooks;
  project.mainLeft = 200;
  project.mainTop = 200;
  project.mainMaxed = 0;
  root.loading = 1;
  project.ClearPages();
  project.ResetParameters();

  auto fresh = std::make_unique<CMasterIn>(&root);
  fresh->x = 16;
  fresh->y = 32;
  root.Clear();
  root.masterIn = static_cast<CMasterIn*>(root.AddChild(std::move(fresh)));
  if (hooks.masterInChanged) hooks.masterInChanged(*root.masterIn);

  std::vector<CableRecord> audio, midi;
  CComp* current = nullptr;
  size_t page = 0;
  bool portCables = false;
  int param = -1;
  int shown = -1;
  std::string key, type;
  int32_t size = 0;
  bool ok = true;

  while (s.Position() < s.Size()) {
    if (!s.NextRecord(key, size)) {
      // Fewer than a header's bytes left over is a short tail, not an error.
      if (s.Failed()) {
        ReportLoadError(key, type, size);
        ok = false;
      }
      break;
    }
    const int64_t end = s.Position() + size;
    ShowProgress(project, s.Position(), s.Size(), shown);
    // Keys are compared as views: their length first, the text only when it
    // matches, and no scan for a literal's end.
    const std::string_view k = key;

    if (k == "CType") {
      type = s.ReadString();
      CComp* m = nullptr;
      std::unique_ptr<CComp> created;
      const std::string_view t = type;
      if (t == "CGroup") {
        m = &root;
      } else if (t == "CMidiIn") {
        m = root.masterIn;
      } else if (root.ChildCount() < kMaxModules) {
        created = MakeModule(hooks, type, &root);
        m = created.get();
      } else {
        ReportLoadError(key, type, size);
        ok = false;
        break;
      }
      m->Load(s, 0);
      if (created) m = root.AddChild(std::move(created));
      current = m;
    } else if (k == "panlaw") {
      root.SetPanLaw(s.ReadInt());
    } else if (k == "Page") {
      if (project.pages.size() < kMaxPages) project.pages.emplace_back();
      page = project.pages.size() - 1;
    } else if (k == "PageId") {
      project.pages[page].name = s.ReadString();
    } else if (k == "PageActiveWin") {
      project.pages[page].activeWindow = s.ReadString();
    } else if (k == "FrontPage") {
      const int32_t v = s.ReadInt();
      project.frontPage = v >= 0 && v < static_cast<int32_t>(project.pages.size()) ? v : 0;
    } else if (k == "CData") {
      std::string name = s.ReadString();
      std::string value = s.ReadString();
      if (current) current->attribs.SetText(name, value);
    } else if (k == "MixerStyle") {
      const int32_t v = s.ReadInt();
      if (current) current->attribs.SetInt("MixerStyle", v);
    } else if (k == "EMaximized") {
      const int32_t v = s.ReadInt();
      if (current && v) {
        current->hasEditorWindow = 1;
        current->editorMaximized = 1;
        if (hooks.maximizeEditor) hooks.maximizeEditor(*current);
      }
    } else if (k == "EOpen") {
      const int32_t v = s.ReadInt();
      if (current && v == 1 && g_runMode.load() == kRunStandalone && hooks.openEditor)
        hooks.openEditor(*current);
    } else if (k == "ELeft" || k == "ETop" || k == "EWith" || k == "EHeight") {
      const int32_t v = s.ReadInt();
      if (current) {
        int32_t& field = k == "ELeft"   ? current->editLeft
                         : k == "ETop"  ? current->editTop
                         : k == "EWith" ? current->editWidth
                                        : current->editHeight;
        field = v;
      }
    } else if (k == "DockPage") {
      const int32_t v = s.ReadInt();
      if (current) {
        // The record is only written for modules that had an editor window.
        current->dockPage = v;
        current->hasEditorWindow = 1;
        if (v > 0 && v < static_cast<int32_t>(project.pages.size()) && hooks.dockEditor)
          hooks.dockEditor(*current, v);
      }
    } else if (k == "ACable2" || k == "ACable" || k == "MCable") {
      int32_t v[4];
      for (int32_t& x : v) x = s.ReadInt();
      CComp* dst = root.ModuleByNumber(v[0]);
      CComp* src = root.ModuleByNumber(v[2]);
      if (k == "ACable2") portCables = true;
      if (dst && src && !s.Failed()) {
        if (k == "ACable2")
          audio.push_back({v[0], v[2], v[1], v[3]});
        else if (k == "MCable")
          midi.push_back({v[0], v[2], v[1], v[3]});
        else if (!portCables)
          audio.push_back({v[0], v[2], InputPortAtChannel(*dst, v[1]), OutputPortAtChannel(*src, v[3])});
      }
    } else if (k == "prccon") {
      project.parameterMode = s.ReadInt();
    } else if (k == "prccv") {
      const float v = s.ReadFloat();
      if (param < kHostParameters) ++param;
      if (param < kHostParameters) project.parameters[static_cast<size_t>(param)].value = v;
    } else if (k == "prccm") {
      const int32_t v = s.ReadInt();
      if (param >= 0 && param < kHostParameters) project.parameters[static_cast<size_t>(param)].kind = v;
    } else if (k == "prcct") {
      std::string name = s.ReadString();
      if (param >= 0 && param < kHostParameters)
        project.parameters[static_cast<size_t>(param)].name = std::move(name);
    } else if (k == "MainLeft") {
      project.mainLeft = s.ReadInt();
    } else if (k == "MainTop") {
      project.mainTop = s.ReadInt();
    } else if (k == "MainWidth") {
      project.mainWidth = s.ReadInt();
    } else if (k == "MainHeight") {
      project.mainHeight = s.ReadInt();
    } else if (k == "MainMaxed") {
      project.mainMaxed = s.ReadInt();
    } else if (k == "MainSB") {
      project.mainSB = s.ReadInt();
    } else if (k == "GMixer") {
      project.showMixer = s.ReadInt();
    } else if (k == "shInM") {
      project.shInM = s.ReadInt();
    } else if (k == "shI") {
      project.shI = s.ReadInt();
    } else if (k == "shS") {
      project.shS = s.ReadInt();
    } else if (k == "PDC") {
      root.compensation = s.ReadInt();
    } else {
      s.Skip(size);
    }
    // The type key's record covers only the key; the module's records follow.
    if (k != "CType") SkipRest(s, end);
    if (s.Failed()) {
      ReportLoadError(key, type, size);
      ok = false;
      break;
    }
    if (k != "CType") type.clear();
  }

  const int modules = root.ChildCount() + 1;
  for (const CableRecord& c : InConnectOrder(std::move(audio), modules))
    root.ModuleByNumber(c.dst)->ConnectAudio(root.ModuleByNumber(c.src), c.dstPort, c.srcPort);
  for (const CableRecord& c : InConnectOrder(std::move(midi), modules))
    root.ModuleByNumber(c.dst)->ConnectMidi(root.ModuleByNumber(c.src), c.srcPort, c.dstPort);

  root.modified = 0;
  root.UpdateSoloState();
  const bool standalone = g_runMode.load() == kRunStandalone;
  project.mainWidth = std::max(project.mainWidth, 16) + (standalone ? 6 : 0);
  project.mainHeight = std::max(project.mainHeight, 16) + (standalone ? 26 : 0);
  if (hooks.mainWindowLoaded) hooks.mainWindowLoaded();
  root.loading = 0;
  root.Finish();
  return ok;
}

namespace {
// What the loader says during a trial, told only when the trial fails: a
// project that loads whole is loaded again for real, which speaks for itself.
class HeldMessages final : public IMessageSink {
 public:
  HeldMessages() : previous_(SetMessageSink(this)) {}
  ~HeldMessages() override { Release(); }
  HeldMessages(const HeldMessages&) = delete;
  HeldMessages& operator=(const HeldMessages&) = delete;

  bool Show(MsgKind kind, std::string_view title, std::string_view text) override {
    if (held_.size() < kMaxHeld) held_.push_back({kind, std::string(title), std::string(text)});
    return false;
  }
  void Tell() {
    Release();
    for (const Held& m : held_) {
      switch (m.kind) {
        case MsgKind::Error:
          ShowError(m.title, m.text);
          break;
        case MsgKind::Information:
          ShowInformation(m.title, m.text);
          break;
        case MsgKind::Question:
          break;  // nothing is asked of a load that is refused
        default:
          ShowNotice(m.text);
          break;
      }
    }
  }

 private:
  struct Held {
    MsgKind kind;
    std::string title, text;
  };
  // A hostile file cannot make the user click through more than this.
  static constexpr size_t kMaxHeld = 16;
  void Release() {
    if (!released_) SetMessageSink(previous_);
    released_ = true;
  }
  IMessageSink* previous_;
  bool released_ = false;
  std::vector<Held> held_;
};
}  // namespace

bool ProjectLoadsWhole(const std::vector<uint8_t>& bytes, const ProjectHooks& hooks) {
  HeldMessages held;
  bool ok = false;
  {
    CGroup scratch(nullptr);
    scratch.AddAudioIn(2);
    CProject trial;
    trial.hooks.makeModule = hooks.makeModule;
    CMemStream s(bytes);
    ok = LoadProject(scratch, trial, s);
  }
  if (!ok) held.Tell();
  return ok;
}

bool SaveProjectToFile(CGroup& root, CProject& project, const std::string& path, bool add_recent) {
  const uint8_t wasModified = root.modified;
  CMemStream s;
  const bool ok = SaveProject(root, project, s) && WriteFileAtomically(path, s.Data());
  if (!ok) {
    root.modified = wasModified;
    ShowError("Save error", "Error saving file " + path);
    return false;
  }
  if (add_recent && project.hooks.addRecent) project.hooks.addRecent(path);
  return true;
}

bool CancelPendingOpen(CProject& project) {
  if (!project.pending.active) return false;
  project.pending = CProject::PendingOpen{};
  ++project.pendingSerial;
  return true;
}

bool BeginLoadNow(CGroup& root, CProject& project) {
  // The flag a dropped open raised now covers this load.
  return CancelPendingOpen(project) || BeginRebuild(root);
}

bool OpenProjectFileNow(CGroup& root, CProject& project, const std::string& path, bool add_recent,
                        bool as_template) {
  if (!FileExists(path)) return false;
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(path, bytes, kMaxProjectBytes)) {
    ShowError("Open error", "Error reading file " + path);
    return false;
  }
  if (!ProjectLoadsWhole(bytes, project.hooks)) return false;
  if (!BeginLoadNow(root, project)) return false;
  if (project.hooks.waitForSilence) project.hooks.waitForSilence();
  CMemStream s(std::move(bytes));
  LoadProject(root, project, s);
  root.projectFile = as_template ? std::string() : path;
  EndRebuild(root);
  if (add_recent && project.hooks.addRecent) project.hooks.addRecent(path);
  return true;
}

bool OpenProjectFile(CGroup& root, CProject& project, const std::string& path, bool add_recent) {
  return OpenFile(root, project, path, add_recent, false);
}

void EmptyProject(CGroup& root, CProject& project) {
  project.ClearPages();
  auto fresh = std::make_unique<CMasterIn>(&root);
  fresh->x = 16;
  fresh->y = 32;
  root.Clear();
  root.masterIn = static_cast<CMasterIn*>(root.AddChild(std::move(fresh)));
  if (project.hooks.masterInChanged) project.hooks.masterInChanged(*root.masterIn);
  root.projectFile.clear();
  root.x = 200;
  root.y = 200;
  root.modified = 0;
  root.RecomputeDelayCompensation();
}

bool PostEmptyProject(CGroup& root, CProject& project) {
  if (project.pending.active) return false;
  project.pending.emptyProject = true;
  return PostPending(root, project);
}

void NewProject(CGroup& root, CProject& project, const std::string& plugin_folder) {
  if (project.pending.active) return;
  project.ClearPages();
  root.projectFile.clear();
  const std::string templ = JoinPath(plugin_folder, "default.qrw");
  if (!plugin_folder.empty() && FileExists(templ) && OpenFile(root, project, templ, false, true)) return;
  PostEmptyProject(root, project);
}

bool ConfirmDropChanges(const CGroup& root) {
  return !root.modified || AskYesNo("New project", "The project has unsaved changes. Discard them?");
}

bool SaveModuleFile(CComp& module, const std::string& path) {
  CMemStream s;
  s.WriteKeyString("CType", module.TypeKey());
  module.Save(s);
  s.WriteEnd();
  if (!s.WriteFailed() && WriteFileAtomically(path, s.Data())) return true;
  ShowError("Save error", "Error saving file " + path);
  return false;
}

bool LoadModuleBytes(CComp& module, CStream& s, std::string_view expected_type) {
  InstallModuleTypes();
  const auto refuse = [](std::string_view found, std::string_view expected) {
    ShowNotice("Can't read this file. Found \"" + std::string(found) + "\" expected \"" +
               std::string(expected) + "\"");
    return false;
  };
  std::string key;
  int32_t size = 0;
  if (!s.NextRecord(key, size) || key != "CType") return refuse(key, "CType");
  const std::string type = s.ReadString();
  if (type != expected_type) return refuse(type, expected_type);
  const int32_t x = module.x, y = module.y;
  std::string id = module.id;
  module.Load(s, 0);
  module.x = x;
  module.y = y;
  module.id = std::move(id);
  module.MarkModified();
  return !s.Failed();
}

bool LoadModuleFile(CComp& module, const std::string& path, std::string_view expected_type) {
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(path, bytes, kMaxProjectBytes)) {
    ShowError("Open error", "Error reading file " + path);
    return false;
  }
  CMemStream s(std::move(bytes));
  return LoadModuleBytes(module, s, expected_type);
}

}  // namespace qr
