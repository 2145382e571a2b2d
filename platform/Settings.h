#pragma once
// The shared settings file "Quillrow.ini" in the settings folder, the typed keys it
// holds, the ordered lists kept in it, and the plug-in's own INI file with the
// host channel configuration.
//
// Like CIniFile, a CSettings is made for one burst of reads or writes and dropped.
// Writes throw IniWriteError (naming the file) when the file cannot be stored.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/IniFile.h"

namespace qr {

inline constexpr const char* kSettingsFileName = "Quillrow.ini";

struct IniStrKey {
  std::string_view section, key;
};
struct IniBoolKey {
  std::string_view section, key;
  bool def;
};
struct IniIntKey {
  enum class Rule : uint8_t { Clamp, BitDepth };  // BitDepth: anything but 16, 24, 32 reads as def
  std::string_view section, key;
  int32_t def;
  int32_t lo = INT32_MIN, hi = INT32_MAX;
  Rule rule = Rule::Clamp;
};

int32_t ReadKey(const CIniFile& ini, const IniIntKey& k);
int32_t ReadKey(const CIniFile& ini, const IniIntKey& k, int32_t def);  // caller's default
bool ReadKey(const CIniFile& ini, const IniBoolKey& k);
std::string ReadKey(const CIniFile& ini, const IniStrKey& k, std::string_view def = {});
void WriteKey(CIniFile& ini, const IniIntKey& k, int32_t value);
void WriteKey(CIniFile& ini, const IniBoolKey& k, bool value);
void WriteKey(CIniFile& ini, const IniStrKey& k, std::string_view value);

namespace keys {
using R = IniIntKey::Rule;
// Base folders of each kind of stored file.
inline constexpr IniStrKey kFolderMain{"Folders", "Main"}, kFolderArpeggiator{"Folders", "Arpeggiator"},
    kFolderChords{"Folders", "Chords"}, kFolderAudioPart{"Folders", "AudioPart"},
    kFolderEnvelope{"Folders", "Envelope"}, kFolderMIDIPart{"Folders", "MIDIPart"},
    kFolderRecording{"Folders", "Recording"}, kFolderGroove{"Folders", "Groove"},
    kFolderSampler{"Folders", "Sampler"}, kTempAudioFolder{"Folders", "tempaudiofolder"},
    kLastSamplePath{"Folders", "lastsamplepath"}, kClickWav{"Folders", "clickwav"},
    kSkinFolder{"folders", "skin"};
// Layout. "Skin" defaults to the plug-in folder's "default.gui": see ReadSkinFile.
inline constexpr IniStrKey kSkin{"Layout", "Skin"}, kGui{"layout", "gui"};
inline constexpr IniIntKey kMenuOpaque{"Layout", "MenuOpaque", 108, 0, 127};
inline constexpr IniIntKey kPartDetail{"Layout", "PartDetail", 25, 0, 127};
inline constexpr IniIntKey kAALines{"Layout", "AALines", 1, 0, 127};
inline constexpr IniIntKey kAudioClipOpaque{"Layout", "audioClipOpaque", 32, 0, 128};
inline constexpr IniBoolKey kMidiEventOpaqueByVelocity{"Layout", "midiEventOpaqueByVelocity", true};
// Preferences page.
inline constexpr IniBoolKey kLastNote{"options", "lastnote", false};
inline constexpr IniBoolKey kLastVelocity{"options", "lastvelocity", false};
inline constexpr IniIntKey kIgnoreSoloBpm{"options", "ignoresolobpm", 0};
inline constexpr IniIntKey kNoteText{"options", "notetext", 1};
inline constexpr IniIntKey kPrefsPage{"options", "page", 0};
inline constexpr IniBoolKey kSavePrompt{"Options", "SavePrompt", true};
inline constexpr IniStrKey kLastFile{"Session", "LastFile"};
// Recording and freezing.
inline constexpr IniIntKey kRecBitDepth{"Audio", "RecBitDepth", 16, INT32_MIN, INT32_MAX, R::BitDepth};
inline constexpr IniIntKey kFreezeBitDepth{"Audio", "FreezeBitDepth", 16, INT32_MIN, INT32_MAX, R::BitDepth};
// Render dialog; "Rate" has no fixed default: read it with the current sample rate.
inline constexpr IniIntKey kRenderBits{"Render", "Bits", 16}, kRenderOutput{"Render", "Output", 0},
    kRenderArea{"Render", "Area", 0}, kRenderRate{"Render", "Rate", 44100}, kRenderChs{"Render", "Chs", 1},
    kRenderTail{"Render", "Tail", 0};
inline constexpr IniIntKey kMasterOutBits{"MasterOut", "Bits", 0};
inline constexpr IniBoolKey kVSTDefaultStereo{"VST", "DefaultStereo", true};
// Window geometry.
inline constexpr IniIntKey kBrowserLeft{"Browser", "left", 0}, kBrowserTop{"Browser", "top", 0},
    kBrowserWidth{"Browser", "width", 0}, kBrowserHeight{"Browser", "height", 0},
    kBrowserSplit{"Browser", "split", 195};
inline constexpr IniStrKey kBrowserFile{"Browser", "file"};
inline constexpr IniIntKey kSearchWinLeft{"SearchWin", "Left", 300}, kSearchWinTop{"SearchWin", "Top", 300},
    kSearchWinWidth{"SearchWin", "Width", 300}, kSearchWinHeight{"SearchWin", "Height", 300};
inline constexpr IniIntKey kFileWinLeft{"FileWin", "Left", 300}, kFileWinTop{"FileWin", "Top", 300},
    kFileWinWidth{"FileWin", "Width", 400}, kFileWinHeight{"FileWin", "Height", 300},
    kFileWinTreeWidth{"FileWin", "TreeWidth", 0};
inline constexpr IniIntKey kSampleEditorLeft{"sample-editor", "left", 200},
    kSampleEditorTop{"sample-editor", "top", 200}, kSampleEditorWidth{"sample-editor", "width", 320},
    kSampleEditorHeight{"sample-editor", "height", 320};
}  // namespace keys

// "Quillrow.ini" in the settings folder.
class CSettings : public CIniFile {
 public:
  CSettings() : CIniFile(kSettingsFileName) {}

  int32_t Get(const IniIntKey& k) const { return ReadKey(*this, k); }
  int32_t Get(const IniIntKey& k, int32_t def) const { return ReadKey(*this, k, def); }
  bool Get(const IniBoolKey& k) const { return ReadKey(*this, k); }
  std::string Get(const IniStrKey& k, std::string_view def = {}) const { return ReadKey(*this, k, def); }
  void Set(const IniIntKey& k, int32_t v) { WriteKey(*this, k, v); }
  void Set(const IniBoolKey& k, bool v) { WriteKey(*this, k, v); }
  void Set(const IniStrKey& k, std::string_view v) { WriteKey(*this, k, v); }
};

// The skin to load: "Layout"/"Skin", else "default.gui" in the plug-in's folder.
std::string ReadSkinFile(const CIniFile& ini, std::string_view plugin_folder);

// ---- Ordered lists: whole sections under the keys "0", "1", ... in list order.

// Values of the section in file order (as many keys as the section buffer holds).
std::vector<std::string> ReadList(const CIniFile& ini, std::string_view section);
// Key and value pairs in file order, for lists whose keys the user named.
std::vector<std::pair<std::string, std::string>> ReadListEntries(const CIniFile& ini,
                                                                 std::string_view section);
// Erases the section and writes `items` under "0", "1", ..., stored as one write.
void WriteList(CIniFile& ini, std::string_view section, const std::vector<std::string>& items);

// Folder histories of the file dialogs (sections such as "songfolders"). One
// trailing '\' is stripped from the folder, and on this platform one trailing '/'
// as well, unless the folder is the root "/". Entries equal to it in ASCII upper
// case are dropped and it is appended at the end, in its new letter case.
std::string NormaliseHistoryFolder(std::string_view folder);
void AddFolderHistory(CIniFile& ini, std::string_view section, std::string_view folder);

// Recently used projects ("Recent") and plug-ins ("RecentVST"): the newest is last;
// an earlier entry naming the same file is dropped (file names compare exactly,
// as the file system does), and only the newest kMaxRecent are kept.
inline constexpr size_t kMaxRecent = 16;
void AddRecent(CIniFile& ini, std::string_view project_file);
void AddRecentVST(CIniFile& ini, std::string_view plugin_file);
void ClearRecentVST(CIniFile& ini);

// ---- The pattern randomiser settings shared by the arpeggiator and MIDI part editors.
struct ArpRandomSettings {
  int32_t steps = 0;
  int32_t stepsRate = 50;
  int32_t velo = 0;
  int32_t veloMin = 1;
  int32_t veloMax = 127;
  int32_t notes = 1;
  int32_t oct = 0;
  int32_t octRange = 1;
  bool operator==(const ArpRandomSettings&) const = default;
};
ArpRandomSettings ReadArpRandom(const CIniFile& ini);
void WriteArpRandom(CIniFile& ini, const ArpRandomSettings& s);

// ---- The plug-in's own INI: section "VST" of "<library name>.ini" in the settings folder.
inline constexpr int32_t kMaxHostChannels = 32;
struct PluginChannelConfig {
  bool enabled = false;  // "enable": the host channel counts come from this file
  int32_t inputs = 2;
  int32_t outputs = 2;
};
// A host channel count from any source (the INI, the standalone program's
// opcode): above 32 shows "Max 32 mono channels" and gives 32; below 0 gives 0.
int32_t LimitHostChannels(int64_t n);
// The bare file name: the library's name without its folder, extension ".ini".
std::string PluginIniName(std::string_view library_path);
// With "enable" off the result is disabled with `default_inputs` and 2 outputs.
// Counts above 32 show "Max 32 mono channels" (once per count) and become 32;
// negative counts become 0.
PluginChannelConfig ReadPluginChannelConfig(std::string_view library_path, int32_t default_inputs);

}  // namespace qr
