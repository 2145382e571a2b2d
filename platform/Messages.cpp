#include "platform/Messages.h"

#include <atomic>
#include <cstdio>
#include <string>

namespace qr {
namespace {

class StderrSink final : public IMessageSink {
 public:
  bool Show(MsgKind kind, std::string_view title, std::string_view text) override {
    static constexpr const char* kTag[] = {"notice", "error", "information", "question"};
    const std::string t(title), m(text);
    std::fprintf(stderr, "quillrow %s: %s%s%s\n", kTag[static_cast<int>(kind)], t.c_str(),
                 t.empty() ? "" : ": ", m.c_str());
    return false;
  }
};

StderrSink g_default;
std::atomic<IMessageSink*> g_sink{&g_default};

bool Send(MsgKind kind, std::string_view title, std::string_view text) {
  return g_sink.load(std::memory_order_acquire)->Show(kind, title, text);
}

}  // namespace

IMessageSink* SetMessageSink(IMessageSink* sink) noexcept {
  IMessageSink* old = g_sink.exchange(sink ? sink : &g_default, std::memory_order_acq_rel);
  return old == &g_default ? nullptr : old;
}

void ShowNotice(std::string_view text) { Send(MsgKind::Notice, {}, text); }
void ShowError(std::string_view title, std::string_view text) { Send(MsgKind::Error, title, text); }
void ShowInformation(std::string_view title, std::string_view text) {
  Send(MsgKind::Information, title, text);
}
bool AskYesNo(std::string_view title, std::string_view text) {
  return Send(MsgKind::Question, title, text);
}

}  // namespace qr
