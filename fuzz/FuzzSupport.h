#pragma once
// Shared by the fuzz targets: the system's messages to the user are expected on
// bad input and would only slow the fuzzer down, so they go nowhere.
#include "platform/Messages.h"

namespace qr::fuzz {

class QuietMessages final : public IMessageSink {
 public:
  bool Show(MsgKind, std::string_view, std::string_view) override { return false; }
};

// Installs the quiet sink once for the whole run.
inline void SilenceMessages() {
  static QuietMessages quiet;
  static const bool installed = (SetMessageSink(&quiet), true);
  (void)installed;
}

}  // namespace qr::fuzz
