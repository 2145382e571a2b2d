// `quillrow snapshot` draws a page of a project's main window into a PNG with
// no display; `quillrow edit` opens the main window on the screen while the
// project plays through JACK.
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "app/Commands.h"
#include "app/Host.h"
#include "graph/Container.h"
#include "shell/VSTPlug.h"
#include "ui/MainWindow.h"

namespace qr {

namespace {

constexpr const char* kSnapshotUsage =
    "usage: quillrow snapshot PROJECT [--page editor|Modules|Mixer|MODULE] [--size WxH] -o VIEW.png\n";

// A page by name; a module's name opens that module's editor first.
bool ShowNamedPage(XMainWin& win, TVSTPlug& plug, const std::string& page) {
  if (win.ShowPage(page)) return true;
  for (auto& c : plug.Root().children)
    if (c->id == page) {
      win.OpenEditor(*c);
      return true;
    }
  return false;
}

}  // namespace

int CmdSnapshot(std::span<const std::string> args, std::ostream& out, std::ostream& err) {
  std::string project, output, page = "editor";
  int width = 0, height = 0;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "-o" && i + 1 < args.size()) {
      output = args[++i];
    } else if (a == "--page" && i + 1 < args.size()) {
      page = args[++i];
    } else if (a == "--size" && i + 1 < args.size()) {
      if (std::sscanf(args[++i].c_str(), "%dx%d", &width, &height) != 2 || width < 64 || height < 64 ||
          width > 8192 || height > 8192)
        return err << "quillrow: --size takes WxH, 64..8192 each\n", 2;
    } else if (!a.empty() && a[0] != '-' && project.empty()) {
      project = a;
    } else {
      return err << kSnapshotUsage, 2;
    }
  }
  if (project.empty() || output.empty()) return err << kSnapshotUsage, 2;
  StandaloneHost host;
  std::string e;
  if (!host.OpenProject(project, e)) return err << "quillrow: " << e << "\n", 1;
  TVSTPlug& plug = host.Plugin();
  if (width == 0) {
    width = plug.EditRect().right - plug.EditRect().left;
    height = plug.EditRect().bottom - plug.EditRect().top;
  }
  int rc = 0;
  {
    XMainWin win(plug, std::max(width, 64), std::max(height, 64));
    if (!ShowNamedPage(win, plug, page)) {
      err << "quillrow: no page or module named " << page << "\n";
      rc = 2;
    } else if (!win.WritePng(output)) {
      err << "quillrow: cannot write " << output << "\n";
      rc = 1;
    } else {
      out << "quillrow: " << win.CurrentPage() << " of " << project << " drawn into " << output << "\n";
    }
  }
  ReleaseDrawingCaches();
  return rc;
}

int CmdEdit(std::span<const std::string> args, std::ostream& out, std::ostream& err) {
  if (args.empty() || args[0].empty() || args[0][0] == '-')
    return err << "usage: quillrow edit PROJECT [play options]\n", 2;
  std::unique_ptr<XMainWin> win;
  bool failed = false;
  // The play loop calls this between its idle passes on the program's main
  // thread; the window lives and dies there.
  auto idle = [&](StandaloneHost& host) {
    if (!win) {
      TVSTPlug& plug = host.Plugin();
      win = std::make_unique<XMainWin>(plug, plug.EditRect().right, plug.EditRect().bottom);
      if (!win->OpenTopLevel("Quillrow - " + args[0])) {
        err << "quillrow: cannot open a window (is DISPLAY set?)\n";
        failed = true;
        return false;
      }
    }
    win->Idle();
    return !win->QuitRequested();
  };
  const int rc = PlayWith(args, out, err, idle);
  win.reset();
  ReleaseDrawingCaches();
  return failed ? 1 : rc;
}

}  // namespace qr
