// The exported entry points of the plug-in libraries. Hosts on Linux look for
// "VSTPluginMain" and, in older hosts, "main"; both lead to the same place.
// QR_RUN_MODE is set per library: 1 for the effect, 0 for the instrument.
#include <dlfcn.h>

#include <string>

#include "graph/Globals.h"
#include "shell/VSTPlug.h"
#include "ui/MainWindow.h"

#ifndef QR_RUN_MODE
#define QR_RUN_MODE 1
#endif

namespace {

// The file this code was loaded from: its INI and "default.qrw" sit beside it.
std::string LibraryPath() noexcept {
  Dl_info info{};
  try {
    if (dladdr(reinterpret_cast<void*>(&LibraryPath), &info) && info.dli_fname) return info.dli_fname;
  } catch (...) {
  }
  return {};
}

}  // namespace

extern "C" __attribute__((visibility("default"))) vst2::AEffect* VSTPluginMain(
    vst2::HostCallback host) noexcept {
  qr::g_runMode = QR_RUN_MODE;
  qr::SetEditorFactory(&qr::CreateMainEditor);
  return qr::CreatePlugin(host, LibraryPath());
}

// "main" cannot be spelt as a C++ function of this type, so the symbol is named
// through the assembler.
extern "C" __attribute__((visibility("default"))) vst2::AEffect* QrLegacyMain(
    vst2::HostCallback host) __asm__("main");
extern "C" vst2::AEffect* QrLegacyMain(vst2::HostCallback host) { return VSTPluginMain(host); }
