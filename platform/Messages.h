#pragma once
// The one door through which the system tells the user something. The plug-in,
// the standalone program and the tests each install their own sink; nothing else
// in the code base knows how a message reaches a person.
#include <string>
#include <string_view>

namespace qr {

enum class MsgKind {
  Notice,       // empty title, the text only
  Error,        // the failed operation's name as title
  Information,  // an unmet precondition
  Question,     // yes or no
};

class IMessageSink {
 public:
  virtual ~IMessageSink() = default;
  // Returns true for "yes" on a question; the value is ignored for the other kinds.
  virtual bool Show(MsgKind kind, std::string_view title, std::string_view text) = 0;
};

// Installs a sink for the whole process and returns the previous one. Passing
// nullptr restores the default, which writes to stderr and answers "no".
IMessageSink* SetMessageSink(IMessageSink* sink) noexcept;

void ShowNotice(std::string_view text);
void ShowError(std::string_view title, std::string_view text);
void ShowInformation(std::string_view title, std::string_view text);
bool AskYesNo(std::string_view title, std::string_view text);

}  // namespace qr
