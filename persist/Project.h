#pragma once
// Projects and module files.
//
// A project is the root group's whole graph plus the few values that belong to
// the song but live outside the graph: pages, the main window's layout and the
// host parameter mapping. CProject holds those values so that they round-trip
// through the file whether or not a window shows them. The same bytes go to a
// project file and to the host's chunk.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qr {

class CComp;
class CContainer;
class CGroup;
class CMasterIn;
class CStream;

inline constexpr int kHostParameters = 128;

// One of the host's automatable parameters. setParameter/getParameter address
// record (index AND 127).
struct HostParameter {
  int32_t kind = 0;     // 1: sent on as a MIDI controller
  float value = 0.0f;   // 0..1
  std::string name;     // "param" followed by the index unless renamed
  uint8_t changed = 0;  // set by the host, cleared when turned into MIDI
};

const std::string& DefaultParameterName(int index);

struct ProjectPage {
  std::string name;
  std::string activeWindow;  // empty: none
};

// What the loader and the savers tell the user-interface side. Every hook is
// optional and runs on the thread that loads or saves (the UI thread).
struct ProjectHooks {
  // "Loading 042%": called whenever the shown percentage changes.
  std::function<void(std::string_view text)> progress;
  // A project file was saved or opened and belongs in the "Recent" list.
  std::function<void(const std::string& path)> addRecent;
  // The loader made a new master input; the plug-in and the sequencer's
  // recorder point at it from now on.
  std::function<void(CMasterIn&)> masterInChanged;
  // Editor windows: "EOpen" in the standalone mode, "DockPage", "EMaximized".
  std::function<void(CComp&)> openEditor;
  std::function<void(CComp&, int page)> dockEditor;
  std::function<void(CComp&)> maximizeEditor;
  // The main window's values were loaded; the shell resizes and tells the host.
  std::function<void()> mainWindowLoaded;
  // Called on the UI thread after the rebuild flag went up and before a posted
  // open or clear touches the graph: the shell returns once no audio block that
  // started before the flag is still running.
  std::function<void()> waitForSilence;
  // Creates the module for a type key before the built-in table is asked;
  // tests, benchmarks and tools install their own classes here.
  std::function<std::unique_ptr<CComp>(std::string_view type_key, CContainer* parent)> makeModule;
};

class CProject {
 public:
  CProject();

  // Back to one unnamed page, shown.
  void ClearPages();
  // Parameter mode 0 and every record at its default.
  void ResetParameters();

  std::vector<ProjectPage> pages;  // never empty: the first page is the module page
  int32_t frontPage = 0;

  int32_t parameterMode = 0;  // "prccon": 1 turns host parameters into controllers
  std::array<HostParameter, kHostParameters> parameters;

  // Main window rectangle as the window has it (the file stores the standalone
  // program's inner size); the normal rectangle while maximised.
  int32_t mainLeft = 200, mainTop = 200, mainWidth = 512, mainHeight = 361;
  int32_t mainMaxed = 0;
  int32_t mainSB = 0;
  int32_t showMixer = 0;  // "GMixer"
  int32_t shInM = 0, shI = 0, shS = 0;

  ProjectHooks hooks;

  // Open-file state, owned here because the open finishes in a later idle pass.
  struct PendingOpen {
    bool active = false;
    bool emptyProject = false;  // a clear rather than an open
    bool addRecent = false;
    bool asTemplate = false;
    std::string path;
    std::vector<uint8_t> bytes;
    CGroup* root = nullptr;
  } pending;
  // Tells a posted open's completion whether it was dropped in the meantime.
  uint32_t pendingSerial = 0;
};

// Hands the type table down to the modules that create modules themselves
// (inserts). The loaders below do it on their own; start-up does it first.
void InstallModuleTypes() noexcept;

// Writes the project stream and clears the root's modified flag.
bool SaveProject(CGroup& root, CProject& project, CStream& s);
// Rebuilds the graph from the stream. What loaded before an error stays, and the
// error is shown. False when the stream ended with an error.
bool LoadProject(CGroup& root, CProject& project, CStream& s);
// Loads `bytes` into a graph of its own that is thrown away: true when they
// load without an error. When they do not, the loader's messages are shown
// and nothing else happens, so a caller about to replace the project that is
// playing keeps it instead. Module classes come from `hooks.makeModule`, as a
// real load would make them; no other hook is called.
bool ProjectLoadsWhole(const std::vector<uint8_t>& bytes, const ProjectHooks& hooks);

// Saves through a memory stream and replaces the file atomically. A failure
// shows "Save error" / "Error saving file <path>" and leaves the project modified.
bool SaveProjectToFile(CGroup& root, CProject& project, const std::string& path, bool add_recent);

// Reads the file and posts its load through the root's action queue with the
// rebuild flag set. The load itself runs later on the UI thread, in the
// action's completion handed out by the root's idle pass (it allocates, so it
// never runs where posted actions may run, on the audio thread); the flag keeps
// processing silent until it is done. False (nothing happens) when the file
// does not exist, an open is already pending or the queue is full.
bool OpenProjectFile(CGroup& root, CProject& project, const std::string& path, bool add_recent);

// Loads at once on the calling (UI) thread, for drivers that cannot count on
// idle passes (a plug-in whose host sends none) and for start-up, before
// anything processes. The rebuild flag covers the load and waitForSilence lets
// a running block finish first. A posted open that has not run yet is dropped:
// what the caller asks for now is newer.
bool OpenProjectFileNow(CGroup& root, CProject& project, const std::string& path, bool add_recent,
                        bool as_template);
// Raises the rebuild flag for a load the caller runs at once, dropping a posted
// open that has not run yet (its flag then covers this load). False, with
// "MasterClearBegin error", when a load is already running.
bool BeginLoadNow(CGroup& root, CProject& project);
// Drops a posted open or clear that has not run yet; its completion then does
// nothing and the rebuild flag it raised stays up for the caller. False when
// nothing was pending.
bool CancelPendingOpen(CProject& project);

// A fresh graph: the master input at 16, 32, the root box at 200, 200, one page.
// Runs directly; the caller keeps processing silent (PostEmptyProject does that).
void EmptyProject(CGroup& root, CProject& project);
// The same from the menu: posted through the action queue under the rebuild flag.
bool PostEmptyProject(CGroup& root, CProject& project);
// "default.qrw" in the plug-in's folder as a template when it exists, else the
// empty project. The caller has asked whether unsaved changes may go
// (ConfirmDropChanges).
void NewProject(CGroup& root, CProject& project, const std::string& plugin_folder);
// True when nothing is unsaved or the user agreed to drop the changes.
bool ConfirmDropChanges(const CGroup& root);

// A module alone: "CType", its records, "CEnd".
bool SaveModuleFile(CComp& module, const std::string& path);
// Loads a preset into an existing module of the expected type, keeping its
// Id, X and Y. A file of another type is refused with a message and the module
// stays as it was. The caller keeps the module out of processing meanwhile.
bool LoadModuleFile(CComp& module, const std::string& path, std::string_view expected_type);
// The same over bytes already in memory (the file loader and the fuzzer use it).
bool LoadModuleBytes(CComp& module, CStream& s, std::string_view expected_type);

}  // namespace qr
