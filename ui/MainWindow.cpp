#include "ui/MainWindow.h"

#include <algorithm>

#include "graph/Container.h"
#include "persist/Project.h"
#include "platform/Files.h"
#include "platform/Messages.h"
#include "shell/VSTPlug.h"

namespace qr {

namespace {
constexpr int kTabHeight = 20;

// A one-line question: a label and a text field, Enter to accept.
class XPrompt : public XPopup {
 public:
  XPrompt(std::string title, std::string initial, std::function<void(const std::string&)> done, int w)
      : title_(std::move(title)), text_(std::move(initial)), done_(std::move(done)) {
    rect = {0, 0, std::min(w, 420), 48};
  }
  void Draw(cairo_t* cr, XPainter& p) override {
    p.Fill(cr, "mu_bkgnd", rect, colour::kFrame);
    DrawText(cr, title_, {rect.x + 4, rect.y + 2, rect.w - 8, 18}, p.Colour("mu_font_col", colour::kText));
    const Rect field{rect.x + 4, rect.y + 24, rect.w - 8, 18};
    p.Fill(cr, "va_bkgnd", field, 0x00201C1A, true);
    DrawText(cr, text_ + "|", field, p.Colour("va_font_col", colour::kText));
  }
  bool OnDown(const WinEvent&) override { return false; }
  bool OnKey(const WinEvent& e) override {
    switch (e.key) {
      case winkey::kChar:
        text_ += e.text;
        break;
      case winkey::kBackspace:
        if (!text_.empty()) text_.pop_back();
        break;
      case winkey::kEnter: {
        auto done = std::move(done_);
        const std::string t = text_;
        if (XGui* g = Gui()) g->ClosePopup();
        if (done && !t.empty()) done(t);
        return true;
      }
      case winkey::kEscape:
        if (XGui* g = Gui()) g->ClosePopup();
        return true;
      default:
        return true;
    }
    Invalidate();
    return true;
  }

 private:
  std::string title_, text_;
  std::function<void(const std::string&)> done_;
};

}  // namespace

// The window's one root control: the tab bar and whichever page is in front.
class XMainPanel : public XCtrl {
 public:
  XMainPanel(TVSTPlug& plug, XMainWin& win) : plug_(plug) {
    tabs = Add<XTabs>();
    tabs->tabs = {"Modules", "Mixer"};
    tabs->changed = [this](int i) { Show(i); };
    // A right-click on an editor's tab closes that editor.
    tabs->closeAsked = [this](int i) {
      if (i < 2 || i >= static_cast<int>(pages.size())) return;
      static_cast<XModuleEditor*>(pages[static_cast<size_t>(i)])->Module().hasEditorWindow = 0;
      RemovePage(static_cast<size_t>(i));
    };
    project = Add<XButton>();
    project->text = "Project";
    project->clicked = [this] {
      if (XGui* g = Gui())
        g->OpenPopup(std::make_unique<XMenu>(ProjectMenu(), project->rect.x, project->rect.y + kTabHeight));
    };
    PageHost host;
    host.openEditor = [&win](CComp& m) { win.OpenEditor(m); };
    host.prompt = [this](const std::string& title, const std::string& initial,
                         std::function<void(const std::string&)> done) {
      Prompt(title, initial, std::move(done));
    };
    host.projectMenu = [this] { return ProjectMenu(); };
    modules = Add<XModulePage>(plug.Root(), plug.Project(), std::move(host));
    mixer = Add<XMixerPage>(plug.Root());
    pages = {modules, mixer};
  }

  void Place() {
    tabs->rect = {rect.x, rect.y, rect.w, kTabHeight};
    project->rect = {rect.x + rect.w - 64, rect.y + 1, 62, kTabHeight - 2};
    const Rect page{rect.x, rect.y + kTabHeight, rect.w, rect.h - kTabHeight};
    for (XCtrl* p : pages) {
      p->rect = page;
      if (auto* e = dynamic_cast<XModuleEditor*>(p)) e->Layout();
    }
    mixer->Layout();
    Invalidate();
  }

  void Show(int i) {
    if (i < 0 || i >= static_cast<int>(pages.size())) return;
    tabs->current = i;
    for (size_t k = 0; k < pages.size(); ++k) pages[k]->visible = static_cast<int>(k) == i;
    if (XGui* g = Gui()) {
      g->SetFocus(pages[static_cast<size_t>(i)]);
      g->InvalidateAll();
    }
  }

  void Dock(CComp& m) {
    for (size_t k = 2; k < pages.size(); ++k)
      if (&static_cast<XModuleEditor*>(pages[k])->Module() == &m) return Show(static_cast<int>(k));
    auto* e = Add<XModuleEditor>(m);
    types.resize(pages.size());
    types.push_back(m.TypeKey());
    e->rect = modules->rect;
    e->Layout();
    pages.push_back(e);
    tabs->tabs.push_back(m.id.empty() ? m.TypeKey() : m.id);
    m.hasEditorWindow = 1;
    m.dockPage = static_cast<int32_t>(pages.size() - 1);
    // The Project button sits above the pages; keep it last so it stays on top.
    Show(static_cast<int>(pages.size()) - 1);
  }

  // Editors of modules that are gone (deleted, or a project loaded) close.
  bool DropStale() {
    bool any = false;
    CGroup& root = plug_.Root();
    for (size_t k = pages.size(); k-- > 2;) {
      // Compared by address, then by type: a module made where a deleted one
      // was must be of the same class, or the page goes (its table would not fit).
      const void* m = &static_cast<XModuleEditor*>(pages[k])->Module();
      const auto it =
          std::find_if(root.children.begin(), root.children.end(), [&](auto& c) { return c.get() == m; });
      const bool alive = it != root.children.end() && (*it)->TypeKey() == types[k];
      if (alive) continue;
      RemovePage(k);
      any = true;
    }
    return any;
  }

  void RemovePage(size_t k) {
    XCtrl* gone = pages[k];
    pages.erase(pages.begin() + static_cast<long>(k));
    if (k < types.size()) types.erase(types.begin() + static_cast<long>(k));
    tabs->tabs.erase(tabs->tabs.begin() + static_cast<long>(k));
    XGui* g = Gui();
    auto& kids = const_cast<std::vector<std::unique_ptr<XCtrl>>&>(Children());
    for (auto it = kids.begin(); it != kids.end(); ++it)
      if (it->get() == gone) {
        gone->RemoveChildren();
        if (g) g->Forget(gone);
        kids.erase(it);
        break;
      }
    if (tabs->current >= static_cast<int>(pages.size())) tabs->current = 0;
    Show(tabs->current);
  }

  void Prompt(const std::string& title, const std::string& initial,
              std::function<void(const std::string&)> done) {
    XGui* g = Gui();
    if (!g) return;
    auto p = std::make_unique<XPrompt>(title, initial, std::move(done), rect.w - 20);
    p->rect.x = rect.x + (rect.w - p->rect.w) / 2;
    p->rect.y = rect.y + rect.h / 3;
    XPrompt* raw = p.get();
    g->OpenPopup(std::move(p));
    g->SetFocus(raw);
  }

  std::vector<XMenuItem> ProjectMenu() {
    CGroup& root = plug_.Root();
    CProject& project = plug_.Project();
    std::vector<XMenuItem> items;
    items.push_back({.text = "New", .run = [&root, &project] {
                       if (ConfirmDropChanges(root)) NewProject(root, project, std::string());
                     }});
    items.push_back({.text = "Open", .run = [this, &root, &project] {
                       Prompt("Open project", root.projectFile, [&root, &project](const std::string& path) {
                         if (!ConfirmDropChanges(root)) return;
                         if (!OpenProjectFile(root, project, path, true))
                           ShowError("Open error", "Error reading file " + path);
                       });
                     }});
    auto saveAs = [this, &root, &project] {
      Prompt("Save project as", root.projectFile.empty() ? "project.qrw" : root.projectFile,
             [&root, &project](const std::string& path) {
               if (FileExists(path) && !AskYesNo("Save", path + " exists. Overwrite it?")) return;
               if (SaveProjectToFile(root, project, path, true)) root.projectFile = path;
             });
    };
    items.push_back({.text = "Save", .run = [&root, &project, saveAs] {
                       if (root.projectFile.empty())
                         saveAs();
                       else
                         SaveProjectToFile(root, project, root.projectFile, true);
                     }});
    items.push_back({.text = "Save as", .run = saveAs});
    return items;
  }

  TVSTPlug& plug_;
  XTabs* tabs = nullptr;
  XButton* project = nullptr;
  XModulePage* modules = nullptr;
  XMixerPage* mixer = nullptr;
  std::vector<XCtrl*> pages;
  std::vector<std::string> types;  // the type key of each editor page's module
  uint64_t signature = 0;
};

XMainWin::XMainWin(TVSTPlug& plug, int width, int height) : plug_(plug) {
  gui_ = std::make_unique<XGui>(skin_, width, height);
  auto panel = std::make_unique<XMainPanel>(plug, *this);
  panel_ = panel.get();
  panel->rect = {0, 0, width, height};
  gui_->SetRoot(std::move(panel));
  panel_->Place();
  // Editors that were open when the project was saved open again, docked.
  for (auto& c : plug.Root().children)
    if (c->hasEditorWindow) panel_->Dock(*c);
  panel_->Show(0);
  ProjectHooks& hooks = plug.Project().hooks;
  hooks.openEditor = [this](CComp& m) { OpenEditor(m); };
  hooks.dockEditor = [this](CComp& m, int) { OpenEditor(m); };
}

XMainWin::~XMainWin() {
  plug_.Project().hooks.openEditor = nullptr;
  plug_.Project().hooks.dockEditor = nullptr;
  gui_.reset();  // widgets first: they hold callbacks into the pages
  window_.reset();
}

bool XMainWin::Open(void* parent) {
  window_ = CWindow::CreateChild(reinterpret_cast<uintptr_t>(parent), gui_->Width(), gui_->Height());
  if (!window_) return false;
  gui_->InvalidateAll();
  return true;
}

bool XMainWin::OpenTopLevel(const std::string& title) {
  window_ = CWindow::CreateTopLevel(title, gui_->Width(), gui_->Height());
  if (!window_) return false;
  gui_->InvalidateAll();
  return true;
}

void XMainWin::Close() { window_.reset(); }

uint32_t XMainWin::NowMs() const {
  const auto since = std::chrono::steady_clock::now() - lastEventLocal_;
  return lastEventServer_ +
         static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

void XMainWin::Idle() {
  if (window_) {
    WinEvent e;
    // A bounded number per pass, so a flood of motion never stalls the host.
    for (int n = 0; n < 64 && window_->Poll(e); ++n) {
      if (e.time) {
        lastEventServer_ = e.time;
        lastEventLocal_ = std::chrono::steady_clock::now();
      }
      if (e.kind == WinEvent::Kind::Close) quit_ = true;
      if (e.kind == WinEvent::Kind::Key && e.key == winkey::kChar && (e.mods & winkey::kCtrl) &&
          e.text[0] == 'q')
        quit_ = true;
      gui_->Dispatch(e);
      if (e.kind == WinEvent::Kind::Resize) panel_->Place();
    }
    gui_->Tick(NowMs());
  }
  const Rect r = Update();
  if (window_ && !r.Empty()) window_->Present(gui_->Surface(), r.x, r.y, r.w, r.h);
}

Rect XMainWin::Update() {
  // A loaded project may bring the size its main window had.
  const vst2::ERect& er = plug_.EditRect();
  const int w = er.right - er.left, h = er.bottom - er.top;
  if (window_ && w >= 64 && h >= 64 && (w != gui_->Width() || h != gui_->Height())) {
    window_->Resize(w, h);
    gui_->Resize(w, h);
    panel_->Place();
  }
  if (panel_->DropStale()) gui_->InvalidateAll();
  panel_->modules->ForgetGone();
  // A loaded project's open editors come back docked.
  for (auto& c : plug_.Root().children)
    if (c->hasEditorWindow && !EditorPage(*c)) {
      const int front = panel_->tabs->current;
      panel_->Dock(*c);
      panel_->Show(front);
    }
  const int page = panel_->tabs->current;
  if (page == 0) {
    panel_->modules->PlaceRoot();
    const uint64_t sig = panel_->modules->Signature();
    if (sig != panel_->signature) {
      panel_->signature = sig;
      panel_->modules->Invalidate();
    }
  } else if (page == 1) {
    panel_->mixer->Refresh();
  } else if (auto* e = dynamic_cast<XModuleEditor*>(panel_->pages[static_cast<size_t>(page)])) {
    e->Refresh();
  }
  return gui_->Render();
}

bool XMainWin::ShowPage(const std::string& name) {
  for (size_t i = 0; i < panel_->tabs->tabs.size(); ++i)
    if (panel_->tabs->tabs[i] == name || (i == 0 && name == "editor")) {
      panel_->Show(static_cast<int>(i));
      return true;
    }
  return false;
}

std::string XMainWin::CurrentPage() const {
  return panel_->tabs->tabs[static_cast<size_t>(panel_->tabs->current)];
}

void XMainWin::OpenEditor(CComp& module) {
  if (&module == &plug_.Root() || &module == plug_.MasterIn()) return;
  panel_->Dock(module);
}

XModulePage& XMainWin::ModulePage() { return *panel_->modules; }
XMixerPage& XMainWin::MixerPage() { return *panel_->mixer; }

XModuleEditor* XMainWin::EditorPage(const CComp& module) {
  for (size_t k = 2; k < panel_->pages.size(); ++k) {
    auto* e = static_cast<XModuleEditor*>(panel_->pages[k]);
    if (&e->Module() == &module) return e;
  }
  return nullptr;
}

bool XMainWin::WritePng(const std::string& path) {
  gui_->InvalidateAll();
  Update();
  return cairo_surface_write_to_png(gui_->Surface(), path.c_str()) == CAIRO_STATUS_SUCCESS;
}

std::unique_ptr<IPlugEditor> CreateMainEditor(TVSTPlug& plug) {
  const vst2::ERect& r = plug.EditRect();
  return std::make_unique<XMainWin>(plug, std::max(r.right - r.left, 64), std::max(r.bottom - r.top, 64));
}

}  // namespace qr
