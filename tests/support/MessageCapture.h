#pragma once
// Captures what the system tells the user while it lives, so tests can assert
// the exact texts; the previous sink comes back when it ends.
#include <string>
#include <utility>
#include <vector>

#include "platform/Messages.h"

namespace qr::test {

class MessageCapture final : public IMessageSink {
 public:
  struct Message {
    MsgKind kind;
    std::string title, text;
  };

  MessageCapture() : previous_(SetMessageSink(this)) {}
  ~MessageCapture() override { SetMessageSink(previous_); }
  MessageCapture(const MessageCapture&) = delete;
  MessageCapture& operator=(const MessageCapture&) = delete;

  bool Show(MsgKind kind, std::string_view title, std::string_view text) override {
    messages.push_back({kind, std::string(title), std::string(text)});
    return answer;
  }

  std::vector<std::string> Texts() const {
    std::vector<std::string> out;
    for (const auto& m : messages) out.push_back(m.text);
    return out;
  }
  // "title|text", for asserting both at once.
  std::vector<std::string> Joined() const {
    std::vector<std::string> out;
    for (const auto& m : messages) out.push_back(m.title + "|" + m.text);
    return out;
  }
  std::vector<std::pair<std::string, std::string>> TitleTexts() const {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& m : messages) out.emplace_back(m.title, m.text);
    return out;
  }
  void Clear() { messages.clear(); }

  std::vector<Message> messages;
  bool answer = false;  // the reply to yes/no questions

 private:
  IMessageSink* previous_;
};

}  // namespace qr::test
