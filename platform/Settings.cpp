#include "platform/Settings.h"

#include <algorithm>

#include "platform/Files.h"
#include "platform/Messages.h"

namespace qr {
namespace {

int32_t ApplyRule(const IniIntKey& k, int32_t v, int32_t def) {
  if (k.rule == IniIntKey::Rule::BitDepth) return (v == 16 || v == 24 || v == 32) ? v : def;
  return std::clamp(v, k.lo, k.hi);
}

bool SameUpper(std::string_view a, std::string_view b) { return IniNameEquals(a, b); }

// Read all, drop what `same` matches, append, keep the newest `cap`, write all.
template <typename Same>
void PushToList(CIniFile& ini, std::string_view section, std::string_view item, Same same, size_t cap) {
  std::vector<std::string> items = ReadList(ini, section);
  std::erase_if(items, [&](const std::string& v) { return same(v, item); });
  items.emplace_back(item);
  if (items.size() > cap) items.erase(items.begin(), items.end() - static_cast<std::ptrdiff_t>(cap));
  WriteList(ini, section, items);
}

}  // namespace

int32_t ReadKey(const CIniFile& ini, const IniIntKey& k) { return ReadKey(ini, k, k.def); }

int32_t ReadKey(const CIniFile& ini, const IniIntKey& k, int32_t def) {
  return ApplyRule(k, ini.ReadInteger(k.section, k.key, def), def);
}

bool ReadKey(const CIniFile& ini, const IniBoolKey& k) { return ini.ReadBool(k.section, k.key, k.def); }

std::string ReadKey(const CIniFile& ini, const IniStrKey& k, std::string_view def) {
  return ini.ReadString(k.section, k.key, def);
}

void WriteKey(CIniFile& ini, const IniIntKey& k, int32_t value) { ini.WriteInteger(k.section, k.key, value); }
void WriteKey(CIniFile& ini, const IniBoolKey& k, bool value) { ini.WriteBool(k.section, k.key, value); }
void WriteKey(CIniFile& ini, const IniStrKey& k, std::string_view value) {
  ini.WriteString(k.section, k.key, value);
}

std::string ReadSkinFile(const CIniFile& ini, std::string_view plugin_folder) {
  return ReadKey(ini, keys::kSkin, JoinPath(std::string(plugin_folder), "default.gui"));
}

std::vector<std::string> ReadList(const CIniFile& ini, std::string_view section) {
  std::vector<std::string> values;
  for (const std::string& key : ini.ReadSection(section)) values.push_back(ini.ReadString(section, key, ""));
  return values;
}

std::vector<std::pair<std::string, std::string>> ReadListEntries(const CIniFile& ini,
                                                                 std::string_view section) {
  std::vector<std::pair<std::string, std::string>> entries;
  for (std::string& key : ini.ReadSection(section)) {
    std::string value = ini.ReadString(section, key, "");
    entries.emplace_back(std::move(key), std::move(value));
  }
  return entries;
}

void WriteList(CIniFile& ini, std::string_view section, const std::vector<std::string>& items) {
  CIniFile::Update batch(ini);
  ini.EraseSection(section);
  for (size_t i = 0; i < items.size(); ++i) ini.WriteString(section, std::to_string(i), items[i]);
  batch.Commit();
}

std::string NormaliseHistoryFolder(std::string_view folder) {
  if (!folder.empty() && folder.back() == '\\')
    folder.remove_suffix(1);
  else if (folder.size() > 1 && folder.back() == '/')
    folder.remove_suffix(1);
  return std::string(folder);
}

void AddFolderHistory(CIniFile& ini, std::string_view section, std::string_view folder) {
  const std::string path = NormaliseHistoryFolder(folder);
  PushToList(ini, section, path, SameUpper, SIZE_MAX);
}

void AddRecent(CIniFile& ini, std::string_view project_file) {
  PushToList(ini, "Recent", project_file, std::equal_to<std::string_view>{}, kMaxRecent);
}

void AddRecentVST(CIniFile& ini, std::string_view plugin_file) {
  PushToList(ini, "RecentVST", plugin_file, std::equal_to<std::string_view>{}, kMaxRecent);
}

void ClearRecentVST(CIniFile& ini) { ini.EraseSection("RecentVST"); }

ArpRandomSettings ReadArpRandom(const CIniFile& ini) {
  const ArpRandomSettings d;
  ArpRandomSettings s;
  s.steps = ini.ReadInteger("Arp", "Steps", d.steps);
  s.stepsRate = ini.ReadInteger("Arp", "StepsRate", d.stepsRate);
  s.velo = ini.ReadInteger("Arp", "Velo", d.velo);
  s.veloMin = ini.ReadInteger("Arp", "VeloMin", d.veloMin);
  s.veloMax = ini.ReadInteger("Arp", "VeloMax", d.veloMax);
  s.notes = ini.ReadInteger("Arp", "Notes", d.notes);
  s.oct = ini.ReadInteger("Arp", "Oct", d.oct);
  s.octRange = ini.ReadInteger("Arp", "OctRange", d.octRange);
  return s;
}

void WriteArpRandom(CIniFile& ini, const ArpRandomSettings& s) {
  CIniFile::Update batch(ini);
  ini.WriteInteger("Arp", "Steps", s.steps);
  ini.WriteInteger("Arp", "StepsRate", s.stepsRate);
  ini.WriteInteger("Arp", "Velo", s.velo);
  ini.WriteInteger("Arp", "VeloMin", s.veloMin);
  ini.WriteInteger("Arp", "VeloMax", s.veloMax);
  ini.WriteInteger("Arp", "Notes", s.notes);
  ini.WriteInteger("Arp", "Oct", s.oct);
  ini.WriteInteger("Arp", "OctRange", s.octRange);
  batch.Commit();
}

std::string PluginIniName(std::string_view library_path) {
  return ReplaceExtension(FileNameOf(std::string(library_path)), ".ini");
}

PluginChannelConfig ReadPluginChannelConfig(std::string_view library_path, int32_t default_inputs) {
  PluginChannelConfig c;
  c.inputs = default_inputs;
  const CIniFile ini(PluginIniName(library_path));
  c.enabled = ini.ReadBool("VST", "enable", false);
  if (!c.enabled) return c;
  c.outputs = LimitHostChannels(ini.ReadInteger("VST", "Outputs", 2));
  c.inputs = LimitHostChannels(ini.ReadInteger("VST", "Inputs", default_inputs));
  return c;
}

int32_t LimitHostChannels(int64_t n) {
  if (n > kMaxHostChannels) {
    ShowNotice("Max 32 mono channels");
    return kMaxHostChannels;
  }
  return static_cast<int32_t>(std::max<int64_t>(n, 0));
}

}  // namespace qr
