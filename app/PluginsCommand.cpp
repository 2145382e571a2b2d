// `quillrow plugins [FOLDER...]`: what the plug-in folders hold, one plug-in a
// line (name, ID, kind, channels, path); libraries that are not usable plug-ins
// go to the error stream with the reason.
#include <iomanip>

#include "app/Commands.h"
#include "vsthost/PluginFolders.h"

namespace qr {

int CmdPlugins(std::span<const std::string> args, std::ostream& out, std::ostream& err) {
  std::vector<std::string> folders(args.begin(), args.end());
  for (const std::string& f : folders)
    if (!f.empty() && f[0] == '-') {
      err << "usage: quillrow plugins [FOLDER...]\n";
      return 2;
    }
  if (folders.empty()) folders = PluginFolders();
  int usable = 0;
  for (const PluginInfo& p : ScanPlugins(folders)) {
    if (!p.error.empty()) {
      err << p.path << ": " << p.error << "\n";
      continue;
    }
    ++usable;
    out << std::left << std::setw(24) << p.name << " " << std::setw(10) << UniqueIdText(p.uniqueID) << " "
        << std::setw(10) << (p.instrument ? "instrument" : "effect") << " " << p.inputs << " in " << p.outputs
        << " out  " << p.path << "\n";
  }
  out << usable << (usable == 1 ? " plug-in\n" : " plug-ins\n");
  return 0;
}

}  // namespace qr
