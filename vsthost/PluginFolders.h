#pragma once
// Where plug-in libraries are looked for, and what a scan of those folders finds.
#include <cstdint>
#include <string>
#include <vector>

namespace qr {

// The folders in search order: the "VSTFolders" list of the settings first,
// then VST_PATH (colon-separated), ~/.vst, /usr/local/lib/vst, /usr/lib/vst,
// ~/.lxvst, /usr/local/lib/lxvst, /usr/lib/lxvst. A folder named twice is
// searched once, at its first place.
std::vector<std::string> PluginFolders();

// The file named `file_name` in the first folder of `folders` that holds one,
// directly or a few levels down; empty if none.
std::string FindPluginFile(const std::string& file_name, const std::vector<std::string>& folders);

struct PluginInfo {
  std::string path;
  std::string name;  // effGetEffectName, else the file name
  int32_t uniqueID = 0;
  bool instrument = false;
  int32_t inputs = 0, outputs = 0;
  std::string error;  // why it did not load; the other fields are then empty
};

// Loads every ".so" of the folders (and of their folders, a few levels down) in
// name order, asks what it is and closes it again.
std::vector<PluginInfo> ScanPlugins(const std::vector<std::string>& folders);

// A unique ID as its four characters when they are printable, else in decimal.
std::string UniqueIdText(int32_t id);

}  // namespace qr
