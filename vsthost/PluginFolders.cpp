#include "vsthost/PluginFolders.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/DynLib.h"
#include "platform/Files.h"
#include "platform/Settings.h"
#include "platform/Vst2.h"
#include "vsthost/VST.h"

namespace qr {

namespace {

std::string Trimmed(std::string f) {
  while (f.size() > 1 && f.back() == '/') f.pop_back();
  return f;
}

void AddFolder(std::vector<std::string>& list, const std::string& folder) {
  if (folder.empty()) return;
  const std::string f = Trimmed(folder);
  if (std::find(list.begin(), list.end(), f) == list.end()) list.push_back(f);
}

// Plug-in packages keep their libraries in folders of their own (one per
// bundle, or one per vendor), so a folder is searched a few levels down.
constexpr int kFolderDepth = 3;

std::vector<std::string> LibrariesIn(const std::string& folder) {
  namespace fs = std::filesystem;
  std::vector<std::string> files;
  std::error_code ec;
  fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
  for (const fs::recursive_directory_iterator end; !ec && it != end; it.increment(ec)) {
    if (it.depth() >= kFolderDepth) it.disable_recursion_pending();
    std::error_code fe;
    if (it->path().extension() == ".so" && it->is_regular_file(fe)) files.push_back(it->path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

std::vector<std::string> PluginFolders() {
  std::vector<std::string> list;
  try {
    for (const std::string& f : ReadList(CSettings{}, "VSTFolders")) AddFolder(list, f);
  } catch (...) {
    // An unreadable settings file leaves the standard folders.
  }
  if (const char* env = std::getenv("VST_PATH")) {
    const std::string paths = env;
    size_t from = 0;
    while (from <= paths.size()) {
      const size_t colon = std::min(paths.find(':', from), paths.size());
      AddFolder(list, paths.substr(from, colon - from));
      from = colon + 1;
    }
  }
  const char* home = std::getenv("HOME");
  const std::string h = home && *home ? home : "";
  if (!h.empty()) AddFolder(list, h + "/.vst");
  AddFolder(list, "/usr/local/lib/vst");
  AddFolder(list, "/usr/lib/vst");
  if (!h.empty()) AddFolder(list, h + "/.lxvst");
  AddFolder(list, "/usr/local/lib/lxvst");
  AddFolder(list, "/usr/lib/lxvst");
  return list;
}

std::string FindPluginFile(const std::string& file_name, const std::vector<std::string>& folders) {
  if (file_name.empty()) return {};
  for (const std::string& f : folders) {
    const std::string p = JoinPath(f, file_name);
    if (FileExists(p) && !IsDirectory(p)) return p;
    for (const std::string& lib : LibrariesIn(f))
      if (FileNameOf(lib) == file_name) return lib;
  }
  return {};
}

std::string UniqueIdText(int32_t id) {
  std::string s;
  for (int shift = 24; shift >= 0; shift -= 8) {
    const char c = static_cast<char>((static_cast<uint32_t>(id) >> shift) & 0xFF);
    if (c < 32 || c > 126) return std::to_string(id);
    s += c;
  }
  return s;
}

std::vector<PluginInfo> ScanPlugins(const std::vector<std::string>& folders) {
  namespace fs = std::filesystem;
  std::vector<PluginInfo> found;
  for (const std::string& folder : folders) {
    for (const std::string& path : LibrariesIn(folder)) {
      PluginInfo info;
      info.path = path;
      CDynLib lib;
      std::string error;
      if (!lib.Open(path, error)) {
        info.error = error;
        found.push_back(std::move(info));
        continue;
      }
      auto entry = reinterpret_cast<vst2::EntryProc>(lib.Symbol("VSTPluginMain"));
      if (!entry) entry = reinterpret_cast<vst2::EntryProc>(lib.Symbol("main"));
      if (!entry) {
        info.error = "This is not a VST plug-in";
        found.push_back(std::move(info));
        continue;
      }
      vst2::AEffect* e = nullptr;
      try {
        e = entry(&CVST::HostCallback);
      } catch (...) {
        e = nullptr;
      }
      if (!e) {
        info.error = "Get VST record: failed";
      } else if (e->magic != vst2::kEffectMagic) {
        info.error = "Testing VST magic: failed";
      } else {
        auto dispatch = [&](int32_t op, void* ptr) {
          try {
            return e->dispatcher ? e->dispatcher(e, op, 0, 0, ptr, 0.0f) : 0;
          } catch (...) {
            return intptr_t{0};
          }
        };
        dispatch(vst2::effOpen, nullptr);
        char name[256] = {};
        dispatch(vst2::effGetEffectName, name);
        name[sizeof name - 1] = '\0';
        info.name = *name ? name : fs::path(path).stem().string();
        info.uniqueID = e->uniqueID;
        info.instrument = (e->flags & vst2::effFlagsIsSynth) != 0;
        info.inputs = e->numInputs;
        info.outputs = e->numOutputs;
        dispatch(vst2::effClose, nullptr);
      }
      found.push_back(std::move(info));
    }
  }
  return found;
}

}  // namespace qr
