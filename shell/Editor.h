#pragma once
// The plug-in's editor as the shell sees it. The window and everything in it
// live above the shell; the plug-in library's entry and the standalone program
// hand in a factory, and the editor opcodes reach the editor only through this.
#include <memory>

namespace qr {

class TVSTPlug;

class IPlugEditor {
 public:
  virtual ~IPlugEditor() = default;
  // Opens inside the host's window (an X11 window id); false when it cannot.
  virtual bool Open(void* parent) = 0;
  // Closes the window and releases everything that belongs to it.
  virtual void Close() = 0;
  // From the host's idle calls: handles waiting events and redraws what
  // changed; never blocks.
  virtual void Idle() = 0;
};

using EditorFactory = std::unique_ptr<IPlugEditor> (*)(TVSTPlug& plug);

// Process-wide: every plug-in object built afterwards offers this editor.
void SetEditorFactory(EditorFactory factory) noexcept;
EditorFactory GetEditorFactory() noexcept;

}  // namespace qr
